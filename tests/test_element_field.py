"""Python classes ElementField and SubElementField: construction on spaces of several
subspaces, zone views and writes through them, indexing, the container protocol with
its unique-component rule, comparisons with numbers, and the three text forms."""

import inspect
import math
import re

import pytest

import _quenlith as q
from helpers import raises

NAN = float("nan")
SPACE_HANDLE = r"Handle<quenlith::containers::finite_element_space::SubFiniteElementSpace>\{ idx: (\d+), gen: (\d+) \}"


@pytest.fixture
def fes():
    """A space of two subspaces: two TRI3 cells (3 Gauss points each) and one QUA4
    cell (4 Gauss points)."""
    c = q.Coords(2)
    n = [c.add_node([float(i), float(i % 2)]) for i in range(5)]
    m = q.Mesh(c, "TRI3") | q.Mesh(c, "QUA4")
    m[0].add_cell([n[0], n[1], n[2]])
    m[0].add_cell([n[1], n[3], n[2]])
    m[1].add_cell([n[0], n[1], n[3], n[4]])
    return q.FiniteElementSpace(m)


@pytest.fixture
def zone(fes):
    """A zone of 2 cells × 3 Gauss points with the components E and nu."""
    return q.ElementField(fes, ["E", "nu"])[0]


def support_slot(zone):
    idx, gen = re.search(SPACE_HANDLE, repr(zone)).groups()
    return int(idx), int(gen)


def uniqueness_text(name, zone):
    idx, gen = support_slot(zone)
    return (
        f"ElementField: component {name} is carried by two zones on the same support (slot {idx}, generation {gen}). "
        "Component fields must be unique per support; call consolidate_element to fuse zones that legitimately "
        "share a support."
    )


def all_values(zone):
    return [zone.get(e, g, c) for e in range(zone.cell_count()) for g in range(zone.gauss_count())
            for c in range(zone.component_count())]


# --- construction ------------------------------------------------------------


def test_one_zone_of_zeros_per_subspace(fes):
    f = q.ElementField(fes, components=("E", "nu"))
    assert type(f) is q.ElementField and len(f) == len(fes) == 2 and bool(f)
    assert [(z.cell_count(), z.gauss_count(), z.component_count()) for z in f] == [(2, 3, 2), (1, 4, 2)]
    assert f.components() == ["E", "nu"] and f[1].components() == ["E", "nu"]
    assert all_values(f[1]) == [0.0] * 8
    assert str(inspect.signature(q.ElementField)) == "(fespace, components)"
    assert q.ElementField.__doc__.startswith("Per-element values (such as material properties)")


def test_with_components_per_subspace(fes):
    f = q.ElementField.with_components_per_subspace(fes, [["E", "nu"], ("rho",)])
    assert type(f) is q.ElementField
    assert [z.components() for z in f] == [["E", "nu"], ["rho"]]
    assert f.components() == ["E", "nu", "rho"]
    assert str(inspect.signature(q.ElementField.with_components_per_subspace)) == "(fespace, components_per_subspace)"


@pytest.mark.parametrize(
    "make, exc, text",
    [
        (lambda s: q.ElementField(s, "E"), TypeError, "argument 'components': Can't extract `str` to `Vec`"),
        (lambda s: q.ElementField(s[0], ["E"]), TypeError,
         "argument 'fespace': 'SubFiniteElementSpace' object is not an instance of 'FiniteElementSpace'"),
        (lambda s: q.ElementField(s, []), RuntimeError, "SubElementField requires at least one component"),
        (lambda s: q.ElementField(s, ["E", "nu", "E"]), RuntimeError, "duplicate component name: E"),
        (lambda s: q.ElementField(s[0:0], ["E"]), RuntimeError, "ElementField: FE space has no subspace"),
        (lambda s: q.ElementField(s), TypeError,
         "ElementField.__new__() missing 1 required positional argument: 'components'"),
        (lambda s: q.ElementField.with_components_per_subspace(s, [["E"]]), RuntimeError,
         "ElementField: 1 component list(s) supplied for 2 subspace(s)"),
        (lambda s: q.ElementField.with_components_per_subspace(s, [["E"], []]), RuntimeError,
         "SubElementField requires at least one component"),
        (lambda s: q.ElementField.with_components_per_subspace(s[0:0], []), RuntimeError,
         "ElementField: FE space has no subspace"),
    ],
)
def test_construction_errors(fes, make, exc, text):
    with raises(exc, text):
        make(fes)


# --- zone views --------------------------------------------------------------


def test_zone_counts_names_and_values(zone):
    assert (zone.cell_count(), zone.gauss_count(), zone.component_count()) == (2, 3, 2)
    assert zone.components() == ["E", "nu"]
    assert zone.component_index("nu") == 1 and zone.component_index("rho") is None
    zone.set_value(0, 0, "E", 2.5)
    assert zone.value(0, 0, "E") == 2.5 and zone.point_values(0, 0) == [2.5, 0.0] and zone[0, 0, "E"] == 2.5
    zone.set(1, 2, 1, 7)  # an int is taken as a float
    assert zone.get(1, 2, 1) == 7.0 and isinstance(zone.get(1, 2, 1), float)
    zone.set_uniform("E", 3.0)
    zone.set_cell_uniform(1, "nu", -1.0)
    assert [zone.point_values(e, g) for e in range(2) for g in range(3)] == [[3.0, 0.0]] * 3 + [[3.0, -1.0]] * 3


def test_zone_is_a_view_shared_by_every_holder(fes):
    f = q.ElementField(fes, ["E"])
    z = f[0]
    z[1, 2, "E"] = 4.0
    assert f[0].value(1, 2, "E") == 4.0
    g = f[0:1] | f[1]
    assert g[0].value(1, 2, "E") == 4.0
    del f
    assert z.value(1, 2, "E") == 4.0  # the view keeps its zone alive


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda z: z.get(2, 0, 0), RuntimeError, "SubElementField: cell index 2 ≥ cell_count 2"),
        (lambda z: z.get(5, 9, 9), RuntimeError, "SubElementField: cell index 5 ≥ cell_count 2"),
        (lambda z: z.set(1, 3, 5, 1.0), RuntimeError, "SubElementField: gauss index 3 ≥ gauss_count 3"),
        (lambda z: z.get(0, 0, 2), RuntimeError, "SubElementField: component index 2 ≥ component_count 2"),
        (lambda z: z.value(9, 0, "rho"), RuntimeError, "unknown component: rho"),
        (lambda z: z.set_value(9, 0, "E", 1.0), RuntimeError, "SubElementField: cell index 9 ≥ cell_count 2"),
        (lambda z: z.point_values(0, 3), RuntimeError, "SubElementField: gauss index 3 ≥ gauss_count 3"),
        (lambda z: z.set_uniform("rho", 1.0), RuntimeError, "unknown component: rho"),
        (lambda z: z.set_cell_uniform(2, "rho", 1.0), RuntimeError, "SubElementField: cell index 2 ≥ cell_count 2"),
        (lambda z: z.set_cell_uniform(1, "rho", 1.0), RuntimeError, "unknown component: rho"),
        (lambda z: z.get(-1, 0, 0), OverflowError, None),
        (lambda z: z.value(0, 0, 1), TypeError, "argument 'component': 'int' object is not an instance of 'str'"),
        (lambda z: z.set(0, 0, 0, "x"), TypeError, None),
        (lambda z: z.set(0, 0, 0), TypeError, "SubElementField.set() missing 1 required positional argument: 'value'"),
    ],
)
def test_zone_accessor_errors_write_nothing(zone, call, exc, text):
    with pytest.raises(exc) as info:
        call(zone)
    if text is not None:
        assert str(info.value) == text
    assert all_values(zone) == [0.0] * 12


def test_zone_item_keys(zone):
    zone.set_value(0, 1, "nu", 0.25)
    assert zone[0, 1, "nu"] == 0.25
    with raises(ValueError, "unknown component: rho"):
        zone[0, 0, "rho"]
    with raises(RuntimeError, "unknown component: rho"):
        zone.value(0, 0, "rho")
    with raises(ValueError, "SubElementField: gauss index 3 ≥ gauss_count 3"):
        zone[0, 3, "E"]
    picked = zone["nu"]
    assert picked.components() == ["nu"] and picked.point_values(0, 1) == [0.25]
    assert re.search(SPACE_HANDLE, repr(picked)).group(0) == re.search(SPACE_HANDLE, repr(zone)).group(0)
    assert zone["nu", "E"].components() == ["E", "nu"] and zone[["E"]].components() == ["E"]
    picked.set_uniform("nu", 9.0)  # a copy, not a view
    assert zone[0, 1, "nu"] == 0.25
    with raises(RuntimeError, 'select_components: this sub-field carries none of ["rho"]'):
        zone[["rho"]]
    for key in (1.5, 0, (-1, 0, "E"), (0, 0, 1)):
        with raises(TypeError, "components: expected a str or a list of str"):
            zone[key]
    with raises(TypeError, "components: expected a str or a list of str"):
        list(zone)


def test_zone_item_assignment(zone):
    zone[1, 2, "E"] = 1
    assert zone.get(1, 2, 0) == 1.0
    with raises(ValueError, "expected tuple of length 3, but got tuple of length 2"):
        zone[0, 0] = 1.0
    with raises(NotImplementedError, "can't delete item"):
        del zone[0, 0, "E"]
    with pytest.raises(TypeError, match="^argument 'key': "):
        zone["E"] = 1.0
    with pytest.raises(TypeError, match="^argument 'key': "):
        zone[0, 0, 1] = 1.0
    with pytest.raises(OverflowError):
        zone[-1, 0, "E"] = 1.0
    with pytest.raises(TypeError, match="^argument 'value': "):
        zone[0, 0, "E"] = "one"
    with raises(RuntimeError, "unknown component: rho"):
        zone[0, 0, "rho"] = 1.0
    with raises(RuntimeError, "SubElementField: cell index 2 ≥ cell_count 2"):
        zone[2, 0, "E"] = 1.0
    assert sum(all_values(zone)) == 1.0


def test_zone_has_no_constructor_no_hash_and_signatures(zone):
    with pytest.raises(TypeError):
        q.SubElementField()
    with pytest.raises(TypeError):
        hash(zone)
    with pytest.raises(TypeError):
        type("Derived", (q.SubElementField,), {})
    assert q.SubElementField.get.__text_signature__ == "($self, cell, gauss, comp)"
    assert str(inspect.signature(zone.set_cell_uniform)) == "(cell, component, value)"
    assert q.SubElementField.__doc__.startswith("A view into one zone of an `ElementField`")


# --- container protocol ------------------------------------------------------


@pytest.mark.parametrize(
    "key, exc, text",
    [
        (2, IndexError, "ElementField index 2 out of range (len=2)"),
        (-3, IndexError, "ElementField index -3 out of range (len=2)"),
        (1.0, TypeError, "ElementField indices must be integers or slices"),
        ([0, 1], TypeError, "ElementField indices must be integers or slices"),
        (2**64, TypeError, "ElementField indices must be integers or slices"),
        ("rho", RuntimeError, 'filter_components: no zone carries any of ["rho"]'),
    ],
)
def test_index_errors(fes, key, exc, text):
    with raises(exc, text):
        q.ElementField(fes, ["E", "nu"])[key]


def test_indexing_slicing_iteration_and_unit(fes):
    f = q.ElementField(fes, ["E"])
    assert f[-1].cell_count() == 1 and f[0].cell_count() == 2
    assert [z.cell_count() for z in f[::-1]] == [1, 2]
    assert len(f[5:9]) == 0 and not f[5:9] and type(f[5:9]) is q.ElementField
    with raises(ValueError, "slice step cannot be zero"):
        f[::0]
    assert [z.gauss_count() for z in list(f)] == [3, 4]
    with raises(RuntimeError, "expected a unitary ElementField (exactly one subfield(s)), found 2"):
        f.unit()
    with raises(RuntimeError, "expected a unitary ElementField (exactly one subfield(s)), found 0"):
        f[0:0].unit()
    u = f[1:].unit()
    u.set_uniform("E", 2.0)
    assert f[1].value(0, 3, "E") == 2.0  # unit() and slices share the zones


def test_indexing_by_names_filters_components(fes):
    f = q.ElementField.with_components_per_subspace(fes, [["E", "nu"], ["E"]])
    only = f["E"]
    assert [z.components() for z in only] == [["E"], ["E"]]
    only[1].set_uniform("E", 5.0)  # a zone carrying only E is the same zone
    assert f[1].value(0, 0, "E") == 5.0
    only[0].set_uniform("E", 6.0)  # the others are new zones
    assert f[0].value(0, 0, "E") == 0.0
    assert [z.components() for z in f["nu", "E"]] == [["E", "nu"], ["E"]]
    assert len(f[["nu"]]) == 1


def test_unions_and_the_unique_component_rule(fes):
    f = q.ElementField(fes, ["E", "nu"])
    same_space_rho = q.ElementField(fes, ["rho"])
    same_space_e = q.ElementField(fes, ["E"])
    both = f | same_space_rho
    assert len(both) == 4 and both.components() == ["E", "nu", "rho"]
    with raises(RuntimeError, uniqueness_text("E", f[0])):
        f | same_space_e
    with raises(RuntimeError, uniqueness_text("E", f[0])):
        f | same_space_e[0]
    with raises(RuntimeError, uniqueness_text("E", f[0])):
        f[0] | same_space_e[0]
    assert len(f | f) == 2 and len(f[0] | f[0]) == 1 and len(f | f[1]) == 2
    assert [z.cell_count() for z in f[1] | f[0]] == [1, 2]
    for bad in (lambda: f | 3, lambda: f[0] | f, lambda: f[0] | 1.0, lambda: 1 | f):
        with pytest.raises(TypeError):
            bad()


def test_add_sub_repeats_a_zone_which_slices_then_refuse(fes):
    f = q.ElementField(fes, ["E"])
    f.add_sub(f[0])
    assert len(f) == 3
    assert len(f | f) == 2  # every zone once
    with raises(RuntimeError, uniqueness_text("E", f[0])):
        f[:]
    assert len(f[1:]) == 2  # one copy of the repeated zone
    other = q.ElementField(fes, ["E"])
    f.add_sub(sub=other[0])  # pushing checks nothing
    assert len(f) == 4
    with raises(TypeError, "argument 'sub': 'ElementField' object is not an instance of 'SubElementField'"):
        f.add_sub(other)


# --- comparisons -------------------------------------------------------------

PROBE = [-1.0, -0.0, 0.0, 2.0, NAN, math.inf]


@pytest.mark.parametrize(
    "compare, expected",
    [
        (lambda z: z < 0.0, [1, 0, 0, 0, 0, 0]),
        (lambda z: z <= 0.0, [1, 1, 1, 0, 0, 0]),
        (lambda z: z > 0.0, [0, 0, 0, 1, 0, 1]),
        (lambda z: z >= -0.0, [0, 1, 1, 1, 0, 1]),
        (lambda z: 0.0 > z, [1, 0, 0, 0, 0, 0]),  # the interpreter turns it into z < 0.0
        (lambda z: z >= 0, [0, 1, 1, 1, 0, 1]),  # an int is taken as a float
        (lambda z: z < True, [1, 1, 1, 0, 0, 0]),
        (lambda z: z >= NAN, [0, 0, 0, 0, 0, 0]),
        (lambda z: z < math.inf, [1, 1, 1, 1, 0, 0]),
    ],
)
def test_comparisons_give_zero_one_masks(fes, compare, expected):
    f = q.ElementField(fes, ["a", "b", "c"])
    z = f[0]
    for k, v in enumerate(PROBE):
        z.set(k // 3, k % 3, 0, v)
        z.set(k // 3, k % 3, 1, v)
        z.set(k // 3, k % 3, 2, v)
    m = compare(z)
    assert type(m) is q.SubElementField and m.components() == ["a", "b", "c"]
    assert (m.cell_count(), m.gauss_count()) == (2, 3)
    assert all_values(m) == [float(e) for e in expected for _ in range(3)]
    whole = compare(f)
    assert type(whole) is q.ElementField and len(whole) == 2
    assert all_values(whole[0]) == all_values(m)
    assert all_values(whole[1]) == [float(expected[2])] * 12  # a zone of zeros
    assert math.isnan(z.get(1, 1, 0))  # the operand is unchanged


def test_comparisons_that_are_not_masks(fes):
    f = q.ElementField(fes, ["E"])
    z = f[0]
    assert z == z and not (z == 1.0) and z != f[0] and f == f and not (f == 1.0)
    for bad in (lambda: z < "a", lambda: f < None, lambda: f < f, lambda: z >= z, lambda: 1 < [z]):
        with pytest.raises(TypeError):
            bad()
    with pytest.raises(TypeError):
        hash(f)


def test_a_float_that_fails_on_conversion_is_not_swallowed(fes):
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("no value")

    with pytest.raises(ZeroDivisionError):
        q.ElementField(fes, ["E"]) < Bad()


# --- text forms --------------------------------------------------------------


def test_text_forms_of_a_zone(zone, capsys):
    zone.set(0, 1, 0, 1.5)
    zone.set(1, 2, 1, -2.0)
    assert str(zone) == "SubElementField: 2 cell(s) × 3 gauss × 2 component(s) [E, nu]"
    assert re.fullmatch(
        r"SubElementField \{ support: " + SPACE_HANDLE + r', cell_count: 2, gauss_count: 3, components: \["E", "nu"\] \}',
        repr(zone),
    )
    assert zone.dump() is None
    assert capsys.readouterr().out == (
        "SubElementField: 2 cell(s) × 3 gauss × 2 component(s) [E, nu]\n"
        "cell  gauss      E      nu\n"
        "   0      0  0.000   0.000\n"
        "   0      1  1.500   0.000\n"
        "   0      2  0.000   0.000\n"
        "   1      0  0.000   0.000\n"
        "   1      1  0.000   0.000\n"
        "   1      2  0.000  -2.000\n\n"
    )
    zone.dump(precision=1, max_rows=1, max_cols=2)
    assert capsys.readouterr().out == (
        "SubElementField: 2 cell(s) × 3 gauss × 2 component(s) [E, nu]\n"
        "cell  gauss    E  …\n"
        "   0      0  0.0  …\n"
        "   ⋮      ⋮    ⋮  ⋮\n"
        "… (5 ligne(s) de plus)\n"
        "… (1 colonne(s) de plus)\n\n"
    )
    with pytest.raises(OverflowError):
        zone.dump(precision=-1)
    assert capsys.readouterr().out == ""


def test_text_forms_of_a_field(fes, capsys):
    f = q.ElementField(fes, ["T"])
    empty = f[0:0]
    assert str(empty) == "ElementField: 0 subfield(s)"
    assert repr(empty) == "ElementField { count: 0, items: [] }"
    empty.dump()
    assert capsys.readouterr().out == "ElementField: 0 subfield(s)\n\n"
    assert str(f) == "ElementField: 2 subfield(s)"
    assert repr(f) == "ElementField { count: 2, items: [" + repr(f[0]) + ", " + repr(f[1]) + "] }"
    f.dump(max_rows=1)
    assert capsys.readouterr().out == (
        "ElementField: 2 subfield(s)\n"
        "── [0] ──\n"
        "  SubElementField: 2 cell(s) × 3 gauss × 1 component(s) [T]\n"
        "  cell  gauss      T\n"
        "     0      0  0.000\n"
        "     ⋮      ⋮      ⋮\n"
        "  … (5 ligne(s) de plus)\n"
        "── [1] ──\n"
        "  SubElementField: 1 cell(s) × 4 gauss × 1 component(s) [T]\n"
        "  cell  gauss      T\n"
        "     0      0  0.000\n"
        "     ⋮      ⋮      ⋮\n"
        "  … (3 ligne(s) de plus)\n\n"
    )
    with pytest.raises(OverflowError):
        f.dump(precision=-1)
    for obj in (f, f[0]):
        with raises(RuntimeError, "dump: precision must be at most 65535, got 70000"):
            obj.dump(precision=70000)
    assert capsys.readouterr().out == ""
