"""Bar and beam models assembled from Python: the symmetric two-bar truss, cantilevers
of the planar frame and of the Timoshenko beam against beam theory, the space-frame
cantilever under torque, and the first natural frequency of a frame cantilever from
`stiffness` and `mass` (scipy.linalg.eigh on the dense matrices)."""

import math
import re

import numpy as np
import pytest
import scipy.linalg as sl

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises, uniform_field


def chain(dim, n, step, origin=None, quadrature="GAUSS"):
    """SEG2 cells of a straight chain of n cells; returns (space, nodes in order)."""
    c = q.Coords(dim)
    origin = origin or [0.0] * dim
    nodes = [c.add_node([origin[i] + k * step[i] for i in range(dim)]) for k in range(n + 1)]
    m = q.Mesh(c, "SEG2")
    for k in range(n):
        m[0].add_cell([nodes[k], nodes[k + 1]])
    return q.FiniteElementSpace(m, "LAGRANGE1", quadrature), nodes


def dense(matrix):
    return np.array(matrix.dense()).reshape(matrix.n_rows(), matrix.n_cols())


def solve_clamped(K, fixed, loads):
    """Solves K u = f with the (node id, primal) DOFs of `fixed` held at zero, the loads
    given by (node id, dual); u by (node id, primal)."""
    rows, cols = list(K.row_dofs()), list(K.col_dofs())
    assert [node for node, _ in rows] == [node for node, _ in cols]
    free = [i for i, d in enumerate(cols) if d not in fixed]
    k = dense(K)[np.ix_(free, free)]
    f = np.array([loads.get(rows[i], 0.0) for i in free])
    u = np.linalg.solve(k, f)
    return {cols[i]: u[j] for j, i in enumerate(free)}


def test_symmetric_two_bar_truss():
    h, E, A, P = 2.0, 200.0, 0.5, 3.0
    L = h * math.sqrt(2.0)
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([-h, 0.0], [0.0, h], [h, 0.0])]
    m = q.Mesh(c, "SEG2")
    m[0].add_cell([n[0], n[1]])
    m[0].add_cell([n[1], n[2]])
    model = q.Model.truss(q.FiniteElementSpace(m))
    K = q.stiffness(model, q.material_field(model, [("E", E), ("A", A)]))
    fixed = {(n[k].id, v) for k in (0, 2) for v in ("u_x", "u_y")}
    u = solve_clamped(K, fixed, {(n[1].id, "f_y"): -P})
    assert u[(n[1].id, "u_x")] == pytest.approx(0.0, abs=1e-14)
    assert u[(n[1].id, "u_y")] == pytest.approx(-P * L / (E * A), rel=1e-12)


E, I, G, A_S = 210e9, 1e-7, 80e9, 1e-3


@pytest.mark.parametrize("angle", [0.0, 0.6, 2.5])
def test_frame_cantilever_tip_deflection_and_first_frequency(angle):
    length, n, P, A, rho = 10.0, 20, 4.0, 1e-3, 7800.0
    cs, sn = math.cos(angle), math.sin(angle)
    fes, nodes = chain(2, n, [length / n * cs, length / n * sn], [1.0, -2.0])
    model = q.Model.frame(fes)
    mat = q.material_field(model, [("E", E), ("A", A), ("I", I), ("G", G), ("A_s", A_S), ("rho", rho)])
    K = q.stiffness(model, mat)
    fixed = {(nodes[0].id, v) for v in ("u_x", "u_y", "rz")}
    tip = nodes[-1].id
    u = solve_clamped(K, fixed, {(tip, "f_x"): -P * sn, (tip, "f_y"): P * cs})
    across = -u[(tip, "u_x")] * sn + u[(tip, "u_y")] * cs
    # The N-element closed form of the one-point-shear element, then beam theory.
    bending = P * length**3 / (3 * E * I)
    assert across == pytest.approx(bending * (1 - 1 / (4 * n * n)) + P * length / (G * A_S), rel=1e-8)
    assert across == pytest.approx(bending + P * length / (G * A_S), rel=1e-3)

    M = q.mass(model, mat)
    assert list(M.row_dofs()) == list(K.row_dofs())
    free = [i for i, d in enumerate(K.col_dofs()) if d not in fixed]
    w = sl.eigh(dense(K)[np.ix_(free, free)], dense(M)[np.ix_(free, free)], eigvals_only=True)
    expected = 1.87510407**2 * math.sqrt(E * I / (rho * A * length**4))
    assert math.sqrt(w[0]) == pytest.approx(expected, rel=1e-3)


def test_timoshenko_cantilever_converges_to_beam_theory():
    length, P, EI, GAS = 10.0, 1.5, 50.0, 120.0
    for n in (1, 4, 20):
        fes, nodes = chain(1, n, [length / n])
        model = q.Model.timoshenko(fes)
        K = q.stiffness(model, q.material_field(model, [("E", EI), ("I", 1.0), ("G", GAS), ("A_s", 1.0)]))
        u = solve_clamped(K, {(nodes[0].id, "w"), (nodes[0].id, "theta")}, {(nodes[-1].id, "f_w"): P})
        bending = P * length**3 / (3 * EI)
        assert u[(nodes[-1].id, "w")] == pytest.approx(bending * (1 - 1 / (4 * n * n)) + P * length / GAS, rel=1e-10)


def test_space_frame_cantilever_twist_and_bending_with_one_element():
    e, a, g, j, iy, iz, asy, asz, length = 200.0, 3.0, 77.0, 1.5, 0.8, 1.3, 2.0, 2.5, 3.0
    fes, nodes = chain(3, 1, [length, 0.0, 0.0])
    model = q.Model.frame3d(fes)
    mat = q.material_field(model, [("E", e), ("A", a), ("I_y", iy), ("I_z", iz), ("J", j), ("G", g),
                                   ("A_sy", asy), ("A_sz", asz)])
    K = q.stiffness(model, mat)
    root, tip = nodes[0].id, nodes[1].id
    T, Py, Pz = 2.0, 0.7, -0.4
    fixed = {(root, v) for v in ("u_x", "u_y", "u_z", "r_x", "r_y", "r_z")}
    u = solve_clamped(K, fixed, {(tip, "m_x"): T, (tip, "f_y"): Py, (tip, "f_z"): Pz})
    assert u[(tip, "r_x")] == pytest.approx(T * length / (g * j), rel=1e-12)
    assert u[(tip, "u_y")] == pytest.approx(Py * length**3 / (3 * e * iz) + Py * length / (g * asy), rel=1e-12)
    assert u[(tip, "u_z")] == pytest.approx(Pz * length**3 / (3 * e * iy) + Pz * length / (g * asz), rel=1e-12)


def test_truss_and_timoshenko_internal_forces_equal_k_times_u():
    # Two-bar truss: both bars carry n = −P/√2, so the nodal forces of that axial force
    # are K·u of the solved displacement (the load at the apex, reactions at the supports).
    h, E, A, P = 2.0, 200.0, 0.5, 3.0
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([-h, 0.0], [0.0, h], [h, 0.0])]
    m = q.Mesh(c, "SEG2")
    m[0].add_cell([n[0], n[1]])
    m[0].add_cell([n[1], n[2]])
    fes = q.FiniteElementSpace(m)
    model = q.Model.truss(fes)
    K = q.stiffness(model, q.material_field(model, [("E", E), ("A", A)]))
    fixed = {(n[k].id, v) for k in (0, 2) for v in ("u_x", "u_y")}
    u = solve_clamped(K, fixed, {(n[1].id, "f_y"): -P})
    ku = dict(zip(K.row_dofs(), K.mul_dense([u.get(d, 0.0) for d in K.col_dofs()])))
    f = q.internal_forces(model, uniform_field(fes, {"n": -P / math.sqrt(2.0)}))
    by_id = {node.id: node for node in n}
    for (k, var), expected in ku.items():
        assert f.value(by_id[k], var) == pytest.approx(expected, abs=1e-12)
    assert f.value(n[1], "f_y") == pytest.approx(-P, rel=1e-12)

    # Timoshenko element: M = EI·θ' (constant) and V = GAs·γ at the midpoint.
    EI, GAS, L = 50.0, 120.0, 2.0
    fes, nodes = chain(1, 1, [L])
    model = q.Model.timoshenko(fes)
    K = q.stiffness(model, q.material_field(model, [("E", EI), ("I", 1.0), ("G", GAS), ("A_s", 1.0)]))
    w1, t1, w2, t2 = 0.1, -0.3, 0.25, 0.05
    u = {(nodes[0].id, "w"): w1, (nodes[0].id, "theta"): t1, (nodes[1].id, "w"): w2, (nodes[1].id, "theta"): t2}
    ku = dict(zip(K.row_dofs(), K.mul_dense([u[d] for d in K.col_dofs()])))
    kappa, gamma = (t2 - t1) / L, (w2 - w1) / L - (t1 + t2) / 2
    f = q.internal_forces(model, uniform_field(fes, {"M": EI * kappa, "V": GAS * gamma}))
    by_id = {node.id: node for node in nodes}
    for (k, var), expected in ku.items():
        assert f.value(by_id[k], var) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("build, dim, materials, message", [
    (q.Model.truss, 2, [("E", 1.0), ("A", 1.0)], "Truss mass matrix: material component `rho` (density) is required"),
    (q.Model.frame, 2, [("E", 1.0), ("A", 1.0), ("I", 1.0), ("G", 1.0), ("A_s", 1.0)],
     "Frame mass matrix: material component `rho` (density) is required"),
    (q.Model.frame3d, 3, [(k, 1.0) for k in ("E", "A", "I_y", "I_z", "J", "G", "A_sy", "A_sz")],
     "Frame3d mass matrix: material component `rho` (density) is required"),
    (q.Model.timoshenko, 1, [("E", 1.0), ("I", 1.0), ("G", 1.0), ("A_s", 1.0)],
     "Timoshenko mass matrix: material component `rho` (density) is required"),
    (q.Model.timoshenko, 1, [("E", 1.0), ("I", 1.0), ("G", 1.0), ("A_s", 1.0), ("rho", 1.0)],
     "unknown component: A"),
])
def test_mass_needs_its_materials(build, dim, materials, message):
    fes, _ = chain(dim, 2, [1.0] + [0.5] * (dim - 1))
    model = build(fes)
    mat = q.material_field(model, materials)
    q.stiffness(model, mat)  # the stiffness needs neither
    with pytest.raises(RuntimeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        q.mass(model, mat)


@pytest.mark.parametrize("build, dim, names, message", [
    (q.Model.frame, 2, ["sigma_xx", "sigma_yy", "sigma_xy"],
     "Frame: continuum stresses (sigma_xx) have no internal-force kernel on a beam, whose nodes carry rotations"),
    (q.Model.frame, 2, ["N", "M", "V"], "unknown component: sigma_xx"),
    (q.Model.frame3d, 3, ["N", "sigma_zz"],
     "Frame3d: continuum stresses (sigma_zz) have no internal-force kernel on a beam, whose nodes carry rotations"),
])
def test_frame_internal_forces_refuse_continuum_stresses(build, dim, names, message):
    fes, _ = chain(dim, 2, [1.0] + [0.5] * (dim - 1))
    with pytest.raises(RuntimeError) as info:
        q.internal_forces(build(fes), uniform_field(fes, {k: 1.0 for k in names}))
    assert str(info.value) == message


def test_portal_frame_sway_against_slope_deflection():
    # Fixed bases, columns of height h (I_c), beam of span b (I_b), load H at the top
    # left corner. Slope-deflection (axial and shear deformation neglected): the sway
    # is H·h³·(2 + 3k) / (12·E·I_c·(1 + 6k)), k = (I_b/b) / (I_c/h).
    h, b, E, Ic, Ib, H, per = 3.0, 4.0, 1000.0, 1.0, 2.0, 5.0, 40
    c = q.Coords(2)
    left = [c.add_node([0.0, h * i / per]) for i in range(per + 1)]
    right = [c.add_node([b, h * i / per]) for i in range(per + 1)]
    beam = [left[-1]] + [c.add_node([b * i / per, h]) for i in range(1, per)] + [right[-1]]
    # Columns and beam differ in I: one frame model each, their operators summed by DOF.
    cols, top = q.Mesh(c, "SEG2"), q.Mesh(c, "SEG2")
    for line, mesh in ((left, cols), (right, cols), (beam, top)):
        for i in range(per):
            mesh[0].add_cell([line[i], line[i + 1]])
    mc, mb = q.Model.frame(q.FiniteElementSpace(cols)), q.Model.frame(q.FiniteElementSpace(top))
    materials = [("E", E), ("A", 1e4), ("G", 400.0), ("A_s", 1e4)]
    Kc = q.stiffness(mc, q.material_field(mc, materials + [("I", Ic)]))
    Kb = q.stiffness(mb, q.material_field(mb, materials + [("I", Ib)]))
    # Sum the two assembled operators by (node, primal) DOF, rows named by their duals.
    primal_of = {"f_x": "u_x", "f_y": "u_y", "m_z": "rz"}
    index = {}
    for K in (Kc, Kb):
        for dof in K.col_dofs():
            index.setdefault(dof, len(index))
    k = np.zeros((len(index), len(index)))
    for K in (Kc, Kb):
        rows = [index[(node, primal_of[var])] for node, var in K.row_dofs()]
        cols_ = [index[dof] for dof in K.col_dofs()]
        k[np.ix_(rows, cols_)] += dense(K)
    fixed = {(n.id, v) for n in (left[0], right[0]) for v in ("u_x", "u_y", "rz")}
    free = [d for d in index if d not in fixed]
    f = np.array([H if d == (left[-1].id, "u_x") else 0.0 for d in free])
    u = np.linalg.solve(k[np.ix_([index[d] for d in free], [index[d] for d in free])], f)
    sway = dict(zip(free, u))
    kk = (Ib / b) / (Ic / h)
    expected = H * h**3 * (2 + 3 * kk) / (12 * E * Ic * (1 + 6 * kk))
    assert sway[(left[-1].id, "u_x")] == pytest.approx(expected, rel=1e-3)
    assert sway[(right[-1].id, "u_x")] == pytest.approx(expected, rel=1e-3)



# ------------------------------------------------------------- zero-length cells

# Each kind, its dimension, its materials, the axial-force name its geometric stiffness
# reads (None: no geometric kernel) and whether its nodal forces come from its own kernel.
LINE_KINDS = {
    "truss": (q.Model.truss, 2, [("E", 2.0), ("A", 3.0), ("rho", 1.0)], "n", True),
    "frame": (q.Model.frame, 2, [("E", 2.0), ("A", 3.0), ("I", 5.0), ("G", 7.0), ("A_s", 11.0), ("rho", 1.0)],
              "N", False),
    "frame3d": (q.Model.frame3d, 3, [(k, 2.0) for k in ("E", "A", "I_y", "I_z", "J", "G", "A_sy", "A_sz", "rho")],
                "N", False),
    "timoshenko": (q.Model.timoshenko, 1, [("E", 2.0), ("I", 5.0), ("G", 7.0), ("A_s", 11.0), ("A", 3.0),
                                            ("rho", 1.0)], None, True),
}


def chain_at(dim, xs):
    """SEG2 cells joining nodes at x = xs (along the axis, other coordinates 0)."""
    c = q.Coords(dim)
    nodes = [c.add_node([x] + [0.0] * (dim - 1)) for x in xs]
    m = q.Mesh(c, "SEG2")
    for a, b in zip(nodes, nodes[1:]):
        m[0].add_cell([a, b])
    return q.FiniteElementSpace(m), nodes


@pytest.mark.parametrize("kind", LINE_KINDS)
def test_zero_length_cells_are_refused_first_in_cell_order(kind):
    build, dim, materials, axial, own_forces = LINE_KINDS[kind]
    # Cells 1 and 2 have no length; consecutive cells share a node, so the two are in
    # different colours and a kernel alone would meet cell 2 first.
    fes, nodes = chain_at(dim, [0.0, 1.0, 1.0, 1.0, 2.0])
    model = build(fes)
    mat = q.material_field(model, materials)
    name = {"truss": "Truss", "frame": "Frame", "frame3d": "Frame3d", "timoshenko": "Timoshenko"}[kind]
    message = f"{name}: cell 1 has zero length (nodes {nodes[1].id} and {nodes[2].id} coincide)"
    calls = [lambda: q.stiffness(model, mat), lambda: q.mass(model, mat)]
    if axial:
        calls.append(lambda: q.geometric(model, mat, uniform_field(fes, {axial: 1.5})))
    if kind == "truss":
        calls.append(lambda: q.integrate_behavior(model, uniform_field(fes, {"eps_xx": 1e-3, "eps_xy": 0.0,
                                                                                  "eps_yy": 0.0}), mat))
    if own_forces:
        stress = uniform_field(fes, {"n": 1.0} if kind == "truss" else {"M": 1.0, "V": 1.0})
        calls.append(lambda: q.internal_forces(model, stress))
    for call in calls:
        with raises(RuntimeError, message):
            call()
    # Moved apart, the same model assembles what a fresh one gives.
    for node, x in ((nodes[2], 1.25), (nodes[3], 1.5)):
        node.set_coord([x] + [0.0] * (dim - 1))
    fresh, _ = chain_at(dim, [0.0, 1.0, 1.25, 1.5, 2.0])
    fresh_model = build(fresh)
    for op in (q.stiffness, q.mass):
        got = dense(op(model, mat))
        assert np.isfinite(got).all()
        np.testing.assert_array_equal(got, dense(op(fresh_model, q.material_field(fresh_model, materials))))


def test_beam_deformation_refuses_zero_length_cells_in_cell_order():
    fes, nodes = chain_at(1, [0.0, 2.0, 2.0, 2.0, 3.0])
    field = beam_field(nodes, [0.0] * 5, [0.0] * 5)
    with raises(RuntimeError, f"beam_deformation: cell 1 has zero length (nodes {nodes[1].id} and {nodes[2].id} "
                              "coincide)"):
        q.beam_deformation(field, fes)
    # A SEG3 cell whose end nodes coincide, its middle node elsewhere.
    c = q.Coords(1)
    ends, middle = [c.add_node([1.0]), c.add_node([1.0])], c.add_node([1.5])
    m = q.Mesh(c, "SEG3")
    m[0].add_cell(ends + [middle])
    with raises(RuntimeError, f"beam_deformation: cell 0 has zero length (nodes {ends[0].id} and {ends[1].id} "
                              "coincide)"):
        q.beam_deformation(beam_field(ends + [middle], [0.0] * 3, [0.0] * 3), q.FiniteElementSpace(m, "LAGRANGE2"))


# ----------------------------------------------------------------- section strains


def beam_field(nodes, w, theta, names=("w", "theta")):
    """A one-zone NodeField on the nodes carrying `names`, "w" and "theta" set per node."""
    field = q.NodeField(q.poi1_from_nodes(nodes), list(names))
    for node, wv, tv in zip(nodes, w, theta):
        if "w" in names:
            field[0].set_value(node, "w", wv)
        if "theta" in names:
            field[0].set_value(node, "theta", tv)
    return field


def strains(field):
    """[(kappa, gamma)] per (cell, Gauss point) of a one-zone field, in order."""
    (zone,) = list(field)
    assert list(zone.components()) == ["kappa", "gamma"]
    return [(zone.get(c, g, 0), zone.get(c, g, 1)) for c in range(zone.cell_count()) for g in range(zone.gauss_count())]


@pytest.mark.parametrize("quadrature, n_g", [("GAUSS", 2), ("REDUCED", 1)])
def test_beam_deformation_of_one_cell(quadrature, n_g):
    L, a, b = 2.5, 0.3, -0.8
    fes, nodes = chain(1, 1, [L], [4.0], quadrature)
    out = q.beam_deformation(beam_field(nodes, [0.0, a], [0.0, b]), fes)
    assert isinstance(out, q.ElementField)
    assert strains(out) == [pytest.approx((b / L, a / L - b / 2), rel=1e-14)] * n_g
    # Reversed connectivity: the same beam, the same strains.
    c = q.Coords(1)
    ends = [c.add_node([4.0]), c.add_node([4.0 + L])]
    m = q.Mesh(c, "SEG2")
    m[0].add_cell([ends[1], ends[0]])
    out = q.beam_deformation(beam_field(ends, [0.0, a], [0.0, b]), q.FiniteElementSpace(m, "LAGRANGE1", quadrature))
    assert strains(out) == [pytest.approx((b / L, a / L - b / 2), rel=1e-14)] * n_g


def test_beam_deformation_rigid_rotation_and_cells_of_a_chain():
    phi, n = 0.07, 5
    fes, nodes = chain(1, n, [0.4], [-1.0])
    x = [node.coord()[0] for node in nodes]
    rigid = q.beam_deformation(beam_field(nodes, [phi * xi for xi in x], [phi] * len(x)), fes)
    assert strains(rigid) == [pytest.approx((0.0, 0.0), abs=1e-15)] * (2 * n)
    # w = x², θ = x³: per cell the slope of the chord and the centre rotation.
    bent = strains(q.beam_deformation(beam_field(nodes, [xi**2 for xi in x], [xi**3 for xi in x]), fes))
    for c in range(n):
        x0, x1 = x[c], x[c + 1]
        expected = ((x1**3 - x0**3) / (x1 - x0), (x1**2 - x0**2) / (x1 - x0) - (x0**3 + x1**3) / 2)
        assert bent[2 * c] == bent[2 * c + 1] == pytest.approx(expected, rel=1e-13)


def test_beam_deformation_of_a_seg3_cell_uses_its_first_gauss_point():
    c = q.Coords(1)
    nodes = [c.add_node([x]) for x in (1.0, 3.0, 2.0)]  # ends, then the middle node
    m = q.Mesh(c, "SEG3")
    m[0].add_cell(nodes)
    fes = q.FiniteElementSpace(m, "LAGRANGE2")
    sub = fes[0]
    assert sub.gauss_count() == 3
    x = [node.coord()[0] for node in nodes]
    xg = sum(n * xi for n, xi in zip(sub.n_at_g(0), x))
    # Quadratics are interpolated exactly: dθ/dx and dw/dx at the first Gauss point.
    w = [0.5 * xi**2 - xi for xi in x]
    theta = [0.25 * xi**2 + 0.1 for xi in x]
    out = strains(q.beam_deformation(beam_field(nodes, w, theta), fes))
    expected = (0.5 * xg, (xg - 1.0) - sum(theta) / 3)
    assert out == [pytest.approx(expected, rel=1e-12)] * 3


def test_beam_deformation_over_several_subspaces_and_an_empty_space():
    c = q.Coords(1)
    nodes = [c.add_node([float(x)]) for x in range(4)]
    m = q.Mesh(c, "SEG2")
    m[0].add_cell([nodes[0], nodes[1]])
    m.add_sub(q.Mesh(c, "SEG2")[0])
    m[1].add_cell([nodes[2], nodes[3]])
    m[1].add_cell([nodes[1], nodes[2]])
    fes = q.FiniteElementSpace(m)
    field = beam_field(nodes, [0.0, 1.0, 3.0, 6.0], [0.0, 0.0, 0.0, 0.0])
    out = q.beam_deformation(field, fes)
    assert len(out) == 2
    assert [z.cell_count() for z in out] == [1, 2]
    assert [out[1].get(k, 0, 1) for k in range(2)] == [3.0, 2.0]
    empty = q.beam_deformation(field, fes[0:0])
    assert isinstance(empty, q.ElementField) and len(empty) == 0


def test_beam_deformation_errors():
    fes, nodes = chain(1, 2, [1.0])
    with raises(RuntimeError, "beam_deformation: the field must carry a 'theta' component (has: [w, ux])"):
        q.beam_deformation(beam_field(nodes, [0.0] * 3, [0.0] * 3, ("w", "ux")), fes)
    no_zone = beam_field(nodes, [0.0] * 3, [0.0] * 3)[0:0]
    with raises(RuntimeError, "beam_deformation: the field must carry a 'w' component (has: [])"):
        q.beam_deformation(no_zone, fes)
    # The components are checked before anything is read from the space.
    with raises(RuntimeError, "beam_deformation: the field must carry a 'w' component (has: [theta])"):
        q.beam_deformation(beam_field(nodes, [0.0] * 3, [0.0] * 3, ("theta",)), chain(2, 1, [1.0, 1.0])[0])
    # A node of the space without a value: every "w" is looked up before any "theta".
    part = beam_field(nodes[:2], [0.0] * 2, [0.0] * 2) | beam_field(nodes[2:], [0.0], [0.0], ("theta",))
    with raises(RuntimeError, f"no subfield defines (node {nodes[2].id}, component w)"):
        q.beam_deformation(part, fes)
    part = beam_field(nodes[:2], [0.0] * 2, [0.0] * 2) | beam_field(nodes[2:], [0.0], [0.0], ("w",))
    with raises(RuntimeError, f"no subfield defines (node {nodes[2].id}, component theta)"):
        q.beam_deformation(part, fes)
    with raises(TypeError, "argument 'fespace': 'Mesh' object is not an instance of 'FiniteElementSpace'"):
        q.beam_deformation(beam_field(nodes, [0.0] * 3, [0.0] * 3), q.Mesh(q.Coords(1), "SEG2"))
    with raises(TypeError, "argument 'field': 'ElementField' object is not an instance of 'NodeField'"):
        q.beam_deformation(q.ElementField(fes, ["w", "theta"]), fes)


@pytest.mark.parametrize("dim", [2, 3])
def test_beam_deformation_refuses_a_space_of_more_than_one_dimension(dim):
    # Along x in a larger space the derivative table holds one value per node and axis:
    # reading it as one value per node would mix them, so the call is refused.
    fes, nodes = chain(dim, 2, [0.5] + [0.0] * (dim - 1))
    with raises(RuntimeError, f"beam_deformation: the FE space is {dim}-D; beam section strains need a 1-D "
                              "configuration (a beam along the x axis)"):
        q.beam_deformation(beam_field(nodes, [0.0, 1.0, 2.0], [0.0] * 3), fes)


def test_beam_deformation_signature_and_doc():
    assert q.beam_deformation.__text_signature__ == "(field, fespace)"
    assert "integrate_behavior" in q.beam_deformation.__doc__
    assert "M = E·I·κ" in q.beam_deformation.__doc__



# ------------------------------------------------------------ behaviour integration


def node_field(nodes, values):
    """A one-zone NodeField on the nodes; `values` maps a component to one value per node."""
    field = q.NodeField(q.poi1_from_nodes(nodes), list(values))
    for name, per_node in values.items():
        for node, v in zip(nodes, per_node):
            field[0].set_value(node, name, v)
    return field


def k_times(K, u):
    """K·u by (node id, dual) for u given by (node id, primal), 0 where u has no value."""
    return dict(zip(K.row_dofs(), K.mul_dense([u.get(d, 0.0) for d in K.col_dofs()])))


@pytest.mark.parametrize("slenderness", [10.0, 1e4])
def test_timoshenko_cantilever_solved_then_integrated_gives_back_the_load(slenderness):
    # Rectangular section b × h, A_s = κ·A with κ = 5/6: the tip deflection tends to
    # PL³/(3EI) + PL/(κGA) with refinement, for thick and very thin beams alike (no
    # shear locking), and the state integrated from the solution balances the load.
    length, P, E, G, kappa, n = 10.0, 2.0, 200e9, 80e9, 5.0 / 6.0, 40
    b, h = 0.1, length / slenderness
    A, I = b * h, b * h**3 / 12.0
    fes, nodes = chain(1, n, [length / n])
    model = q.Model.timoshenko(fes)
    mat = q.material_field(model, [("E", E), ("I", I), ("G", G), ("A_s", kappa * A)])
    K = q.stiffness(model, mat)
    root, tip = nodes[0].id, nodes[-1].id
    u = solve_clamped(K, {(root, "w"), (root, "theta")}, {(tip, "f_w"): P})
    beam_theory = P * length**3 / (3 * E * I) + P * length / (kappa * G * A)
    assert u[(tip, "w")] == pytest.approx(beam_theory, rel=1e-3)

    field = node_field(nodes, {"w": [u.get((k.id, "w"), 0.0) for k in nodes],
                               "theta": [u.get((k.id, "theta"), 0.0) for k in nodes]})
    state = q.integrate_behavior(model, q.beam_deformation(field, fes), mat)
    (zone,) = list(state)
    assert list(zone.components()) == ["M", "V"]
    # Rounding of the solve and of K·u: of the order of the largest K_ij·u_j.
    scale = 1e-12 * np.abs(dense(K)).max() * max(abs(v) for v in u.values())
    # The shear force is P everywhere; the moment P·(L − x) at each cell's centre.
    for c in range(n):
        x_mid = (c + 0.5) * length / n
        for g in range(2):
            assert zone.get(c, g, 1) == pytest.approx(P, abs=scale)
            assert zone.get(c, g, 0) == pytest.approx(P * (length - x_mid), abs=scale * length)
    f = q.internal_forces(model, state)
    ku = k_times(K, u)
    for node in nodes:
        for var in ("f_w", "m_theta"):
            assert f.value(node, var) == pytest.approx(ku[(node.id, var)], abs=scale)
    assert f.value(nodes[-1], "f_w") == pytest.approx(P, abs=scale)


def test_timoshenko_internal_forces_equal_k_times_u_for_any_deflection():
    EI, GAS, n = 3.0, 40.0, 6
    fes, nodes = chain(1, n, [0.3], [2.0])
    model = q.Model.timoshenko(fes)
    mat = q.material_field(model, [("E", EI), ("I", 1.0), ("G", GAS), ("A_s", 1.0)])
    K = q.stiffness(model, mat)
    w = [math.sin(1.3 * k) for k in range(n + 1)]
    theta = [math.cos(0.7 * k) - 0.5 for k in range(n + 1)]
    field = node_field(nodes, {"w": w, "theta": theta})
    f = q.internal_forces(model, q.integrate_behavior(model, q.beam_deformation(field, fes), mat))
    ku = k_times(K, {**{(k.id, "w"): v for k, v in zip(nodes, w)}, **{(k.id, "theta"): v for k, v in zip(nodes, theta)}})
    for node in nodes:
        for var in ("f_w", "m_theta"):
            assert f.value(node, var) == pytest.approx(ku[(node.id, var)], rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("dim", [1, 2, 3])
def test_truss_state_from_the_displacement_gives_k_times_u(dim):
    # A bent chain of bars: n = E·A·(e·ε·e) from `deformation`, and its nodal forces are K·u.
    E, A = 70.0, 0.2
    c = q.Coords(dim)
    points = [[1.0 * k] + [math.sin(0.9 * k + i) for i in range(dim - 1)] for k in range(5)]
    nodes = [c.add_node(p) for p in points]
    m = q.Mesh(c, "SEG2")
    for k in range(4):
        m[0].add_cell([nodes[k], nodes[k + 1]])
    fes = q.FiniteElementSpace(m)
    model = q.Model.truss(fes)
    mat = q.material_field(model, [("E", E), ("A", A)])
    K = q.stiffness(model, mat)
    axes = "xyz"[:dim]
    disp = {f"u{a}": [0.01 * math.cos(2.1 * k + i) for k in range(5)] for i, a in enumerate(axes)}
    state = q.integrate_behavior(model, q.deformation(node_field(nodes, disp), fes), mat)
    (zone,) = list(state)
    assert list(zone.components()) == ["n"]
    for k in range(4):
        dx = [points[k + 1][i] - points[k][i] for i in range(dim)]
        L = math.sqrt(sum(v * v for v in dx))
        du = [disp[f"u{a}"][k + 1] - disp[f"u{a}"][k] for a in axes]
        n_bar = E * A * sum(d * v for d, v in zip(du, dx)) / L**2
        assert [zone.get(k, g, 0) for g in range(zone.gauss_count())] == [pytest.approx(n_bar, rel=1e-12)] * 2
    f = q.internal_forces(model, state)
    ku = k_times(K, {(node.id, f"u_{a}"): disp[f"u{a}"][k] for k, node in enumerate(nodes) for a in axes})
    for node in nodes:
        for a in axes:
            assert f.value(node, f"f_{a}") == pytest.approx(ku[(node.id, f"f_{a}")], rel=1e-11, abs=1e-14)


def section_strains(fes, names):
    """An ElementField whose value at (cell, g) of component i is (i + 1)·(cell + 1) + g/10."""
    field = q.ElementField(fes, list(names))
    for zone in field:
        for c in range(zone.cell_count()):
            for g in range(zone.gauss_count()):
                for i in range(len(names)):
                    zone.set(c, g, i, (i + 1) * (c + 1) + g / 10)
    return field


FRAME = ([("E", 2.0), ("A", 3.0), ("I", 5.0), ("G", 7.0), ("A_s", 11.0)], ["eps", "kappa", "gamma"],
         ["N", "M", "V"], [6.0, 10.0, 77.0])
FRAME3D = ([("E", 2.0), ("A", 3.0), ("I_y", 5.0), ("I_z", 7.0), ("J", 11.0), ("G", 13.0), ("A_sy", 17.0),
            ("A_sz", 19.0)], ["eps", "kappa_y", "kappa_z", "torsion", "gamma_y", "gamma_z"],
           ["N", "M_y", "M_z", "T", "V_y", "V_z"], [6.0, 10.0, 14.0, 143.0, 221.0, 247.0])
TIMOSHENKO = ([("E", 2.0), ("I", 5.0), ("G", 7.0), ("A_s", 11.0)], ["kappa", "gamma"], ["M", "V"], [10.0, 77.0])


@pytest.mark.parametrize("build, dim, case", [
    (q.Model.frame, 2, FRAME), (q.Model.frame3d, 3, FRAME3D), (q.Model.timoshenko, 1, TIMOSHENKO),
], ids=["frame", "frame3d", "timoshenko"])
def test_section_forces_at_every_gauss_point(build, dim, case):
    materials, strain_names, outputs, stiffness = case
    fes, _ = chain(dim, 3, [1.0] + [0.5] * (dim - 1))
    model = build(fes)
    mat = q.material_field(model, materials)
    strains_ = section_strains(fes, strain_names)
    state = q.integrate_behavior(model, strains_, mat)
    (zone,) = list(state)
    assert list(zone.components()) == outputs
    for c in range(3):
        for g in range(zone.gauss_count()):
            assert zone.point_values(c, g) == [k * ((i + 1) * (c + 1) + g / 10) for i, k in enumerate(stiffness)]
    # Stateless and rate-independent: prev and dt change nothing.
    again = q.integrate_behavior(model, strains_, mat, prev=state, dt=0.25)
    assert [again[0].point_values(c, g) for c in range(3) for g in range(2)] == \
        [zone.point_values(c, g) for c in range(3) for g in range(2)]


@pytest.mark.parametrize("build, dim, materials, strain_names, missing", [
    (q.Model.truss, 2, [("E", 1.0), ("A", 1.0)], ["eps_xx", "eps_yy"], "eps_xy"),
    (q.Model.frame, 2, FRAME[0], ["eps", "gamma"], "kappa"),
    (q.Model.frame3d, 3, FRAME3D[0], ["eps", "kappa_y", "kappa_z", "gamma_y", "gamma_z"], "torsion"),
    (q.Model.timoshenko, 1, TIMOSHENKO[0], ["gamma"], "kappa"),
], ids=["truss", "frame", "frame3d", "timoshenko"])
def test_a_missing_strain_fails_the_integration(build, dim, materials, strain_names, missing):
    fes, _ = chain(dim, 2, [1.0] + [0.5] * (dim - 1))
    model = build(fes)
    with raises(RuntimeError, f"unknown component: {missing}"):
        q.integrate_behavior(model, section_strains(fes, strain_names), q.material_field(model, materials))


@pytest.mark.parametrize("build, dim, required, strain_names", [
    (q.Model.truss, 3, ["E", "A"], ["eps_xx"]),
    (q.Model.frame, 2, ["E", "A", "I", "G", "A_s"], FRAME[1]),
    (q.Model.frame3d, 3, ["E", "A", "I_y", "I_z", "J", "G", "A_sy", "A_sz"], FRAME3D[1]),
    (q.Model.timoshenko, 1, ["E", "I", "G", "A_s"], TIMOSHENKO[1]),
], ids=["truss", "frame", "frame3d", "timoshenko"])
def test_integration_looks_up_the_strains_then_every_required_material(build, dim, required, strain_names):
    fes, _ = chain(dim, 2, [1.0] + [0.5] * (dim - 1))
    model = build(fes)
    slot = r"slot \d+ \(generation \d+\)"
    # Strains on another space are not the behaviour's: that lookup comes first, before
    # the materials (which lack names here too).
    with pytest.raises(RuntimeError, match=f"^no SubElementField in this ElementField matches the "
                                           f"SubFiniteElementSpace at {slot}$"):
        q.integrate_behavior(model, section_strains(chain(dim, 2, [1.0] + [0.5] * (dim - 1))[0], strain_names),
                             q.ElementField(fes, ["E"]))
    names = ", ".join(f'"{n}"' for n in required)
    partial = q.ElementField(fes, required[:-1] + ["rho"])
    with pytest.raises(RuntimeError, match=f"^no SubElementField on the SubFiniteElementSpace at {slot} carries all "
                                           f"of {re.escape('[' + names + ']')} — supply it via material_field$"):
        q.integrate_behavior(model, section_strains(fes, strain_names), partial)


def test_beam_states_are_the_same_bits_for_one_and_all_threads(tmp_path):
    body = """
        import math, struct, sys
        import _quenlith as q
        n = 20000
        c = q.Coords(1)
        nodes = [c.add_node([0.001 * k + 0.0004 * math.sin(k)]) for k in range(n + 1)]
        m = q.Mesh(c, "SEG2")
        for k in range(n):
            m[0].add_cell([nodes[k], nodes[k + 1]])
        fes = q.FiniteElementSpace(m)
        u = q.NodeField(q.poi1_from_nodes(nodes), ["w", "theta"])
        for k, node in enumerate(nodes):
            u[0].set_value(node, "w", math.sin(0.01 * k))
            u[0].set_value(node, "theta", math.cos(0.013 * k))
        out = []
        eps = q.beam_deformation(u, fes)
        beam = q.Model.timoshenko(fes)
        state = q.integrate_behavior(beam, eps, q.material_field(beam, [("E", 3.0), ("I", 0.7), ("G", 1.1), ("A_s", 0.9)]))
        f = q.internal_forces(beam, state)
        for zone in (eps[0], state[0]):
            out += [zone.get(k, g, i) for k in range(n) for g in range(2) for i in range(2)]
        out += [f.value(node, v) for node in nodes for v in ("f_w", "m_theta")]
        # A wavy 3-D truss: axial forces from `deformation`, and their nodal forces.
        c3 = q.Coords(3)
        bars = [c3.add_node([0.01 * k, math.sin(0.3 * k), math.cos(0.2 * k)]) for k in range(n + 1)]
        m3 = q.Mesh(c3, "SEG2")
        for k in range(n):
            m3[0].add_cell([bars[k], bars[k + 1]])
        fes3 = q.FiniteElementSpace(m3)
        d = q.NodeField(q.poi1_from_nodes(bars), ["ux", "uy", "uz"])
        for k, node in enumerate(bars):
            for i, name in enumerate(("ux", "uy", "uz")):
                d[0].set_value(node, name, math.sin(0.001 * k * (i + 1)))
        truss = q.Model.truss(fes3)
        axial = q.integrate_behavior(truss, q.deformation(d, fes3), q.material_field(truss, [("E", 5.0), ("A", 0.3)]))
        f3 = q.internal_forces(truss, axial)
        out += [axial[0].get(k, g, 0) for k in range(n) for g in range(2)]
        out += [f3.value(node, v) for node in bars for v in ("f_x", "f_y", "f_z")]
        open(sys.argv[1], "wb").write(struct.pack(f"{len(out)}d", *out))
    """
    one, many = files_with_one_and_all_processors(body, tmp_path)
    assert one == many
