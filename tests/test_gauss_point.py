"""Fields at Gauss points and the behaviour integration: interpolation, gradients and
small strains of node fields checked against exact linear fields (distorted and
quadratic cells included), thermal strains, σ = D·ε of the elastic law against
numpy, internal forces of the integrated state against K·u, the membrane patch test,
the zone lookups of integrate_behavior, every error text, and the same bits for one
and all threads."""

import re

import numpy as np
import pytest

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises


def points(zone):
    """Every (cell, Gauss point) of a zone as a row of its values."""
    return np.array([zone.point_values(c, g) for c in range(zone.cell_count()) for g in range(zone.gauss_count())])


def node_field(mesh, names, fn):
    """A node field over `mesh` carrying names, fn(x) at each node of coordinates x."""
    xyz = q.coordinates(mesh)
    f = q.NodeField(mesh, names)
    for z in range(len(f)):
        for r in range(f[z].node_count()):
            for k, v in enumerate(fn(np.array(xyz[z].node_values(r)))):
                f[z].set(r, k, float(v))
    return f


def patch(element_type="QUA4"):
    """Five distorted quadrilaterals filling [0, 0.24] x [0, 0.12] (or their 10
    triangles, or their quadratic cells)."""
    c = q.Coords(2)
    pts = [(0.0, 0.0), (0.24, 0.0), (0.24, 0.12), (0.0, 0.12), (0.04, 0.02), (0.18, 0.03), (0.16, 0.08), (0.08, 0.08)]
    nd = [c.add_node(list(p)) for p in pts]
    mesh = q.Mesh(c, "QUA4")
    for cell in ([0, 1, 5, 4], [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7], [4, 5, 6, 7]):
        mesh[0].add_cell([nd[k] for k in cell])
    if element_type == "TRI3":
        mesh = q.convert(mesh, "TRI3")
    elif element_type == "QUA8":
        mesh = q.to_quadratic(mesh)
    return c, nd, mesh


def distorted_hex():
    c = q.Coords(3)
    corners = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
    rng = np.random.default_rng(3)
    nodes = [c.add_node([float(v) + 0.15 * rng.uniform(-1, 1) for v in p]) for p in corners]
    mesh = q.Mesh(c, "HEX8")
    mesh[0].add_cell(nodes)
    return mesh


def space_of(mesh):
    quadratic = mesh[0].element_type in ("SEG3", "TRI6", "QUA8", "QUA9", "TET10", "HEX20", "HEX27")
    return q.FiniteElementSpace(mesh, "LAGRANGE2" if quadratic else "LAGRANGE1")


STRAIN_NAMES = {
    1: ["eps_xx"],
    2: ["eps_xx", "eps_xy", "eps_yy"],
    3: ["eps_xx", "eps_xy", "eps_xz", "eps_yy", "eps_yz", "eps_zz"],
}
PAIRS = {1: [(0, 0)], 2: [(0, 0), (0, 1), (1, 1)], 3: [(0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)]}


# --- deformation, gradient, interpolation ---------------------------------------------


def test_deformation_of_a_simple_shear_is_half_the_engineering_shear():
    _, _, mesh = patch("TRI3")
    u = node_field(mesh, ["ux", "uy"], lambda x: (0.01 * x[1], 0.0))
    eps = q.deformation(u, q.FiniteElementSpace(mesh))
    assert len(eps) == 1 and eps[0].components() == ["eps_xx", "eps_xy", "eps_yy"]
    assert np.allclose(points(eps[0]), [0.0, 0.005, 0.0], rtol=0, atol=1e-15)


@pytest.mark.parametrize("make", [lambda: patch("QUA4")[2], lambda: patch("TRI3")[2], lambda: patch("QUA8")[2],
                                  distorted_hex], ids=["QUA4", "TRI3", "QUA8", "HEX8"])
def test_linear_fields_give_their_exact_strain_gradient_and_values(make):
    mesh = make()
    space = space_of(mesh)
    dim = len(q.coordinates(mesh).components())
    rng = np.random.default_rng(dim)
    a, b = rng.uniform(-1, 1, (dim, dim)), rng.uniform(-1, 1, dim)
    names = ["ux", "uy", "uz"][:dim]
    u = node_field(mesh, names, lambda x: a @ x + b)
    eps = q.deformation(u, space)
    assert eps[0].components() == STRAIN_NAMES[dim]
    want = [(a[i, j] + a[j, i]) / 2 for i, j in PAIRS[dim]]
    assert np.allclose(points(eps[0]), want, rtol=0, atol=1e-13)
    grad = q.gradient(u, space)
    assert grad[0].components() == [f"grad_{n}_{ax}" for n in names for ax in "xyz"[:dim]]
    assert np.allclose(points(grad[0]), a.ravel(), rtol=0, atol=1e-13)
    # Interpolated at the Gauss points, u is the same affine map of the interpolated
    # coordinates.
    at_g = points(q.interp_to_gauss(u, space)[0])
    xg = points(q.interp_to_gauss(q.coordinates(mesh), space)[0])
    assert np.allclose(at_g, xg @ a.T + b, rtol=0, atol=1e-14)


def test_interpolation_of_a_constant_and_its_integral():
    _, _, mesh = patch("QUA8")
    space = space_of(mesh)
    two = q.interp_to_gauss(q.NodeField(mesh, ["T"]) + 2.0, space)
    assert np.allclose(points(two[0]), 2.0, rtol=1e-15)
    # The integral of the interpolated field is the integral of the node field.
    f = node_field(mesh, ["f"], lambda x: (np.sin(9 * x[0]) + x[1] ** 2,))
    assert q.integral(q.interp_to_gauss(f, space), "f") == pytest.approx(q.integral(f, "f", space), rel=1e-14)


def test_gradient_is_the_adjoint_of_the_divergence():
    """Σ_n p_n div(F)_n = ∫ ∇p · F for any nodal p and Gauss-point F."""
    _, _, mesh = patch("QUA4")
    space = q.FiniteElementSpace(mesh)
    rng = np.random.default_rng(7)
    f = q.ElementField(space, ["grad_p_x", "grad_p_y"])
    for cell in range(f[0].cell_count()):
        for g in range(f[0].gauss_count()):
            for k in range(2):
                f[0].set(cell, g, k, float(rng.uniform(-1, 1)))
    p = node_field(mesh, ["p"], lambda x: (np.cos(5 * x[0] * x[1]) + x[0],))
    div = q.divergence(f)
    lhs = sum(p[0].node_values(r)[0] * div[0].node_values(r)[0] for r in range(p[0].node_count()))
    grad = q.gradient(p, space)
    rhs = q.integral(grad * f, "grad_p_x") + q.integral(grad * f, "grad_p_y")
    assert lhs == pytest.approx(rhs, rel=1e-12)


def test_gradient_names_and_one_dimensional_strain():
    _, _, mesh = patch("TRI3")
    f = node_field(mesh, ["T", "p"], lambda x: (3 * x[0] + 2 * x[1], -x[1]))
    g = q.gradient(f, q.FiniteElementSpace(mesh))
    assert g[0].components() == ["grad_T_x", "grad_T_y", "grad_p_x", "grad_p_y"]
    assert np.allclose(points(g[0]), [3.0, 2.0, 0.0, -1.0], rtol=0, atol=1e-13)
    c = q.Coords(1)
    line = q.line(c.add_node([0.0]), c.add_node([2.0]), 4)
    u = node_field(line, ["u"], lambda x: (0.5 * x[0] + 1.0,))
    eps = q.deformation(u, q.FiniteElementSpace(line))
    assert eps[0].components() == ["eps_xx"] and np.allclose(points(eps[0]), 0.5, rtol=1e-14)


def test_zones_subspaces_and_empty_spaces():
    c, nd, mesh = patch("QUA4")
    # Two subspaces on one submesh: one output zone each.
    space = q.FiniteElementSpace(mesh) | q.FiniteElementSpace(mesh, quadrature="REDUCED")
    u = node_field(mesh, ["ux", "uy"], lambda x: (x[0], 0.0))
    eps = q.deformation(u, space)
    assert len(eps) == 2 and eps[0].gauss_count() == 4 and eps[1].gauss_count() == 1
    # An empty space gives empty fields, whatever the field carries.
    empty = space[0:0]
    assert len(q.deformation(q.NodeField(mesh, ["a"]), empty)) == 0
    assert len(q.gradient(u, empty)) == 0 and len(q.interp_to_gauss(u, empty)) == 0
    assert len(q.thermal_strain(eps, eps, empty, 0.0)) == 0
    # The earlier zone wins where two zones give a node.
    corners = q.Mesh(c, "POI1")
    for n in nd[:4]:
        corners[0].add_cell([n])
    first = q.NodeField(corners, ["T"]) + 5.0
    first.add_sub((q.NodeField(mesh, ["T"]) + 1.0)[0])
    at_g = q.interp_to_gauss(first, q.FiniteElementSpace(mesh))
    # Cell 0 holds corner 0 and 1 and inner nodes 4 and 5: its values lie strictly
    # between 1 and 5; cell 4 holds only inner nodes: 1 everywhere.
    assert np.all((points(at_g[0])[:4] > 1.0) & (points(at_g[0])[:4] < 5.0))
    assert np.allclose(points(at_g[0])[16:], 1.0, rtol=1e-15)


def test_node_field_lookup_errors():
    c, nd, mesh = patch("QUA4")
    space = q.FiniteElementSpace(mesh)
    # The corner nodes carry T and p, the inner ones only T: the first lookup that
    # fails is cell 0's first node lacking p.
    corners = q.Mesh(c, "POI1")
    for n in nd[:4]:
        corners[0].add_cell([n])
    inner = q.Mesh(c, "POI1")
    for n in nd[4:]:
        inner[0].add_cell([n])
    f = (q.NodeField(corners, ["T", "p"]) + 1.0) | (q.NodeField(inner, ["T"]) + 2.0)
    assert f.components() == ["T", "p"]
    text = f"no subfield defines (node {nd[5].id}, component p)"
    for op in (q.interp_to_gauss, q.gradient):
        with raises(RuntimeError, text):
            op(f, space)
    with raises(RuntimeError, text):
        q.deformation(f, space)
    # Without any zone: no component at all.
    with raises(RuntimeError, "SubElementField requires at least one component"):
        q.interp_to_gauss(f[0:0], space)
    with raises(RuntimeError, "SubElementField requires at least one component"):
        q.gradient(f[0:0], space)
    with raises(RuntimeError, "deformation: the displacement field carries 0 component(s) but the FE space is 2-D — "
                              "expected exactly one displacement component per axis"):
        q.deformation(f[0:0], space)


def test_component_count_degenerate_cells_and_dimension_errors():
    mesh = distorted_hex()
    u = node_field(mesh, ["ux", "uy"], lambda x: x[:2])
    with raises(RuntimeError, "deformation: the displacement field carries 2 component(s) but the FE space is 3-D — "
                              "expected exactly one displacement component per axis"):
        q.deformation(u, q.FiniteElementSpace(mesh))
    # A cell with coincident nodes: no derivative, but values interpolate.
    c = q.Coords(2)
    a, b = c.add_node([0.0, 0.0]), c.add_node([1.0, 0.0])
    flat = q.Mesh(c, "TRI3")
    flat[0].add_cell([a, b, b])
    space = q.FiniteElementSpace(flat)
    t = q.NodeField(flat, ["T", "p"]) + 1.0
    for op in (q.gradient, q.deformation):
        with raises(RuntimeError, "inverse_small: singular matrix"):
            op(t, space)
    assert np.allclose(points(q.interp_to_gauss(t, space)[0]), 1.0)
    # Node b without a value as well: the derivatives fail first, the interpolation on
    # the lookup.
    point_a = q.Mesh(c, "POI1")
    point_a[0].add_cell([a])
    only_a = q.NodeField(point_a, ["T", "p"])
    for op in (q.gradient, q.deformation):
        with raises(RuntimeError, "inverse_small: singular matrix"):
            op(only_a, space)
    with raises(RuntimeError, f"no subfield defines (node {b.id}, component T)"):
        q.interp_to_gauss(only_a, space)
    # Axes are named x, y, z: a 4-D space has no gradient, strain or thermal strain.
    c4 = q.Coords(4)
    n4 = [c4.add_node([float(i), 0.0, 0.0, 0.0]) for i in range(2)]
    seg = q.Mesh(c4, "SEG2")
    seg[0].add_cell(n4)
    s4 = q.FiniteElementSpace(seg)
    f4 = q.NodeField(seg, ["a", "b", "c", "d"]) + 1.0
    assert points(q.interp_to_gauss(f4, s4)[0]).shape[1] == 4
    for name in ("gradient", "deformation"):
        with raises(RuntimeError, f"{name}: the FE space is 4-D — axes are named x, y, z only (at most 3-D)"):
            getattr(q, name)(f4, s4)
    temp = q.ElementField(s4, ["T", "alpha"])
    with raises(RuntimeError, "thermal_strain: the FE space is 4-D — axes are named x, y, z only (at most 3-D)"):
        q.thermal_strain(temp, temp, s4, 0.0)


@pytest.mark.parametrize("name, field", [("gradient", "field"), ("deformation", "u"), ("interp_to_gauss", "field")])
def test_argument_errors(name, field):
    _, _, mesh = patch("QUA4")
    space = q.FiniteElementSpace(mesh)
    f = q.NodeField(mesh, ["a", "b"])
    fn = getattr(q, name)
    with raises(TypeError, f"argument '{field}': 'int' object is not an instance of 'NodeField'"):
        fn(1, space)
    with raises(TypeError, "argument 'fespace': 'int' object is not an instance of 'FiniteElementSpace'"):
        fn(f, 1)
    assert len(fn(**{field: f, "fespace": space})) == 1


# --- thermal strain -------------------------------------------------------------------


def test_thermal_strain_values_and_errors():
    _, _, mesh = patch("QUA4")
    space = q.FiniteElementSpace(mesh)
    temperature = q.ElementField(space, ["T"]) + 30.0
    materials = q.ElementField(space, ["alpha", "E"]) + 0.5
    eps = q.thermal_strain(temperature, materials, space, 20.0)
    assert eps[0].components() == ["eps_xx", "eps_xy", "eps_yy"]
    assert np.allclose(points(eps[0]), [5.0, 0.0, 5.0], rtol=0, atol=0)
    assert np.all(points(q.thermal_strain(temperature, materials, space, 30)[0]) == 0.0)
    # Read at every point: a temperature varying per point gives its own strain there.
    temperature[0].set_value(2, 3, "T", 21.0)
    assert q.thermal_strain(temperature, materials, space, 20.0)[0].point_values(2, 3) == [0.5, 0.0, 0.5]
    # 3-D: α = 2, T − t_ref = 3.
    hex_space = q.FiniteElementSpace(distorted_hex())
    t3 = q.ElementField(hex_space, ["T"]) + 13.0
    a3 = q.ElementField(hex_space, ["alpha"]) + 2.0
    e3 = q.thermal_strain(t3, a3, hex_space, 10.0)
    assert e3[0].components() == STRAIN_NAMES[3]
    assert np.all(points(e3[0]) == [6.0, 0.0, 0.0, 6.0, 0.0, 6.0])
    # Errors in order: the temperature zone, the alpha zone, then the name T.
    other = q.FiniteElementSpace(mesh)
    with raises(RuntimeError, f"no SubElementField in this ElementField matches the SubFiniteElementSpace at slot "
                              f"{slot(space)}"):
        q.thermal_strain(q.ElementField(other, ["T"]), q.ElementField(other, ["E"]), space, 0.0)
    with raises(RuntimeError, f"2 SubElementFields live on the SubFiniteElementSpace at slot {slot(space)}; "
                              "sub_for_fespace needs a unique zone. Use subs_for_fespace, or consolidate_element to "
                              "fuse the zones."):
        q.thermal_strain(q.ElementField(space, ["T"]) | q.ElementField(space, ["q"]), materials, space, 0.0)
    with raises(RuntimeError, f'no SubElementField on the SubFiniteElementSpace at slot {slot(space)} carries all '
                              'of ["alpha"] — supply it via material_field'):
        q.thermal_strain(q.ElementField(space, ["t"]), q.ElementField(space, ["E"]), space, 0.0)
    with raises(RuntimeError, "thermal_strain: the temperature field carries no 'T' component"):
        q.thermal_strain(q.ElementField(space, ["t"]), materials, space, 0.0)
    with raises(TypeError, "argument 't_ref': must be real number, not str"):
        q.thermal_strain(temperature, materials, space, "20")


def slot(space):
    """'{idx} (generation {gen})' of the first subspace's handle, as messages print it
    (read from the debug text of a zone on it)."""
    m = re.search(r"support: Handle<[^>]*>\{ idx: (\d+), gen: (\d+) \}", repr(q.ElementField(space, ["_"])[0]))
    return f"{m.group(1)} (generation {m.group(2)})"


# --- integrate_behavior -----------------------------------------------------------------


def hooke(model, e, nu):
    if model == "plane_stress":
        return e / (1 - nu * nu) * np.array([[1, nu, 0], [nu, 1, 0], [0, 0, (1 - nu) / 2]])
    lam, mu = e * nu / ((1 + nu) * (1 - 2 * nu)), e / (2 * (1 + nu))
    d = np.zeros((6, 6))
    d[:3, :3] = lam
    d[:3, :3] += 2 * mu * np.eye(3)
    d[3:, 3:] = mu * np.eye(3)
    if model == "plane_strain":
        return d[np.ix_([0, 1, 5], [0, 1, 5])]
    return d


@pytest.mark.parametrize("model", ["plane_stress", "plane_strain", "solid"])
def test_elastic_state_is_d_times_the_strain(model):
    mesh = distorted_hex() if model == "solid" else patch("QUA4")[2]
    space = q.FiniteElementSpace(mesh)
    dim = 3 if model == "solid" else 2
    body = q.Model.elasticity(space, model)
    e, nu = 210.0, 0.3
    materials = q.material_field(body, [("E", e), ("nu", nu)])
    eps = q.ElementField(space, STRAIN_NAMES[dim])
    rng = np.random.default_rng(1)
    for cell in range(eps[0].cell_count()):
        for g in range(eps[0].gauss_count()):
            for k in range(len(STRAIN_NAMES[dim])):
                eps[0].set(cell, g, k, float(rng.uniform(-1e-3, 1e-3)))
    state = q.integrate_behavior(body, eps, materials)
    voigt = {2: [(0, 0), (1, 1), (0, 1)], 3: [(0, 0), (1, 1), (2, 2), (1, 2), (0, 2), (0, 1)]}[dim]
    assert state[0].components() == ["sigma_" + "xyz"[i] + "xyz"[j] for i, j in voigt]
    tensor = points(eps[0])
    pos = {p: k for k, p in enumerate(PAIRS[dim])}
    engineering = np.array([[row[pos[p]] * (1 if p[0] == p[1] else 2) for p in voigt] for row in tensor])
    assert np.allclose(points(state[0]), engineering @ hooke(model, e, nu).T, rtol=1e-13, atol=1e-16)


def test_internal_forces_of_the_elastic_state_equal_k_times_u():
    c, _, mesh = patch("TRI3")
    space = q.FiniteElementSpace(mesh)
    body = q.Model.elasticity(space, "plane_strain")
    materials = q.material_field(body, [("E", 3.0), ("nu", 0.2)])
    rng = np.random.default_rng(4)
    u = node_field(mesh, ["u_x", "u_y"], lambda x: rng.uniform(-1, 1, 2))
    state = q.integrate_behavior(body, q.deformation(u, space), materials)
    f = q.internal_forces(body, state)
    k = q.stiffness(body, materials)
    kd = np.array(k.dense()).reshape(k.n_rows(), k.n_cols())
    col = np.array([u.value(c.acquire(node), var) for node, var in k.col_dofs()])
    row = np.array([f.value(c.acquire(node), var) for node, var in k.row_dofs()])
    assert np.allclose(row, kd @ col, rtol=0, atol=1e-13 * abs(kd @ col).max())


def elastic_problem():
    c, nd, mesh = patch("QUA4")
    space = q.FiniteElementSpace(mesh)
    body = q.Model.elasticity(space, "plane_stress")
    materials = q.material_field(body, [("E", 100.0), ("nu", 0.25)])
    u = node_field(mesh, ["u_x", "u_y"], lambda x: (1e-3 * x[0], 2e-3 * x[1]))
    return c, nd, mesh, space, body, materials, q.deformation(u, space)


def test_integrate_behavior_walks_the_behaviour_sub_models_in_order():
    c, nd, mesh, space, body, materials, eps = elastic_problem()
    # A constraint needs no zone; an empty model gives an empty field.
    mult = q.Mesh(c, "POI1")
    mult[0].add_cell([c.add_node([-1.0, -1.0])])
    fixed = q.Mesh(c, "POI1")
    fixed[0].add_cell([nd[0]])
    model = q.Model.dirichlet("u_x", "f_x", fixed, mult) | body
    state = q.integrate_behavior(model, eps, materials)
    assert len(state) == 1 and state[0].components() == ["sigma_xx", "sigma_yy", "sigma_xy"]
    assert len(q.integrate_behavior(q.Model(), eps, materials)) == 0
    assert len(q.integrate_behavior(model[0:1], eps[0:0], materials[0:0])) == 0
    # prev and dt are accepted in every form and change nothing for this law.
    want = points(state[0])
    for kwargs in ({"prev": None, "dt": None}, {"prev": state, "dt": 1}, {"dt": 1.0}, {"prev": state}):
        again = q.integrate_behavior(model, eps, materials, **kwargs)
        assert np.array_equal(points(again[0]), want)
    again = q.integrate_behavior(model, eps, materials, state, 0.5)
    assert np.array_equal(points(again[0]), want)
    # Extra material components are fine.
    rich = q.material_field(body, [("E", 100.0), ("nu", 0.25), ("rho", 3.0), ("alpha", 1e-5)])
    assert np.array_equal(points(q.integrate_behavior(body, eps, rich)[0]), want)
    # The same sub-model twice: two zones on one subspace, refused as `prev`.
    twice = q.Model()
    twice.add_sub(body[0])
    twice.add_sub(body[0])
    two = q.integrate_behavior(twice, eps, materials)
    assert len(two) == 2
    with raises(RuntimeError, f"2 SubElementFields live on the SubFiniteElementSpace at slot {slot(space)}; "
                              "sub_for_fespace needs a unique zone. Use subs_for_fespace, or consolidate_element to "
                              "fuse the zones."):
        q.integrate_behavior(twice, eps, materials, prev=two)


def test_integrate_behavior_errors():
    c, nd, mesh, space, body, materials, eps = elastic_problem()
    other = q.FiniteElementSpace(mesh)
    where = slot(space)
    with raises(RuntimeError, f"no SubElementField in this ElementField matches the SubFiniteElementSpace at slot "
                              f"{where}"):
        q.integrate_behavior(body, q.ElementField(other, ["eps_xx"]), materials)
    with raises(RuntimeError, f"2 SubElementFields live on the SubFiniteElementSpace at slot {where}; "
                              "sub_for_fespace needs a unique zone. Use subs_for_fespace, or consolidate_element to "
                              "fuse the zones."):
        q.integrate_behavior(body, eps | q.ElementField(space, ["x"]), materials)
    with raises(RuntimeError, f"no SubElementField in this ElementField matches the SubFiniteElementSpace at slot "
                              f"{where}"):
        q.integrate_behavior(body, eps, materials, prev=eps[0:0])
    with raises(RuntimeError, f'no SubElementField on the SubFiniteElementSpace at slot {where} carries all of '
                              '["E", "nu"] — supply it via material_field'):
        q.integrate_behavior(body, eps, q.ElementField(space, ["E"]))
    with raises(RuntimeError, f'2 SubElementFields on the SubFiniteElementSpace at slot {where} each carry all of '
                              '["E", "nu"]; the zone is ambiguous — fuse them with consolidate_element or narrow the '
                              'components'):
        ambiguous = q.material_field(body, [("E", 1.0), ("nu", 0.0)])
        ambiguous.add_sub(materials[0])
        q.integrate_behavior(body, eps, ambiguous)
    # The law's own failures: a strain without eps_xx.
    with raises(RuntimeError, "unknown component: eps_xx"):
        q.integrate_behavior(body, q.ElementField(space, ["eps_yy"]), materials)
    # Arguments, converted in order.
    for args, name, cls in (
        ((1, eps, materials), "model", "Model"),
        ((body, 1, materials), "deformation", "ElementField"),
        ((body, eps, 1), "materials", "ElementField"),
        ((body, eps, materials, 1), "prev", "ElementField"),
    ):
        with raises(TypeError, f"argument '{name}': 'int' object is not an instance of '{cls}'"):
            q.integrate_behavior(*args)
    with raises(TypeError, "argument 'dt': must be real number, not str"):
        q.integrate_behavior(body, eps, materials, dt="1")


def test_integrate_behavior_of_sub_models_on_distinct_subspaces_and_per_sub_model_materials():
    """An elastic and a plastic sub-model on two subspaces of one mesh: one zone each, in
    model order; the result fed back as `prev` is accepted and, below yield, repeats the
    step; a material list left empty for one sub-model fails that sub-model's lookup."""
    _, _, mesh, _, _, _, _ = elastic_problem()
    space = q.FiniteElementSpace(mesh) | q.FiniteElementSpace(mesh, quadrature="REDUCED")
    model = q.Model.elasticity(space[0:1], "plane_stress") | q.Model.plasticity(space[1:2], "plane_stress")
    steel = [("E", 100.0), ("nu", 0.25), ("sigma_y", 1.0)]
    materials = q.material_field(model, steel)
    u = node_field(mesh, ["u_x", "u_y"], lambda x: (1e-3 * x[0], 2e-3 * x[1]))
    eps = q.deformation(u, space)
    state = q.integrate_behavior(model, eps, materials)
    assert len(state) == 2
    assert state[0].components() == ["sigma_xx", "sigma_yy", "sigma_xy"] and len(state[1].components()) == 23
    assert (state[0].gauss_count(), state[1].gauss_count()) == (4, 1)
    again = q.integrate_behavior(model, eps, materials, prev=state)
    assert np.array_equal(points(again[0]), points(state[0]))
    # Plane stress solves its out-of-plane strain again: equal to the solver's tolerance.
    assert np.allclose(points(again[1]), points(state[1]), rtol=1e-12, atol=1e-12)
    assert state[1].value(0, 0, "p") == 0.0
    # The first sub-model without materials, then the second.
    for lists, where, names in (([[], steel], space[0:1], '["E", "nu"]'),
                                ([steel[:2], []], space[1:2], '["E", "nu", "sigma_y"]')):
        per = q.material_field_per_sub_model(model, lists)
        with raises(RuntimeError, f"no SubElementField on the SubFiniteElementSpace at slot {slot(where)} carries "
                                  f"all of {names} — supply it via material_field"):
            q.integrate_behavior(model, eps, per)


def test_integrate_behavior_of_two_sub_models_on_one_subspace():
    """An elastic and a plastic sub-model on one space: both read the one strain zone;
    the plastic lookup finds its own material zone, the elastic one finds two."""
    _, _, mesh, space, body, _, eps = elastic_problem()
    plastic = q.Model.plasticity(space, "plane_stress")
    both = body | plastic
    materials = q.material_field(both, [("E", 100.0), ("nu", 0.25), ("sigma_y", 1.0)])
    with raises(RuntimeError, f'2 SubElementFields on the SubFiniteElementSpace at slot {slot(space)} each carry '
                              'all of ["E", "nu"]; the zone is ambiguous — fuse them with consolidate_element or '
                              'narrow the components'):
        q.integrate_behavior(both, eps, materials)


def test_gauss_point_results_are_the_same_bits_for_one_and_all_threads(tmp_path):
    body = """
        import struct, sys
        import _quenlith as q
        c = q.Coords(2)
        n = 60
        nodes = [[c.add_node([i / n + 0.1 * (j / n) ** 2, j / n + 0.05 * (i / n) ** 3]) for i in range(n + 1)]
                 for j in range(n + 1)]
        mesh = q.Mesh(c, "QUA4")
        for j in range(n):
            for i in range(n):
                mesh[0].add_cell([nodes[j][i], nodes[j][i + 1], nodes[j + 1][i + 1], nodes[j + 1][i]])
        space = q.FiniteElementSpace(mesh)
        xy = q.coordinates(mesh)
        u = q.rename_component(q.rename_component(q.sin(xy * 3.0), "X", "ux"), "Y", "uy")
        body = q.Model.elasticity(space, "plane_strain")
        mat = q.material_field(body, [("E", 7.0), ("nu", 0.3), ("alpha", 0.1)])
        eps = q.deformation(u, space)
        temp = q.rename_component(q.interp_to_gauss(q.filter_components(xy, ["X"]), space), "X", "T")
        fields = [eps, q.gradient(u, space), q.interp_to_gauss(u, space), q.thermal_strain(temp, mat, space, 0.5),
                  q.integrate_behavior(body, eps, mat)]
        out = []
        for f in fields:
            z = f[0]
            for cell in range(z.cell_count()):
                for g in range(z.gauss_count()):
                    out.extend(z.point_values(cell, g))
        open(sys.argv[1], "wb").write(struct.pack(f"{len(out)}d", *out))
    """
    one, many = files_with_one_and_all_processors(body, tmp_path)
    assert one == many


def test_truss_state_from_the_strain_of_the_bars_gives_k_times_u():
    """Bars in the plane: `deformation` on their line cells projects along each bar to
    the axial strain the truss law reads, and its forces are K·u."""
    c = q.Coords(2)
    nodes = [c.add_node(p) for p in ([0.0, 0.0], [2.0, 1.0], [3.0, -0.5], [1.0, 2.5])]
    mesh = q.Mesh(c, "SEG2")
    for a, b in ((0, 1), (1, 2), (2, 3), (3, 0), (0, 2)):
        mesh[0].add_cell([nodes[a], nodes[b]])
    space = q.FiniteElementSpace(mesh)
    truss = q.Model.truss(space)
    materials = q.material_field(truss, [("E", 5.0), ("A", 0.3)])
    rng = np.random.default_rng(8)
    u = node_field(mesh, ["u_x", "u_y"], lambda x: rng.uniform(-1, 1, 2))
    f = q.internal_forces(truss, q.integrate_behavior(truss, q.deformation(u, space), materials))
    k = q.stiffness(truss, materials)
    kd = np.array(k.dense()).reshape(k.n_rows(), k.n_cols())
    col = np.array([u.value(c.acquire(node), var) for node, var in k.col_dofs()])
    row = np.array([f.value(c.acquire(node), var) for node, var in k.row_dofs()])
    assert np.allclose(row, kd @ col, rtol=0, atol=1e-13 * abs(kd @ col).max())
