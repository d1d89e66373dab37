"""Operator assembly from a model: stiffness and mass of elasticity with Dirichlet
supports, solved and checked against closed forms (clamped bar, linear-field patch
test), the mass against rho times the volume, scipy's spsolve on the same compressed
rows, the cached pattern, and assemble() of a composed matrix."""

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import _quenlith as q


def poi1(c, nodes):
    m = q.Mesh(c.c, "POI1")
    for x in nodes:
        m[0].add_cell([x])
    return m


class Coords2:
    """2-D coordinates that keep every node they make, by id."""

    def __init__(self):
        self.c = q.Coords(2)
        self.by_id = {}

    def add_node(self, xy):
        node = self.c.add_node(list(xy))
        self.by_id[node.id] = node
        return node


def grid(c, nx, ny, lx, ly):
    """QUA4 cells of an nx x ny grid on [0, lx] x [0, ly]; node rows bottom to top."""
    n = [[c.add_node([lx * i / nx, ly * j / ny]) for i in range(nx + 1)] for j in range(ny + 1)]
    mesh = q.Mesh(c.c, "QUA4")
    for j in range(ny):
        for i in range(nx):
            mesh[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
    return n, mesh


def support(c, nodes, var, dual):
    """A Dirichlet model fixing `var` at `nodes`, with one new multiplier node each."""
    mult = poi1(c, [c.add_node([-100.0 - k, -100.0]) for k in range(len(nodes))])
    return q.Model.dirichlet(var, dual, poi1(c, nodes), mult)


def rhs_for(matrix, c, values):
    """A node field holding values[(node index, var)] at those row DOFs, 0 elsewhere."""
    names, nodes = [], []
    for node, var in matrix.row_dofs():
        if var not in names:
            names.append(var)
        if node not in nodes:
            nodes.append(node)
    f = q.NodeField(poi1(c, [c.by_id[k] for k in nodes]), names)
    for node, var in matrix.row_dofs():
        f[0].set_value(c.by_id[node], var, values.get((node, var), 0.0))
    return f


def csr_of(matrix):
    return sp.csr_matrix(np.array(matrix.dense()).reshape(matrix.n_rows(), matrix.n_cols()))


@pytest.mark.parametrize("nx, ny", [(1, 1), (4, 2)])
def test_clamped_bar_tip_displacement_and_reaction(nx, ny):
    L, h, E, F = 2.0, 0.5, 200.0, 3.0
    c = Coords2()
    n, mesh = grid(c, nx, ny, L, h)
    fes = q.FiniteElementSpace(mesh)
    body = q.Model.elasticity(fes, "plane_stress")
    left = [row[0] for row in n]
    model = body | support(c, left, "u_x", "f_x") | support(c, [n[0][0]], "u_y", "f_y")
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", 0.0)]))
    d = np.array(K.dense()).reshape(K.n_rows(), K.n_cols())
    assert np.allclose(d, d.T, rtol=0, atol=1e-12 * abs(d).max())
    # A uniform end traction: consistent nodal loads of linear edges.
    loads = {}
    for j, row in enumerate(n):
        loads[(row[-1].id, "f_x")] = F / ny * (0.5 if j in (0, ny) else 1.0)
    rhs = rhs_for(K, c, loads)
    x = q.solve(K, rhs)
    for row in n:
        assert x.value(row[-1], "u_x") == pytest.approx(F * L / (E * h), rel=1e-10)
    # The multipliers of the clamp are the forces it transmits: together, the load.
    body_ids = {m.id for r in n for m in r}
    lam = [x.value(c.by_id[node], var) for node, var in K.col_dofs() if node not in body_ids]
    assert len(lam) == ny + 2
    assert sum(lam) == pytest.approx(F, rel=1e-10)
    # Same compressed rows solved by scipy.
    b = np.array([loads.get((node, var), 0.0) for node, var in K.row_dofs()])
    ref = spla.spsolve(csr_of(K).tocsc(), b)
    got = np.array([x.value(c.by_id[node], var) for node, var in K.col_dofs()])
    assert np.allclose(got, ref, rtol=1e-10, atol=1e-12)


def test_distorted_patch_reproduces_a_linear_field():
    """Five distorted quadrilaterals: a linear displacement imposed on the corners is
    reproduced exactly at the interior nodes."""
    c = Coords2()
    pts = [(0.0, 0.0), (0.24, 0.0), (0.24, 0.12), (0.0, 0.12), (0.04, 0.02), (0.18, 0.03), (0.16, 0.08), (0.08, 0.08)]
    nd = [c.add_node(list(p)) for p in pts]
    mesh = q.Mesh(c.c, "QUA4")
    for cell in ([0, 1, 5, 4], [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7], [4, 5, 6, 7]):
        mesh[0].add_cell([nd[k] for k in cell])
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    corners = nd[:4]
    dx, dy = support(c, corners, "u_x", "f_x"), support(c, corners, "u_y", "f_y")
    model = body | dx | dy

    def ux(p):
        return 1e-3 * (p[0] + p[1] / 2)

    def uy(p):
        return 1e-3 * (p[1] + p[0] / 2)

    K = q.stiffness(model, q.material_field(model, [("E", 1e6), ("nu", 0.25)]))
    values = {}
    for model_c, u in ((dx, ux), (dy, uy)):
        g = model_c.constraint_rhs([(corners[k], u(pts[k])) for k in range(4)])
        for node, var in K.row_dofs():
            try:
                values[(node, var)] = values.get((node, var), 0.0) + g.value(c.by_id[node], var)
            except (RuntimeError, KeyError, ValueError):
                pass
    x = q.solve(K, rhs_for(K, c, values))
    for k in range(8):
        assert x.value(nd[k], "u_x") == pytest.approx(ux(pts[k]), abs=1e-13)
        assert x.value(nd[k], "u_y") == pytest.approx(uy(pts[k]), abs=1e-13)


@pytest.mark.parametrize("cell", ["QUA4", "TRI3"])
def test_mass_is_rho_times_area_per_component(cell):
    c = Coords2()
    n, quads = grid(c, 3, 2, 1.5, 0.8)
    if cell == "QUA4":
        mesh = quads
    else:
        mesh = q.Mesh(c.c, "TRI3")
        for j in range(2):
            for i in range(3):
                mesh[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1]])
                mesh[0].add_cell([n[j][i], n[j + 1][i + 1], n[j + 1][i]])
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    M = q.mass(model, q.material_field(model, [("E", 1.0), ("nu", 0.3), ("rho", 7.5)]))
    d = np.array(M.dense()).reshape(M.n_rows(), M.n_cols())
    rows, cols = M.row_dofs(), M.col_dofs()
    for a in ("u_x", "u_y"):
        for b in ("u_x", "u_y"):
            total = sum(d[i, j] for i, (_, va) in enumerate(rows) if va == a.replace("u_", "f_")
                        for j, (_, vb) in enumerate(cols) if vb == b)
            assert total == pytest.approx(7.5 * 1.5 * 0.8 if a == b else 0.0, abs=1e-12)
    assert np.allclose(d, d.T)


def test_second_call_reuses_the_pattern_and_assemble_of_a_composed_matrix():
    c = Coords2()
    n, mesh = grid(c, 2, 2, 1.0, 1.0)
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_strain")
    K1 = q.stiffness(model, q.material_field(model, [("E", 1.0), ("nu", 0.2)]))
    K2 = q.stiffness(model, q.material_field(model, [("E", 3.0), ("nu", 0.2)]))
    assert K1.row_dofs() == K2.row_dofs() and K1.col_dofs() == K2.col_dofs()
    assert np.allclose(np.array(K2.dense()), 3.0 * np.array(K1.dense()), rtol=1e-13, atol=1e-14)
    # A composed matrix with computed blocks is re-assembled from its blocks.
    mats = q.material_field(model, [("E", 1.0), ("nu", 0.2), ("rho", 2.0)])
    M = q.mass(model, mats)
    composed = (M / 0.5) | K1
    with pytest.raises(RuntimeError):
        composed.finalize()
    q.assemble(composed)
    expected = 2.0 * np.array(M.dense()) + np.array(K1.dense())
    assert np.allclose(np.array(composed.dense()), expected, rtol=1e-13, atol=1e-15)


def test_empty_model_and_argument_errors():
    c = Coords2()
    _, mesh = grid(c, 1, 1, 1.0, 1.0)
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_strain")
    mats = q.material_field(model, [("E", 1.0), ("nu", 0.2)])
    e = q.stiffness(q.Model(), mats)
    assert (e.n_rows(), e.n_cols()) == (0, 0)
    with pytest.raises(TypeError, match="model"):
        q.stiffness(mats, mats)
    with pytest.raises(TypeError, match="matrix"):
        q.assemble(q.Model())


def uniform_stress(fes, values):
    """A stress field on every subspace of `fes`, the same values at every point."""
    names = list(values)
    field = q.ElementField(fes, names)
    for zone in field:
        for name, v in values.items():
            zone.set_uniform(name, v)
    return field


def test_internal_forces_of_an_exact_stress_equal_k_times_u():
    """u_x = a·x, u_y = b·y with nu = 0: sigma = (E a, 0, E b) everywhere, and
    ∫Bᵀσ equals the assembled stiffness applied to u, model or no model."""
    E, a, b = 50.0, 0.01, -0.02
    c = Coords2()
    n, mesh = grid(c, 3, 2, 1.5, 1.0)
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.elasticity(fes, "plane_stress")
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", 0.0)]))
    coords = {node.id: node.coord() for row in n for node in row}
    u = [a * coords[k][0] if v == "u_x" else b * coords[k][1] for k, v in K.col_dofs()]
    ku = dict(zip(K.row_dofs(), K.mul_dense(u)))
    stress = uniform_stress(fes, {"sigma_xx": E * a, "sigma_xy": 0.0, "sigma_yy": E * b})
    for f in (q.internal_forces(model, stress), q.internal_forces_continuum(stress, fes)):
        assert len(f) == 1 and f[0].components() == ["f_x", "f_y"]
        for (k, var), expected in ku.items():
            assert f.value(c.by_id[k], var) == pytest.approx(expected, abs=1e-12)


def test_internal_forces_skip_constraints_and_need_a_unique_zone():
    c = Coords2()
    n, mesh = grid(c, 1, 1, 1.0, 1.0)
    fes = q.FiniteElementSpace(mesh)
    stress = uniform_stress(fes, {"sigma_xx": 1.0, "sigma_xy": 0.0, "sigma_yy": 0.0})
    assert len(q.internal_forces(support(c, [n[0][0]], "u_x", "f_x"), stress)) == 0
    with pytest.raises(RuntimeError, match="sub_for_fespace needs a unique zone"):
        q.internal_forces_continuum(stress | uniform_stress(fes, {"other": 2.0}), fes)
    with pytest.raises(RuntimeError, match="unknown component: sigma_xy"):
        q.internal_forces_continuum(uniform_stress(fes, {"sigma_xx": 1.0, "sigma_yy": 0.0}), fes)


@pytest.mark.parametrize("density, expected", [(1.0, 1.25), (2, 2.5), (0.0, 0.0)])
def test_flux_of_a_uniform_density_on_an_edge(density, expected):
    c = Coords2()
    a, b = c.add_node([0.0, 0.0]), c.add_node([1.5, 2.0])
    edge = q.Mesh(c.c, "SEG2")
    edge[0].add_cell([a, b])
    f = q.flux(q.FiniteElementSpace(edge)[0], density, "q")
    assert len(f) == 1 and f[0].components() == ["q"]
    assert [f.value(a, "q"), f.value(b, "q")] == pytest.approx([expected, expected], abs=1e-14)


def test_flux_density_errors():
    c = Coords2()
    edge = q.Mesh(c.c, "SEG2")
    edge[0].add_cell([c.add_node([0.0, 0.0]), c.add_node([1.0, 0.0])])
    fes = q.FiniteElementSpace(edge)
    with pytest.raises(ValueError, match="flux: `density` doit être un float ou un SubElementField"):
        q.flux(fes[0], "1", "q")
    with pytest.raises(TypeError, match="fespace"):
        q.flux(fes, 1.0, "q")
    two = q.ElementField(fes, ["a", "b"])[0]
    with pytest.raises(RuntimeError, match=r"exactement une composante \(en a 2\)"):
        q.flux(fes[0], two, "q")
    one = q.ElementField(fes, ["rho"])[0]
    one.set_uniform("rho", 3.0)
    f = q.flux(fes[0], one, "q")
    assert f[0].components() == ["q"]
