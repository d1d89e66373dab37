"""The module function solve_unilateral: the active-set solve of inequality
constraints on assembled elastic problems. A bar against a rigid stop (closed form
in both regimes), small random problems against the best of every status by brute
force with numpy, a 2-D block pressed on a curved rigid stop, the two ways of
solving a status agreeing, the warm start kept in the matrix, and every error in
its order."""

import itertools
import math

import numpy as np
import pytest

import _quenlith as q
from helpers import Coords2, grid, poi1, raises, rhs_for, support

NOT_FINALIZED = "Matrix has not been finalized; call finalize() before solving"
NOT_CONVERGED = ("solve_unilateral: the active set did not converge in {} iterations (cycling — try a looser tol, "
                 "or check the model)")
PATHS = [None, "schur", "Schur", "refactorize", "Refactorize"]


def column_vector(matrix, x, c):
    return np.array([x.value(c.by_id[node], var) for node, var in matrix.col_dofs()])


def multipliers(sub, x, c):
    return np.array([x.value(c.by_id[cell[0].id], sub.primal_vars()[0]) for cell in sub.multiplier_mesh()[0]])


def imposed(values, sub, g):
    """Adds g (a number or one value per relation) at the multiplier nodes of `sub`."""
    cells = [cell[0].id for cell in sub.multiplier_mesh()[0]]
    for k, node in enumerate(cells):
        values[(node, sub.dual_vars()[0])] = g[k] if isinstance(g, (list, np.ndarray)) else g


# --- a bar against a rigid stop -----------------------------------------------------

L, H, E, F = 2.0, 0.5, 200.0, 3.0
FREE_TIP = F * L / (E * H)  # 0.06


def bar_with_stop(g0, nx=4, ny=2, force=F):
    """A bar clamped at x = 0, pulled at its tip, which a rigid stop keeps at u_x <= g0."""
    c = Coords2()
    n, mesh = grid(c, nx, ny, L, H)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    tip = [row[-1] for row in n]
    stop = support(c, tip, "u_x", "f_x", sense="<=")
    model = body | support(c, [row[0] for row in n], "u_x", "f_x") | support(c, [n[0][0]], "u_y", "f_y") | stop
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", 0.0)]))
    values = {(p.id, "f_x"): force / ny * (0.5 if j in (0, ny) else 1.0) for j, p in enumerate(tip)}
    imposed(values, stop, g0)
    return model, K, rhs_for(K, c, values), c, tip, stop


@pytest.mark.parametrize("active_set", PATHS)
@pytest.mark.parametrize("g0", [0.1, FREE_TIP, 0.04, 0.0], ids=["free", "touching", "contact", "zero_gap"])
def test_bar_against_a_rigid_stop(g0, active_set):
    model, K, rhs, c, tip, stop = bar_with_stop(g0)
    x = q.solve_unilateral(model, K, rhs, active_set=active_set)
    lam = multipliers(stop, x, c)
    if FREE_TIP <= g0:
        # The free solution, every relation released with its multiplier at 0.
        assert [x.value(p, "u_x") for p in tip] == pytest.approx([FREE_TIP] * len(tip), rel=1e-12)
        assert np.abs(lam).max() <= 1e-12 * F
    else:
        assert [x.value(p, "u_x") for p in tip] == pytest.approx([g0] * len(tip), rel=1e-12, abs=1e-15)
        assert lam.sum() == pytest.approx(F - E * H * g0 / L, rel=1e-12)
        assert (lam > 0).all()


@pytest.mark.parametrize("g0", [0.1, 0.04])
def test_schur_and_refactorize_agree(g0):
    model, K, rhs, c, tip, stop = bar_with_stop(g0, nx=6, ny=3)
    schur = column_vector(K, q.solve_unilateral(model, K, rhs, active_set="schur", cache=False), c)
    refac = column_vector(K, q.solve_unilateral(model, K, rhs, active_set="refactorize", cache=False), c)
    assert np.abs(schur - refac).max() <= 1e-12 * np.abs(refac).max()


# --- small random problems against every status --------------------------------------


def random_problem(seed, k):
    """A clamped 3x2 plate with k inequality relations of random terms, senses and
    right-hand sides, and random loads."""
    rng = np.random.default_rng(seed)
    c = Coords2()
    n, mesh = grid(c, 3, 2, 1.5, 1.0)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    model = body | support(c, [row[0] for row in n], "u_x", "f_x") | support(c, [n[0][0]], "u_y", "f_y")
    free = [p for row in n for p in row[1:]]

    def draw():
        picks = rng.choice(len(free), size=int(rng.integers(1, 4)), replace=False)
        return [(int(i), str(var), float(rng.uniform(-1, 1))) for i, var in zip(picks, rng.choice(["u_x", "u_y"],
                                                                                             size=len(picks)))]

    # Relations independent enough that every status system is regular.
    while True:
        drawn = [draw() for _ in range(k)]
        rows = np.zeros((k, 2 * len(free)))
        for r, terms in enumerate(drawn):
            for i, var, coef in terms:
                rows[r, 2 * i + (var == "u_y")] = coef
        sv = np.linalg.svd(rows, compute_uv=False)
        if sv[-1] > 0.1 * sv[0]:
            break
    relations = []
    for drawn_terms in drawn:
        terms = [(free[i], var, var.replace("u", "f"), coef) for i, var, coef in drawn_terms]
        sense = str(rng.choice([">=", "<="]))
        mult = poi1(c, [c.add_node([-10.0, -10.0 - len(relations)])])
        sub = q.Model.mpc([(poi1(c, [p]), var, dual, coef) for p, var, dual, coef in terms], mult, sense=sense)
        relations.append((sub, sense))
        model = model | sub
    K = q.stiffness(model, q.material_field(model, [("E", 100.0), ("nu", 0.3)]))
    values = {(p.id, var): float(rng.normal()) for row in n for p in row[1:] for var in ("f_x", "f_y")}
    for sub, _ in relations:
        imposed(values, sub, float(rng.normal(scale=0.01)))
    return model, K, rhs_for(K, c, values), c, relations


def brute_force(K, rhs, c, relations):
    """The solution of the best status: among the 2^k status systems whose solution
    satisfies every relation, the one of least energy ½uᵀKu − fᵀu."""
    a = np.array(K.dense()).reshape(K.n_rows(), K.n_cols())
    rows, cols = K.row_dofs(), K.col_dofs()
    b = np.array([rhs.value(c.by_id[node], var) for node, var in rows])
    where = []
    for sub, sense in relations:
        m = sub.multiplier_mesh()[0][0][0].id
        where.append((rows.index((m, "mpc_rhs")), cols.index((m, "lambda_mpc")), sense))
    mult = {m for r, m, _ in where}
    physics = [i for i in range(len(cols)) if i not in mult]
    best = None
    for status in itertools.product([0, 1], repeat=len(where)):
        system, rhs_s = a.copy(), b.copy()
        for active, (r, m, _) in zip(status, where):
            if not active:
                system[r, :] = 0.0
                system[r, m] = 1.0
                rhs_s[r] = 0.0
        x = np.linalg.solve(system, rhs_s)
        feasible = all((a[r] @ x - b[r]) * (1 if sense == ">=" else -1) >= -1e-9 for r, m, sense in where)
        u = x[physics]
        energy = 0.5 * u @ a[np.ix_(physics, physics)] @ u - b[physics] @ u
        if feasible and (best is None or energy < best[0]):
            best = (energy, x)
    return best[1]


@pytest.mark.parametrize("seed, k", [(s, k) for s, k in zip(range(12), [1, 2, 3, 4, 5, 6] * 2)])
def test_random_problems_equal_the_best_status(seed, k):
    model, K, rhs, c, relations = random_problem(seed, k)
    expected = brute_force(K, rhs, c, relations)
    scale = np.abs(expected).max()
    for path in ("schur", "refactorize"):
        got = column_vector(K, q.solve_unilateral(model, K, rhs, active_set=path, cache=False), c)
        assert np.abs(got - expected).max() <= 1e-9 * scale, path


# --- a block pressed on a curved rigid stop ----------------------------------------


def pressed_block(depth, nx=24, ny=8, radius=4.0):
    """A block clamped on its top edge, lowered by `depth` onto a rigid cylinder of
    `radius` that touches its bottom edge at mid-span: u_y >= -(x - w/2)² / 2R there."""
    w, h = 2.0, 0.6
    c = Coords2()
    n, mesh = grid(c, nx, ny, w, h)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_strain")
    top, bottom = n[-1], n[0]
    push_y, hold_x = support(c, top, "u_y", "f_y"), support(c, top, "u_x", "f_x")
    stop = support(c, bottom, "u_y", "f_y", sense=">=")
    model = body | push_y | hold_x | stop
    K = q.stiffness(model, q.material_field(model, [("E", 1000.0), ("nu", 0.3)]))
    values = {}
    imposed(values, push_y, -depth)
    gap = [(p.coord()[0] - w / 2) ** 2 / (2 * radius) for p in bottom]
    imposed(values, stop, [-g for g in gap])
    return model, K, rhs_for(K, c, values), c, bottom, gap, push_y, stop


@pytest.mark.parametrize("active_set", ["schur", "refactorize"])
def test_block_on_a_curved_stop_converges_in_a_handful_of_iterations(active_set):
    model, K, rhs, c, bottom, gap, push_y, stop = pressed_block(0.01)
    x = q.solve_unilateral(model, K, rhs, active_set=active_set, max_iter=6, cache=False)
    lam = multipliers(stop, x, c)
    uy = np.array([x.value(p, "u_y") for p in bottom])
    # No penetration; released nodes carry nothing, touching ones push (λ <= 0 for >=).
    assert (uy + np.array(gap) >= -1e-12).all()
    touching = lam < 0
    assert 3 <= touching.sum() < len(bottom)
    assert np.abs(uy[touching] + np.array(gap)[touching]).max() <= 1e-12
    assert np.abs(lam[~touching]).max() <= 1e-10 * np.abs(lam).max()
    # The contact zone is one symmetric patch under the cylinder's apex.
    idx = np.flatnonzero(touching)
    assert (np.diff(idx) == 1).all() and idx[0] + idx[-1] == len(bottom) - 1
    # The stop's force balances the clamp's.
    assert lam.sum() == pytest.approx(-multipliers(push_y, x, c).sum(), rel=1e-10)
    # A deeper press widens the patch.
    model2, K2, rhs2, c2, _, _, _, stop2 = pressed_block(0.03)
    deeper = q.solve_unilateral(model2, K2, rhs2, active_set=active_set, cache=False)
    assert (multipliers(stop2, deeper, c2) < 0).sum() > touching.sum()


def test_a_body_held_only_by_unilateral_supports_falls_back_to_refactorizing():
    # Pressed down onto >= supports with nothing else holding it: the base (every
    # support released) is singular, the Schur path refuses and the refactorize path
    # solves, on the first call and on the next ones.
    c = Coords2()
    n, mesh = grid(c, 2, 1, 2.0, 1.0)
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress")
    floor = support(c, n[0], "u_y", "f_y", sense=">=")
    model = body | support(c, [n[0][0]], "u_x", "f_x") | floor
    K = q.stiffness(model, q.material_field(model, [("E", 10.0), ("nu", 0.2)]))
    rhs = rhs_for(K, c, {(p.id, "f_y"): -1.0 for p in n[1]})
    expected = column_vector(K, q.solve_unilateral(model, K, rhs, active_set="refactorize", cache=False), c)
    for _ in range(2):
        got = column_vector(K, q.solve_unilateral(model, K, rhs), c)
        assert np.abs(got - expected).max() <= 1e-12 * np.abs(expected).max()
    assert multipliers(floor, q.solve_unilateral(model, K, rhs), c).sum() == pytest.approx(-3.0, rel=1e-12)
    # Pulled up instead, every support releases and nothing holds the body: the
    # status system is singular, and the message names the unknowns left without a
    # pivot (the body's vertical drift and its rotation about the held corner).
    up = rhs_for(K, c, {(p.id, "f_y"): 1.0 for p in n[1]})
    dof = r"\(NodeId\(\d+\), 'u_[xy]'\)"
    singular = (r"^solve_unilateral: LU failed \(matrix is singular — check that the structure is supported when every "
                rf"unilateral relation releases\): no pivot for {dof}, {dof}$")
    for active_set in ("schur", "refactorize"):
        for cache in (False, True):
            with pytest.raises(RuntimeError, match=singular):
                q.solve_unilateral(model, K, up, active_set=active_set, cache=cache)


# --- warm starts kept in the matrix ------------------------------------------------


@pytest.mark.parametrize("active_set", ["schur", "refactorize"])
def test_warm_start_from_the_last_converged_status(active_set):
    # Free regime: from every relation active, the stop must release (2 iterations).
    model, K, rhs, c, tip, stop = bar_with_stop(0.1)
    with raises(RuntimeError, NOT_CONVERGED.format(1)):
        q.solve_unilateral(model, K, rhs, active_set=active_set, max_iter=1)
    converged = q.solve_unilateral(model, K, rhs, active_set=active_set)
    again = q.solve_unilateral(model, K, rhs, active_set=active_set, max_iter=1)
    assert column_vector(K, again, c) == pytest.approx(column_vector(K, converged, c), rel=1e-12, abs=1e-15)
    # Without the cache nothing is read: every call starts from all active.
    with raises(RuntimeError, NOT_CONVERGED.format(1)):
        q.solve_unilateral(model, K, rhs, active_set=active_set, max_iter=1, cache=False)
    # The two ways keep separate warm starts.
    other = "refactorize" if active_set == "schur" else "schur"
    with raises(RuntimeError, NOT_CONVERGED.format(1)):
        q.solve_unilateral(model, K, rhs, active_set=other, max_iter=1)
    # Another solver's payload replaces the setup; the next call starts cold.
    q.solve(K, rhs)
    with raises(RuntimeError, NOT_CONVERGED.format(1)):
        q.solve_unilateral(model, K, rhs, active_set=active_set, max_iter=1)


def test_cached_setup_keeps_the_relations_of_the_first_model():
    model, K, rhs, c, tip, stop = bar_with_stop(0.04)
    q.solve_unilateral(model, K, rhs)
    # A model whose relation names a variable the matrix does not have would fail
    # its preparation; the cached setup serves it without looking.
    wrong = q.Model.dirichlet("w", "f_w", poi1(c, tip), stop.multiplier_mesh(),
                              multiplier="lambda_u_x", imposed_value="imposed_u_x", sense="<=")
    x = q.solve_unilateral(wrong, K, rhs)
    assert multipliers(stop, x, c).sum() == pytest.approx(1.0, rel=1e-12)
    with raises(RuntimeError, f"solve_unilateral: term (NodeId({tip[0].id}), 'w') is not a column of the matrix"):
        q.solve_unilateral(wrong, K, rhs, cache=False)


def test_without_inequality_the_plain_solve_answers():
    model, K, rhs, c, tip, stop = bar_with_stop(0.04)
    equalities = model[0:3]
    got, ref = q.solve_unilateral(equalities, K, rhs), q.solve(K, rhs)
    assert (column_vector(K, got, c) == column_vector(K, ref, c)).all()


# --- errors, in their order ----------------------------------------------------------


def test_argument_errors():
    model, K, rhs, c, tip, stop = bar_with_stop(0.04)
    with raises(ValueError, "unknown solver method 'lu ' (expected 'lu')"):
        q.solve_unilateral(model, K, rhs, "lu ", "SCHUR")  # the method first
    for text in ["SCHUR", "schur ", "refactorise", ""]:
        with raises(ValueError, f"unknown active-set method '{text}' (expected 'schur' or 'refactorize')"):
            q.solve_unilateral(model, K, rhs, active_set=text)
    with pytest.raises(TypeError, match="^argument 'active_set': "):
        q.solve_unilateral(model, K, rhs, None, 1)
    with pytest.raises(TypeError, match="^argument 'cache': "):
        q.solve_unilateral(model, K, rhs, "x", "y", 1)  # conversions before any check
    with pytest.raises(OverflowError):
        q.solve_unilateral(model, K, rhs, max_iter=-1)
    with pytest.raises(TypeError, match="^argument 'tol': "):
        q.solve_unilateral(model, K, rhs, tol="0")
    with pytest.raises(TypeError, match="^argument 'model': "):
        q.solve_unilateral(K, K, rhs)
    x = q.solve_unilateral(model=model, matrix=K, rhs=rhs, method="LU", active_set="Schur", cache=False,
                           max_iter=5, tol=0)
    assert multipliers(stop, x, c).sum() == pytest.approx(1.0, rel=1e-12)
    with raises(RuntimeError, NOT_CONVERGED.format(0)):
        q.solve_unilateral(model, K, rhs, max_iter=0)


def test_preparation_errors():
    model, K, rhs, c, tip, stop = bar_with_stop(0.04)
    mult = stop.multiplier_mesh()
    m0 = mult[0][0][0].id
    # A stop the matrix was not assembled with.
    other = support(c, tip, "u_x", "f_x", sense="<=")
    m_other = other.multiplier_mesh()[0][0][0].id
    cases = [
        (other, K, f"solve_unilateral: constraint row (NodeId({m_other}), 'imposed_u_x') is not a row of the matrix "
                   "— was it assembled from this model?"),
        (q.Model.dirichlet("u_x", "f_x", poi1(c, tip), mult, multiplier="mu", imposed_value="imposed_u_x",
                           sense="<="),
         K, f"solve_unilateral: multiplier DOF (NodeId({m0}), 'mu') is not a column of the matrix"),
        (q.Model.dirichlet("w", "f_w", poi1(c, tip), mult, multiplier="lambda_u_x", imposed_value="imposed_u_x",
                           sense="<="),
         K, f"solve_unilateral: term (NodeId({tip[0].id}), 'w') is not a column of the matrix"),
        # Blocks that carry the DOFs but no finalized form: preparation passes.
        (model, K[0:len(K)], NOT_FINALIZED),
    ]
    for bad, matrix, text in cases:
        with raises(RuntimeError, text):
            q.solve_unilateral(bad, matrix, rhs, cache=False)
    rect = q.Matrix.block(poi1(c, tip[:1]), poi1(c, tip), ["f_x"], ["u_x"])
    with raises(RuntimeError, "solve_unilateral: matrix must be square; got 1×3"):
        q.solve_unilateral(model, rect, rhs)


@pytest.mark.parametrize("active_set", ["schur", "refactorize"])
def test_values_that_are_no_numbers_are_refused_before_either_path(active_set):
    model, K, rhs, c, tip, stop = bar_with_stop(0.04)
    values = {}
    imposed(values, stop, [0.04, math.nan, 0.04])
    g = stop.multiplier_mesh()[0][1][0].id
    for cache in (False, True):
        with raises(RuntimeError, f"solve_unilateral: the right-hand side holds a non-finite value at "
                    f"(NodeId({g}), 'imposed_u_x')"):
            q.solve_unilateral(model, K, rhs_for(K, c, values), active_set=active_set, cache=cache)
    # A literal spring chain with one infinite entry, bounded at its first node.
    nodes = [c.add_node([float(i), 5.0]) for i in range(3)]
    bound = support(c, [nodes[0]], "u", "f", sense=">=")
    k = q.Matrix.block(poi1(c, nodes), poi1(c, nodes), ["f"], ["u"])
    for i, j, v in [(0, 0, 2.0), (1, 1, 2.0), (2, 2, 2.0), (0, 1, -1.0), (1, 0, -1.0), (1, 2, math.inf)]:
        k[0].add_entry(nodes[i], "f", nodes[j], "u", v)
    a = k | q.stiffness(bound, q.ElementField(q.FiniteElementSpace(grid(c, 1, 1, 1.0, 1.0)[1]), ["E"]))
    a.finalize()
    with raises(RuntimeError, f"solve_unilateral: the matrix holds a non-finite value at row "
                f"(NodeId({nodes[1].id}), 'f'), column (NodeId({nodes[2].id}), 'u')"):
        q.solve_unilateral(bound, a, q.NodeField(poi1(c, nodes), ["f"]), active_set=active_set)
