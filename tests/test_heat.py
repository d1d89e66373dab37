"""Heat conduction and convection from Python: element matrices against closed forms
(TRI3 conduction, SEG2 film, TRI3 capacity), point-by-point integration of varying
coefficients, Poisson on the unit square and the 1-D fin against their analytic
solutions at second order, heat flows of flux states against K·T, the error texts, and
the same bits for one and all threads."""

import math

import numpy as np
import pytest

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises, uniform_field


def mesh_of(c, element_type, *cells):
    m = q.Mesh(c, element_type)
    for nodes in cells:
        m[0].add_cell(list(nodes))
    return m


def by_node(matrix):
    """The dense matrix as {(row node id, col node id): value} (one variable each)."""
    d = np.array(matrix.dense()).reshape(matrix.n_rows(), matrix.n_cols())
    rows, cols = matrix.row_dofs(), matrix.col_dofs()
    return {(r[0], s[0]): d[i, j] for i, r in enumerate(rows) for j, s in enumerate(cols)}


def node_matrix(matrix, nodes):
    """The dense matrix over `nodes` in the given order."""
    table = by_node(matrix)
    return np.array([[table[(a.id, b.id)] for b in nodes] for a in nodes])


def unit_triangle(dim=2):
    c = q.Coords(dim)
    nodes = [c.add_node(p + [0.0] * (dim - 2)) for p in ([0.0, 0.0], [1.0, 0.0], [0.0, 1.0])]
    return c, nodes, mesh_of(c, "TRI3", nodes)


def point_coords(element, g):
    return np.array(element.n_at_g(g)) @ np.array([n.coord() for n in element.nodes()])


# --- element matrices ------------------------------------------------------------


@pytest.mark.parametrize("dim", [2, 3], ids=["plane", "tri-in-3d"])
def test_tri3_conduction_matrix(dim):
    c, nodes, mesh = unit_triangle(dim)
    model = q.Model.heat_conduction(q.FiniteElementSpace(mesh))
    K = q.stiffness(model, q.material_field(model, [("k", 1.0)]))
    assert K.row_dofs() == [(n.id, "q") for n in nodes] and K.col_dofs() == [(n.id, "T") for n in nodes]
    assert K[0].physics() == ["thermal"] and K.symmetric
    expected = [[1.0, -0.5, -0.5], [-0.5, 0.5, 0.0], [-0.5, 0.0, 0.5]]
    assert np.allclose(node_matrix(K, nodes), expected, rtol=0, atol=1e-15)


def test_seg2_film_matrix_and_film_coefficient_varying_along_the_edge():
    h, length = 2.5, 5.0
    c = q.Coords(2)
    a, b = c.add_node([1.0, 1.0]), c.add_node([4.0, 5.0])
    fes = q.FiniteElementSpace(mesh_of(c, "SEG2", [a, b]))
    model = q.Model.convection(fes)
    K = q.stiffness(model, q.material_field(model, [("h", h)]))
    assert np.allclose(node_matrix(K, [a, b]), h * length / 6 * np.array([[2, 1], [1, 2]]), rtol=1e-14, atol=0)
    # h = 1 + s along the edge (s the arc length from a): the two-point rule
    # integrates N_a N_b h exactly, so the matrix is the closed-form integral.
    mats = q.material_field(model, [("h", 0.0)])
    element = fes[0].element(0)
    for g in range(element.gauss_count):
        s = np.linalg.norm(point_coords(element, g) - np.array(a.coord()))
        mats[0].set_value(0, g, "h", 1.0 + s)
    s, w = np.polynomial.legendre.leggauss(8)
    s, w = (s + 1) * length / 2, w * length / 2
    shape = np.array([1 - s / length, s / length])
    exact = np.einsum("ag,bg,g->ab", shape, shape, w * (1 + s))
    assert np.allclose(node_matrix(q.stiffness(model, mats), [a, b]), exact, rtol=1e-13, atol=0)


def test_conductivity_varying_between_gauss_points_is_integrated_point_by_point():
    c = q.Coords(2)
    nodes = [c.add_node(p) for p in ([0.0, 0.0], [2.0, 0.2], [1.8, 1.5], [-0.1, 1.0])]
    fes = q.FiniteElementSpace(mesh_of(c, "QUA4", nodes))
    model = q.Model.heat_conduction(fes)
    mats = q.material_field(model, [("k", 0.0)])
    element = fes[0].element(0)
    expected = np.zeros((4, 4))
    for g in range(element.gauss_count):
        k = 1.0 + 3.0 * g
        mats[0].set_value(0, g, "k", k)
        grads = np.array(element.dn_dx(g)).reshape(4, 2)
        expected += k * grads @ grads.T * element.det_jacobian(g) * element.gauss_weight(g)
    assert np.allclose(node_matrix(q.stiffness(model, mats), nodes), expected, rtol=1e-13, atol=1e-14)


def test_capacity_is_read_once_per_cell_and_convection_adds_no_mass():
    c, nodes, mesh = unit_triangle()
    fes = q.FiniteElementSpace(mesh)
    heat = q.Model.heat_conduction(fes)
    edge_fes = q.FiniteElementSpace(mesh_of(c, "SEG2", nodes[:2]))
    edge = q.Model.convection(edge_fes)
    model = heat | edge
    mats = q.material_field(model, [("k", 1.0), ("rho", 2.0), ("cp", 3.0), ("h", 5.0)])
    C = q.mass(model, mats)
    assert len(C) == 1 and C.row_dofs() == [(n.id, "q") for n in nodes]
    consistent = 6.0 * 0.5 / 12 * np.array([[2, 1, 1], [1, 2, 1], [1, 1, 2]])
    assert np.allclose(node_matrix(C, nodes), consistent, rtol=1e-14, atol=0)
    # rho and cp taken at the first Gauss point for the whole cell.
    heat_zone = mats[0]
    for g in range(1, heat_zone.gauss_count()):
        heat_zone.set_value(0, g, "rho", 100.0)
        heat_zone.set_value(0, g, "cp", -7.0)
    assert np.allclose(node_matrix(q.mass(model, mats), nodes), consistent, rtol=1e-14, atol=0)
    # Neither heat kind has a geometric or a tangent operator.
    for op in (q.geometric, q.tangent):
        state = q.ElementField(fes, ["flux_x", "flux_y"]) | q.ElementField(edge_fes, ["flux"])
        assert op(model, mats, state).n_rows() == 0


# --- boundary-value problems -------------------------------------------------------


def dirichlet(nodes, coords, variable="T", dual="q"):
    """T imposed at `nodes` through one new multiplier node each."""
    mult = q.poi1_from_nodes([coords.add_node([-10.0 - k] + [0.0] * (coords.dim - 1)) for k in range(len(nodes))])
    return q.Model.dirichlet(variable, dual, q.poi1_from_nodes(nodes), mult)


def poisson_centre(element_type, n):
    """-ΔT = 1 on the unit square, T = 0 on its boundary: T at the centre."""
    c = q.Coords(2)
    p = [c.add_node(x) for x in ([0, 0], [1, 0], [1, 1], [0, 1])]
    sides = [q.line(p[i], p[(i + 1) % 4], n) for i in range(4)]
    square = q.transfinite(*sides)
    if element_type != "QUA4":
        square = q.convert(square, element_type)
    fes = q.FiniteElementSpace(square)
    boundary = {node.id: node for side in sides for cell in side[0] for node in cell}
    model = q.Model.heat_conduction(fes) | dirichlet(list(boundary.values()), c)
    K = q.stiffness(model, q.material_field(model, [("k", 1.0)]))
    T = q.solve(K, q.flux(fes[0], 1.0, "q"))
    centre = min((node for cell in square[0] for node in cell), key=lambda m: math.dist(m.coord(), [0.5, 0.5]))
    assert math.dist(centre.coord(), [0.5, 0.5]) < 1e-12
    return T.value(centre, "T")


@pytest.mark.parametrize("element_type", ["QUA4", "TRI3"])
def test_poisson_on_the_unit_square_converges_at_second_order(element_type):
    exact = 0.0736713
    errors = [abs(poisson_centre(element_type, n) - exact) for n in (8, 16, 32)]
    rates = [math.log2(errors[i] / errors[i + 1]) for i in range(2)]
    assert all(1.8 < r < 2.3 for r in rates), rates
    assert errors[-1] < 1e-4


def fin(n):
    """The 1-D fin k T'' = h T on [0, 1], T(0) = 1, insulated tip (k = 1, h = 4):
    (T at the tip, the base heat flow K·T at x = 0, the Dirichlet multiplier)."""
    c = q.Coords(1)
    nodes = [c.add_node([i / n]) for i in range(n + 1)]
    bar = mesh_of(c, "SEG2", *zip(nodes[:-1], nodes[1:]))
    fes = q.FiniteElementSpace(bar)
    model = q.Model.heat_conduction(fes) | q.Model.convection(fes) | dirichlet([nodes[0]], c)
    K = q.stiffness(model, q.material_field(model, [("k", 1.0), ("h", 4.0)]))
    T = q.solve(K, dirichlet_value(K, c, 1.0))
    temps = [T.value(node, "T") for node in nodes]
    body = q.Model.heat_conduction(fes) | q.Model.convection(fes)
    Kb = q.stiffness(body, q.material_field(body, [("k", 1.0), ("h", 4.0)]))
    flow = dict(zip([r[0] for r in Kb.row_dofs()], Kb.mul_dense([T.value(c.acquire(k), "T") for k, _ in Kb.col_dofs()])))
    multiplier = [T.value(c.acquire(k), v) for k, v in K.col_dofs() if v == "lambda_T"]
    return temps[-1], flow[nodes[0].id], multiplier[0]


def dirichlet_value(K, c, value):
    """The imposed value at every multiplier row of K."""
    rows = [(k, v) for k, v in K.row_dofs() if v == "imposed_T"]
    field = q.NodeField(q.poi1_from_nodes([c.acquire(k) for k, _ in rows]), ["imposed_T"])
    for k, _ in rows:
        field[0].set_value(c.acquire(k), "imposed_T", value)
    return field


def test_fin_converges_to_the_tip_temperature_and_base_heat_flow():
    tip, flow = 1 / math.cosh(2.0), 2.0 * math.tanh(2.0)
    assert (round(tip, 6), round(flow, 6)) == (0.265802, 1.928055)
    results = [fin(n) for n in (10, 20, 40)]
    for k, exact in ((0, tip), (1, flow)):
        errors = [abs(r[k] - exact) for r in results]
        assert 3.6 < errors[0] / errors[1] < 4.4 and 3.6 < errors[1] / errors[2] < 4.4, errors
        assert errors[-1] < 1e-3 * exact
    # The multiplier carries the same heat flow.
    assert abs(results[-1][2]) == pytest.approx(results[-1][1], rel=1e-10)


# --- heat flows of flux states -----------------------------------------------------


def patch():
    """Five distorted quadrilaterals around an interior square; the four outer corners first."""
    c = q.Coords(2)
    pts = [(0.0, 0.0), (0.24, 0.0), (0.24, 0.12), (0.0, 0.12), (0.04, 0.02), (0.18, 0.03), (0.16, 0.08), (0.08, 0.08)]
    nodes = [c.add_node(list(p)) for p in pts]
    cells = ([0, 1, 5, 4], [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7], [4, 5, 6, 7])
    return c, nodes, mesh_of(c, "QUA4", *[[nodes[k] for k in cell] for cell in cells])


def k_times(K, c, temperature):
    return dict(zip([r[0] for r in K.row_dofs()], K.mul_dense([temperature(c.acquire(k).coord()) for k, _ in K.col_dofs()])))


def test_heat_flow_of_a_uniform_flux_equals_k_times_t():
    k, a, b = 2.5, 3.0, -1.5
    c, nodes, mesh = patch()
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.heat_conduction(fes)
    K = q.stiffness(model, q.material_field(model, [("k", k)]))
    kt = k_times(K, c, lambda x: a * x[0] + b * x[1])
    f = q.internal_forces(model, uniform_field(fes, {"flux_x": k * a, "flux_y": k * b}))
    assert len(f) == 1 and f[0].components() == ["q"]
    for node in nodes:
        assert f.value(node, "q") == pytest.approx(kt[node.id], abs=1e-13)
    for node in nodes[4:]:
        assert f.value(node, "q") == pytest.approx(0.0, abs=1e-13)


def test_film_flux_heat_flow_equals_the_film_matrix_times_t():
    h, t0 = 4.0, 3.0
    c = q.Coords(2)
    nodes = [c.add_node([0.3 * i, 0.1 * i * i]) for i in range(4)]
    fes = q.FiniteElementSpace(mesh_of(c, "SEG2", *zip(nodes[:-1], nodes[1:])))
    model = q.Model.convection(fes)
    K = q.stiffness(model, q.material_field(model, [("h", h)]))
    f = q.internal_forces(model, uniform_field(fes, {"flux": h * t0}))
    kt = k_times(K, c, lambda x: t0)
    assert [f.value(n, "q") for n in nodes] == pytest.approx([kt[n.id] for n in nodes], abs=1e-14)


def temperature_field(nodes, temperature):
    """A one-zone node field "T" over `nodes`, T = temperature(coordinates)."""
    field = q.NodeField(q.poi1_from_nodes(nodes), ["T"])
    for node in nodes:
        field[0].set_value(node, "T", temperature(node.coord()))
    return field


def gauss_values(zone, name):
    return np.array([zone.value(cell, g, name) for cell in range(zone.cell_count()) for g in range(zone.gauss_count())])


@pytest.mark.parametrize("interpolation", ["LAGRANGE1", "LAGRANGE2"])
def test_flux_of_a_linear_temperature_is_exact_and_its_heat_flow_is_k_times_t(interpolation):
    k, a, b = 2.5, 3.0, -1.5
    c, nodes, mesh = patch()
    if interpolation == "LAGRANGE2":
        mesh = q.to_quadratic(mesh)
        nodes = list({n.id: n for cell in mesh[0] for n in cell}.values())
    fes = q.FiniteElementSpace(mesh, interpolation)
    model = q.Model.heat_conduction(fes)
    mats = q.material_field(model, [("k", k)])

    def temperature(x):
        return a * x[0] + b * x[1] + 7.0

    grad = q.gradient(temperature_field(nodes, temperature), fes)
    flux = q.integrate_behavior(model, grad, mats)
    assert len(flux) == 1 and flux[0].components() == ["flux_x", "flux_y"]
    assert np.allclose(gauss_values(flux[0], "flux_x"), k * a, rtol=1e-12, atol=0)
    assert np.allclose(gauss_values(flux[0], "flux_y"), k * b, rtol=1e-12, atol=0)
    K = q.stiffness(model, mats)
    kt = k_times(K, c, temperature)
    f = q.internal_forces(model, flux)
    for node in nodes:
        assert f.value(node, "q") == pytest.approx(kt[node.id], abs=1e-12)
    interior = [n for n in nodes if 0 < n.coord()[0] < 0.24 and 0 < n.coord()[1] < 0.12]
    assert len(interior) == (4 if interpolation == "LAGRANGE1" else 12)
    assert all(abs(f.value(n, "q")) < 1e-12 for n in interior)


@pytest.mark.parametrize("element_type", ["HEX8", "TET4", "PENTA6"])
def test_three_dimensional_flux_and_heat_flow(element_type):
    """A distorted block: the flux of a linear temperature is k·∇T at every point and
    its heat flow is K·T, which a constant temperature leaves at zero."""
    k, grad = 0.8, (1.0, -2.0, 0.5)
    c = q.Coords(3)
    corners = [[0, 0, 0], [1, 0.1, 0], [1.2, 1, 0.1], [0, 0.9, 0], [0.1, 0, 1], [1, 0, 1.1], [1.1, 1.1, 1], [0, 1, 0.9]]
    nodes = [c.add_node(p) for p in corners]
    if element_type == "PENTA6":
        mesh = mesh_of(c, "PENTA6", [nodes[i] for i in (0, 1, 2, 4, 5, 6)], [nodes[i] for i in (0, 2, 3, 4, 6, 7)])
    else:
        mesh = mesh_of(c, "HEX8", nodes)
        if element_type == "TET4":
            mesh = q.convert(mesh, "TET4")
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.heat_conduction(fes)
    mats = q.material_field(model, [("k", k)])

    def temperature(x):
        return sum(gi * xi for gi, xi in zip(grad, x)) - 2.0

    flux = q.integrate_behavior(model, q.gradient(temperature_field(nodes, temperature), fes), mats)
    assert flux[0].components() == ["flux_x", "flux_y", "flux_z"]
    for axis, gi in zip("xyz", grad):
        assert np.allclose(gauss_values(flux[0], "flux_" + axis), k * gi, rtol=1e-12, atol=1e-14)
    K = q.stiffness(model, mats)
    kt, zero = k_times(K, c, temperature), k_times(K, c, lambda x: 1.0)
    f = q.internal_forces(model, flux)
    for node in nodes:
        assert f.value(node, "q") == pytest.approx(kt[node.id], abs=1e-12)
        assert zero[node.id] == pytest.approx(0.0, abs=1e-13)


def test_the_laws_read_their_coefficients_at_every_gauss_point():
    """k = 2 and grad_T_x = 3 give flux_x = 6 (no minus sign); h = 10 and T = 5 give
    50; a coefficient set point by point gives its own flux at each point."""
    c, nodes, mesh = unit_triangle()
    fes = q.FiniteElementSpace(mesh)
    edge = q.FiniteElementSpace(mesh_of(c, "SEG2", nodes[:2]))
    model = q.Model.heat_conduction(fes) | q.Model.convection(edge)
    mats = q.material_field(model, [("k", 2.0), ("h", 10.0)])
    heat_k = [2.0 + g for g in range(mats[0].gauss_count())]
    for g, kg in enumerate(heat_k):
        mats[0].set_value(0, g, "k", kg)
    inputs = uniform_field(fes, {"grad_T_x": 3.0, "grad_T_y": -1.0}) | uniform_field(edge, {"T": 5.0})
    state = q.integrate_behavior(model, inputs, mats, dt=0.5)
    assert [zone.components() for zone in state] == [["flux_x", "flux_y"], ["flux"]]
    assert list(gauss_values(state[0], "flux_x")) == [3.0 * kg for kg in heat_k]
    assert list(gauss_values(state[0], "flux_y")) == [-kg for kg in heat_k]
    assert set(gauss_values(state[1], "flux")) == {50.0}


def test_film_flux_of_an_interpolated_temperature_gives_the_film_heat_flow():
    h = 4.0
    c = q.Coords(2)
    nodes = [c.add_node([0.3 * i, 0.1 * i * i]) for i in range(5)]
    fes = q.FiniteElementSpace(mesh_of(c, "SEG2", *zip(nodes[:-1], nodes[1:])))
    model = q.Model.convection(fes)
    mats = q.material_field(model, [("h", h)])

    def temperature(x):
        return 1.0 + 2.0 * x[0] - x[1]

    state = q.integrate_behavior(model, q.interp_to_gauss(temperature_field(nodes, temperature), fes), mats)
    f = q.internal_forces(model, state)
    kt = k_times(q.stiffness(model, mats), c, temperature)
    assert [f.value(n, "q") for n in nodes] == pytest.approx([kt[n.id] for n in nodes], rel=1e-13, abs=1e-14)


# --- errors ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "materials, message",
    [
        ([("k", 1.0)], "HeatConduction capacity matrix: material component `rho` (density) is required"),
        ([("k", 1.0), ("cp", 2.0)], "HeatConduction capacity matrix: material component `rho` (density) is required"),
        ([("k", 1.0), ("rho", 2.0)], "HeatConduction capacity matrix: material component `cp` (specific heat) is required"),
    ],
    ids=["neither", "cp-only", "rho-only"],
)
def test_capacity_needs_rho_and_cp(materials, message):
    _, _, mesh = unit_triangle()
    model = q.Model.heat_conduction(q.FiniteElementSpace(mesh))
    mats = q.material_field(model, materials)
    assert q.stiffness(model, mats).n_rows() == 3
    with raises(RuntimeError, message):
        q.mass(model, mats)


@pytest.mark.parametrize(
    "build, state, message",
    [
        (q.Model.heat_conduction, {"flux_x": 1.0}, "unknown component: flux_y"),
        (q.Model.heat_conduction, {"flux_y": 1.0, "flux": 2.0}, "unknown component: flux_x"),
        (q.Model.convection, {"flux_x": 1.0}, "unknown component: flux"),
    ],
    ids=["conduction-2d", "conduction-x", "convection"],
)
def test_heat_flow_needs_the_flux_components(build, state, message):
    _, _, mesh = unit_triangle()
    fes = q.FiniteElementSpace(mesh)
    with raises(RuntimeError, message):
        q.internal_forces(build(fes), uniform_field(fes, state))


@pytest.mark.parametrize(
    "build, inputs, message",
    [
        (q.Model.heat_conduction, {"grad_T_x": 1.0}, "unknown component: grad_T_y"),
        (q.Model.heat_conduction, {"T": 1.0}, "unknown component: grad_T_x"),
        (q.Model.convection, {"grad_T_x": 1.0, "grad_T_y": 1.0}, "unknown component: T"),
    ],
    ids=["no-grad-y", "temperature-for-conduction", "gradient-for-convection"],
)
def test_integrate_behavior_needs_the_law_inputs(build, inputs, message):
    _, _, mesh = unit_triangle()
    fes = q.FiniteElementSpace(mesh)
    model = build(fes)
    mats = q.material_field(model, [("k", 1.0), ("h", 1.0)])
    with raises(RuntimeError, message):
        q.integrate_behavior(model, uniform_field(fes, inputs), mats)


@pytest.mark.parametrize("build, material", [(q.Model.heat_conduction, "k"), (q.Model.convection, "h")])
def test_a_space_of_more_than_three_dimensions_is_refused_by_the_kernels(build, material):
    _, _, mesh = unit_triangle(dim=4)
    model = build(q.FiniteElementSpace(mesh))
    with raises(RuntimeError, "cell geometry: a 4-D space is not supported (1-D to 3-D only)"):
        q.stiffness(model, q.material_field(model, [(material, 1.0)]))


# --- threads -----------------------------------------------------------------------


def test_same_bits_with_one_and_all_threads(tmp_path):
    one, every = files_with_one_and_all_processors(
        """
        import struct
        import _quenlith as q
        c = q.Coords(2)
        nx, ny = 150, 90
        n = [[c.add_node([i / nx + 0.07 * (j % 3) / nx, j / ny + 0.05 * (i % 2) / ny]) for i in range(nx + 1)]
             for j in range(ny + 1)]
        body = q.Mesh(c, "QUA4")
        for j in range(ny):
            for i in range(nx):
                body[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
        edge = q.Mesh(c, "SEG2")
        for i in range(nx):
            edge[0].add_cell([n[0][i], n[0][i + 1]])
        fes, efes = q.FiniteElementSpace(body), q.FiniteElementSpace(edge)
        model = q.Model.heat_conduction(fes) | q.Model.convection(efes)
        mats = q.material_field(model, [("k", 1.7), ("rho", 1.3), ("cp", 0.9), ("h", 3.1)])
        for zone in mats:
            for cell in range(zone.cell_count()):
                for g in range(zone.gauss_count()):
                    name = "k" if "k" in zone.components() else "h"
                    zone.set_value(cell, g, name, 1.0 + ((cell * 7 + g) % 13) / 9.0)
        K, C = q.stiffness(model, mats), q.mass(model, mats)
        x = [((7 * k) % 11) / 3.0 for k in range(K.n_cols())]
        values = K.mul_dense(x) + C.mul_dense(x)
        state = q.ElementField(fes, ["flux_x", "flux_y"]) | q.ElementField(efes, ["flux"])
        for zone in state:
            for cell in range(zone.cell_count()):
                for g in range(zone.gauss_count()):
                    for k, name in enumerate(zone.components()):
                        zone.set_value(cell, g, name, ((cell + 3 * g + k) % 17) / 7.0 - 1.0)
        f = q.internal_forces(model, state)
        values += [v for zone in f for row in range(zone.node_count()) for v in zone.node_values(row)]
        everywhere = [node for row in n for node in row]
        T = q.NodeField(q.poi1_from_nodes(everywhere), ["T"])
        for node in everywhere:
            T[0].set_value(node, "T", node.coord()[0] ** 2 - 0.3 * node.coord()[1])
        flux = q.integrate_behavior(model, q.gradient(T, fes) | q.interp_to_gauss(T, efes), mats)
        values += [zone.value(cell, g, name) for zone in flux for cell in range(zone.cell_count())
                   for g in range(zone.gauss_count()) for name in zone.components()]
        with open(sys.argv[1], "wb") as out:
            out.write(struct.pack(f"{len(values)}d", *values))
        """,
        tmp_path,
    )
    assert one == every and len(one) > 200_000
