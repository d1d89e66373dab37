"""Constraints seen from Python: Dirichlet models, multiplier meshes, and the
right-hand sides of constraints by node and by relation index."""

import pytest

import _quenlith as q
from helpers import raises

SENSE_ERROR = "unknown relation sense '{}' (expected '=', '>=' or '<=')"


@pytest.fixture
def plane():
    """A 2-D Coords of twelve nodes, node i at (i, 0)."""
    c = q.Coords(2)
    return c, [c.add_node([float(i), 0.0]) for i in range(12)]


def heat_model(c, nodes):
    m = q.Mesh(c, "TRI3")
    m[0].add_cell([nodes[0], nodes[1], nodes[2]])
    return q.Model.heat_conduction(q.FiniteElementSpace(m))


def pts(nodes, *ids):
    return q.poi1_from_nodes([nodes[i] for i in ids])


def zone_values(field):
    """{(zone, node id): [values]} of every zone, in order."""
    out = {}
    for z, zone in enumerate(field):
        for row, cell in enumerate(zone.support_submesh()):
            out[(z, cell[0].id)] = zone.node_values(row)
    return out


def rhs_table(field):
    """Node id -> values, over every zone."""
    return {n: v for (z, n), v in zone_values(field).items()}


# --- Model.dirichlet ------------------------------------------------------------


@pytest.mark.parametrize("sense, shown", [(None, "="), ("=", "="), ("==", "="), (">=", ">="), ("≥", ">="),
                                          ("<=", "<="), ("≤", "<=")])
def test_dirichlet_defaults_texts_and_senses(plane, sense, shown, capsys):
    c, n = plane
    imposed = pts(n, 0, 1, 2)
    mult = q.barycenter(imposed)
    m = q.Model.dirichlet("T", "q", imposed, mult, sense=sense)
    assert len(m) == 1
    s = m[0]
    assert str(s) == "SubModel<Dirichlet(T)>: 3 constrained node(s)"
    assert s.primal_vars() == ["lambda_T"] and s.dual_vars() == ["imposed_T"]
    assert s.physics() == ["constraint"] and s.has_behavior() is False
    assert s.fespace() is None and s.material_components() is None
    assert [cell[0].id for cell in s.multiplier_mesh()[0]] == [12, 13, 14]
    s.dump()
    assert capsys.readouterr().out == (
        "SubModel<Dirichlet(T)>\n  primal var(s): lambda_T (multiplier)\n  dual var(s):   imposed_T (imposed value)\n"
        f"  targets primary dual: q\n  sense: {shown}\n  constrained: 3 node(s)\n  multipliers: 3 node(s)\n"
    )
    # construction seals nothing
    assert not imposed[0].is_sealed and not mult[0].is_sealed


def test_dirichlet_given_names_and_keywords(plane):
    c, n = plane
    m = q.Model.dirichlet(imposed_variable="u_x", target_dual="f_x", imposed_mesh=pts(n, 3),
                          multiplier_mesh=pts(n, 4), multiplier="mu", imposed_value="g", sense="<=")
    assert m.primal_vars() == ["mu"] and m.dual_vars() == ["g"]
    assert m.dual_of("mu") == "g"


def test_dirichlet_construction_errors_in_order(plane):
    c, n = plane
    three, four = pts(n, 0, 1, 2), pts(n, 0, 1, 2, 3)
    mult = pts(n, 5, 6, 7)
    empty = q.Mesh(c, "POI1")
    seg = q.Mesh(c, "SEG2")
    seg[0].add_cell([n[0], n[1]])
    other = q.Coords(2)
    elsewhere = q.poi1_from_nodes([other.add_node([0, 0]) for _ in range(3)])
    cases = [
        ((empty | q.Mesh(c, "POI1")), mult, "Dirichlet: imposed_mesh must constrain at least one node"),
        ((three | pts(n, 3)), mult, "Dirichlet: imposed_mesh has 2 submesh(es) but multiplier_mesh has 1"),
        (three, elsewhere, "Dirichlet: imposed_mesh and multiplier_mesh must share a Coords"),
        (seg, mult, "Dirichlet: imposed_mesh submesh 0 must be POI1, got SEG2"),
        (three, seg, "Dirichlet: multiplier_mesh submesh 0 must be POI1, got SEG2"),
        (four, mult, "Dirichlet: submesh 0 has 4 constrained node(s) but 3 multiplier(s)"),
    ]
    for imposed, multipliers, text in cases:
        with raises(RuntimeError, text):
            q.Model.dirichlet("T", "q", imposed, multipliers)


def test_dirichlet_sense_is_parsed_after_every_conversion(plane):
    c, n = plane
    imposed, mult = pts(n, 0), pts(n, 1)
    with raises(RuntimeError, SENSE_ERROR.format("=>")):
        q.Model.dirichlet("T", "q", imposed, mult, sense="=>")
    with raises(RuntimeError, SENSE_ERROR.format(" >=")):
        q.Model.dirichlet("T", "q", imposed, mult, sense=" >=")
    with raises(TypeError, "argument 'multiplier_mesh': 'SubMesh' object is not an instance of 'Mesh'"):
        q.Model.dirichlet("T", "q", imposed, mult[0], sense="=>")
    with pytest.raises(TypeError, match="^argument 'sense': "):
        q.Model.dirichlet("T", "q", imposed, mult, sense=1)
    # the sense is checked before the meshes are
    with raises(RuntimeError, SENSE_ERROR.format("")):
        q.Model.dirichlet("T", "q", q.Mesh(c, "POI1"), mult, sense="")


def test_multiplier_meshes_of_models(plane):
    c, n = plane
    heat = heat_model(c, n)
    d = q.Model.dirichlet("T", "q", pts(n, 0, 1), pts(n, 2, 3))
    mpc = q.Model.mpc([(pts(n, 4), "T", "q", 1.0)], pts(n, 5))
    assert len(heat.multiplier_mesh()) == 0 and len(heat[0].multiplier_mesh()) == 0
    both = heat | d | mpc
    mm = both.multiplier_mesh()
    assert [[cell[0].id for cell in s] for s in mm] == [[2, 3], [5]]
    other = q.Coords(2)
    far = q.Model.dirichlet("T", "q", pts([other.add_node([0, 0])], 0), pts([other.add_node([1, 0])], 0))
    with raises(RuntimeError, "mismatched Coords"):
        (d | far).multiplier_mesh()


# --- constraint_rhs -------------------------------------------------------------


def test_dirichlet_rhs_by_node_and_by_index(plane):
    c, n = plane
    d = q.Model.dirichlet("T", "q", pts(n, 5, 6) | pts(n, 7), pts(n, 0, 1) | pts(n, 2))
    zero = d.constraint_rhs([])
    assert len(zero) == 2 and [z.components() for z in zero] == [["imposed_T"], ["imposed_T"]]
    assert zone_values(zero) == {(0, 0): [0.0], (0, 1): [0.0], (1, 2): [0.0]}
    f = d.constraint_rhs([(n[5], 2.0), (n[7], -1)])  # an integer value is taken
    assert zone_values(f) == {(0, 0): [2.0], (0, 1): [0.0], (1, 2): [-1.0]}
    g = d.constraint_rhs_by_index([(1, 4.5), (2, 3), (1, 4.5)])  # a repeat with the same value is one entry
    assert zone_values(g) == {(0, 0): [0.0], (0, 1): [4.5], (1, 2): [3.0]}
    # the multiplier nodes themselves key nothing
    with raises(RuntimeError, "constraint_rhs: node 0 is not constrained by this Dirichlet"):
        d.constraint_rhs([(n[5], 1.0), (n[0], 1.0)])
    with raises(RuntimeError, "constraint_rhs: conflicting values (2 and 2.5) for the same relation "
                              "(multiplier node 0, slot imposed_T)"):
        d.constraint_rhs([(n[5], 2.0), (n[5], 2.5)])
    with raises(RuntimeError, "constraint_rhs_by_index: relation index 3 out of range (this constraint has 3 "
                              "relation(s))"):
        d.constraint_rhs_by_index([(0, 1.0), (3, 1.0)])
    with raises(RuntimeError, "constraint_rhs_by_index: conflicting values (1 and NaN) for the same relation "
                              "(multiplier node 1, slot imposed_T)"):
        d.constraint_rhs_by_index([(1, 1.0), (1, float("nan"))])
    with raises(OverflowError, "can't convert negative int to unsigned"):
        d.constraint_rhs_by_index([(-1, 1.0)])


def test_mpc_rhs_keyed_by_any_term_node(plane):
    c, n = plane
    # relation 0: u(1) - u(3) at multiplier 8; relation 1: u(2) - u(3) at multiplier 9
    m = q.Model.mpc([(pts(n, 1, 2), "u_x", "f_x", 1.0), (pts(n, 3, 3), "u_x", "f_x", -1.0)], pts(n, 8, 9))
    assert rhs_table(m.constraint_rhs([(n[1], 0.5), (n[2], 0.25)])) == {8: [0.5], 9: [0.25]}
    with raises(RuntimeError, "constraint_rhs: node 3 keys several relations of this Mpc — node keying is "
                              "ambiguous, use constraint_rhs_by_index"):
        m.constraint_rhs([(n[3], 1.0)])
    # two term nodes of one relation may both be cited, with one value
    one = q.Model.mpc([(pts(n, 1), "u_x", "f_x", 1.0), (pts(n, 4), "u_y", "f_y", 1.0)], pts(n, 10))
    assert rhs_table(one.constraint_rhs([(n[1], 1.0), (n[4], 1.0)])) == {10: [1.0]}
    with raises(RuntimeError, "constraint_rhs: conflicting values (1 and 2) for the same relation "
                              "(multiplier node 10, slot mpc_rhs)"):
        one.constraint_rhs([(n[1], 1.0), (n[4], 2.0)])


def test_rhs_needs_exactly_one_constraint(plane):
    c, n = plane
    heat = heat_model(c, n)
    d1 = q.Model.dirichlet("T", "q", pts(n, 0), pts(n, 2))
    d2 = q.Model.dirichlet("T", "q", pts(n, 1), pts(n, 3))
    assert rhs_table((heat | d1).constraint_rhs([(n[0], 7.0)])) == {2: [7.0]}
    several = ("constraint_rhs: model holds several constraint sub-models; call it on a single-constraint model "
               "(e.g. the `dirichlet` / `mpc` object)")
    for call in ("constraint_rhs", "constraint_rhs_by_index"):
        with raises(RuntimeError, several):
            getattr(d1 | d2, call)([])
        for model in (heat, q.Model()):
            with raises(RuntimeError, "constraint_rhs: model holds no constraint sub-model"):
                getattr(model, call)([])


@pytest.mark.parametrize("items, exc, text", [
    ([(0, 1.0)], TypeError, "argument 'imposed': 'int' object is not an instance of 'Node'"),
    ([[None, 1.0]], TypeError, None),
    ([(None,)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ("ab", TypeError, None),
])
def test_rhs_argument_errors(plane, items, exc, text):
    c, n = plane
    d = q.Model.dirichlet("T", "q", pts(n, 0), pts(n, 2))
    if text is None:
        with pytest.raises(exc, match="^argument 'imposed': "):
            d.constraint_rhs(items)
    else:
        with raises(exc, text):
            d.constraint_rhs(items)


def test_a_constraint_whose_mesh_grew_is_refused(plane):
    c, n = plane
    imposed, mult = pts(n, 0, 1), pts(n, 4, 5)
    d = q.Model.dirichlet("T", "q", imposed, mult)
    imposed[0].add_cell([n[2]])  # still unsealed: the constraint would skip node 2
    text = "Dirichlet: submesh 0 has 3 constrained node(s) but 2 multiplier(s)"
    with raises(RuntimeError, text):
        d.constraint_rhs([(n[0], 1.0)])
    with raises(RuntimeError, text):
        d.constraint_rhs_by_index([])
