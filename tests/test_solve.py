"""The module function solve: sparse direct solutions of literal-block matrices
checked against scipy's spsolve on the same compressed rows (symmetric, unsymmetric,
saddle-point, lumped and composed matrices), the reading of the right-hand side and
the shape of the solution, the factorisation kept in the matrix, every error in its
order, NaN and infinite values refused and singular systems named by their unknowns
without pivot, ill-conditioned but regular systems still solved, the same bits on
every solve, and a real signal honoured between the solver's phases."""

import math
import signal

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import _quenlith as q
from helpers import raises

NOT_FINALIZED = "Matrix has not been finalized; call finalize() before solving"
INTERRUPTED = "computation interrupted"


def poi1(c, nodes):
    m = q.Mesh(c, "POI1")
    for x in nodes:
        m[0].add_cell([x])
    return m


def nodes_and_cloud(n, dim=1):
    c = q.Coords(dim)
    nodes = [c.add_node([float(i)] + [0.0] * (dim - 1)) for i in range(n)]
    return c, nodes, poi1(c, nodes)


def csr_of(matrix):
    """The matrix's finalized values as scipy compressed rows."""
    return sp.csr_matrix(np.array(matrix.dense()).reshape(matrix.n_rows(), matrix.n_cols()))


def rhs_field(matrix, support, values):
    """A field on `support` holding values[i] at row DOF i (its dual variables)."""
    names = []
    for _, var in matrix.row_dofs():
        if var not in names:
            names.append(var)
    f = q.NodeField(support, names)
    for (node, var), v in zip(matrix.row_dofs(), values):
        f[0].set_value(node, var, v)
    return f


def solution_vector(matrix, x):
    return np.array([x.value(node, var) for node, var in matrix.col_dofs()])


def laplacian_1d(nodes, block, dual="f", primal="u", k=1.0):
    for i in range(len(nodes)):
        block.add_entry(nodes[i], dual, nodes[i], primal, 2.0 * k)
        if i:
            block.add_entry(nodes[i], dual, nodes[i - 1], primal, -k)
            block.add_entry(nodes[i - 1], dual, nodes[i], primal, -k)


# --- matrices of every kind against scipy ---------------------------------------
# Each case returns the finalized matrix and its row supports as (mesh, nodes) pairs.


def symmetric_case():
    c, n, m = nodes_and_cloud(12)
    a = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    laplacian_1d(n, a[0])
    a[0].add_entry(n[0], "f", n[0], "u", 1.0)  # anchored: positive definite
    a.finalize()
    return a, [(m, n)]


def unsymmetric_case():
    # Two variables per node with convection-like unsymmetric couplings.
    c, n, m = nodes_and_cloud(9)
    a = q.Matrix.block(m, m, ["f", "g"], ["u", "v"], ordering="vars_then_nodes")
    rng = np.random.default_rng(7)
    for i in range(9):
        a[0].add_entry(n[i], "f", n[i], "u", 4.0 + rng.random())
        a[0].add_entry(n[i], "g", n[i], "v", 3.0 + rng.random())
        a[0].add_entry(n[i], "f", n[i], "v", rng.random())
        if i:
            a[0].add_entry(n[i], "f", n[i - 1], "u", -1.5)
            a[0].add_entry(n[i - 1], "g", n[i], "v", -0.5)
    a.finalize()
    return a, [(m, n)]


def saddle(c, n, m):
    """A floating Laplacian held by multipliers at both ends (zero diagonal block)."""
    k = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    laplacian_1d(n, k[0])
    lam_nodes = [c.add_node([-1.0]), c.add_node([float(len(n))])]
    lam = poi1(c, lam_nodes)
    con = q.Matrix.block(lam, m, ["g"], ["u"])
    con_t = q.Matrix.block(m, lam, ["f"], ["lambda"])
    for lm, node in zip(lam_nodes, [n[0], n[-1]]):
        con[0].add_entry(lm, "g", node, "u", 1.0)
        con_t[0].add_entry(node, "f", lm, "lambda", 1.0)
    a = k | con | con_t
    a.finalize()
    return a, lam, lam_nodes


def saddle_case():
    c, n, m = nodes_and_cloud(10)
    a, lam, lam_nodes = saddle(c, n, m)
    return a, [(m, n), (lam, lam_nodes)]


def lumped_case():
    c, n, m = nodes_and_cloud(8)
    mass = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    for i in range(1, 8):  # consistent two-node masses c·[[2, 1], [1, 2]]
        for a_, b_, v in [(i - 1, i - 1, 2.0), (i, i, 2.0), (i - 1, i, 1.0), (i, i - 1, 1.0)]:
            mass[0].add_entry(n[a_], "f", n[b_], "u", v * (1.0 + 0.1 * i))
    mass.finalize()
    return q.lump(mass), [(m, n)]


def implicit_step_case():
    # lump(M) / dt | K: the lumped matrix, which holds no block, joins the union with
    # its values.
    c, n, m = nodes_and_cloud(8)
    mass = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    for i in range(8):
        mass[0].add_entry(n[i], "f", n[i], "u", 1.0 + i)
        if i:
            mass[0].add_entry(n[i], "f", n[i - 1], "u", 0.5)
            mass[0].add_entry(n[i - 1], "f", n[i], "u", 0.5)
    mass.finalize()
    k = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    laplacian_1d(n, k[0], k=3.0)
    a = (q.lump(mass) / 0.01) | k
    a.finalize()
    return a, [(m, n)]


CASES = {
    "symmetric": symmetric_case,
    "unsymmetric": unsymmetric_case,
    "saddle_point": saddle_case,
    "lumped": lumped_case,
    "lumped_over_dt_with_stiffness": implicit_step_case,
}


def rhs_field(matrix, supports, values):
    """One zone per row support holding values[i] at row DOF i."""
    by_id = {}
    field = None
    rows = matrix.row_dofs()
    for mesh, nodes in supports:
        ids = {x.id: x for x in nodes}
        names = list(dict.fromkeys(var for node, var in rows if node in ids))
        zone = q.NodeField(mesh, names)
        for (node, var), v in zip(rows, values):
            if node in ids:
                zone[0].set_value(ids[node], var, v)
        by_id.update(ids)
        field = zone if field is None else field | zone
    return field, by_id


def solution_vector(matrix, x, by_id):
    return np.array([x.value(by_id[node], var) for node, var in matrix.col_dofs()])


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_solution_equals_scipy_spsolve_on_the_same_csr(make):
    a, supports = make()
    b = np.random.default_rng(3).standard_normal(a.n_rows())
    rhs, by_id = rhs_field(a, supports, b)
    got = solution_vector(a, q.solve(a, rhs), by_id)
    expected = spla.spsolve(csr_of(a).tocsc(), b)
    np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-12 * np.abs(expected).max())
    np.testing.assert_allclose(a.mul_dense(list(got)), b, atol=1e-10 * np.abs(b).max())


# --- right-hand side and solution shape ---------------------------------------


def test_rhs_missing_pairs_count_zero_and_foreign_pairs_are_ignored():
    c, n, m = nodes_and_cloud(10)
    a, lam, lam_nodes = saddle(c, n, m)
    # Only u-rows on half of the nodes, plus a component and nodes no row names.
    extra = [c.add_node([50.0]), c.add_node([51.0])]
    zone_mesh = poi1(c, n[:5] + extra)
    rhs = q.NodeField(zone_mesh, ["f", "junk"])
    b = np.zeros(a.n_rows())
    rows = a.row_dofs()
    for i, x in enumerate(n[:5]):
        rhs[0].set_value(x, "f", float(i + 1))
        rhs[0].set_value(x, "junk", 1e9)
        b[rows.index((x.id, "f"))] = float(i + 1)
    for x in extra:
        rhs[0].set_value(x, "f", 1e9)
    x = q.solve(a, rhs)
    # The solution covers every column DOF: one zone per column support, the
    # multipliers on theirs although the right-hand side has no zone there.
    assert len(x) == 2
    assert x[0].components() == ["u"] and x[0].node_count() == 10
    assert x[1].components() == ["lambda"] and x[1].node_count() == 2
    by_id = {p.id: p for p in n + lam_nodes}
    got = solution_vector(a, x, by_id)
    np.testing.assert_allclose(got, spla.spsolve(csr_of(a).tocsc(), b), rtol=1e-10, atol=1e-12)
    # The multipliers balance the loads (the floating Laplacian's rows sum to 0).
    assert got[-2] + got[-1] == pytest.approx(sum(range(1, 6)))


def test_first_zone_that_defines_a_pair_gives_its_value():
    c, n, m = nodes_and_cloud(3)
    a = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    for x in n:
        a[0].add_entry(x, "f", x, "u", 2.0)
    a.finalize()
    two = poi1(c, n[:2])
    two.add_sub(poi1(c, n)[0])
    rhs = q.NodeField(two, ["f"])
    for x in n:
        rhs[1].set_value(x, "f", 10.0)
    rhs[0].set_value(n[0], "f", 4.0)  # n[1] holds 0.0 in the first zone: it wins too
    x = q.solve(a, rhs)
    assert [x.value(p, "u") for p in n] == pytest.approx([2.0, 0.0, 5.0], rel=1e-14)


# --- the factorisation kept in the matrix ---------------------------------------


def test_cached_factors_give_the_same_solution_and_follow_matrix_changes():
    c, n, m = nodes_and_cloud(6)
    a = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    laplacian_1d(n, a[0])
    a.finalize()
    rhs = q.NodeField(m, ["f"])
    rhs[0].set_value(n[2], "f", 1.0)
    first = [q.solve(a, rhs).value(p, "u") for p in n]
    assert [q.solve(a, rhs).value(p, "u") for p in n] == first
    assert [q.solve(a, rhs, cache=False).value(p, "u") for p in n] == first
    assert [q.solve(a, rhs, "LU", True).value(p, "u") for p in n] == first
    # Editing a block changes no finalized matrix: its factors still stand.
    a[0].add_entry(n[0], "f", n[0], "u", 100.0)
    assert [q.solve(a, rhs).value(p, "u") for p in n] == first
    # A new block drops the finalized form and the cache; the next solve factorises
    # the new matrix (stale factors would give the old solution).
    extra = q.Matrix.block(m, m, ["f"], ["u"])
    extra[0].add_entry(n[5], "f", n[5], "u", 7.0)
    a.add_sub(extra[0])
    with raises(RuntimeError, NOT_FINALIZED):
        q.solve(a, rhs)
    a.finalize()
    expected = spla.spsolve(csr_of(a).tocsc(), [0, 0, 1.0, 0, 0, 0])
    got = [q.solve(a, rhs).value(p, "u") for p in n]
    np.testing.assert_allclose(got, expected, rtol=1e-12)
    assert got != first


# --- errors, in their order -------------------------------------------------------


def square(n_nodes=2, finalized=True, value=1.0):
    c, n, m = nodes_and_cloud(n_nodes)
    a = q.Matrix.block(m, m, ["f"], ["u"])
    for x in n:
        a[0].add_entry(x, "f", x, "u", value)
    if finalized:
        a.finalize()
    return a, q.NodeField(m, ["f"]), n


def test_argument_errors_come_before_any_work():
    a, rhs, _ = square(finalized=False)
    # The method is checked after every conversion, before the matrix is looked at.
    for text in ["Lu", "lU", " lu", "lu ", ""]:
        with raises(ValueError, f"unknown solver method '{text}' (expected 'lu')"):
            q.solve(a, rhs, text)
    with pytest.raises(TypeError, match="^argument 'method': "):
        q.solve(a, rhs, 1)
    with pytest.raises(TypeError, match="^argument 'cache': "):
        q.solve(a, rhs, "Lu", 1)  # the conversion fails before the method is checked
    with pytest.raises(TypeError, match="^argument 'matrix': "):
        q.solve(rhs, rhs)
    with pytest.raises(TypeError, match="^argument 'rhs': "):
        q.solve(a, a)
    with pytest.raises(TypeError):
        q.solve(a)
    with pytest.raises(TypeError):
        q.solve(a, rhs, methd="lu")
    b, rhs_b, _ = square()
    for method in [None, "lu", "LU"]:
        assert q.solve(matrix=b, rhs=rhs_b, method=method, cache=False)


def rectangular(finalized):
    c, n, m = nodes_and_cloud(3)
    a = q.Matrix.block(poi1(c, n[:2]), m, ["f"], ["u"])
    a[0].add_entry(n[0], "f", n[0], "u", 1.0)
    if finalized:
        a.finalize()
    return a, q.NodeField(m, ["f"])


def empty_finalized():
    a = q.Matrix()
    a.finalize()
    c, n, m = nodes_and_cloud(1)
    return a, q.NodeField(m, ["f"])


@pytest.mark.parametrize("make, text", [
    (lambda: empty_finalized(), "solve: matrix is empty"),
    (lambda: rectangular(False), "solve: matrix must be square; got 2×3"),
    (lambda: rectangular(True), "solve: matrix must be square; got 2×3"),
    (lambda: square(finalized=False)[:2], NOT_FINALIZED),
], ids=["empty", "rectangular_unfinalized", "rectangular", "unfinalized"])
def test_shape_errors(make, text):
    a, rhs = make()
    with raises(RuntimeError, text):
        q.solve(a, rhs)


# --- singular systems and values that are no numbers -------------------------------


def dof(ids, variables):
    """A regex for one degree of freedom as the solvers print it, its node among `ids`."""
    return r"\(NodeId\((?:{})\), '(?:{})'\)".format("|".join(str(i) for i in ids), "|".join(variables))


def literal_matrix(n_nodes, entries):
    """A finalized (n × n) literal matrix from (row, column, value) entries by node index."""
    c, n, m = nodes_and_cloud(n_nodes)
    a = q.Matrix.block(m, m, ["f"], ["u"])
    for i, j, v in entries:
        a[0].add_entry(n[i], "f", n[j], "u", v)
    a.finalize()
    rhs = q.NodeField(m, ["f"])
    rhs[0].set_value(n[0], "f", 1.0)
    return a, rhs, n


def truss(holds=()):
    """Three nodes on a bar of two SEG2 trusses (E·A = 6), each node index in `holds`
    held on u_x by a Dirichlet of its own (an index given twice is held twice), and a
    load of 6 on the last node. Returns the model, its matrix, the load, the nodes
    and the multiplier nodes."""
    c = q.Coords(1)
    n = [c.add_node([float(i)]) for i in range(3)]
    m = q.Mesh(c, "SEG2")
    m[0].add_cell([n[0], n[1]])
    m[0].add_cell([n[1], n[2]])
    model = q.Model.truss(q.FiniteElementSpace(m))
    multipliers = []
    for i in holds:
        multipliers.append(c.add_node([-1.0 - len(multipliers)]))
        model = model | q.Model.dirichlet("u_x", "f_x", q.poi1_from_nodes([n[i]]),
                                          q.poi1_from_nodes([multipliers[-1]]))
    K = q.stiffness(model, q.material_field(model, [("E", 2.0), ("A", 3.0)]))
    f = q.NodeField(q.poi1_from_nodes([n[2]]), ["f_x"])
    f[0].set_value(n[2], "f_x", 6.0)
    return model, K, f, n, multipliers


def floating_cube():
    """Eight HEX8 cells of a free elastic cube: six rigid-body modes."""
    c = q.Coords(3)
    g = {(i, j, k): c.add_node([i / 2, j / 2, k / 2]) for i in range(3) for j in range(3) for k in range(3)}
    m = q.Mesh(c, "HEX8")
    for i, j, k in [(i, j, k) for i in range(2) for j in range(2) for k in range(2)]:
        m[0].add_cell([g[i, j, k], g[i + 1, j, k], g[i + 1, j + 1, k], g[i, j + 1, k],
                       g[i, j, k + 1], g[i + 1, j, k + 1], g[i + 1, j + 1, k + 1], g[i, j + 1, k + 1]])
    model = q.Model.elasticity(q.FiniteElementSpace(m), "solid")
    K = q.stiffness(model, q.material_field(model, [("E", 1.0), ("nu", 0.3)]))
    f = q.NodeField(q.poi1_from_nodes([g[2, 2, 2]]), ["f_x"])
    f[0].set_value(g[2, 2, 2], "f_x", 1.0)
    return K, f, [p.id for p in g.values()]


def singular_cases():
    def empty_row():
        # An explicit zero keeps the row of n[1], which holds nothing else.
        a, rhs, n = literal_matrix(3, [(0, 0, 1.0), (1, 1, 0.0), (2, 2, 1.0)])
        return a, rhs, dof([n[1].id], ["u"])

    def cancelling(off):
        def make():
            a, rhs, n = literal_matrix(2, [(0, 0, 1.0), (0, 1, off[0]), (1, 0, off[1]), (1, 1, off[0] * off[1])])
            return a, rhs, dof([p.id for p in n], ["u"])
        return make

    def floating_truss():
        # Nothing holds the bar: before, u came back near -4.5e15 at every node.
        model, K, f, n, _ = truss()
        return K, f, dof([p.id for p in n], ["u_x"])

    def held_twice():
        # Two relations on one DOF: their rows are equal, a multiplier has no pivot.
        model, K, f, n, mult = truss(holds=(0, 0))
        return K, f, dof([p.id for p in mult], ["lambda_u_x"])

    def cube():
        K, f, ids = floating_cube()
        one = dof(ids, ["u_x", "u_y", "u_z"])
        return K, f, f"{one}, {one}, {one} and 3 more"

    def plate():
        # Its rotation leaves a pivot near the threshold, found or not by ordering;
        # the two translations always are.
        K, f, g = stretched_plate(PLATE_CELLS, held=False)
        one = dof([p.id for p in g.values()], ["u_x", "u_y"])
        return K, f, f"{one}, {one}(, {one})?"

    return {"empty_row": empty_row, "cancelling_symmetric": cancelling((1.0, 1.0)),
            "cancelling_unsymmetric": cancelling((2.0, 0.5)), "floating_truss": floating_truss,
            "held_twice": held_twice, "floating_cube": cube,
            "floating_plate": plate}


@pytest.mark.parametrize("make", singular_cases().values(), ids=singular_cases().keys())
@pytest.mark.parametrize("cache", [True, False])
def test_singular_matrices_name_the_unknowns_without_pivot(make, cache):
    a, rhs, named = make()
    singular = r"^solve: LU failed \(matrix is singular\): no pivot for " + named + "$"
    for _ in range(2):  # nothing was kept: the second call fails the same way
        with pytest.raises(RuntimeError, match=singular):
            q.solve(a, rhs, cache=cache)


@pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan], ids=["inf", "-inf", "nan"])
@pytest.mark.parametrize("method", [None, "lu"])
def test_non_finite_matrix_values_are_refused_before_factorising(value, method):
    # The library's symmetric analysis read these out of bounds and killed the process.
    a, rhs, n = literal_matrix(2, [(0, 0, 1.0), (0, 1, value), (1, 0, value), (1, 1, 1.0)])
    with raises(RuntimeError, f"solve: the matrix holds a non-finite value at row (NodeId({n[0].id}), 'f'), "
                f"column (NodeId({n[1].id}), 'u')"):
        q.solve(a, rhs, method=method)
    # Tridiagonal with one pair: the first in row order is named, not the mirror.
    entries = [(i, i, 2.0) for i in range(3)] + [(0, 1, -1.0), (1, 0, -1.0), (1, 2, value), (2, 1, value)]
    a, rhs, n = literal_matrix(3, entries)
    with raises(RuntimeError, f"solve: the matrix holds a non-finite value at row (NodeId({n[1].id}), 'f'), "
                f"column (NodeId({n[2].id}), 'u')"):
        q.solve(a, rhs, method=method)


def test_non_finite_right_hand_side_names_its_dof():
    model, K, f, n, mult = truss(holds=(0,))
    x = q.solve(K, f)
    assert x.value(n[2], "u_x") == pytest.approx(2.0, rel=1e-14)  # 6 / (E·A / 1) over two bars
    bad = q.NodeField(q.poi1_from_nodes(n), ["f_x"])
    bad[0].set_value(n[1], "f_x", math.inf)
    bad[0].set_value(n[2], "f_x", math.nan)
    for cache in (True, False):
        with raises(RuntimeError, f"solve: the right-hand side holds a non-finite value at (NodeId({n[1].id}), 'f_x')"):
            q.solve(K, bad, cache=cache)
    # A value the matrix has no row for is not read.
    foreign = q.NodeField(q.poi1_from_nodes(n), ["f_x", "junk"])
    foreign[0].set_value(n[2], "f_x", 6.0)
    foreign[0].set_value(n[2], "junk", math.nan)
    assert q.solve(K, foreign).value(n[2], "u_x") == x.value(n[2], "u_x")


# --- regular systems that are merely ill-conditioned -------------------------------


def slender_frame():
    """A Timoshenko cantilever of 100 planar frame elements, L = 100, I = 1e-6 (a
    condition number near 3e13), a unit tip load: its tip deflection against
    P L³ / (3 E I) + P L / (G A_s)."""
    c = q.Coords(2)
    length, count, inertia, shear = 100.0, 100, 1e-6, 0.4
    nodes = [c.add_node([length * i / count, 0.0]) for i in range(count + 1)]
    m = q.Mesh(c, "SEG2")
    for a, b in zip(nodes, nodes[1:]):
        m[0].add_cell([a, b])
    model = q.Model.frame(q.FiniteElementSpace(m))
    for variable, dual in (("u_x", "f_x"), ("u_y", "f_y"), ("rz", "m_z")):
        model = model | q.Model.dirichlet(variable, dual, q.poi1_from_nodes([nodes[0]]),
                                          q.poi1_from_nodes([c.add_node([-1.0, float(len(model))])]))
    section = [("E", 1.0), ("A", 1.0), ("I", inertia), ("G", shear), ("A_s", 1.0)]
    K = q.stiffness(model, q.material_field_per_sub_model(model, [section] + [[]] * 3))
    f = q.NodeField(q.poi1_from_nodes([nodes[-1]]), ["f_y"])
    f[0].set_value(nodes[-1], "f_y", 1.0)
    return q.solve(K, f).value(nodes[-1], "u_y"), length ** 3 / (3 * inertia) + length / shear


def stretched_plate(n, held=True):
    """The unit square in n² QUA4 plane-stress cells (E = 1, nu = 0.3) pulled along x by
    a unit traction on the edge x = 1 as consistent nodal loads. Held by multipliers on
    u_x along x = 0 and on u_y at the origin, it stretches uniformly: u_x = x, u_y =
    -0.3 y, which bilinear cells hold exactly; unheld, it keeps its three rigid-body
    modes. Returns the matrix, the load and the grid's nodes by (i, j)."""
    c = q.Coords(2)
    g = {(i, j): c.add_node([i / n, j / n]) for j in range(n + 1) for i in range(n + 1)}
    m = q.Mesh(c, "QUA4")
    for i, j in [(i, j) for j in range(n) for i in range(n)]:
        m[0].add_cell([g[i, j], g[i + 1, j], g[i + 1, j + 1], g[i, j + 1]])
    model = q.Model.elasticity(q.FiniteElementSpace(m), "plane_stress")
    if held:
        left = [g[0, j] for j in range(n + 1)]
        model = model | q.Model.dirichlet("u_x", "f_x", q.poi1_from_nodes(left), q.poi1_from_nodes(
            [c.add_node([-1.0, float(k)]) for k in range(len(left))]))
        model = model | q.Model.dirichlet("u_y", "f_y", q.poi1_from_nodes([g[0, 0]]),
                                          q.poi1_from_nodes([c.add_node([-2.0, 0.0])]))
    K = q.stiffness(model, q.material_field(model, [("E", 1.0), ("nu", 0.3)]))
    right = [g[n, j] for j in range(n + 1)]
    f = q.NodeField(q.poi1_from_nodes(right), ["f_x"])
    for j, p in enumerate(right):
        f[0].set_value(p, "f_x", (0.5 if j in (0, n) else 1.0) / n)
    return K, f, g


# A plate large enough (over 10 000 unknowns) for the ordering the solver keeps for
# planar meshes.
PLATE_CELLS = 72


def test_planar_saddle_point_matrix_gives_the_exact_uniform_stretch():
    K, f, g = stretched_plate(PLATE_CELLS)
    assert K.n_rows() > 10_000
    x = q.solve(K, f)
    for p in g.values():
        px, py = p.coord()
        assert x.value(p, "u_x") == pytest.approx(px, abs=1e-11)
        assert x.value(p, "u_y") == pytest.approx(-0.3 * py, abs=1e-11)


def clamped_cube(n, youngs):
    """The unit cube in n³ HEX8 cells, face x = 0 held by multipliers, a unit load
    along x on every node of face x = 1. Cell (i, j, k) takes E = youngs[(i + j + k)
    % len(youngs)] (nu = 0.3). Returns the matrix, the load and the grid's nodes."""
    c = q.Coords(3)
    r = range(n + 1)
    g = {(i, j, k): c.add_node([i / n, j / n, k / n]) for i in r for j in r for k in r}
    parts = [q.Mesh(c, "HEX8") for _ in youngs]
    for i, j, k in [(i, j, k) for i in range(n) for j in range(n) for k in range(n)]:
        parts[(i + j + k) % len(youngs)][0].add_cell(
            [g[i, j, k], g[i + 1, j, k], g[i + 1, j + 1, k], g[i, j + 1, k],
             g[i, j, k + 1], g[i + 1, j, k + 1], g[i + 1, j + 1, k + 1], g[i, j + 1, k + 1]])
    mesh = parts[0]
    for part in parts[1:]:
        mesh = mesh | part
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "solid")
    left = [g[0, j, k] for j in r for k in r]
    for variable, dual in (("u_x", "f_x"), ("u_y", "f_y"), ("u_z", "f_z")):
        model = model | q.Model.dirichlet(variable, dual, q.poi1_from_nodes(left), q.poi1_from_nodes(
            [c.add_node([-1.0 - len(model), float(k), 0.0]) for k in range(len(left))]))
    K = q.stiffness(model, q.material_field_per_sub_model(
        model, [[("E", e), ("nu", 0.3)] for e in youngs] + [[]] * 3))
    right = [g[n, j, k] for j in r for k in r]
    f = q.NodeField(q.poi1_from_nodes(right), ["f_x"])
    for p in right:
        f[0].set_value(p, "f_x", 1.0)
    return K, f, g


def stiff_and_soft():
    """A clamped cube of 3³ cells in a checkerboard of E = 1 and E = 1e10, pulled
    along x: the solution against scipy's on the same matrix."""
    K, f, g = clamped_cube(3, [1.0, 1e10])
    x = q.solve(K, f)
    by_id = {p.id: p for p in g.values()}
    loaded = {p.id for (i, _, _), p in g.items() if i == 3}
    b = np.array([1.0 if node in loaded and var == "f_x" else 0.0 for node, var in K.row_dofs()])
    expected = spla.spsolve(csr_of(K).tocsc(), b)
    got = [x.value(by_id[node], var) for node, var in K.col_dofs() if node in by_id]
    return np.array(got), expected[[i for i, (node, _) in enumerate(K.col_dofs()) if node in by_id]]


def test_ill_conditioned_regular_systems_still_solve():
    deflection, exact = slender_frame()
    assert deflection == pytest.approx(exact, rel=1e-3)
    got, expected = stiff_and_soft()
    np.testing.assert_allclose(got, expected, rtol=1e-8, atol=1e-8 * np.abs(expected).max())


# --- the same bits every time -------------------------------------------------------


def heat_square():
    """A heat problem of about 1000 rows held on one edge by multipliers."""
    coords = q.Coords(2)
    corners = [coords.add_node(x) for x in ([0, 0], [1, 0], [1, 1], [0, 1])]
    sides = [q.line(corners[i], corners[(i + 1) % 4], 31) for i in range(4)]
    mesh = q.transfinite(*sides)
    edge = list({node.id: node for cell in sides[0][0] for node in cell}.values())
    space = q.FiniteElementSpace(mesh)
    multipliers = q.poi1_from_nodes([coords.add_node([-1.0, float(k)]) for k in range(len(edge))])
    model = q.Model.heat_conduction(space) | q.Model.dirichlet("T", "q", q.poi1_from_nodes(edge), multipliers)
    K = q.stiffness(model, q.material_field(model, [("k", 2.0)]))
    return K, q.flux(space[0], 8.0, "q")


@pytest.mark.parametrize("make", [heat_square, lambda: clamped_cube(8, [1.0])[:2],
                                  lambda: stretched_plate(PLATE_CELLS)[:2]],
                         ids=["heat_2d", "elastic_cube", "elastic_plate"])
def test_repeated_solves_give_the_same_bits(make):
    # Every factorisation orders the matrix anew (cache off), and every one must give
    # the same bits. The ordering once drew on a generator shared by the process and
    # on its own threads; the cube's fronts are large enough for the threaded dense
    # kernels, whose sums must split the same way on every call.
    K, f = make()

    def bits(x):
        return b"".join(np.array([zone.node_values(i) for i in range(zone.node_count())]).tobytes() for zone in x)

    first = bits(q.solve(K, f, cache=False))
    assert all(bits(q.solve(K, f, cache=False)) == first for _ in range(19))
    assert bits(q.solve(K, f)) == first


def test_non_finite_solution_reports_a_singular_matrix():
    # A pivot so small that x overflows: the factorisation completes, x does not.
    a, rhs, n = square(n_nodes=2, value=1e-300)
    rhs[0].set_value(n[1], "f", 1e300)
    with raises(RuntimeError, "solve: LU failed (matrix is singular)"):
        q.solve(a, rhs)
    # The factors stored before the failure are met again.
    with raises(RuntimeError, "solve: LU failed (matrix is singular)"):
        q.solve(a, rhs)


# --- interruption -----------------------------------------------------------------


def laplacian_3d(n):
    """The 7-point Laplacian on n³ nodes, anchored at one corner."""
    c = q.Coords(3)
    nodes = [c.add_node([float(i), float(j), float(k)]) for k in range(n) for j in range(n) for i in range(n)]
    m = poi1(c, nodes)
    a = q.Matrix.block(m, m, ["f"], ["u"], symmetric=True)
    blk = a[0]
    idx = lambda i, j, k: (k * n + j) * n + i
    for k in range(n):
        for j in range(n):
            for i in range(n):
                p = nodes[idx(i, j, k)]
                blk.add_entry(p, "f", p, "u", 6.0 + (p is nodes[0]))
                for di, dj, dk in [(1, 0, 0), (0, 1, 0), (0, 0, 1)]:
                    if i + di < n and j + dj < n and k + dk < n:
                        o = nodes[idx(i + di, j + dj, k + dk)]
                        blk.add_entry(p, "f", o, "u", -1.0)
                        blk.add_entry(o, "f", p, "u", -1.0)
    a.finalize()
    return a, m, nodes


def test_a_signal_during_the_factorisation_interrupts_after_it(request):
    a, m, nodes = laplacian_3d(30)
    rhs = q.NodeField(m, ["f"])
    rhs[0].set_value(nodes[-1], "f", 1.0)
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    request.addfinalizer(lambda: signal.signal(signal.SIGALRM, previous))
    # The alarm rings while the factorisation runs; it is seen at the next phase
    # boundary. (Rung before the call, it would raise a bare KeyboardInterrupt.)
    # The expectation (its pattern compiled) is made before the alarm is armed, so that
    # the alarm cannot ring in the test's own code.
    expected = raises(KeyboardInterrupt, INTERRUPTED)
    signal.setitimer(signal.ITIMER_REAL, 0.002)
    try:
        with expected:
            q.solve(a, rhs)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    # The call ended cleanly: the matrix is usable and the next solve succeeds.
    x = q.solve(a, rhs)
    assert x.value(nodes[-1], "u") > 0.0
