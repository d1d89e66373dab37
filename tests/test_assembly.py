"""Operator assembly from a model: stiffness and mass of elasticity with Dirichlet
supports, solved and checked against closed forms (clamped bar, linear-field patch
test), the mass against rho times the volume, scipy's spsolve on the same compressed
rows, the cached pattern, and assemble() of a composed matrix."""

import numpy as np
import pytest
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import _quenlith as q
from helpers import (Coords2, files_with_one_and_all_processors, grid, patch_of_five, poi1, quarter_ring, rhs_for,
                     support, uniform_field)


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
    reproduced exactly at the interior nodes, and the integrated stress is the exact
    uniform plane stress at every Gauss point."""
    c = Coords2()
    pts, nd, mesh = patch_of_five(c)
    fes = q.FiniteElementSpace(mesh)
    body = q.Model.elasticity(fes, "plane_stress")
    corners = nd[:4]
    dx, dy = support(c, corners, "u_x", "f_x"), support(c, corners, "u_y", "f_y")
    model = body | dx | dy

    def ux(p):
        return 1e-3 * (p[0] + p[1] / 2)

    def uy(p):
        return 1e-3 * (p[1] + p[0] / 2)

    materials = q.material_field(model, [("E", 1e6), ("nu", 0.25)])
    K = q.stiffness(model, materials)
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
    # E/(1 - nu²)·(1 + nu)·1e-3 on both normal stresses, G·2·5e-4 in shear.
    state = q.integrate_behavior(model, q.deformation(q.filter_components(x, ["u_x", "u_y"]), fes), materials)
    assert len(state) == 1 and state[0].components() == ["sigma_xx", "sigma_yy", "sigma_xy"]
    zone = state[0]
    for cell in range(zone.cell_count()):
        for g in range(zone.gauss_count()):
            sxx, syy, sxy = zone.point_values(cell, g)
            assert sxx == pytest.approx(4000 / 3, rel=1e-10)
            assert syy == pytest.approx(4000 / 3, rel=1e-10)
            assert sxy == pytest.approx(400.0, rel=1e-10)


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
    stress = uniform_field(fes, {"sigma_xx": E * a, "sigma_xy": 0.0, "sigma_yy": E * b})
    for f in (q.internal_forces(model, stress), q.internal_forces_continuum(stress, fes)):
        assert len(f) == 1 and f[0].components() == ["f_x", "f_y"]
        for (k, var), expected in ku.items():
            assert f.value(c.by_id[k], var) == pytest.approx(expected, abs=1e-12)


def test_internal_forces_skip_constraints_and_need_a_unique_zone():
    c = Coords2()
    n, mesh = grid(c, 1, 1, 1.0, 1.0)
    fes = q.FiniteElementSpace(mesh)
    stress = uniform_field(fes, {"sigma_xx": 1.0, "sigma_xy": 0.0, "sigma_yy": 0.0})
    assert len(q.internal_forces(support(c, [n[0][0]], "u_x", "f_x"), stress)) == 0
    with pytest.raises(RuntimeError, match="sub_for_fespace needs a unique zone"):
        q.internal_forces_continuum(stress | uniform_field(fes, {"other": 2.0}), fes)
    with pytest.raises(RuntimeError, match="unknown component: sigma_xy"):
        q.internal_forces_continuum(uniform_field(fes, {"sigma_xx": 1.0, "sigma_yy": 0.0}), fes)


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


def test_cantilever_example_matches_the_beam_closed_form(tmp_path, capsys):
    import importlib.util
    import pathlib

    path = pathlib.Path(__file__).parent.parent / "examples" / "cantilever.py"
    found = importlib.util.spec_from_file_location("cantilever_example", path)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    out = tmp_path / "cantilever.vtk"
    deflection, exact = example.main(str(tmp_path))
    assert deflection == pytest.approx(exact, rel=0.01)
    meshio = pytest.importorskip("meshio")
    read = meshio.read(out)
    assert len(read.points) > 0 and "u_y" in read.point_data
    assert min(read.point_data["u_y"]) == pytest.approx(deflection, rel=0.05)
    # The stresses at the Gauss points, one mean per cell: bending along the beam,
    # P (L - x) y / I at each cell centre away from the ends.
    stress = meshio.read(tmp_path / "cantilever_stress.vtk")
    assert {"sigma_xx", "sigma_yy", "sigma_xy"} <= set(stress.cell_data)
    sxx = np.concatenate(stress.cell_data["sigma_xx"])
    nx, ny, L, h = example.NX, example.NY, example.L, example.h
    assert len(sxx) == nx * ny
    for i in range(nx // 4, 3 * nx // 4):
        for j in (0, ny - 1):
            x, y = L * (i + 0.5) / nx, -h / 2 + h * (j + 0.5) / ny
            assert sxx[j * nx + i] == pytest.approx(example.P * (L - x) * y * 12 / h**3, rel=0.02)
    assert "written: " + str(tmp_path / "cantilever_stress.vtk") in capsys.readouterr().out


def test_tangent_of_the_elastic_law_is_the_stiffness_and_geometric_energy():
    E, nu, s = 70.0, 0.25, 4.0
    c = Coords2()
    n, mesh = grid(c, 3, 2, 1.5, 1.0)
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.elasticity(fes, "plane_stress")
    mats = q.material_field(model, [("E", E), ("nu", nu)])
    K = q.stiffness(model, mats)
    f = E / (1 - nu * nu)
    d = [[f, f * nu, 0.0], [f * nu, f, 0.0], [0.0, 0.0, f * (1 - nu) / 2]]
    state = uniform_field(fes, {f"ktan_{i}_{j}": d[i][j] for i in range(3) for j in range(i, 3)})
    Kt = q.tangent(model, mats, state)
    assert Kt.row_dofs() == K.row_dofs()
    assert np.allclose(np.array(Kt.dense()), np.array(K.dense()), rtol=1e-12, atol=1e-12)
    # Under a uniform sigma_xx, u_y = x stores s·area in uᵀ K_g u.
    Kg = q.geometric(model, mats, uniform_field(fes, {"sigma_xx": s, "sigma_xy": 0.0, "sigma_yy": 0.0}))
    coords = {node.id: node.coord() for row in n for node in row}
    u = np.array([coords[k][0] if v == "u_y" else 0.0 for k, v in Kg.col_dofs()])
    assert u @ np.array(Kg.mul_dense(list(u))) == pytest.approx(s * 1.5 * 1.0, rel=1e-12)


def test_material_zone_errors_blocks_and_tags():
    c = Coords2()
    n, mesh = grid(c, 1, 1, 1.0, 1.0)
    fes = q.FiniteElementSpace(mesh)
    body = q.Model.elasticity(fes, "plane_stress")
    clamp = support(c, [n[0][0]], "u_x", "f_x")
    mats = q.material_field(body, [("E", 1.0), ("nu", 0.3), ("rho", 2.0)])
    K = q.stiffness(body | clamp, mats)
    assert [K[i].physics() for i in range(len(K))] == [["mechanical"], ["constraint"], ["constraint"]]
    assert len(q.mass(body | clamp, mats)) == 1
    assert q.stiffness(clamp, q.material_field(body, [("E", 1.0), ("nu", 0.3)])).n_rows() > 0
    only_e = q.ElementField(fes, ["E"])
    with pytest.raises(RuntimeError, match="supply it via material_field"):
        q.stiffness(body, only_e)
    with pytest.raises(RuntimeError, match="no SubElementField in this ElementField matches"):
        q.geometric(body, mats, q.ElementField(q.FiniteElementSpace(mesh), ["sigma_xx"]))


def test_same_values_with_one_thread(tmp_path):
    # Enough cells for many colour groups and tasks; the child sees one processor only.
    one, every = files_with_one_and_all_processors(
        """
        import struct
        import _quenlith as q
        c = q.Coords(2)
        nx, ny = 120, 80
        n = [[c.add_node([i / nx + 0.1 * (j % 3) / nx, j / ny]) for i in range(nx + 1)] for j in range(ny + 1)]
        mesh = q.Mesh(c, "QUA4")
        for j in range(ny):
            for i in range(nx):
                mesh[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
        fes = q.FiniteElementSpace(mesh)
        model = q.Model.elasticity(fes, "plane_strain")
        mats = q.material_field(model, [("E", 3.1), ("nu", 0.27), ("rho", 1.3)])
        stress = q.ElementField(fes, ["sigma_xx", "sigma_xy", "sigma_yy"])
        stress[0].set_uniform("sigma_xx", 0.7)
        stress[0].set_uniform("sigma_xy", -0.2)
        stress[0].set_uniform("sigma_yy", 0.3)
        K, M = q.stiffness(model, mats), q.mass(model, mats)
        x = [((7 * k) % 11) / 3.0 for k in range(K.n_cols())]
        values = K.mul_dense(x) + M.mul_dense(x)
        f = q.internal_forces(model, stress)
        values += [f.value(node, name) for row in n for node in row for name in ("f_x", "f_y")]
        with open(sys.argv[1], "wb") as out:
            out.write(struct.pack(f"{len(values)}d", *values))
        """,
        tmp_path,
    )
    assert one == every and len(one) > 400_000


def test_thick_cylinder_under_internal_pressure_matches_lame():
    """A quarter ring of QUA8 cells in plane strain, symmetry supports on its straight
    edges, pressure on its inner arc (consistent loads from flux with the traction's
    components at the Gauss points)."""
    import math

    a, b, p, E, nu = 1.0, 2.0, 1.0, 1000.0, 0.3
    nr, nt = 4, 6
    c = Coords2()
    lat, ring = quarter_ring(c, a, b, nr, nt)
    inner = q.Mesh(c.c, "SEG3")
    for j in range(0, 2 * nt, 2):
        inner[0].add_cell([lat[0, j], lat[0, j + 2], lat[0, j + 1]])
    arc = q.FiniteElementSpace(inner, "LAGRANGE2")[0]
    model = (q.Model.elasticity(q.FiniteElementSpace(ring, "LAGRANGE2"), "plane_strain")
             | support(c, [lat[i, 0] for i in range(2 * nr + 1)], "u_y", "f_y")
             | support(c, [lat[i, 2 * nt] for i in range(2 * nr + 1)], "u_x", "f_x"))
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", nu)]))
    loads = []
    for name, trig in (("f_x", math.cos), ("f_y", math.sin)):
        density = q.ElementField(q.FiniteElementSpace(inner, "LAGRANGE2"), ["t"])[0]
        for e in arc.elements():
            for g in range(e.gauss_count):
                xy = [sum(w * node.coord()[k] for w, node in zip(e.n_at_g(g), e.nodes())) for k in (0, 1)]
                density.set_value(e.index, g, "t", p * trig(math.atan2(xy[1], xy[0])))
        loads.append(q.flux(arc, density, name))
    x = q.solve(K, loads[0] | loads[1])
    u_a = (1 + nu) / E * a * a * p / (b * b - a * a) * ((1 - 2 * nu) * a + b * b / a)
    assert x.value(lat[0, 0], "u_x") == pytest.approx(u_a, rel=1e-3)
    assert x.value(lat[0, 2 * nt], "u_y") == pytest.approx(u_a, rel=1e-3)


def test_add_sub_rebuilds_the_cached_pattern():
    c = Coords2()
    n, mesh = grid(c, 2, 1, 1.0, 1.0)
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    mats = q.material_field(model, [("E", 1.0), ("nu", 0.3)])
    before = q.stiffness(model, mats)
    model.add_sub(support(c, [n[0][0]], "u_x", "f_x")[0])
    after = q.stiffness(model, mats)
    assert after.n_rows() == before.n_rows() + 1 and len(after) == 3
    assert after.row_dofs()[: before.n_rows()] == before.row_dofs()


def test_a_signal_during_the_assembly_interrupts_it(request):
    import signal

    from helpers import raises

    c = Coords2()
    n, mesh = grid(c, 150, 100, 1.5, 1.0)
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_strain")
    mats = q.material_field(model, [("E", 1.0), ("nu", 0.3)])
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    request.addfinalizer(lambda: signal.signal(signal.SIGALRM, previous))
    # The alarm rings while the pattern is built; it is seen between colour groups.
    # The expectation (its pattern compiled) is made before the alarm is armed, so that
    # the alarm cannot ring in the test's own code.
    expected = raises(KeyboardInterrupt, "computation interrupted")
    signal.setitimer(signal.ITIMER_REAL, 0.002)
    try:
        with expected:
            q.stiffness(model, mats)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    # The call ended cleanly: the next one succeeds, with the pattern kept.
    assert q.stiffness(model, mats).n_rows() == 2 * 151 * 101
