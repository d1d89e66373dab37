"""Von Mises plasticity and Mazars damage through `integrate_behavior`: single cells driven
past yield or past the damage threshold against closed forms, the algorithmic tangent
against finite differences, a thick-walled cylinder driven towards its limit pressure by a
Newton loop, and the errors of the laws."""

import math

import numpy as np
import pytest
import scipy.optimize

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises

E, NU, SY = 210000.0, 0.3, 240.0
MU = E / (2 * (1 + NU))
LAMBDA = E * NU / ((1 + NU) * (1 - 2 * NU))
STEEL = [("E", E), ("nu", NU), ("sigma_y", SY)]
STRAINS_2D = ["eps_xx", "eps_yy", "eps_xy"]
STRAINS_3D = ["eps_xx", "eps_yy", "eps_zz", "eps_yz", "eps_xz", "eps_xy"]
SIX = ["xx", "yy", "zz", "yz", "xz", "xy"]


def poi1(c, nodes):
    m = q.Mesh(c, "POI1")
    for x in nodes:
        m[0].add_cell([x])
    return m


def unit_cell(element_type):
    """One unit QUA4 square or HEX8 cube; returns its nodes and mesh."""
    if element_type == "QUA4":
        c = q.Coords(2)
        corners = [[0, 0], [1, 0], [1, 1], [0, 1]]
    else:
        c = q.Coords(3)
        corners = [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]]
    nodes = [c.add_node(p) for p in corners]
    mesh = q.Mesh(c, element_type)
    mesh[0].add_cell(nodes)
    return nodes, mesh


def linear_displacement(mesh, nodes, grad):
    """The displacement u = grad · x at `nodes`, as a node field of one component per axis."""
    dim = len(grad)
    u = q.NodeField(poi1(mesh.coords(), nodes), ["ux", "uy", "uz"][:dim])
    for node in nodes:
        x = node.coord()
        for i in range(dim):
            u[0].set_value(node, ["ux", "uy", "uz"][i], sum(grad[i][j] * x[j] for j in range(dim)))
    return u


def uniform_strain(fes, values):
    """A deformation field holding the same tensor strains at every point."""
    field = q.ElementField(fes, list(values))
    for name, v in values.items():
        field[0].set_uniform(name, v)
    return field


def point(state, name, cell=0, g=0):
    return state[0].value(cell, g, name)


# --- von Mises plasticity: one cell past yield --------------------------------------

def uniaxial_stress_history(level):
    """Closed form of uniaxial stress at axial strain `level`: stress, p, lateral strain."""
    yield_strain = SY / E
    if level <= yield_strain:
        return E * level, 0.0, -NU * level
    p = level - yield_strain
    return SY, p, -NU * yield_strain - 0.5 * p


def shear_path(level):
    """u_x = level y (eps_xy = level / 2): the deviator is pure shear, so the shear stress
    saturates at sigma_y / sqrt 3. Returns the displacement gradient's one entry and the
    closed forms (name: value) of the state."""
    eps = level / 2
    yield_eps = SY / (2 * math.sqrt(3) * MU)
    if eps <= yield_eps:
        return (0, 1), {"sigma_xy": 2 * MU * eps, "p": 0.0, "eps_p_xy": 0.0, "sigma_xx": 0.0}
    p = 2 / math.sqrt(3) * (eps - yield_eps)
    return (0, 1), {"sigma_xy": SY / math.sqrt(3), "p": p, "eps_p_xy": math.sqrt(3) / 2 * p, "sigma_xx": 0.0}


def uniaxial_strain_path(level):
    """u_x = level x alone: the mean stress stays elastic, the deviator (2, -1, -1)/3 sigma_y
    once q reaches sigma_y at 2 mu level = sigma_y."""
    bulk = LAMBDA + 2 * MU / 3
    if 2 * MU * level <= SY:
        return (0, 0), {"sigma_xx": (LAMBDA + 2 * MU) * level, "sigma_yy": LAMBDA * level, "p": 0.0}
    p = 2 / 3 * (level - SY / (2 * MU))
    return (0, 0), {"sigma_xx": bulk * level + 2 * SY / 3, "sigma_yy": bulk * level - SY / 3,
                    "sigma_zz": bulk * level - SY / 3, "p": p, "eps_p_xx": p, "eps_p_yy": -p / 2}


@pytest.mark.parametrize("element_type, hypothesis, path", [
    ("QUA4", "plane_strain", uniaxial_strain_path), ("HEX8", "solid", uniaxial_strain_path),
    ("QUA4", "plane_strain", shear_path), ("QUA4", "plane_stress", shear_path), ("HEX8", "solid", shear_path)])
def test_strain_paths_reach_the_yield_surface_as_the_closed_forms(element_type, hypothesis, path):
    """Displacement-driven paths whose deviator keeps its direction, step by step with
    `prev`: below yield Hooke's law, beyond it q = sigma_y and p as the closed form."""
    nodes, mesh = unit_cell(element_type)
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.plasticity(fes, hypothesis)
    mats = q.material_field(model, STEEL)
    dim = 3 if element_type == "HEX8" else 2
    state = None
    for level in np.linspace(0.0, 5 * SY / MU, 11)[1:]:
        (i, j), expected = path(level)
        grad = np.zeros((dim, dim))
        grad[i][j] = level
        state = q.integrate_behavior(model, q.deformation(linear_displacement(mesh, nodes, grad), fes), mats,
                                     prev=state)
        values = dict(zip(state[0].components(), state[0].point_values(0, 0)))
        for name, v in expected.items():
            assert values[name] == pytest.approx(v, rel=1e-10, abs=1e-10 * SY if name.startswith("s") else 1e-16)
        if dim == 2:
            assert values["eps_zz"] == 0.0 or hypothesis == "plane_stress"
    assert values["p"] > 0


@pytest.mark.parametrize("element_type, hypothesis", [("HEX8", "solid"), ("QUA4", "plane_stress")])
def test_uniaxial_tension_saturates_at_the_yield_stress(element_type, hypothesis):
    """Driven by the displacement of uniaxial stress, step by step with `prev`: the axial
    stress rises as E eps up to sigma_y and stays there, the lateral stresses stay zero, and
    p grows as the axial strain beyond the yield strain."""
    nodes, mesh = unit_cell(element_type)
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.plasticity(fes, hypothesis)
    mats = q.material_field(model, STEEL)
    dim = 3 if element_type == "HEX8" else 2
    # Under plane stress sigma_zz is brought to zero by an iteration whose tolerance is a
    # stress of 1e-10 (1 + mu); the other stresses are as exact as that.
    tol = 1e-10 * (1 + MU) if hypothesis == "plane_stress" else 1e-10 * SY
    state = None
    for level in np.linspace(0.0, 5 * SY / E, 11)[1:]:
        sigma, p, lateral = uniaxial_stress_history(level)
        # In plane stress the out-of-plane strain is the law's to find.
        grad = np.diag([level] + [lateral] * (dim - 1))
        state = q.integrate_behavior(model, q.deformation(linear_displacement(mesh, nodes, grad), fes), mats,
                                     prev=state)
        for g in range(state[0].gauss_count()):
            values = dict(zip(state[0].components(), state[0].point_values(0, g)))
            assert values["sigma_xx"] == pytest.approx(sigma, abs=tol)
            assert abs(values["sigma_yy"]) < tol and abs(values["sigma_zz"]) < tol
            assert values["p"] == pytest.approx(p, abs=tol / MU)
            assert values["eps_p_xx"] == pytest.approx(p, abs=tol / MU)
            assert values["eps_p_yy"] == pytest.approx(-p / 2, abs=tol / MU)
            assert values["eps_zz"] == pytest.approx(lateral, abs=tol / MU)
    assert point(state, "p") > 3 * SY / E


def test_plane_strain_tension_with_a_free_lateral_face():
    """One QUA4 cell in plane strain stretched along x with sigma_yy = 0, its lateral strain
    found at each step by Newton on the stored tangent: the plane-strain modulus up to first
    yield at sigma_xx = sigma_y / sqrt(1 - nu + nu^2), q = sigma_y after it, and sigma_xx
    rising to the plane-strain limit 2 sigma_y / sqrt 3 as sigma_zz tends to sigma_xx / 2."""
    nodes, mesh = unit_cell("QUA4")
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.plasticity(fes, "plane_strain")
    mats = q.material_field(model, STEEL)
    first_yield = SY / math.sqrt(1 - NU + NU * NU)
    state, lateral, p_before = None, 0.0, 0.0
    for level in np.geomspace(1e-4, 3e-2, 30):
        for iteration in range(10):
            u = linear_displacement(mesh, nodes, np.diag([level, lateral]))
            trial = q.integrate_behavior(model, q.deformation(u, fes), mats, prev=state)
            if abs(point(trial, "sigma_yy")) < 1e-9 * SY:
                break
            lateral -= point(trial, "sigma_yy") / point(trial, "ktan_1_1")
        assert iteration <= 4, level  # a consistent tangent: quadratic convergence
        state = trial
        sxx, syy, szz = (point(state, f"sigma_{s}") for s in ("xx", "yy", "zz"))
        if point(state, "p") == 0.0:
            assert sxx == pytest.approx(E / (1 - NU * NU) * level, rel=1e-10)
            assert sxx <= first_yield
        else:
            q_mises = math.sqrt(0.5 * ((sxx - syy) ** 2 + (syy - szz) ** 2 + (szz - sxx) ** 2))
            assert q_mises == pytest.approx(SY, rel=1e-12)
            assert first_yield < sxx < 2 * SY / math.sqrt(3) * (1 + 1e-9)
        assert point(state, "p") >= p_before
        p_before = point(state, "p")
    assert sxx == pytest.approx(2 * SY / math.sqrt(3), rel=1e-4)
    assert szz / sxx == pytest.approx(0.5, abs=1e-4)


def tangent_matrix(state, m):
    d = np.zeros((m, m))
    for i in range(m):
        for j in range(i, m):
            d[i, j] = d[j, i] = point(state, f"ktan_{i}_{j}")
    return d


@pytest.mark.parametrize("element_type, hypothesis", [("HEX8", "solid"), ("QUA4", "plane_strain"),
                                                      ("QUA4", "plane_stress")])
def test_algorithmic_tangent_is_the_derivative_of_the_returned_stress(element_type, hypothesis):
    """Central differences of the stress of a step from a plastic state, one engineering
    strain component at a time, against the stored ktan components: 1e-6 relative."""
    _, mesh = unit_cell(element_type)
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.plasticity(fes, hypothesis)
    mats = q.material_field(model, STEEL)
    names = STRAINS_3D if element_type == "HEX8" else STRAINS_2D
    start = dict(zip(names, [1.5e-3, -0.4e-3, -0.2e-3, 0.3e-3, -0.1e-3, 0.6e-3] if len(names) == 6
                     else [1.5e-3, -0.4e-3, 0.6e-3]))
    prev = q.integrate_behavior(model, uniform_strain(fes, start), mats)
    assert point(prev, "p") > 0
    now = {k: 1.6 * v + 2e-4 for k, v in start.items()}
    state = q.integrate_behavior(model, uniform_strain(fes, now), mats, prev=prev)
    assert point(state, "p") > point(prev, "p")
    stresses = ["sigma_" + n[4:] for n in names]
    d = tangent_matrix(state, len(names))
    fd = np.zeros_like(d)
    h = 1e-8
    for j, name in enumerate(names):
        step = h if name[4] == name[5] else h / 2  # engineering shear: gamma = 2 eps
        plus = q.integrate_behavior(model, uniform_strain(fes, {**now, name: now[name] + step}), mats, prev=prev)
        minus = q.integrate_behavior(model, uniform_strain(fes, {**now, name: now[name] - step}), mats, prev=prev)
        for i, s in enumerate(stresses):
            fd[i, j] = (point(plus, s) - point(minus, s)) / (2 * h)
    assert np.linalg.norm(fd - d) < 1e-6 * np.linalg.norm(d)


def test_elastic_step_and_prev_components_read_as_zeros():
    nodes, mesh = unit_cell("QUA4")
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.plasticity(fes, "plane_strain")
    mats = q.material_field(model, STEEL)
    eps = uniform_strain(fes, {"eps_xx": 2e-4, "eps_yy": -1e-4, "eps_xy": 5e-5})
    state = q.integrate_behavior(model, eps, mats)
    assert state[0].components() == (
        ["sigma_xx", "sigma_yy", "sigma_xy"] + [f"eps_p_{s}" for s in SIX] + ["p"] + [f"eps_{s}" for s in SIX]
        + ["sigma_zz", "ktan_0_0", "ktan_0_1", "ktan_0_2", "ktan_1_1", "ktan_1_2", "ktan_2_2"])
    # Elastic: plane-strain Hooke, sigma_zz = lambda tr, the Hooke matrix as tangent.
    assert point(state, "sigma_xx") == pytest.approx((LAMBDA + 2 * MU) * 2e-4 + LAMBDA * -1e-4, rel=1e-12)
    assert point(state, "sigma_zz") == pytest.approx(LAMBDA * 1e-4, rel=1e-12)
    assert point(state, "eps_zz") == 0.0 and point(state, "p") == 0.0
    assert tangent_matrix(state, 3) == pytest.approx(
        np.array([[LAMBDA + 2 * MU, LAMBDA, 0], [LAMBDA, LAMBDA + 2 * MU, 0], [0, 0, MU]]), rel=1e-12)
    # The tangent operator assembles the stored tangent: here the elastic stiffness.
    K = q.stiffness(model, mats)
    Kt = q.tangent(model, mats, state)
    assert np.allclose(np.array(Kt.dense()), np.array(K.dense()), rtol=1e-12, atol=1e-6)
    # A previous state read by name: an Elasticity state has the stress but no strain, so
    # its stress is counted a second time; a field with none of the names is no history.
    elastic = q.Model.elasticity(fes, "plane_strain")
    sigma_el = q.integrate_behavior(elastic, eps, q.material_field(elastic, STEEL[:2]))
    doubled = q.integrate_behavior(model, eps, mats, prev=sigma_el)
    assert point(doubled, "sigma_xy") == pytest.approx(2 * point(state, "sigma_xy"), rel=1e-12)
    other = uniform_strain(fes, {"T": 3.0})
    assert state[0].point_values(0, 1) == q.integrate_behavior(model, eps, mats, prev=other)[0].point_values(0, 1)


# --- thick-walled cylinder in plane strain ---------------------------------------------

A_BORE, B_OUT = 100.0, 200.0
K_Y = 2 * SY / math.sqrt(3)
P_LIMIT = K_Y * math.log(B_OUT / A_BORE)


def lame(p, r):
    """Elastic plane-strain stresses (radial, hoop, axial) and radial displacement."""
    a2, b2 = A_BORE ** 2, B_OUT ** 2
    c1, c2 = p * a2 / (b2 - a2), p * a2 * b2 / (b2 - a2)
    stresses = (c1 - c2 / r ** 2, c1 + c2 / r ** 2, 2 * NU * c1)
    return stresses, (1 + NU) / E * ((1 - 2 * NU) * c1 * r + c2 / r)


def first_yield_pressure():
    sr, st, sz = lame(1.0, A_BORE)[0]
    return SY / math.sqrt(0.5 * ((sr - st) ** 2 + (st - sz) ** 2 + (sz - sr) ** 2))


def front_radius(p):
    """Radius of the plastic front at pressure p (the closed form of a perfectly plastic
    tube whose yield condition is sigma_theta - sigma_r = 2 sigma_y / sqrt 3)."""
    return scipy.optimize.brentq(lambda c: K_Y * (math.log(c / A_BORE) + (B_OUT ** 2 - c ** 2) / (2 * B_OUT ** 2))
                                 - p, A_BORE, B_OUT, xtol=1e-12)


class Cylinder:
    """A quarter of the tube, QUA8 cells with 3 x 3 Gauss points, symmetry supports on both
    cut faces, the pressure as consistent nodal forces on the bore."""

    def __init__(self, nr=6, nt=4):
        c = q.Coords(2)
        self.coords = c
        lattice = {}
        for i in range(2 * nr + 1):
            for j in range(2 * nt + 1):
                if i % 2 and j % 2:
                    continue
                r = A_BORE + (B_OUT - A_BORE) * i / (2 * nr)
                t = 0.5 * math.pi * j / (2 * nt)
                lattice[i, j] = c.add_node([r * math.cos(t), r * math.sin(t)])
        self.lattice = lattice
        mesh = q.Mesh(c, "QUA8")
        for i in range(0, 2 * nr, 2):
            for j in range(0, 2 * nt, 2):
                corners = [(i, j), (i + 2, j), (i + 2, j + 2), (i, j + 2)]
                mids = [(i + 1, j), (i + 2, j + 1), (i + 1, j + 2), (i, j + 1)]
                mesh[0].add_cell([lattice[k] for k in corners + mids])
        self.fes = q.FiniteElementSpace(mesh, "LAGRANGE2")
        self.body = q.Model.plasticity(self.fes, "plane_strain")
        self.mats = q.material_field(self.body, STEEL)
        self.nodes = list(lattice.values())
        self.cloud = poi1(c, self.nodes)
        bottom = [lattice[i, 0] for i in range(2 * nr + 1)]
        left = [lattice[i, 2 * nt] for i in range(2 * nr + 1)]
        supports = []
        for nodes, var, dual in ((bottom, "u_y", "f_y"), (left, "u_x", "f_x")):
            mult = poi1(c, [c.add_node([-1000.0 - k, -1000.0]) for k in range(len(nodes))])
            supports.append(q.Model.dirichlet(var, dual, poi1(c, nodes), mult))
        self.supports = supports[0] | supports[1]
        self.fixed = {(x.id, "f_y") for x in bottom} | {(x.id, "f_x") for x in left}
        self.constraint_matrix = q.stiffness(self.supports, self.mats)
        # Unit pressure on the bore edges (end, end, middle): f_a = ∫ N_a e_r ds, the outward
        # normal of the hole being the tangent turned clockwise.
        self.unit_load = {}
        xs, ws = np.polynomial.legendre.leggauss(3)
        for j in range(0, 2 * nt, 2):
            edge = [lattice[0, j], lattice[0, j + 2], lattice[0, j + 1]]
            xy = np.array([x.coord() for x in edge])
            for s, w in zip(xs, ws):
                n = np.array([s * (s - 1) / 2, s * (s + 1) / 2, 1 - s * s])
                dn = np.array([s - 0.5, s + 0.5, -2 * s])
                tx, ty = dn @ xy
                for node, na in zip(edge, n):
                    f = self.unit_load.setdefault(node.id, np.zeros(2))
                    f += w * na * np.array([ty, -tx])
        self.u = {x.id: np.zeros(2) for x in self.nodes}
        self.by_id = {x.id: x for x in self.nodes}
        self.state = None

    def bore_displacement(self):
        return self.u[self.lattice[0, 0].id][0]

    def displacement(self):
        field = q.NodeField(self.cloud, ["ux", "uy"])
        for node in self.nodes:
            field[0].set_value(node, "ux", self.u[node.id][0])
            field[0].set_value(node, "uy", self.u[node.id][1])
        return field

    def step(self, p, max_iter=25, tol=1e-9):
        """Newton iterations on the pressure p from the converged state; returns the
        iteration count, or None when it does not converge."""
        scale = p * A_BORE
        for it in range(max_iter):
            trial = q.integrate_behavior(self.body, q.deformation(self.displacement(), self.fes), self.mats,
                                         prev=self.state)
            f_int = q.internal_forces(self.body, trial)
            residual = q.NodeField(self.cloud, ["f_x", "f_y"])
            worst = 0.0
            for node in self.nodes:
                ext = p * self.unit_load.get(node.id, np.zeros(2))
                for k, dual in enumerate(("f_x", "f_y")):
                    r = ext[k] - f_int.value(node, dual)
                    residual[0].set_value(node, dual, r)
                    if (node.id, dual) not in self.fixed:
                        worst = max(worst, abs(r))
            if worst < tol * scale:
                self.state = trial
                return it
            matrix = q.tangent(self.body, self.mats, trial) | self.constraint_matrix
            q.assemble(matrix)
            du = q.solve(matrix, residual)
            for node in self.nodes:
                self.u[node.id] += [du.value(node, "u_x"), du.value(node, "u_y")]
            if not all(np.isfinite(v).all() for v in self.u.values()):
                return None
        return None


def gauss_radii(fes):
    xy = q.interp_to_gauss(q.coordinates(fes.mesh()), fes)
    zone = xy[0]
    return np.array([[math.hypot(zone.value(c, g, "X"), zone.value(c, g, "Y")) for g in range(zone.gauss_count())]
                     for c in range(zone.cell_count())])


def test_thick_cylinder_from_elastic_to_the_limit_pressure():
    tube = Cylinder()
    p_first = first_yield_pressure()
    assert 103.0 < p_first < 2 * SY / math.sqrt(3) * 3 / 8  # below the incompressible 103.92
    # Elastic below first yield: no plastic point, the bore displacement of Lamé's solution.
    assert tube.step(0.95 * p_first) is not None
    assert all(point(tube.state, "p", c, g) == 0.0 for c in range(tube.state[0].cell_count()) for g in range(4))
    assert tube.bore_displacement() == pytest.approx(lame(0.95 * p_first, A_BORE)[1], rel=2e-3)
    radii = gauss_radii(tube.fes)
    previous_front = A_BORE
    for p in (130.0, 150.0, 170.0, 180.0, 186.0, 0.98 * P_LIMIT):
        assert tube.step(p) is not None, p
        plastic = np.array([[point(tube.state, "p", c, g) > 0 for g in range(radii.shape[1])]
                            for c in range(radii.shape[0])])
        outermost_plastic, innermost_elastic = radii[plastic].max(), radii[~plastic].min()
        assert outermost_plastic > previous_front
        previous_front = outermost_plastic
        if p <= 186.0:
            # The front of the closed form lies between the outermost plastic and the
            # innermost elastic Gauss point.
            assert outermost_plastic < front_radius(p) < innermost_elastic, p
    # Near the limit pressure the bore moves about twice as far as elasticity would have it;
    # past it the bore displacement runs away (or no equilibrium is found).
    near_limit = tube.bore_displacement()
    assert near_limit > 1.8 * lame(0.98 * P_LIMIT, A_BORE)[1]
    assert tube.step(1.05 * P_LIMIT) is None or tube.bore_displacement() > 100 * near_limit


# --- Mazars damage ------------------------------------------------------------------------

CONCRETE = {"E": 30000.0, "nu": 0.2, "eps_d0": 1e-4, "A_t": 1.0, "B_t": 15000.0, "A_c": 1.2, "B_c": 1500.0}


def mode_damage(kappa, a, b):
    d0 = CONCRETE["eps_d0"]
    if kappa <= d0:
        return 0.0
    return 1 - d0 * (1 - a) / kappa - a * math.exp(-b * (kappa - d0))


@pytest.mark.parametrize("element_type, hypothesis", [("HEX8", "solid"), ("QUA4", "plane_stress")])
@pytest.mark.parametrize("sign", [1, -1], ids=["tension", "compression"])
def test_mazars_uniaxial_curves_follow_the_closed_form(element_type, hypothesis, sign):
    """Uniaxial stress by displacement (lateral strain -nu eps): tension follows the tensile
    damage of kappa = eps, peaking at E eps_d0 and softening; compression the compressive
    damage of kappa = sqrt(2) nu |eps| (the lateral extensions), to 1e-10."""
    nodes, mesh = unit_cell(element_type)
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.mazars(fes, hypothesis)
    mats = q.material_field(model, list(CONCRETE.items()))
    dim = 3 if element_type == "HEX8" else 2
    e, nu = CONCRETE["E"], CONCRETE["nu"]
    state = None
    curve = []
    for level in np.linspace(0.0, 1e-2 if sign < 0 else 6e-4, 25)[1:]:
        grad = np.diag([sign * level] + [-nu * sign * level] * (dim - 1))
        state = q.integrate_behavior(model, q.deformation(linear_displacement(mesh, nodes, grad), fes), mats,
                                     prev=state)
        if sign > 0:
            kappa = max(level, CONCRETE["eps_d0"])
            d = mode_damage(kappa, CONCRETE["A_t"], CONCRETE["B_t"])
        else:
            kappa = max(math.sqrt(2) * nu * level, CONCRETE["eps_d0"])
            d = mode_damage(kappa, CONCRETE["A_c"], CONCRETE["B_c"])
        for g in range(state[0].gauss_count()):
            assert point(state, "kappa", 0, g) == pytest.approx(kappa, rel=1e-10)
            assert point(state, "damage", 0, g) == pytest.approx(d, abs=1e-10)
            assert point(state, "sigma_xx", 0, g) == pytest.approx(sign * (1 - d) * e * level, rel=1e-10)
            assert abs(point(state, "sigma_yy", 0, g)) < 1e-10 * e * level
        curve.append(point(state, "sigma_xx"))
    peak = max(curve, key=abs)
    assert abs(curve[-1]) < abs(peak)  # the softening branch
    if sign > 0:
        assert peak == pytest.approx(e * CONCRETE["eps_d0"], rel=0.05)


def test_mazars_history_unloading_and_kinds_of_prev():
    nodes, mesh = unit_cell("QUA4")
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.mazars(fes, "plane_strain")
    mats = q.material_field(model, list(CONCRETE.items()))
    assert q.integrate_behavior(model, uniform_strain(fes, {"eps_xx": 0, "eps_yy": 0, "eps_xy": 0}),
                                mats)[0].components() == ["sigma_xx", "sigma_yy", "sigma_xy", "damage", "kappa"]
    loaded = q.integrate_behavior(model, uniform_strain(fes, {"eps_xx": 4e-4, "eps_yy": 0, "eps_xy": 0}), mats)
    # Unloading keeps kappa and the damage; below the threshold from scratch nothing is damaged.
    small = uniform_strain(fes, {"eps_xx": 5e-5, "eps_yy": 0, "eps_xy": 0})
    unloaded = q.integrate_behavior(model, small, mats, prev=loaded)
    assert point(unloaded, "kappa") == point(loaded, "kappa")
    assert point(unloaded, "damage") == pytest.approx(point(loaded, "damage"), rel=1e-12)
    fresh = q.integrate_behavior(model, small, mats)
    assert point(fresh, "damage") == 0.0 and point(fresh, "kappa") == CONCRETE["eps_d0"]
    # A prev without "kappa" (another kind's state) is no history.
    assert q.integrate_behavior(model, small, mats, prev=small)[0].point_values(0, 0) == fresh[0].point_values(0, 0)
    # Mazars's stiffness is the undamaged elastic one and the tangent operator has no block.
    elastic = q.Model.elasticity(fes, "plane_strain")
    assert q.stiffness(model, mats).dense() == q.stiffness(elastic, mats).dense()
    assert q.tangent(model, mats, loaded).n_rows() == 0


def test_both_laws_give_the_same_bits_for_one_and_all_processors(tmp_path):
    """Plane-stress plasticity (its iterative branch) over two steps and Mazars, on a
    40 x 40 quadrilateral patch whose strain varies from point to point."""
    body = """
        import sys
        import _quenlith as q
        c = q.Coords(2)
        corners = [c.add_node(x) for x in ([0, 0], [1, 0], [1.2, 1], [0, 0.9])]
        mesh = q.transfinite(*[q.line(corners[i], corners[(i + 1) % 4], 40) for i in range(4)])
        space = q.FiniteElementSpace(mesh)
        xy = q.coordinates(mesh)
        u = q.rename_component(q.rename_component(q.sin(xy * 3.0) * 4e-3, "X", "ux"), "Y", "uy")
        plastic = q.Model.plasticity(space, "plane_stress")
        steel = q.material_field(plastic, [("E", 210000.0), ("nu", 0.3), ("sigma_y", 240.0)])
        damage = q.Model.mazars(space, "plane_strain")
        concrete = q.material_field(damage, [("E", 3e4), ("nu", 0.2), ("eps_d0", 1e-4), ("A_t", 1.0),
                                             ("B_t", 1.5e4), ("A_c", 1.2), ("B_c", 1.5e3)])
        eps = q.deformation(u, space)
        first = q.integrate_behavior(plastic, eps, steel)
        fields = [first, q.integrate_behavior(plastic, q.deformation(u * 1.5, space), steel, prev=first),
                  q.integrate_behavior(damage, eps, concrete)]
        values = [f[0].point_values(cell, g) for f in fields
                  for cell in range(f[0].cell_count()) for g in range(f[0].gauss_count())]
        open(sys.argv[1], "w").write(repr(values))  # repr keeps every bit of a float
    """
    one, many = files_with_one_and_all_processors(body, tmp_path)
    assert one == many


# --- errors -------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["plasticity", "mazars"])
def test_missing_strain_components_fail_in_reading_order(kind):
    _, mesh = unit_cell("QUA4")
    fes = q.FiniteElementSpace(mesh)
    model = getattr(q.Model, kind)(fes, "plane_stress")
    mats = q.material_field(model, STEEL if kind == "plasticity" else list(CONCRETE.items()))
    with raises(RuntimeError, "unknown component: eps_yy"):
        q.integrate_behavior(model, uniform_strain(fes, {"eps_xx": 1e-3}), mats)
    with raises(RuntimeError, "unknown component: eps_xy"):
        q.integrate_behavior(model, uniform_strain(fes, {"eps_xx": 1e-3, "eps_yy": 0.0}), mats)
    _, cube = unit_cell("HEX8")
    fes3 = q.FiniteElementSpace(cube)
    model3 = getattr(q.Model, kind)(fes3, "solid")
    mats3 = q.material_field(model3, STEEL if kind == "plasticity" else list(CONCRETE.items()))
    with raises(RuntimeError, "unknown component: eps_zz"):
        q.integrate_behavior(model3, uniform_strain(fes3, {"eps_xx": 1e-3, "eps_yy": 0.0, "eps_xy": 0.0}), mats3)


def test_tangent_needs_the_plastic_state():
    _, mesh = unit_cell("QUA4")
    fes = q.FiniteElementSpace(mesh)
    model = q.Model.plasticity(fes, "plane_strain")
    mats = q.material_field(model, STEEL)
    stress = uniform_strain(fes, {"sigma_xx": 1.0, "sigma_yy": 0.0, "sigma_xy": 0.0})
    with raises(RuntimeError, "unknown component: ktan_0_0"):
        q.tangent(model, mats, stress)
    no_rho = "Elasticity mass matrix: material component `rho` (density) is required"
    with raises(RuntimeError, no_rho):
        q.mass(model, mats)
