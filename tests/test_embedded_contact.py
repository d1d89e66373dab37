"""Embedded and Contact constraints seen from Python: their constructors, texts,
errors in their order, the right-hand sides keyed by relation index, and a block
pressed on a rigid or elastic foundation through a contact solved by
solve_unilateral."""

import pytest

import _quenlith as q
from helpers import Coords2, poi1, raises, rhs_for, support

LONG_DASH = "\u2014"


@pytest.fixture
def host():
    """A 2-D TRI3 host (0,0) (1,0) (0,1), a SEG2 bar of two cells inside it, and a
    node far outside."""
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [0.1, 0.1], [0.2, 0.1], [0.3, 0.1],
                                 [3.0, 3.0])]
    tri = q.Mesh(c, "TRI3")
    tri[0].add_cell([n[0], n[1], n[2]])
    bar = q.Mesh(c, "SEG2")
    bar[0].add_cell([n[3], n[4]])
    bar[0].add_cell([n[4], n[5]])
    return c, n, tri, bar


def test_embedded_defaults_and_texts(host):
    c, n, tri, bar = host
    m = q.Model.embedded(bar, tri, [("u_x", "f_x"), ("u_y", "f_y")])
    assert len(m) == 1
    s = m[0]
    assert str(s) == "SubModel<Embedded>: 3 immersed node(s), 2 component(s)"
    assert s.primal_vars() == ["lambda_u_x", "lambda_u_y"]
    assert s.dual_vars() == ["imposed_u_x", "imposed_u_y"]
    assert s.physics() == ["constraint"]
    # Three fresh multiplier nodes at the immersed nodes.
    assert [cell[0].id for cell in m.multiplier_mesh()[0]] == [7, 8, 9]
    # Relation index = component × 3 + node: each value lands under its component.
    rhs = m.constraint_rhs_by_index([(1, 0.5), (4, -2.0)])
    values = {}
    for zone in rhs:
        for row, cell in enumerate(zone.support_submesh()):
            values[cell[0].id] = zone.node_values(row)
    assert values[8] == [0.5, -2.0]


def test_embedded_given_names_and_describe(host, capsys):
    c, n, tri, bar = host
    m = q.Model.embedded(bar, tri, [("T", "q")], multipliers=["lam"], imposed_values=["g"], tol=1e-9)
    s = m[0]
    assert s.primal_vars() == ["lam"] and s.dual_vars() == ["g"]
    s.dump()
    out = capsys.readouterr().out
    assert "SubModel<Embedded>\n  immersed nodes: 3\n  components:\n    T (dual q, multiplier lam, imposed g)" in out


@pytest.mark.parametrize("kwargs, text", [
    (dict(components=[]), "Embedded: at least one component is required"),
    (dict(components=[("a", "b"), ("c", "d")], multipliers=["x"]), "Embedded: multipliers length must match components"),
    (dict(components=[("a", "b")], imposed_values=[]), "Embedded: imposed_values length must match components"),
])
def test_embedded_argument_errors_come_first(host, kwargs, text):
    c, n, tri, bar = host
    other = q.Coords(2)
    alone = q.poi1_from_nodes([other.add_node([0.0, 0.0])])
    # Even with meshes on different Coords: the name checks run first.
    with raises(RuntimeError, text):
        q.Model.embedded(alone, tri, **kwargs)


def test_embedded_mesh_errors(host):
    c, n, tri, bar = host
    other = q.Coords(2)
    alone = q.poi1_from_nodes([other.add_node([0.0, 0.0])])
    with raises(RuntimeError, "Embedded: immersed and host meshes must share a Coords"):
        q.Model.embedded(alone, tri, [("u", "f")])
    with raises(RuntimeError, "Embedded: immersed mesh carries no node"):
        q.Model.embedded(q.Mesh(c, "SEG2"), tri, [("u", "f")])
    count = c.capacity()
    five = q.poi1_from_nodes([n[3], n[4], n[5], n[3], n[6]])
    with raises(RuntimeError, "Embedded: 1 immersed node(s) lie outside the host mesh (first at index 3); the "
                              "immersed mesh must be contained in the host"):
        q.Model.embedded(five, tri, [("u", "f")])
    with raises(RuntimeError, "Embedded: immersed node 1 coincides with a node of its host cell"):
        q.Model.embedded(q.poi1_from_nodes([n[3], n[1]]), tri, [("u", "f")])
    assert c.capacity() == count  # no multiplier node made by a refused call


@pytest.mark.parametrize("components, exc, text", [
    ("u", TypeError, None),
    ([["u", "f"]], TypeError, None),
    ([("u",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
])
def test_component_pairs_are_tuples_of_two(host, components, exc, text):
    c, n, tri, bar = host
    if text is None:
        with pytest.raises(exc):
            q.Model.embedded(bar, tri, components)
    else:
        with raises(exc, text):
            q.Model.embedded(bar, tri, components)


@pytest.fixture
def floor():
    """A 2-D master SEG2 from (0,0) to (2,0) and slave nodes above and on it."""
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([0.0, 0.0], [2.0, 0.0], [0.5, 0.5], [1.5, 0.0])]
    master = q.Mesh(c, "SEG2")
    master[0].add_cell([n[0], n[1]])
    return c, n, master


def test_contact_defaults_texts_and_gaps(floor, capsys):
    c, n, master = floor
    m = q.Model.contact(q.poi1_from_nodes([n[2], n[3]]), master, [("u_x", "f_x"), ("u_y", "f_y")])
    s = m[0]
    assert str(s) == "SubModel<Contact>: 2 slave node(s), 2 component(s)"
    assert s.primal_vars() == ["lambda_contact"] and s.dual_vars() == ["contact_gap"]
    s.dump()
    out = capsys.readouterr().out
    assert ("SubModel<Contact>\n  primal var(s): lambda_contact (multiplier)\n  dual var(s):   contact_gap "
            "(imposed value / \u2212g\u2080)\n  slave nodes: 2\n  components:\n    u_x (dual f_x)\n    u_y (dual f_y)"
            in out)
    named = q.Model.contact(q.poi1_from_nodes([n[2]]), master, [("a", "b"), ("c", "d")], multiplier="lam",
                            imposed_value="g")
    assert named[0].primal_vars() == ["lam"] and named[0].dual_vars() == ["g"]


def test_contact_errors_in_order(floor):
    c, n, master = floor
    other = q.Coords(2)
    alone = q.poi1_from_nodes([other.add_node([0.0, 0.0])])
    with raises(RuntimeError, "Contact: slave and master meshes must share a Coords"):
        q.Model.contact(alone, master, [("u", "f")])
    with raises(RuntimeError, f"Contact: 3 component(s) for a 2-D space {LONG_DASH} the normal couples every "
                              "displacement component, give one (variable, dual) pair per dimension, in ambient order"):
        q.Model.contact(q.poi1_from_nodes([n[2]]), master, [("a", "b"), ("c", "d"), ("e", "f")])
    with raises(RuntimeError, "Contact: slave mesh carries no node"):
        q.Model.contact(q.Mesh(c, "POI1"), master, [("a", "b"), ("c", "d")])


def test_contact_gaps_are_minus_the_initial_gaps(floor):
    c, n, master = floor
    contact = q.Model.contact(q.poi1_from_nodes([n[2], n[3]]), master, [("u_x", "f_x"), ("u_y", "f_y")])
    imposed = q.poi1_from_nodes([n[0]])
    both = contact | q.Model.dirichlet("T", "q", imposed, q.barycenter(imposed))
    gaps = both.contact_gaps()  # the Dirichlet is not counted
    values = {}
    for zone in gaps:
        for row, cell in enumerate(zone.support_submesh()):
            values[cell[0].id] = zone.node_values(row)
    first, second = [cell[0].id for cell in contact.multiplier_mesh()[0]]
    # The slave at height 0.5 has gap ±0.5 along the facet normal; the one on the facet 0.
    assert abs(values[first][0]) == 0.5
    assert values[second] == [0.0] or values[second] == [-0.0]


def test_contact_gaps_needs_exactly_one_contact(floor):
    c, n, master = floor
    one = q.Model.contact(q.poi1_from_nodes([n[2]]), master, [("u_x", "f_x"), ("u_y", "f_y")])
    with raises(RuntimeError, "contact_gaps: model holds several contact sub-models; call it on a single-contact "
                              "model (the `contact` object)"):
        (one | q.Model.contact(q.poi1_from_nodes([n[3]]), master, [("a", "b"), ("c", "d")])).contact_gaps()
    imposed = q.poi1_from_nodes([n[0]])
    with raises(RuntimeError, "contact_gaps: model holds no contact sub-model"):
        q.Model.dirichlet("T", "q", imposed, q.barycenter(imposed)).contact_gaps()


# --- a block pressed on a foundation, solved by solve_unilateral --------------------


def pressed_on_foundation(elastic, gap0=1e-3, load=2.0):
    """A 1 x 0.5 elastic block held sideways at one top corner, its bottom edge gap0
    above the top of a foundation, pressed down by `load` spread over its top edge.
    The foundation is rigid (a segment whose ends are clamped) or an elastic block
    clamped at its base; its top edge is the master surface, oriented so that its
    normal points up."""
    c = Coords2()
    n = [[c.add_node([i / 4, gap0 + 0.5 * j / 2]) for i in range(5)] for j in range(3)]
    block = q.Mesh(c.c, "QUA4")
    for j in range(2):
        for i in range(4):
            block[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
    model = q.Model.elasticity(q.FiniteElementSpace(block), "plane_strain") | support(c, [n[2][0]], "u_x", "f_x")
    if elastic:
        base = [[c.add_node([-0.25 + 1.5 * i / 6, -0.5 + 0.5 * j / 2]) for i in range(7)] for j in range(3)]
        foundation = q.Mesh(c.c, "QUA4")
        for j in range(2):
            for i in range(6):
                foundation[0].add_cell([base[j][i], base[j][i + 1], base[j + 1][i + 1], base[j + 1][i]])
        model = (model | q.Model.elasticity(q.FiniteElementSpace(foundation), "plane_strain")
                 | support(c, base[0], "u_x", "f_x") | support(c, base[0], "u_y", "f_y"))
        top = base[-1]
    else:
        top = [c.add_node([-0.5, 0.0]), c.add_node([1.5, 0.0])]
        model = model | support(c, top, "u_x", "f_x") | support(c, top, "u_y", "f_y")
    master = q.Mesh(c.c, "SEG2")
    for i in range(len(top) - 1):
        master[0].add_cell([top[i + 1], top[i]])  # right to left: the normal points up
    contact = q.Model.contact(poi1(c, n[0]), master, [("u_x", "f_x"), ("u_y", "f_y")])
    model = model | contact
    K = q.stiffness(model, q.material_field(model, [("E", 100.0), ("nu", 0.3)]))
    values = {(p.id, "f_y"): -load / 4 * (0.5 if i in (0, 4) else 1.0) for i, p in enumerate(n[2])}
    gaps = contact.contact_gaps()
    multipliers = [cell[0] for cell in contact.multiplier_mesh()[0]]
    for m in multipliers:  # made by the constraint itself
        c.by_id[m.id] = m
        values[(m.id, "contact_gap")] = gaps.value(m, "contact_gap")
    return model, K, rhs_for(K, c, values), n[0], top, multipliers


@pytest.mark.parametrize("active_set", ["schur", "refactorize"])
@pytest.mark.parametrize("elastic", [False, True], ids=["rigid", "elastic"])
def test_block_pressed_on_a_foundation_carries_the_load_without_penetration(elastic, active_set):
    gap0, load = 1e-3, 2.0
    model, K, rhs, bottom, top, multipliers = pressed_on_foundation(elastic, gap0, load)
    x = q.solve_unilateral(model, K, rhs, active_set=active_set)
    lam = [x.value(m, "lambda_contact") for m in multipliers]
    # Every slave presses (λ <= 0 on a >= relation); together they carry the load.
    assert all(v <= 0.0 for v in lam)
    assert sum(lam) == pytest.approx(-load, rel=1e-10)
    # No penetration: the gap that remains along the upward normal is >= 0, and 0
    # wherever a slave presses.
    below = {round(p.coord()[0], 12): p for p in top}
    for p, v in zip(bottom, lam):
        surface = x.value(below[round(p.coord()[0], 12)], "u_y") if elastic else 0.0
        gap = gap0 + x.value(p, "u_y") - surface
        assert gap >= -1e-12
        if v < 0.0:
            assert abs(gap) <= 1e-12
def block_under_stretch(c, nx, ny, length, height):
    """QUA4 cells of [0, length] x [0, height]; node rows bottom to top."""
    n = [[c.add_node([length * i / nx, height * j / ny]) for i in range(nx + 1)] for j in range(ny + 1)]
    mesh = q.Mesh(c, "QUA4")
    for j in range(ny):
        for i in range(nx):
            mesh[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
    return n, mesh


@pytest.mark.parametrize("nu", [0.0, 0.3])
def test_embedded_bar_takes_the_rule_of_mixtures_share(nu):
    """A stiff bar along the mid-line of a soft block stretched by a prescribed end
    displacement: the strain is uniform, so the bar carries E_s·A / (E_b·h + E_s·A) of
    the end reaction. The same bar meshed conformally (on block nodes) and embedded
    (own nodes, off the block's nodes) must agree with that and with each other."""
    length, height, e_block, e_bar, area, stretch = 4.0, 1.0, 1.0, 200.0, 0.01, 0.02
    strain = stretch / length
    share = e_bar * area / (e_block * height + e_bar * area)

    def solve(embedded):
        c = q.Coords(2)
        # Conformal: a node row at mid-height carries the bar; embedded: the bar's
        # nodes sit inside cells (and on the vertical edges at both ends).
        n, block = block_under_stretch(c, 8, 3 if embedded else 2, length, height)
        bar = q.Mesh(c, "SEG2")
        if embedded:
            line = [c.add_node([length * i / 5, height / 2]) for i in range(6)]
        else:
            line = n[1]
        for a, b in zip(line, line[1:]):
            bar[0].add_cell([a, b])
        body = q.Model.elasticity(q.FiniteElementSpace(block), "plane_stress")
        truss = q.Model.truss(q.FiniteElementSpace(bar))
        left, right = [row[0] for row in n], [row[-1] for row in n]

        def fix(nodes, var, dual):
            mult = q.poi1_from_nodes([c.add_node([-100.0 - k, -100.0]) for k in range(len(nodes))])
            return q.Model.dirichlet(var, dual, q.poi1_from_nodes(nodes), mult)

        pulled = fix(right, "u_x", "f_x")
        model = body | truss | fix(left, "u_x", "f_x") | pulled | fix([n[0][0]], "u_y", "f_y")
        if embedded:
            tie = q.Model.embedded(bar, block, [("u_x", "f_x"), ("u_y", "f_y")])
            model = model | tie
        mat = q.material_field(body, [("E", e_block), ("nu", nu)]) | q.material_field(truss, [("E", e_bar), ("A", area)])
        K = q.stiffness(model, mat)
        x = q.solve(K, pulled.constraint_rhs([(p, stretch) for p in right]))
        reaction = sum(x.value(cell[0], "lambda_u_x") for cell in pulled.multiplier_mesh()[0])
        return x, line, reaction, (tie if embedded else None)

    for embedded in (False, True):
        x, line, reaction, tie = solve(embedded)
        assert abs(reaction) == pytest.approx(strain * (e_block * height + e_bar * area), rel=1e-10)
        ux = [x.value(p, "u_x") for p in line]
        assert ux == pytest.approx([strain * p.coord()[0] for p in line], abs=1e-12)
        forces = [e_bar * area * (b - a) / (pb.coord()[0] - pa.coord()[0])
                  for a, b, pa, pb in zip(ux, ux[1:], line, line[1:])]
        assert forces == pytest.approx([share * abs(reaction)] * len(forces), rel=1e-10)
        if tie is not None:
            # The tie hands the bar its force at the two ends only.
            lam = [x.value(cell[0], "lambda_u_x") for cell in tie.multiplier_mesh()[0]]
            assert [abs(v) for v in (lam[0], lam[-1])] == pytest.approx([forces[0]] * 2, rel=1e-10)
            assert lam[1:-1] == pytest.approx([0.0] * (len(lam) - 2), abs=1e-12)
