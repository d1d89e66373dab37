"""Python classes NodeField and SubNodeField: construction on meshes and submeshes,
zone views and writes through them, lookups by row and by node, the container
protocol with consolidation, supports, the three text forms, and threads."""

import inspect
import re
import threading

import pytest

import _quenlith as q
from helpers import raises

NAN = float("nan")
SUBMESH_HANDLE = r"Handle<quenlith::containers::mesh::SubMesh>\{ idx: \d+, gen: \d+ \}"


@pytest.fixture
def two():
    """Nodes 0..4 of a 2-D Coords; a mesh of a TRI3 submesh (0, 1, 2), (1, 3, 2) and
    a POI1 submesh (4, 2) sharing node 2."""
    c = q.Coords(2)
    n = [c.add_node([float(i), float(i % 2)]) for i in range(5)]
    m = q.Mesh(c, "TRI3") | q.Mesh(c, "POI1")
    m[0].add_cell([n[0], n[1], n[2]])
    m[0].add_cell([n[1], n[3], n[2]])
    m[1].add_cell([n[4]])
    m[1].add_cell([n[2]])
    return c, n, m


def filled(field, component, start=0.0):
    """Sets `component` to start + the node id wherever a zone carries it (so zones
    agree on their shared nodes); returns the field."""
    for zone in field:
        k = zone.component_index(component)
        for row, cell in enumerate(zone.support_submesh()):
            zone.set(row, k, start + cell[0].id)
    return field


# --- construction ------------------------------------------------------------


def test_one_zone_per_submesh_on_its_node_support(two):
    c, n, m = two
    f = q.NodeField(m, ["ux", "uy"])
    assert len(f) == 2 and bool(f)
    assert [z.node_count() for z in f] == [4, 2]
    assert f[0].components() == ["ux", "uy"] and f[1].component_count() == 2
    assert f.components() == ["ux", "uy"]
    assert f.node_count() == 5
    assert m[0].is_sealed and m[1].is_sealed
    # The TRI3 zone lives on the submesh's node cloud, the POI1 zone on the submesh itself.
    supports = f.support_mesh()
    assert supports[0].element_type == "POI1" and len(supports[0]) == 4
    assert repr(supports[1]) == repr(m[1])
    assert [f[0].get(r, 0) for r in range(4)] == [0.0] * 4
    # A second field on the same mesh sits on the same supports: the union fuses them.
    g = q.NodeField(m, ["T"])
    assert repr(g.support_mesh()) == repr(supports)
    both = f | g
    assert len(both) == 2 and both.components() == ["ux", "uy", "T"]


def test_a_submesh_gives_one_zone_and_every_value_starts_at_zero(two):
    c, n, m = two
    f = q.NodeField(m[0], components=("T",))
    assert len(f) == 1 and f.unit().node_count() == 4
    assert f.values(m[0], "T") == [0.0] * 6
    assert f.unit().node_values(3) == [0.0]


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((5, "T"), TypeError, "argument 'components': Can't extract `str` to `Vec`"),
        ((5, ["T"]), TypeError, "expected a Mesh or a SubMesh"),
        ((None, [1]), TypeError, "argument 'components': 'int' object is not an instance of 'str'"),
        (("mesh", []), TypeError, "expected a Mesh or a SubMesh"),
    ],
)
def test_constructor_argument_errors(args, exc, text):
    with raises(exc, text):
        q.NodeField(*args)


@pytest.mark.parametrize(
    "names, text",
    [
        ([], "SubNodeField requires at least one component"),
        (["ux", "uy", "ux"], "duplicate component name: ux"),
        (["a", "b", "b", "a"], "duplicate component name: a"),
    ],
)
def test_constructor_name_errors_leave_the_mesh_unsealed(two, names, text):
    c, n, m = two
    with raises(RuntimeError, text):
        q.NodeField(m, names)
    with raises(RuntimeError, text):
        q.NodeField(m[0], names)
    assert not m[0].is_sealed and not m[1].is_sealed


def test_constructor_on_an_empty_mesh_and_arity(two):
    c, n, m = two
    with raises(RuntimeError, "NodeField: mesh has no submesh"):
        q.NodeField(q.Mesh(c), ["T"])
    with raises(TypeError, "NodeField.__new__() missing 1 required positional argument: 'components'"):
        q.NodeField(m)
    assert str(inspect.signature(q.NodeField)) == "(support, components)"
    assert q.NodeField.__doc__.startswith("Values carried by mesh nodes")


def test_with_components_per_submesh(two):
    c, n, m = two
    f = q.NodeField.with_components_per_submesh(m, [["ux", "uy"], ("T",)])
    assert type(f) is q.NodeField
    assert [z.components() for z in f] == [["ux", "uy"], ["T"]]
    assert f.components() == ["ux", "uy", "T"]
    with raises(RuntimeError, "NodeField: 1 component list(s) supplied for 2 submesh(es)"):
        q.NodeField.with_components_per_submesh(m, [["T"]])
    with raises(RuntimeError, "SubNodeField requires at least one component"):
        q.NodeField.with_components_per_submesh(m, [["T"], []])
    with raises(TypeError, "argument 'mesh': 'SubMesh' object is not an instance of 'Mesh'"):
        q.NodeField.with_components_per_submesh(m[0], [["T"]])
    assert str(inspect.signature(q.NodeField.with_components_per_submesh)) == "(mesh, components_per_submesh)"


# --- zone views --------------------------------------------------------------


def test_zone_is_a_view_shared_by_every_holder(two):
    c, n, m = two
    f = q.NodeField(m, ["ux", "uy"])
    z = f[1]
    z.set(0, 1, 2.5)
    assert f[1].get(0, 1) == 2.5 and f.value(n[4], "uy") == 2.5
    z[n[2], "ux"] = 7  # an int is taken as a float
    assert f[1][n[2], "ux"] == 7.0 and isinstance(f[1][n[2], "ux"], float)
    z.set_by_node(n[4], 0, -1.0)
    z.set_value(n[2], "uy", 0.25)
    assert z.node_values(0) == [-1.0, 2.5] and z.node_values(1) == [7.0, 0.25]
    assert z.get_by_node(n[2], 1) == 0.25 and z.value(n[4], "ux") == -1.0
    del f  # the view keeps its zone alive
    assert z.node_values(1) == [7.0, 0.25]


def test_zone_accessor_errors_and_nothing_is_written(two):
    c, n, m = two
    z = q.NodeField(m[1], ["ux", "uy"]).unit()
    cases = [
        (lambda: z.get(2, 0), RuntimeError, "node index 2 ≥ node_count 2"),
        (lambda: z.get(2, 5), RuntimeError, "node index 2 ≥ node_count 2"),
        (lambda: z.set(1, 2, 1.0), RuntimeError, "component index 2 ≥ component_count 2"),
        (lambda: z.get_by_node(n[0], 9), RuntimeError, "node 0 not in field support"),
        (lambda: z.set_by_node(n[4], 2, 1.0), RuntimeError, "component index 2 ≥ component_count 2"),
        (lambda: z.value(n[0], "T"), RuntimeError, "node 0 not in field support"),
        (lambda: z.set_value(n[4], "T", 1.0), RuntimeError, "unknown component: T"),
        (lambda: z.node_values(2), RuntimeError, "node index 2 ≥ node_count 2"),
        (lambda: z.node_values(-1), OverflowError, None),
        (lambda: z.get(0, -1), OverflowError, None),
        (lambda: z.value(3, "ux"), TypeError, "argument 'node': 'int' object is not an instance of 'Node'"),
        (lambda: z.set(0, 0, "x"), TypeError, None),
        (lambda: z.set(0, 0), TypeError, "SubNodeField.set() missing 1 required positional argument: 'value'"),
        (lambda: z.value(n[4], 3), TypeError, "argument 'component': 'int' object is not an instance of 'str'"),
    ]
    for call, exc, text in cases:
        with pytest.raises(exc) as info:
            call()
        if text is not None:
            assert str(info.value) == text
    assert [z.node_values(r) for r in range(2)] == [[0.0, 0.0], [0.0, 0.0]]
    assert z.component_index("uy") == 1 and z.component_index("T") is None
    assert z.get(z.node_count() - 1, 1) == 0.0


def test_a_node_of_another_coords_is_looked_up_by_its_id(two):
    c, n, m = two
    f = filled(q.NodeField(m, ["T"]), "T")
    other = q.Coords(2)
    stranger = [other.add_node([9.0, 9.0]) for _ in range(5)][4]
    assert f.value(stranger, "T") == f.value(n[4], "T") == 4.0
    assert f[1].value(stranger, "T") == 4.0


def test_zone_item_keys(two):
    c, n, m = two
    z = q.NodeField(m[1], ["ux", "uy"]).unit()
    z[n[4], "uy"] = 3
    assert z[n[4], "uy"] == 3.0
    with raises(TypeError, "components: expected a str or a list of str"):
        z[n[4], 0]
    with raises(TypeError, "components: expected a str or a list of str"):
        z[0]
    with raises(TypeError, "components: expected a str or a list of str"):
        list(z)
    with raises(NotImplementedError, "can't delete item"):
        del z[n[4], "ux"]
    with raises(ValueError, "expected tuple of length 2, but got tuple of length 3"):
        z[n[4], "ux", 1] = 1.0
    with pytest.raises(TypeError, match="^argument 'key': "):
        z["ux"] = 1.0
    with pytest.raises(TypeError, match="^argument 'key': "):
        z[4, "ux"] = 1.0
    with pytest.raises(TypeError, match="^argument 'value': "):
        z[n[4], "ux"] = "one"
    with raises(RuntimeError, "unknown component: T"):
        z[n[4], "T"] = 1.0
    with raises(RuntimeError, "node 0 not in field support"):
        z[n[0], "ux"]


def test_zone_selects_components_into_a_new_zone(two):
    c, n, m = two
    z = q.NodeField(m[1], ["ux", "uy", "uz"]).unit()
    for row in range(2):
        for k in range(3):
            z.set(row, k, 10 * row + k)
    picked = z[["uz", "ux", "T"]]
    assert picked.components() == ["ux", "uz"]
    assert [picked.node_values(r) for r in range(2)] == [[0.0, 2.0], [10.0, 12.0]]
    assert z["uy"].components() == ["uy"] and z["uy", "ux"].components() == ["ux", "uy"]
    picked.set(0, 0, 99.0)
    assert z.get(0, 0) == 0.0  # a copy, not a view
    with raises(RuntimeError, 'select_components: this sub-field carries none of ["T", "p"]'):
        z[["T", "p"]]


def test_zone_has_no_constructor_and_no_hash(two):
    c, n, m = two
    z = q.NodeField(m, ["T"])[0]
    with pytest.raises(TypeError):
        q.SubNodeField()
    with pytest.raises(TypeError):
        hash(z)
    with pytest.raises(TypeError):
        hash(q.NodeField(m, ["T"]))
    assert z == z and not (z == q.NodeField(m, ["T"])[0])
    assert q.SubNodeField.get.__text_signature__ == "($self, node_idx, comp_idx)"
    assert str(inspect.signature(z.set)) == "(node_idx, comp_idx, value)"


# --- container protocol ------------------------------------------------------


@pytest.mark.parametrize(
    "key, exc, text",
    [
        (2, IndexError, "NodeField index 2 out of range (len=2)"),
        (-3, IndexError, "NodeField index -3 out of range (len=2)"),
        (1.0, TypeError, "NodeField indices must be integers or slices"),
        (2**64, TypeError, "NodeField indices must be integers or slices"),
        ([0], TypeError, "NodeField indices must be integers or slices"),
    ],
)
def test_index_errors(two, key, exc, text):
    c, n, m = two
    with raises(exc, text):
        q.NodeField(m, ["T"])[key]


def test_indexing_slicing_and_iteration(two):
    c, n, m = two
    f = filled(q.NodeField(m, ["T"]), "T")
    assert f[-1].node_values(0) == f[1].node_values(0) == [4.0]
    assert [z.node_count() for z in f] == [4, 2]
    assert len(f[2:2]) == 0 and type(f[2:2]) is q.NodeField
    back = f[::-1]
    assert [z.node_count() for z in back] == [2, 4]
    back[0].set(0, 0, -5.0)  # zones alone on their support are the same zones
    assert f[1].get(0, 0) == -5.0
    with raises(ValueError, "slice step cannot be zero"):
        f[::0]
    assert not q.NodeField(m, ["T"])[0:0]


def test_indexing_by_names_filters_components(two):
    c, n, m = two
    f = q.NodeField.with_components_per_submesh(m, [["ux", "uy", "T"], ["ux"]])
    filled(f, "ux")
    only = f["ux"]
    assert [z.components() for z in only] == [["ux"], ["ux"]]
    assert only.values(m, "ux") == f.values(m, "ux")
    only[1].set(0, 0, 9.0)  # a zone carrying only "ux" is the same zone
    assert f[1].get(0, 0) == 9.0
    only[0].set(0, 0, 8.0)  # the others are new zones
    assert f[0].get(0, 0) == 0.0
    assert [z.components() for z in f[["T", "ux"]]] == [["ux", "T"], ["ux"]]
    assert [z.components() for z in f["T", "ux"]] == [["ux", "T"], ["ux"]]
    assert len(f[("uy",)]) == 1
    with raises(RuntimeError, 'filter_components: no zone carries any of ["p"]'):
        f["p"]
    with raises(TypeError, "NodeField indices must be integers or slices"):
        f[["ux", 0]]


def test_unit_needs_exactly_one_zone(two):
    c, n, m = two
    with raises(RuntimeError, "expected a unitary NodeField (exactly one subfield(s)), found 2"):
        q.NodeField(m, ["T"]).unit()
    with raises(RuntimeError, "expected a unitary NodeField (exactly one subfield(s)), found 0"):
        q.NodeField(m, ["T"])[0:0].unit()


def test_add_sub_repeats_and_a_shared_support_fuses_in_a_slice(two):
    c, n, m = two
    f = filled(q.NodeField(m[1], ["ux"]), "ux")
    g = filled(q.NodeField(m[1], ["T"]), "T", 100.0)
    f.add_sub(f[0])
    assert len(f) == 2
    f.add_sub(sub=g[0])
    assert len(f) == 3
    fused = f[0:3]
    assert len(fused) == 1
    z = fused.unit()
    assert z.components() == ["ux", "T"]
    assert [z.node_values(r) for r in range(2)] == [[4.0, 104.0], [2.0, 102.0]]
    z.set(0, 0, 42.0)  # a new zone
    assert f[0].get(0, 0) == 4.0
    other = q.Coords(2)
    foreign = q.Mesh(other, "POI1")
    foreign[0].add_cell([other.add_node([0.0, 0.0])])
    with raises(RuntimeError, "mismatched Coords"):
        f.add_sub(q.NodeField(foreign, ["T"])[0])
    assert len(f) == 3
    with raises(TypeError, "argument 'sub': 'NodeField' object is not an instance of 'SubNodeField'"):
        f.add_sub(g)


def test_slices_and_unions_refuse_disagreeing_zones(two):
    c, n, m = two
    a = q.NodeField(m[1], ["ux"])
    b = q.NodeField(m[1], ["ux"])
    b[0].set(1, 0, 2.0)
    with raises(RuntimeError, "incoherent NodeField on shared support: node 2, component ux: 0 ≠ 2"):
        a | b
    with raises(RuntimeError, "incoherent NodeField on shared support: node 2, component ux: 0 ≠ 2"):
        a[0] | b[0]
    with raises(RuntimeError, "incoherent NodeField on shared support: node 2, component ux: 0 ≠ 2"):
        a | b[0]
    a.add_sub(b[0])
    with raises(RuntimeError, "incoherent NodeField on shared support: node 2, component ux: 0 ≠ 2"):
        a[:]
    # Zones on different supports meet at node 2.
    t = q.NodeField(m, ["T"])
    t[1].set_value(n[2], "T", NAN)
    with raises(RuntimeError, "incoherent NodeField: node 2, component T: 0 ≠ NaN"):
        t[:]
    with raises(RuntimeError, "incoherent NodeField: node 2, component T: 0 ≠ NaN"):
        t.check()
    t[1].set_value(n[2], "T", 0.0)
    assert t.check() is None and len(t[:]) == 2


def test_unions_keep_left_order_and_take_each_zone_once(two):
    c, n, m = two
    f = filled(q.NodeField(m, ["T"]), "T")
    z0, z1 = f[0], f[1]
    assert len(z0 | z0) == 1
    u = z1 | z0
    assert [z.node_count() for z in u] == [2, 4]
    u[0].set(0, 0, 77.0)  # zones alone on their support come back as themselves
    assert f[1].get(0, 0) == 77.0
    assert len(f | f) == 2 and len(f | z0) == 2 and len(f[0:1] | z1) == 2
    for bad in (lambda: f | 1.0, lambda: z0 | f, lambda: z0 | 1, lambda: 1 | f):
        with pytest.raises(TypeError):
            bad()


def test_value_values_and_check(two):
    c, n, m = two
    f = q.NodeField.with_components_per_submesh(m, [["ux"], ["ux", "T"]])
    filled(f, "ux")
    assert f.check() is None
    f[1].set_value(n[2], "T", 5.0)
    f[1].set_value(n[2], "ux", 7.0)  # zone 0 holds node 2 too, with ux = 2
    assert f.value(n[2], "ux") == 2.0  # the first zone that answers
    assert f.value(n[2], "T") == 5.0  # zone 0 holds node 2 without T: passed over
    with raises(RuntimeError, "no subfield defines (node 0, component T)"):
        f.value(n[0], "T")
    with raises(RuntimeError, "incoherent NodeField: node 2, component ux: 2 ≠ 7"):
        f.check()
    assert f.values([n[2], n[4], n[2]], "T") == [5.0, 0.0, 5.0]
    assert f.values([], "T") == []
    assert f.values(m[0], "ux") == [0.0, 1.0, 2.0, 1.0, 3.0, 2.0]  # two cells of three nodes
    assert f.values(m, "ux") == [0.0, 1.0, 2.0, 1.0, 3.0, 2.0, 4.0, 2.0]
    assert f.values(f.support_mesh()[1], "T") == [0.0, 5.0]
    with raises(RuntimeError, "no subfield defines (node 0, component T)"):
        f.values(m, "T")
    with raises(TypeError, "expected a list of Node, a SubMesh, or a Mesh"):
        f.values(3, "T")
    with raises(TypeError, "expected a list of Node, a SubMesh, or a Mesh"):
        f.values([n[0], 1], "T")
    with raises(TypeError, "argument 'component': 'int' object is not an instance of 'str'"):
        f.values(3, 4)
    with raises(TypeError, "argument 'node': 'int' object is not an instance of 'Node'"):
        f.value(3, "T")


def test_support_mesh_lists_the_very_supports_once_per_zone(two):
    c, n, m = two
    f = q.NodeField(m, ["T"])
    f.add_sub(f[1])
    s = f.support_mesh()
    assert len(s) == 3 and repr(s[2]) == repr(s[1]) == repr(m[1])
    with raises(
        RuntimeError,
        "submesh is sealed: it is already used by a finite-element space, field or matrix and can no longer be modified",
    ):
        s[1].add_cell([n[0]])


def test_zone_supports_are_fresh_unsealed_copies(two):
    c, n, m = two
    z = q.NodeField(m, ["T"])[0]
    a, b = z.support_submesh(), z.support_submesh()
    assert not a.is_sealed and not b.is_sealed
    assert [cell[0].id for cell in a] == [0, 1, 2, 3]
    mesh = z.support_mesh()
    assert len(mesh) == 1 and not mesh[0].is_sealed and mesh[0].cell_count() == 4
    a.add_cell([n[4]])  # editing one copy leaves the other and the zone as they were
    assert (a.cell_count(), b.cell_count(), z.node_count()) == (5, 4, 4)
    w = q.NodeField(a, ["T"])
    assert len(w | z) == 2  # another support: not fused


# --- comparisons -------------------------------------------------------------


@pytest.mark.parametrize(
    "compare, expected",
    [
        (lambda f: f < 0.0, [1, 0, 0, 0]),
        (lambda f: f <= -0.0, [1, 1, 0, 0]),
        (lambda f: f > -1, [0, 1, 1, 0]),
        (lambda f: f >= 2.0, [0, 0, 1, 0]),
        (lambda f: 0.0 < f, [0, 0, 1, 0]),
        (lambda f: f <= NAN, [0, 0, 0, 0]),
    ],
)
def test_comparisons_give_zero_one_masks(two, compare, expected):
    # Zone 1 holds nodes 4 and 2 with the values (-1, 0) and (2, NaN) of ux, uy.
    c, n, m = two
    f = q.NodeField(m, ["ux", "uy"])
    z = f[1]
    z.set(0, 0, -1.0)
    z.set(1, 0, 2.0)
    z.set(1, 1, NAN)
    masked = compare(z)
    assert type(masked) is q.SubNodeField and masked.components() == ["ux", "uy"]
    assert [masked.node_values(r) for r in range(2)] == [[float(expected[0]), float(expected[1])],
                                                         [float(expected[2]), float(expected[3])]]
    whole = compare(f)
    assert type(whole) is q.NodeField and len(whole) == 2
    assert [zz.node_count() for zz in whole] == [4, 2]
    assert repr(whole.support_mesh()) == repr(f.support_mesh())  # the same supports
    assert [whole[1].node_values(r) for r in range(2)] == [masked.node_values(r) for r in range(2)]
    assert z.node_values(0) == [-1.0, 0.0]  # the operand is unchanged


def test_comparisons_that_are_not_masks(two):
    c, n, m = two
    f = q.NodeField(m, ["T"])
    z = f[0]
    assert z == z and not (z == 0.0) and f != q.NodeField(m, ["T"]) and not (f == 0.0)
    for bad in (lambda: z < "a", lambda: f <= None, lambda: f < f, lambda: z > f, lambda: n[0] < z):
        with pytest.raises(TypeError):
            bad()
    assert len(f[0:0] < 1.0) == 0


# --- text forms --------------------------------------------------------------


def test_text_forms_of_a_zone(two, capsys):
    c, n, m = two
    z = q.NodeField(m[0], ["ux", "uy"]).unit()
    z.set(1, 0, 1.5)
    z.set(3, 1, -2.0)
    assert str(z) == "SubNodeField: 4 node(s), 2 component(s) [ux, uy]"
    assert re.fullmatch(
        r"SubNodeField \{ support: " + SUBMESH_HANDLE + r', node_count: 4, components: \["ux", "uy"\] \}', repr(z)
    )
    assert z.dump() is None
    assert capsys.readouterr().out == (
        "SubNodeField: 4 node(s), 2 component(s) [ux, uy]\n"
        "node     ux      uy\n"
        "   0  0.000   0.000\n"
        "   1  1.500   0.000\n"
        "   2  0.000   0.000\n"
        "   3  0.000  -2.000\n\n"
    )
    z.dump(precision=1, max_rows=1, max_cols=1)
    assert capsys.readouterr().out == (
        "SubNodeField: 4 node(s), 2 component(s) [ux, uy]\n"
        "node   ux  …\n"
        "   0  0.0  …\n"
        "   ⋮    ⋮  ⋮\n"
        "… (3 ligne(s) de plus)\n"
        "… (1 colonne(s) de plus)\n\n"
    )


def test_text_forms_of_a_field(two, capsys):
    c, n, m = two
    empty = q.NodeField(m, ["T"])[0:0]
    assert str(empty) == "NodeField: 0 subfield(s)"
    assert repr(empty) == "NodeField { count: 0, items: [] }"
    empty.dump()
    assert capsys.readouterr().out == "NodeField: 0 subfield(s)\n\n"
    f = q.NodeField(m, ["T"])
    assert str(f) == "NodeField: 2 subfield(s)"
    assert repr(f) == "NodeField { count: 2, items: [" + repr(f[0]) + ", " + repr(f[1]) + "] }"
    f.dump(max_rows=1)
    assert capsys.readouterr().out == (
        "NodeField: 2 subfield(s)\n"
        "── [0] ──\n"
        "  SubNodeField: 4 node(s), 1 component(s) [T]\n"
        "  node      T\n"
        "     0  0.000\n"
        "     ⋮      ⋮\n"
        "  … (3 ligne(s) de plus)\n"
        "── [1] ──\n"
        "  SubNodeField: 2 node(s), 1 component(s) [T]\n"
        "  node      T\n"
        "     4  0.000\n"
        "     ⋮      ⋮\n"
        "  … (1 ligne(s) de plus)\n\n"
    )
    with pytest.raises(OverflowError):
        f.dump(precision=-1)
    for obj in (f, f[0]):
        with raises(RuntimeError, "dump: precision must be at most 65535, got 70000"):
            obj.dump(precision=70000)
    assert capsys.readouterr().out == ""


def test_dump_follows_a_redirected_stdout(two):
    import contextlib
    import io

    c, n, m = two
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        q.NodeField(m[1], ["T"])[0].dump()
    assert out.getvalue().startswith("SubNodeField: 2 node(s), 1 component(s) [T]\nnode")


# --- threads -----------------------------------------------------------------


def test_fields_made_while_cells_are_added_agree_with_their_support():
    # One thread adds cells to a POI1 submesh while another makes fields on it:
    # every zone's rows are the support's cells, and no cell lands after the seal.
    for _ in range(10):
        c = q.Coords(1)
        nodes = [c.add_node([float(i)]) for i in range(50)]
        mesh = q.Mesh(c, "POI1")
        sub = mesh[0]
        refused = []

        def add():
            for k in range(100000):
                try:
                    sub.add_cell([nodes[k % 50]])
                except RuntimeError as e:
                    refused.append(str(e))
                    return

        writer = threading.Thread(target=add)
        writer.start()
        fields = [q.NodeField(sub, ["T"]) for _ in range(5)]
        writer.join()
        assert refused and refused[0].startswith("submesh is sealed")
        cells = sub.cell_count()
        for f in fields:
            z = f.unit()
            assert z.node_count() == cells
            assert f.values(sub, "T") == [0.0] * cells
            assert [cell[0].id for cell in z.support_submesh()] == [cell[0].id for cell in sub]
