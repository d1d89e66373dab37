"""The module function solve_eliminate: master/slave elimination of the linear
constraints of assembled elastic problems, checked against the multiplier solution
of `solve` on the same matrix (primal values) and against f_s − (K·u)_s computed
with numpy (reactions); the slave choice, the condensation kept in the matrix, and
every error in its order."""

import math

import numpy as np
import pytest

import _quenlith as q
from helpers import Coords2, grid, patch_of_five, poi1, quarter_ring, raises, rhs_for, support

NOT_FINALIZED = "Matrix has not been finalized; call finalize() before solving"


def dense(matrix):
    return np.array(matrix.dense()).reshape(matrix.n_rows(), matrix.n_cols())


# --- the problems of the assembly tests -------------------------------------------
# Each returns (model, K, rhs, c) with c the Coords2 that made every node.


def clamped_bar(nx=4, ny=2):
    L, h, E, F = 2.0, 0.5, 200.0, 3.0
    c = Coords2()
    n, mesh = grid(c, nx, ny, L, h)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    model = body | support(c, [row[0] for row in n], "u_x", "f_x") | support(c, [n[0][0]], "u_y", "f_y")
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", 0.3)]))
    loads = {(row[-1].id, "f_x"): F / ny * (0.5 if j in (0, ny) else 1.0) for j, row in enumerate(n)}
    loads[(n[ny][nx].id, "f_y")] = -0.25  # bending too
    return model, K, rhs_for(K, c, loads), c


def distorted_patch():
    """Five distorted quadrilaterals, a linear displacement imposed on the corners
    (nonzero imposed values in both components)."""
    c = Coords2()
    pts, nd, mesh = patch_of_five(c)
    dx, dy = support(c, nd[:4], "u_x", "f_x"), support(c, nd[:4], "u_y", "f_y")
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress") | dx | dy
    K = q.stiffness(model, q.material_field(model, [("E", 1e6), ("nu", 0.25)]))
    values = {(nd[6].id, "f_x"): 3.0}
    for sub, comp in ((dx, 0), (dy, 1)):
        g = sub.constraint_rhs([(nd[k], 1e-3 * (pts[k][comp] + pts[k][1 - comp] / 2)) for k in range(4)])
        for zone in g:
            for row, cell in enumerate(zone.support_submesh()):
                values[(cell[0].id, zone.components()[0])] = zone.node_values(row)[0]
    return model, K, rhs_for(K, c, values), c


def thick_ring():
    """A quarter ring of QUA8 cells in plane strain, symmetry supports on its
    straight edges and a radial load on its inner nodes."""
    a, b, E, nu = 1.0, 2.0, 1000.0, 0.3
    nr, nt = 2, 3
    c = Coords2()
    lat, ring = quarter_ring(c, a, b, nr, nt)
    model = (q.Model.elasticity(q.FiniteElementSpace(ring, "LAGRANGE2"), "plane_strain")
             | support(c, [lat[i, 0] for i in range(2 * nr + 1)], "u_y", "f_y")
             | support(c, [lat[i, 2 * nt] for i in range(2 * nr + 1)], "u_x", "f_x"))
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", nu)]))
    loads = {}
    for j in range(2 * nt + 1):
        t = math.pi / 2 * j / (2 * nt)
        loads[(lat[0, j].id, "f_x")] = math.cos(t)
        loads[(lat[0, j].id, "f_y")] = math.sin(t)
    return model, K, rhs_for(K, c, loads), c


PROBLEMS = {"clamped_bar_1x1": lambda: clamped_bar(1, 1), "clamped_bar_4x2": clamped_bar,
            "distorted_patch": distorted_patch, "thick_ring_qua8": thick_ring}


def multiplier_ids(model):
    return {cell[0].id for sub in model.multiplier_mesh() for cell in sub}


@pytest.mark.parametrize("make", PROBLEMS.values(), ids=PROBLEMS.keys())
def test_primal_values_equal_the_multiplier_solution(make):
    model, K, rhs, c = make()
    ref = q.solve(K, rhs, cache=False)
    got = q.solve_eliminate(model, K, rhs)
    mult = multiplier_ids(model)
    physics = [(node, var) for node, var in K.col_dofs() if node not in mult]
    expected = np.array([ref.value(c.by_id[node], var) for node, var in physics])
    values = np.array([got.value(c.by_id[node], var) for node, var in physics])
    assert np.abs(values - expected).max() <= 1e-12 * np.abs(expected).max()
    # One zone: the primal variables, then the slaves' duals.
    assert len(got) == 1
    assert got[0].components()[:2] == ["u_x", "u_y"] and set(got[0].components()[2:]) <= {"f_x", "f_y"}


def physics_system(model, K, rhs, c):
    """The physics block of K, its row and column DOFs, and f, with numpy."""
    mult = multiplier_ids(model)
    rows = [(i, d) for i, d in enumerate(K.row_dofs()) if d[0] not in mult]
    cols = [(j, d) for j, d in enumerate(K.col_dofs()) if d[0] not in mult]
    k = dense(K)[np.ix_([i for i, _ in rows], [j for j, _ in cols])]
    f = np.array([rhs.value(c.by_id[node], var) for _, (node, var) in rows])
    return k, [d for _, d in rows], [d for _, d in cols], f


@pytest.mark.parametrize("make", [clamped_bar, distorted_patch, thick_ring],
                         ids=["clamped_bar", "distorted_patch", "thick_ring_qua8"])
def test_reactions_are_the_unbalanced_loads_and_balance_the_applied_ones(make):
    model, K, rhs, c = make()
    got = q.solve_eliminate(model, K, rhs)
    k, rows, cols, f = physics_system(model, K, rhs, c)
    u = np.array([got.value(c.by_id[node], var) for node, var in cols])
    unbalanced = f - k @ u
    # At a slave its reaction, f_s − (K·u)_s; at every other DOF 0.0, where the
    # reduced equations leave nothing unbalanced.
    reported = np.array([got.value(c.by_id[node], var) for node, var in rows])
    scale = np.abs(f).max()
    assert np.abs(reported - unbalanced).max() <= 1e-9 * scale
    assert np.count_nonzero(reported) == sum(len(sub.multiplier_mesh()[0]) for sub in model
                                             if sub.physics() == ["constraint"])
    # The reactions balance the applied loads direction by direction, and each
    # constraint's reactions sum to its multipliers in the saddle-point solution.
    ref = q.solve(K, rhs, cache=False)
    for sub in model:
        if sub.physics() != ["constraint"]:
            continue
        lam_name, dual = sub.primal_vars()[0], {"lambda_u_x": "f_x", "lambda_u_y": "f_y"}[sub.primal_vars()[0]]
        lam = sum(ref.value(c.by_id[cell[0].id], lam_name) for cell in sub.multiplier_mesh()[0])
        reactions = sum(r for (node, var), r in zip(rows, reported) if var == dual)
        applied = sum(v for (node, var), v in zip(rows, f) if var == dual)
        assert reactions == pytest.approx(applied, abs=1e-9 * scale)
        assert reactions == pytest.approx(lam, abs=1e-9 * scale)


def test_clamped_end_carries_the_end_load():
    # The slaves take their imposed values exactly; their reactions carry the load.
    model, K, rhs, c = clamped_bar(4, 2)
    got = q.solve_eliminate(model, K, rhs)
    left = [node for node, var in K.col_dofs() if var == "u_x" and c.by_id[node].coord()[0] == 0.0]
    assert sum(got.value(c.by_id[node], "f_x") for node in left) == pytest.approx(3.0, rel=1e-10)
    assert all(got.value(c.by_id[node], "u_x") == 0.0 for node in left)


# --- the slave choice -------------------------------------------------------------


def tied_strip():
    """A 3x1 strip clamped on its left edge, pulled at its right edge."""
    c = Coords2()
    n, mesh = grid(c, 3, 1, 3.0, 1.0)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    clamp = support(c, [n[0][0], n[1][0]], "u_x", "f_x") | support(c, [n[0][0]], "u_y", "f_y")
    return c, n, body, clamp


def mpc(c, terms, sense=None):
    """One relation Σ coef·var(node) (sense) g, at a new multiplier node."""
    mult = poi1(c, [c.add_node([-50.0, -50.0 - len(c.by_id)])])
    return q.Model.mpc([(poi1(c, [node]), var, dual, coef) for node, var, dual, coef in terms], mult, sense=sense)


def test_equal_magnitudes_make_the_later_term_the_slave():
    c, n, body, clamp = tied_strip()
    a, b = n[0][2], n[1][2]
    tie = mpc(c, [(a, "u_x", "f_x", 2.0), (b, "u_x", "f_x", -2.0)])
    model = body | clamp | tie
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    rhs = rhs_for(K, c, {(n[1][3].id, "f_x"): 1.0, (n[0][3].id, "f_y"): 0.3})
    got = q.solve_eliminate(model, K, rhs)
    ref = q.solve(K, rhs, cache=False)
    assert got.value(a, "u_x") == pytest.approx(got.value(b, "u_x"), rel=1e-13)
    assert got.value(b, "u_x") == pytest.approx(ref.value(b, "u_x"), rel=1e-12)
    # u_b is the slave: its reaction is the tie's force on it, −2·λ; u_a reports 0.
    lam = ref.value(c.by_id[tie.multiplier_mesh()[0][0][0].id], "lambda_mpc")
    assert got.value(b, "f_x") == pytest.approx(-2.0 * lam, rel=1e-9)
    assert got.value(a, "f_x") == 0.0


def test_two_relations_may_share_a_master_and_missing_values_count_zero():
    c, n, body, clamp = tied_strip()
    m = n[0][3]
    ties = mpc(c, [(n[0][1], "u_y", "f_y", 1.0), (m, "u_y", "f_y", -0.5)]) | \
        mpc(c, [(n[1][1], "u_y", "f_y", 1.0), (m, "u_y", "f_y", -0.5)])
    model = body | clamp | ties
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    rhs = rhs_for(K, c, {(n[1][3].id, "f_y"): -1.0})
    got = q.solve_eliminate(model, K, rhs)
    ref = q.solve(K, rhs, cache=False)
    for row in n:
        for node in row:
            for var in ("u_x", "u_y"):
                assert got.value(node, var) == pytest.approx(ref.value(node, var), rel=1e-12, abs=1e-14)
    assert got.value(n[0][1], "u_y") == pytest.approx(0.5 * got.value(m, "u_y"), rel=1e-13)


def test_a_model_without_constraint_takes_the_plain_solve():
    c = Coords2()
    n, mesh = grid(c, 2, 1, 2.0, 1.0)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    model = body | support(c, [n[0][0], n[1][0]], "u_x", "f_x") | support(c, [n[0][0]], "u_y", "f_y")
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    rhs = rhs_for(K, c, {(n[1][2].id, "f_x"): 1.0})
    got, ref = q.solve_eliminate(body, K, rhs), q.solve(K, rhs)
    # The same zones (one per column support, multipliers included), the same bits.
    assert len(got) == len(ref)
    for node, var in K.col_dofs():
        assert got.value(c.by_id[node], var) == ref.value(c.by_id[node], var)


# --- the condensation kept in the matrix --------------------------------------------


def test_cached_condensation_is_reused_until_another_solver_replaces_it():
    c, n, body, clamp = tied_strip()
    model = body | clamp
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    first = rhs_for(K, c, {(n[1][3].id, "f_x"): 1.0})
    second = rhs_for(K, c, {(n[0][3].id, "f_y"): -2.0})
    q.solve_eliminate(model, K, first)
    # A model whose relation is unilateral cannot be condensed, yet the cached
    # condensation serves it: the model is not looked at again.
    bound = model | support(c, [n[1][3]], "u_y", "f_y", sense=">=")
    unilateral = ("elimination: relation at multiplier node {} is unilateral ('>=') — solve it with solve_unilateral"
                  .format(bound[-1].multiplier_mesh()[0][0][0].id))
    got = q.solve_eliminate(bound, K, second)
    ref = q.solve(K, second, cache=False)
    assert got.value(n[0][3], "u_y") == pytest.approx(ref.value(n[0][3], "u_y"), rel=1e-12)
    # Without the cache a fresh condensation is built (and refused), the slot untouched.
    with raises(RuntimeError, unilateral):
        q.solve_eliminate(bound, K, second, cache=False)
    assert q.solve_eliminate(bound, K, second).value(n[0][3], "u_y") == got.value(n[0][3], "u_y")
    # solve stores its own factors in place of the condensation: the next call builds.
    q.solve(K, second)
    with raises(RuntimeError, unilateral):
        q.solve_eliminate(bound, K, second)


# --- errors, in their order ------------------------------------------------------


def literal(c, nodes, rows, cols, col_nodes=None):
    """A finalized literal matrix, identity-like over `rows` × `cols` names."""
    m_rows = poi1(c, nodes)
    m_cols = poi1(c, col_nodes or nodes)
    a = q.Matrix.block(m_rows, m_cols, rows, cols)
    for x in nodes:
        for r, v in zip(rows, cols):
            a[0].add_entry(x, r, x, v, 1.0)
    return a


def constrained_literal(c, nodes, rows=("f",), cols=("u",), col_nodes=None, finalized=True, var="u"):
    """A literal physics block with a Dirichlet on `var` at nodes[0], with its blocks."""
    clamp = support(c, [nodes[0]], var, "f")
    k = literal(c, nodes, list(rows), list(cols), col_nodes)
    constraint = q.stiffness(clamp, q.ElementField(q.FiniteElementSpace(grid(c, 1, 1, 1.0, 1.0)[1]), ["E"]))
    a = k | constraint
    if finalized:
        a.finalize()
    return clamp, a


def test_errors_in_their_order():
    c = Coords2()
    nodes = [c.add_node([float(i), 0.0]) for i in range(3)]
    rhs = q.NodeField(poi1(c, nodes), ["f"])
    cases = []
    # A unilateral relation is refused before the matrix is looked at.
    bound = support(c, [nodes[0]], "u", "f", sense="<=")
    clamp, unfinalized = constrained_literal(c, nodes, finalized=False)
    cases.append((bound, unfinalized, "elimination: relation at multiplier node {} is unilateral ('<=') — solve it "
                  "with solve_unilateral".format(bound.multiplier_mesh()[0][0][0].id)))
    # Shape of the physics block, then its alignment, then finalization.
    clamp2, not_square = constrained_literal(c, nodes, rows=("f",), cols=("u", "v"), finalized=False)
    cases.append((clamp2, not_square, "elimination: physics block is not square (3 dual rows vs 6 primal cols)"))
    clamp3, crossed = constrained_literal(c, nodes, col_nodes=nodes[::-1], finalized=False)
    cases.append((clamp3, crossed, "elimination: physics row/column DOFs are not conjugate-aligned; this physics is "
                  "unsupported by the elimination solver"))
    cases.append((clamp, unfinalized, NOT_FINALIZED))
    # Relation by relation.
    clamp, a = constrained_literal(c, nodes)
    other = support(c, [nodes[1]], "w", "f")
    cases.append((clamp | other, a, f"elimination: term (NodeId({nodes[1].id}), 'w') is not a physics DOF of the "
                  "matrix"))
    again = support(c, [nodes[0]], "u", "f")
    cases.append((clamp | again, a, "elimination: relation at multiplier node {} has no eliminable DOF — all its "
                  "terms are already constrained (chaining is out of scope, v1)"
                  .format(again.multiplier_mesh()[0][0][0].id)))
    zero = mpc(c, [(nodes[1], "u", "f", 0.0)])
    cases.append((zero, a, "elimination: relation at multiplier node {} has no term with a nonzero coefficient"
                  .format(zero.multiplier_mesh()[0][0][0].id)))
    twice = mpc(c, [(nodes[1], "u", "f", 1.0), (nodes[1], "u", "f", 2.0)])
    cases.append((twice, a, "elimination: relation at multiplier node {} names its slave DOF (NodeId({}), 'u') more "
                  "than once — merge those terms into one".format(twice.multiplier_mesh()[0][0][0].id, nodes[1].id)))
    chained = mpc(c, [(nodes[0], "u", "f", 1.0), (nodes[1], "u", "f", 0.5)])
    cases.append((clamp | chained, a, f"elimination: master DOF (NodeId({nodes[0].id}), 'u') is a slave of another "
                  "relation — chaining is out of scope (v1)"))
    # Every physics DOF a slave: nothing left to factorise.
    clamp, single = constrained_literal(c, nodes[:1])
    cases.append((clamp, single, "solve: matrix is empty"))
    # Values that are no numbers: in a relation (its ratios would fill T), then in the
    # physics block (named by its first one in row order).
    clamp, a = constrained_literal(c, nodes)
    nan_tie = mpc(c, [(nodes[1], "u", "f", 1.0), (nodes[2], "u", "f", math.nan)])
    cases.append((clamp | nan_tie, a, "elimination: relation at multiplier node {} has a non-finite coefficient at "
                  "(NodeId({}), 'u')".format(nan_tie.multiplier_mesh()[0][0][0].id, nodes[2].id)))
    clamp = support(c, [nodes[0]], "u", "f")
    k = literal(c, nodes, ["f"], ["u"])
    k[0].add_entry(nodes[2], "f", nodes[1], "u", math.inf)
    k[0].add_entry(nodes[1], "f", nodes[2], "u", math.nan)
    a = k | q.stiffness(clamp, q.ElementField(q.FiniteElementSpace(grid(c, 1, 1, 1.0, 1.0)[1]), ["E"]))
    a.finalize()
    cases.append((clamp, a, f"elimination: the matrix holds a non-finite value at row (NodeId({nodes[1].id}), 'f'), "
                  f"column (NodeId({nodes[2].id}), 'u')"))
    for model, matrix, text in cases:
        with raises(RuntimeError, text):
            q.solve_eliminate(model, matrix, rhs)


def test_a_reduced_system_left_floating_names_its_free_dofs():
    # A tie between two corners of the strip holds nothing: it still drifts and
    # turns, and the reduced system names (some of) the free DOFs of those modes.
    c, n, body, clamp = tied_strip()
    tie = mpc(c, [(n[0][0], "u_x", "f_x", 1.0), (n[1][0], "u_x", "f_x", -1.0)])
    model = body | tie
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    rhs = rhs_for(K, c, {(n[1][3].id, "f_x"): 1.0})
    free = r"\(NodeId\(\d+\), 'u_[xy]'\)"
    with pytest.raises(RuntimeError, match=rf"^solve: reduced LU failed \(matrix is singular\): no pivot for "
                       rf"{free}(, {free}){{0,2}}$"):
        q.solve_eliminate(model, K, rhs)
    # The slave is no free DOF, so it is never named.
    with pytest.raises(RuntimeError) as failure:
        q.solve_eliminate(model, K, rhs, cache=False)
    assert f"(NodeId({n[1][0].id}), 'u_x')" not in str(failure.value)


def test_non_finite_right_hand_sides_name_their_dof():
    c, n, body, clamp = tied_strip()
    model = body | clamp
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    held = clamp[0].multiplier_mesh()[0][0][0].id
    cases = [
        ({(n[1][3].id, "f_x"): math.nan}, f"(NodeId({n[1][3].id}), 'f_x')"),
        # The imposed values are read first.
        ({(n[1][3].id, "f_x"): math.inf, (held, "imposed_u_x"): -math.inf}, f"(NodeId({held}), 'imposed_u_x')"),
    ]
    for values, where in cases:
        for cache in (False, True):
            with raises(RuntimeError, f"elimination: the right-hand side holds a non-finite value at {where}"):
                q.solve_eliminate(model, K, rhs_for(K, c, values), cache=cache)


def test_argument_errors_and_an_rhs_without_zone():
    c, n, body, clamp = tied_strip()
    model = body | clamp
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.25)]))
    rhs = rhs_for(K, c, {})
    for text in ["Lu", "lu ", ""]:
        with raises(ValueError, f"unknown solver method '{text}' (expected 'lu')"):
            q.solve_eliminate(model, K, rhs, text)
    with pytest.raises(TypeError, match="^argument 'model': "):
        q.solve_eliminate(K, K, rhs)
    with pytest.raises(TypeError, match="^argument 'cache': "):
        q.solve_eliminate(model, K, rhs, "Lu", 1)  # converted before the method is checked
    with pytest.raises(TypeError, match="^argument 'rhs': "):
        q.solve_eliminate(model, K, model)
    assert q.solve_eliminate(model=model, matrix=K, rhs=rhs, method="LU", cache=False)
    empty = rhs[0:0] if hasattr(rhs, "__getitem__") else None
    with raises(RuntimeError, "index 0 out of bounds (len=0)"):
        q.solve_eliminate(model, K, empty)
