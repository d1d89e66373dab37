"""Material fields: uniform zones from (name, value) pairs, one per sub-model that reads material."""
import math

import pytest

import _quenlith as q
from helpers import raises


@pytest.fixture
def problem():
    """Two QUA4 cells, a one-node multiplier mesh on the same nodes, and their spaces."""
    c = q.Coords(2)
    n = [c.add_node([x, y]) for y in (0.0, 1.0) for x in (0.0, 1.0, 2.0)]
    mesh = q.Mesh(c, "QUA4")
    mesh[0].add_cell([n[0], n[1], n[4], n[3]])
    mesh[0].add_cell([n[1], n[2], n[5], n[4]])
    fixed = q.Mesh(c, "POI1")
    fixed[0].add_cell([n[0]])
    mult = q.Mesh(c, "POI1")
    mult[0].add_cell([c.add_node([9.0, 9.0])])
    fes = q.FiniteElementSpace(mesh)
    return {
        "fes": fes,
        "elasticity": q.Model.elasticity(fes, "plane_stress"),
        "plasticity": q.Model.plasticity(fes, "plane_strain"),
        "mpc": q.Model.mpc([(fixed, "u_x", "f_x", 1.0)], mult),
    }


def zone_values(zone):
    """{component: the one value every point holds}, checking it is uniform."""
    out = {}
    for name in zone.components():
        values = {zone.value(c, g, name) for c in range(zone.cell_count()) for g in range(zone.gauss_count())}
        assert len(values) == 1, name
        out[name] = values.pop()
    return out


@pytest.mark.parametrize(
    "pairs, expected",
    [
        # declared order, not the list's; optional names only when supplied
        ([("rho", 7.8), ("nu", 0.3), ("E", 2.0)], {"E": 2.0, "nu": 0.3, "rho": 7.8}),
        ([("E", 2.0), ("nu", 0.3)], {"E": 2.0, "nu": 0.3}),
        ([("alpha", 1e-5), ("E", 2.0), ("nu", 0.3), ("rho", 1.0)], {"E": 2.0, "nu": 0.3, "alpha": 1e-5, "rho": 1.0}),
        # the first value of a name wins; unknown names are ignored; ints are floats
        ([("E", 2.0), ("nu", 0.3), ("E", 5.0), ("zeta", 1.0), ("nu", 0.1)], {"E": 2.0, "nu": 0.3}),
        (((("E", 3), ("nu", 0))), {"E": 3.0, "nu": 0.0}),
        # values are stored as they are
        ([("E", -1.0), ("nu", math.inf)], {"E": -1.0, "nu": math.inf}),
    ],
)
def test_zone_components_follow_the_kind(problem, pairs, expected):
    field = q.material_field(problem["elasticity"], pairs)
    assert isinstance(field, q.ElementField) and len(field) == 1
    zone = field[0]
    assert zone.components() == list(expected)
    assert zone_values(zone) == expected
    assert zone.cell_count() == 2 and zone.gauss_count() == 4
    single = q.sub_material_field(problem["elasticity"][0], pairs)
    assert isinstance(single, q.SubElementField)
    assert single.components() == list(expected) and zone_values(single) == expected


def test_nan_is_stored_unchanged(problem):
    nan_zone = q.sub_material_field(problem["elasticity"][0], [("E", math.nan), ("nu", 0.2)])
    assert math.isnan(nan_zone.value(0, 0, "E"))


@pytest.mark.parametrize(
    "kind, pairs, missing, expects",
    [
        ("elasticity", [("E", 2.0)], "nu", '["E", "nu"]'),
        ("plasticity", [], "E", '["E", "nu", "sigma_y"]'),
        ("elasticity", [("e", 2.0), ("nu", 0.3)], "E", '["E", "nu"]'),
        ("plasticity", [("E", 2.0), ("nu", 0.3), ("rho", 1.0)], "sigma_y", '["E", "nu", "sigma_y"]'),
    ],
)
def test_missing_required_component(problem, kind, pairs, missing, expects):
    text = f"material_field: missing required component '{missing}' (this physics expects: {expects})"
    with raises(RuntimeError, text):
        q.material_field(problem[kind], pairs)
    with raises(RuntimeError, text):
        q.sub_material_field(problem[kind][0], pairs)
    with raises(RuntimeError, text):
        q.material_field_per_sub_model(problem[kind], [pairs or [("x", 1.0)]])


def test_constraint_sub_models_take_no_material(problem):
    mpc, elas = problem["mpc"], problem["elasticity"]
    assert len(q.material_field(mpc, [("E", 1.0)])) == 0
    assert len(q.material_field(q.Model(), [])) == 0
    both = mpc | elas
    field = q.material_field(both, [("E", 1.0), ("nu", 0.2)])
    assert len(field) == 1 and field[0].components() == ["E", "nu"]
    per = q.material_field_per_sub_model(both, [[], [("nu", 0.1), ("E", 4.0)]])
    assert len(per) == 1 and zone_values(per[0]) == {"E": 4.0, "nu": 0.1}
    # Even an empty list is refused for a constraint, and so is a non-empty one per sub-model.
    no_material = "material_field: this sub-model does not need material data"
    with raises(RuntimeError, no_material):
        q.sub_material_field(mpc[0], [])
    with raises(RuntimeError, no_material):
        q.material_field_per_sub_model(both, [[("E", 1.0)], [("E", 1.0), ("nu", 0.2)]])
    # An empty inner list skips a behaviour sub-model as well.
    assert len(q.material_field_per_sub_model(both, [[], []])) == 0


def test_sub_models_in_model_order_and_repeats(problem):
    elas, plas = problem["elasticity"], problem["plasticity"]
    model = elas | problem["mpc"] | plas
    pairs = [("E", 2.0), ("nu", 0.3), ("sigma_y", 5.0), ("rho", 1.0)]
    field = q.material_field(model, pairs)
    assert [z.components() for z in field] == [["E", "nu", "rho"], ["E", "nu", "sigma_y", "rho"]]
    # The same sub-model twice gets two equal zones.
    m2 = q.Model()
    m2.add_sub(elas[0])
    m2.add_sub(elas[0])
    assert len(m2) == 2
    zones = q.material_field(m2, pairs)
    assert len(zones) == 2 and zone_values(zones[0]) == zone_values(zones[1])


@pytest.mark.parametrize("n_lists", [1, 3])
def test_list_count_must_match(problem, n_lists):
    model = problem["mpc"] | problem["elasticity"]
    with raises(RuntimeError, f"material_field_per_sub_model: {n_lists} list(s) supplied for 2 sub-model(s)"):
        q.material_field_per_sub_model(model, [[]] * n_lists)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda p: q.material_field(p["fes"], [("E", 1.0)]), TypeError),
        (lambda p: q.material_field(p["elasticity"], "E"), TypeError),
        (lambda p: q.material_field(p["elasticity"], 1.0), TypeError),
        (lambda p: q.material_field(p["elasticity"], [["E", 1.0]]), TypeError),
        (lambda p: q.material_field(p["elasticity"], [(1, 1.0)]), TypeError),
        (lambda p: q.material_field(p["elasticity"], [("E", "1.0")]), TypeError),
        (lambda p: q.material_field(p["elasticity"], [("E", 1.0, 2.0)]), ValueError),
        (lambda p: q.material_field(p["elasticity"], [("E",)]), ValueError),
        (lambda p: q.sub_material_field(p["elasticity"], [("E", 1.0)]), TypeError),
        (lambda p: q.material_field_per_sub_model(p["elasticity"], [("E", 1.0)]), TypeError),
        (lambda p: q.material_field_per_sub_model(p["elasticity"], "E"), TypeError),
    ],
)
def test_argument_conversion(problem, call, exc):
    with pytest.raises(exc):
        call(problem)


def test_type_errors_name_the_argument(problem):
    with pytest.raises(TypeError, match="components_and_values"):
        q.material_field(problem["elasticity"], [["E", 1.0]])
    with pytest.raises(TypeError, match="model"):
        q.material_field(None, [])
    with pytest.raises(TypeError, match="components_and_values_per_sub_model"):
        q.material_field_per_sub_model(problem["elasticity"], [[("E", None)]])
