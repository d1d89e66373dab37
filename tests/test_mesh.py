"""Python classes Mesh, SubMesh and Cell: construction, the container protocol,
cells and node references, the `|` operators, and the three text forms."""

import inspect
import re

import numpy as np
import pytest

import _quenlith as q
from helpers import raises


@pytest.fixture
def square():
    """A 2-D Coords with the four corners of the unit square and a QUA4 mesh of one cell."""
    c = q.Coords(2)
    nodes = [c.add_node(p) for p in ([0, 0], [1, 0], [1, 1], [0, 1])]
    m = q.Mesh(c, "QUA4")
    m[0].add_cell(nodes)
    return c, nodes, m


SEALED = (
    "submesh is sealed: it is already used by a finite-element space, field or matrix "
    "and can no longer be modified"
)


# --- construction ------------------------------------------------------------


def test_mesh_without_element_type_is_empty():
    m = q.Mesh(q.Coords(2))
    assert len(m) == 0
    assert list(m) == []
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        m.coords()
    with raises(RuntimeError, "expected a unitary Mesh (exactly one submesh(es)), found 0"):
        m.unit()


def test_mesh_with_element_type_has_one_empty_submesh():
    c = q.Coords(3)
    m = q.Mesh(c, element_type="tri3")
    s = m.unit()
    assert (len(m), s.element_type, len(s), s.cell_count()) == (1, "TRI3", 0, 0)
    assert not s.is_sealed
    assert s.face_color == (180, 200, 230)
    assert m.coords().dim == 3


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((2, "TRI3"), TypeError, "argument 'coords': 'int' object is not an instance of 'Coords'"),
        ((None,), TypeError, "argument 'coords': 'None' is not an instance of 'Coords'"),
        (("COORDS", 3), TypeError, "argument 'coords': 'str' object is not an instance of 'Coords'"),
        ((q.Coords(2), "TRI7"), ValueError, "unknown element type: TRI7"),
        ((q.Coords(2), " tri3"), ValueError, "unknown element type:  tri3"),
    ],
    ids=["int", "none", "str", "unknown-type", "untrimmed"],
)
def test_mesh_constructor_errors(args, exc, text):
    with raises(exc, text):
        q.Mesh(*args)


def test_mesh_constructor_element_type_must_be_str():
    with pytest.raises(TypeError, match="^argument 'element_type': "):
        q.Mesh(q.Coords(2), 3)


def test_classes_are_registered_in_order_and_sealed_against_misuse():
    names = q.__all__
    assert names.index("Node") + 1 == names.index("SubMesh")
    assert names.index("SubMesh") + 1 == names.index("Mesh")
    assert names.index("Mesh") + 1 == names.index("Cell")
    assert str(inspect.signature(q.Mesh)) == "(coords, element_type=None)"
    assert str(inspect.signature(q.Mesh.node)) == "(self, /, submesh_idx, cell_idx, node_idx)"
    assert str(inspect.signature(q.Mesh.dump)) == "(self, /, precision=3, max_rows=20, max_cols=12)"
    assert q.Mesh.add_sub.__text_signature__ == "($self, sub)"
    assert q.Mesh.unit.__doc__.startswith("The sole sub-object **view** of a unitary aggregate\n")
    for cls in (q.SubMesh, q.Cell):
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(TypeError):

        class Sub(q.Mesh):
            pass


# --- indexing and iteration ---------------------------------------------------


@pytest.fixture
def three():
    """A mesh of three submeshes (POI1, SEG2, TRI3) on one Coords."""
    c = q.Coords(2)
    return c, q.Mesh(c, "POI1") | q.Mesh(c, "SEG2") | q.Mesh(c, "TRI3")


def test_mesh_indexing_counts_from_the_end(three):
    _, m = three
    assert [s.element_type for s in m] == ["POI1", "SEG2", "TRI3"]
    assert m[-1].element_type == "TRI3"
    assert m[True].element_type == "SEG2"
    assert m[np.int64(2)].element_type == "TRI3"


@pytest.mark.parametrize(
    "key, exc, text",
    [
        (3, IndexError, "Mesh index 3 out of range (len=3)"),
        (-4, IndexError, "Mesh index -4 out of range (len=3)"),
        (1.0, TypeError, "Mesh indices must be integers or slices"),
        (2**70, TypeError, "Mesh indices must be integers or slices"),
        ("0", TypeError, "Mesh indices must be integers or slices"),
    ],
    ids=["len", "before-start", "float", "huge", "str"],
)
def test_mesh_index_errors(three, key, exc, text):
    with raises(exc, text):
        three[1][key]


@pytest.mark.parametrize(
    "key, types",
    [
        (slice(None, None, -1), ["TRI3", "SEG2", "POI1"]),
        (slice(5, None), []),
        (slice(0, 3, 2), ["POI1", "TRI3"]),
        (slice(-2, None), ["SEG2", "TRI3"]),
    ],
    ids=["reversed", "past-end", "step", "negative-start"],
)
def test_mesh_slices(three, key, types):
    sliced = three[1][key]
    assert isinstance(sliced, q.Mesh)
    assert sliced.element_types() == types


def test_mesh_zero_step_slice_raises_the_interpreters_error(three):
    with pytest.raises(ValueError):
        three[1][::0]


def test_views_are_new_objects_compared_by_identity(square):
    _, _, m = square
    assert m[0] is not m[0]
    assert m[0] != m[0]
    assert m[0] not in m
    assert m[0][0] != m[0][0]


def test_submesh_and_cell_indexing(square):
    c, nodes, m = square
    s = m[0]
    assert len(s) == 1 and len(s[0]) == 4
    assert [cell.index for cell in s] == [0]
    assert [n.id for n in s[0]] == [0, 1, 2, 3]
    assert s[-1][-1].id == 3
    assert s[0].element_type == "QUA4"
    with raises(IndexError, "submesh index 1 out of range (len=1)"):
        s[1]
    with raises(IndexError, "submesh index -2 out of range (len=1)"):
        s[-2]
    with raises(IndexError, "cell index 4 out of range (len=4)"):
        s[0][4]
    with raises(IndexError, "cell index -5 out of range (len=4)"):
        s[0][-5]
    with pytest.raises(TypeError, match="^argument 'idx': "):
        s["0"]
    with pytest.raises(OverflowError):
        s[2**64]


def test_cell_method_takes_unsigned_indices(square):
    _, _, m = square
    assert m.cell(0, 0).index == 0
    assert m[-1][0].index == 0
    with pytest.raises(OverflowError):
        m.cell(-1, 0)
    with raises(RuntimeError, "index 1 out of bounds (len=1)"):
        m.cell(1, 0)
    with raises(RuntimeError, "cell index 1 out of range (cell_count=1)"):
        m.cell(0, 1)
    with pytest.raises(TypeError, match="^argument 'cell_idx': "):
        m.cell(0, "a")


def test_node_accessor_and_its_errors(square):
    c, _, m = square
    n = m.node(0, 0, 2)
    assert n.id == 2 and n.coord() == [1.0, 1.0]
    assert c.refcount(2) == 3  # the first Node, the cell, this one
    for args, text in [
        ((1, 0, 0), "index 1 out of bounds (len=1)"),
        ((0, 1, 0), "node: cell index 1 ≥ cell_count 1"),
        ((0, 0, 4), "node: node index 4 ≥ nodes_per_cell 4"),
    ]:
        with raises(RuntimeError, text):
            m.node(*args)


# --- cells and node references --------------------------------------------------


def test_add_cell_takes_one_reference_per_entry():
    c = q.Coords(1)
    a, b = c.add_node([0]), c.add_node([1])
    m = q.Mesh(c, "SEG2")
    assert m[0].add_cell([a, b]) == 0
    assert m[0].add_cell((b, b)) == 1
    assert (c.refcount(0), c.refcount(1)) == (2, 4)
    assert m.cell_counts() == [2] and m.cell_count() == 2
    del m
    assert (c.refcount(0), c.refcount(1)) == (1, 1)


def test_node_of_another_coords_is_refused_and_changes_no_count():
    # A Python Node always holds its node, so a dead id cannot reach add_cell from
    # Python (the roll-back on a dead id is a core test); a node of another Coords
    # can, and its id would name some other node here.
    c = q.Coords(2)
    a, b = c.add_node([0, 0]), c.add_node([1, 0])
    c.add_node([0, 1])
    other = q.Coords(2)
    foreign = [other.add_node([0, 0]) for _ in range(3)][2]
    s = q.Mesh(c, "TRI3")[0]
    with raises(RuntimeError, "mismatched Coords"):
        s.add_cell([a, b, foreign])
    assert [c.refcount(i) for i in range(3)] == [1, 1, 0]
    assert other.refcount(2) == 1
    assert len(s) == 0


@pytest.mark.parametrize(
    "nodes, exc, text",
    [
        ([], RuntimeError, "add_cell(POI1): expected 1 nodes, got 0"),
        ("ab", TypeError, None),
        ([1], TypeError, "argument 'nodes': 'int' object is not an instance of 'Node'"),
        (5, TypeError, None),
    ],
    ids=["empty", "str", "int-item", "not-a-sequence"],
)
def test_add_cell_argument_errors(nodes, exc, text):
    s = q.Mesh(q.Coords(1), "POI1")[0]
    if text is None:
        with pytest.raises(exc, match="^argument 'nodes': "):
            s.add_cell(nodes)
    else:
        with raises(exc, text):
            s.add_cell(nodes)
    assert len(s) == 0


@pytest.mark.parametrize("given", ["none", "three", "four", "five"])
def test_sealed_submesh_refuses_cells_but_takes_a_colour(square, given):
    c, nodes, m = square
    spare = c.add_node([2, 2])
    assert not m[0].is_sealed
    q.FiniteElementSpace(m)  # building a space seals its submeshes, for good
    s = m[0]
    assert s.is_sealed
    before = [c.refcount(i) for i in range(5)]
    cell = {"none": [], "three": nodes[:3], "four": nodes, "five": nodes + [spare]}[given]
    with raises(RuntimeError, SEALED):  # sealed comes before the count
        s.add_cell(cell)
    assert len(s) == 1 and [c.refcount(i) for i in range(5)] == before
    s.face_color = (0, 0, 0)
    assert s.face_color == (0, 0, 0) and s.is_sealed
    copy = s.duplicate()
    assert not copy.is_sealed and copy.face_color == (0, 0, 0)
    assert [c.refcount(i) for i in range(4)] == [n + 1 for n in before[:4]]
    assert copy.add_cell(nodes) == 1
    whole = m.duplicate()
    assert not whole[0].is_sealed and whole[0].add_cell(nodes) == 1
    assert m.cell_count() == 1


def test_space_seals_only_the_submeshes_it_is_built_on(three):
    c, m = three
    q.FiniteElementSpace(m[1:])
    assert [s.is_sealed for s in m] == [False, True, True]


def test_every_refused_cell_leaves_all_counts_as_they_were(square):
    """Node reference counts and Python reference counts are unchanged after each
    refused add_cell, whatever refused it."""
    import sys

    c, nodes, m = square
    other = q.Coords(2)
    foreign = [other.add_node([0, 0]) for _ in range(5)]
    s = m[0]
    cases = [
        (nodes[:3], RuntimeError),  # count
        (nodes + nodes[:1], RuntimeError),  # count
        ([nodes[0], nodes[1], nodes[2], foreign[3]], RuntimeError),  # foreign last
        ([foreign[0], nodes[1], nodes[2], nodes[3]], RuntimeError),  # foreign first
        ([nodes[0], nodes[0], foreign[4], nodes[0]], RuntimeError),  # repeated, then foreign
        ([nodes[0], nodes[1], 2, nodes[3]], TypeError),
        ((nodes[0], nodes[1], nodes[2], None), TypeError),
        ("abcd", TypeError),
        (None, TypeError),
    ]

    def snapshot():
        return (
            [c.refcount(i) for i in range(4)],
            [other.refcount(i) for i in range(5)],
            [sys.getrefcount(n) for n in nodes + foreign],
            len(s),
        )

    before = snapshot()
    for cell, exc in cases:
        for _ in range(3):
            with pytest.raises(exc):
                s.add_cell(cell)
        assert snapshot() == before, cell
    q.FiniteElementSpace(m)
    for cell, _ in cases[:5] + [(nodes, None)]:
        with raises(RuntimeError, SEALED):
            s.add_cell(cell)
    assert snapshot() == before


def test_duplicate_copies_cells_and_takes_new_references(square):
    c, nodes, m = square
    before = [c.refcount(i) for i in range(4)]
    d = m.duplicate()
    assert d.element_types() == ["QUA4"] and d.cell_counts() == [1]
    assert [c.refcount(i) for i in range(4)] == [n + 1 for n in before]
    m[0].face_color = (1, 2, 3)
    assert m[0].duplicate().face_color == (1, 2, 3)
    d[0].add_cell(nodes)
    assert m.cell_count() == 1 and d.cell_count() == 2


@pytest.mark.parametrize(
    "value, exc, text",
    [
        ([1, 2, 3], TypeError, "argument 'rgb': 'list' object is not an instance of 'tuple'"),
        ((1, 2), ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ((256, 0, 0), OverflowError, None),
        ((-1, 0, 0), OverflowError, None),
        (("a", 0, 0), TypeError, None),
    ],
    ids=["list", "short", "256", "negative", "str-item"],
)
def test_face_color_setter_errors(value, exc, text):
    s = q.Mesh(q.Coords(1), "SEG2")[0]
    if text is None:
        with pytest.raises(exc):
            s.face_color = value
    else:
        with raises(exc, text):
            s.face_color = value
    assert s.face_color == (180, 200, 230)


def test_face_color_cannot_be_deleted():
    s = q.Mesh(q.Coords(1), "SEG2")[0]
    with raises(AttributeError, "property has no deleter"):
        del s.face_color


# --- add_sub and `|` ----------------------------------------------------------------


def test_add_sub_repeats_and_union_does_not(square):
    c, _, m = square
    m.add_sub(m[0])
    assert len(m) == 2
    assert len(m | m) == 1
    assert len(m | m[0]) == 1
    assert len(m[0] | m[0]) == 1
    with raises(TypeError, "argument 'sub': 'Mesh' object is not an instance of 'SubMesh'"):
        m.add_sub(m)


def test_add_sub_and_unions_refuse_another_coords(square):
    _, _, m = square
    other = q.Mesh(q.Coords(2), "QUA4")
    for op in (lambda: m.add_sub(other[0]), lambda: m | other, lambda: m | other[0], lambda: m[0] | other[0]):
        with raises(RuntimeError, "mismatched Coords"):
            op()
    assert len(m) == 1
    assert len(q.Mesh(q.Coords(2)) | other) == 1  # an empty mesh checks nothing


def test_union_keeps_left_order_and_drops_repeats(three):
    c, m = three
    extra = q.Mesh(c, "QUA4")
    u = m[::-1] | m | extra
    assert u.element_types() == ["TRI3", "SEG2", "POI1", "QUA4"]
    assert (m[1] | m[0]).element_types() == ["SEG2", "POI1"]


@pytest.mark.parametrize(
    "make",
    [
        lambda m, n: m[0] | m,
        lambda m, n: m[0] | n,
        lambda m, n: m | 1,
        lambda m, n: 1 | m,
        lambda m, n: n | m,
        lambda m, n: n | 1,
        lambda m, n: n | m[0],
        lambda m, n: m[0] | 1,
    ],
    ids=["sub|mesh", "sub|node", "mesh|int", "int|mesh", "node|mesh", "node|int", "node|sub", "sub|int"],
)
def test_unsupported_or_operands(square, make):
    _, nodes, m = square
    with pytest.raises(TypeError, match="^unsupported operand type"):
        make(m, nodes[0])


def test_or_of_nodes_makes_a_poi1_mesh(square):
    c, (a, b, *_), _ = square
    before = (c.refcount(0), c.refcount(1))
    ab = a | b
    assert ab.element_types() == ["POI1"] and [n.id for n in ab[0][1]] == [1]
    assert (c.refcount(0), c.refcount(1)) == (before[0] + 1, before[1] + 1)
    aa = a | a
    assert aa.cell_counts() == [2] and c.refcount(0) == before[0] + 3
    with raises(RuntimeError, "mismatched Coords"):
        a | q.Coords(2).add_node([0, 0])


def test_mesh_or_node_appends_to_a_copy(square):
    c, (a, b, *_), m = square
    ab = a | b
    abb = ab | b
    assert abb.cell_counts() == [3] and ab.cell_counts() == [2]
    assert [cell[0].id for cell in abb[0]] == [0, 1, 1]
    with raises(RuntimeError, "Mesh | Node: expected a unitary POI1 mesh"):
        m | a
    with raises(RuntimeError, "expected a unitary Mesh (exactly one submesh(es)), found 2"):
        (ab | m) | a
    with raises(RuntimeError, "mismatched Coords"):
        ab | q.Coords(2).add_node([0, 0])


def test_unit_needs_exactly_one(three):
    _, m = three
    with raises(RuntimeError, "expected a unitary Mesh (exactly one submesh(es)), found 3"):
        m.unit()
    assert m[1:2].unit().element_type == "SEG2"


# --- nearest_node ----------------------------------------------------------------------


def test_nearest_node_matches_brute_force():
    rng = np.random.default_rng(7)
    pts = rng.random((40, 3))
    c = q.Coords(3)
    nodes = [c.add_node(p) for p in pts]
    m = q.Mesh(c, "TET4")
    used = list(range(0, 40, 2))  # the odd nodes are in no cell
    for i in range(0, len(used) - 3, 4):
        m[0].add_cell([nodes[j] for j in used[i : i + 4]])
    for target in rng.random((25, 3)):
        d = np.linalg.norm(pts[used] - target, axis=1)
        assert m.nearest_node(list(target)).id == used[int(np.argmin(d))]


def test_nearest_node_ties_and_errors():
    c = q.Coords(1)
    nodes = [c.add_node([x]) for x in (2.0, 0.0, 1.0)]
    m = q.Mesh(c, "POI1")
    for n in (nodes[0], nodes[1]):
        m[0].add_cell([n])
    assert m.nearest_node([1.0]).id == 0  # 0 and 1 are both 1.0 away
    backwards = q.Mesh(c, "POI1")
    for n in (nodes[2], nodes[1]):
        backwards[0].add_cell([n])
    assert backwards.nearest_node([float("nan")]).id == 1  # no distance is a number: the smaller id
    assert m.nearest_node([float("-inf")]).id == 0  # both infinitely far: the smaller id
    with raises(RuntimeError, "nearest_node: point has 2 coordinates, mesh is 1-D"):
        m.nearest_node([1.0, 2.0])
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.Mesh(c).nearest_node([0.0])
    with raises(RuntimeError, "nearest_node: mesh references no nodes"):
        q.Mesh(c, "SEG2").nearest_node([0.0])
    with pytest.raises(TypeError, match="^argument 'point': "):
        m.nearest_node("1")


# --- text forms --------------------------------------------------------------------------


def test_text_forms_of_an_empty_mesh(capsys):
    m = q.Mesh(q.Coords(2))
    assert str(m) == "Mesh: 0 submesh(es), 0 cell(s) total"
    assert repr(m) == "Mesh { count: 0, items: [] }"
    m.dump()
    assert capsys.readouterr().out == "Mesh: 0 submesh(es), 0 cell(s) total\n\n"


def test_text_forms_of_submesh_and_mesh(square, capsys):
    c, nodes, m = square
    s = m[0]
    coords_text = repr(c).split(" {")[0]
    assert coords_text == "Coords"
    handle = re.search(r"coords: (Handle<[^}]*})", repr(s)).group(1)
    assert re.fullmatch(r"Handle<quenlith::containers::mesh::coords::Coords>\{ idx: \d+, gen: \d+ \}", handle)
    assert str(s) == "SubMesh<QUA4>: 1 cell(s)"
    assert repr(s) == (
        f"SubMesh {{ element_type: QUA4, coords: {handle}, cell_count: 1, "
        "face_color: RgbColor(180, 200, 230), sealed: false }"
    )
    m.add_sub(q.Mesh(c, "POI1")[0])
    m[1].add_cell([nodes[3]])
    assert str(m) == "Mesh: 2 submesh(es), 2 cell(s) total"
    assert repr(m) == f"Mesh {{ count: 2, items: [{repr(m[0])}, {repr(m[1])}] }}"
    m.dump()
    assert capsys.readouterr().out == (
        "Mesh: 2 submesh(es), 2 cell(s) total\n"
        "── [0] ──\n"
        "  SubMesh<QUA4>: 1 cell(s)\n"
        "  cell  n0  n1  n2  n3\n"
        "     0   0   1   2   3\n"
        "── [1] ──\n"
        "  SubMesh<POI1>: 1 cell(s)\n"
        "  cell  n0\n"
        "     0   3\n"
        "\n"
    )
    m.dump(max_rows=0, max_cols=1)
    out = capsys.readouterr().out
    assert "  cell  n0  …\n     ⋮   ⋮  ⋮\n  … (1 ligne(s) de plus)\n  … (3 colonne(s) de plus)\n" in out


def test_submesh_without_cells_dumps_its_header(capsys):
    q.Mesh(q.Coords(2), "TRI3")[0].dump()
    assert capsys.readouterr().out == "SubMesh<TRI3>: 0 cell(s)\ncell  n0  n1  n2\n\n"


def test_text_forms_of_a_cell(square, capsys):
    _, _, m = square
    cell = m[0][0]
    assert str(cell) == "Cell<QUA4> #0: [0, 1, 2, 3]"
    assert repr(cell) == "Cell { idx: 0 }"
    cell.dump(precision=1)
    assert capsys.readouterr().out == (
        "Cell<QUA4> #0\nnode    x    y\n   0  0.0  0.0\n   1  1.0  0.0\n   2  1.0  1.0\n   3  0.0  1.0\n\n"
    )


@pytest.mark.parametrize(
    "kwargs, exc",
    [({"precision": -1}, OverflowError), ({"max_rows": "a"}, TypeError), ({"width": 3}, TypeError)],
    ids=["negative", "str", "unknown"],
)
def test_dump_argument_errors(square, kwargs, exc):
    _, _, m = square
    for obj in (m, m[0], m[0][0]):
        with pytest.raises(exc):
            obj.dump(**kwargs)


def test_cell_dump_refuses_an_impossible_precision(square):
    _, _, m = square
    with pytest.raises(RuntimeError):
        m[0][0].dump(precision=70000)


def test_repeated_unions_keep_first_appearance_order():
    c = q.Coords(1)
    nodes = [c.add_node([float(i)]) for i in range(300)]
    subs = []
    for n in nodes:
        m = q.Mesh(c, "POI1")
        m[0].add_cell([n])
        subs.append(m[0])
    acc = q.Mesh(c)
    for s in subs + subs[::-1] + subs[::7]:
        acc = acc | s
    assert len(acc) == 300
    assert [acc[i][0][0].id for i in range(300)] == [n.id for n in nodes]
    halves = (acc[150:] | acc[:200]) | acc
    assert [halves[i][0][0].id for i in range(300)] == [n.id for n in nodes[150:] + nodes[:150]]
    twice = acc[:2]
    twice.add_sub(acc[0])  # add_sub may repeat a handle; a union of it does not
    assert len(twice) == 3 and len(twice | twice) == 2 and len(q.Mesh(c) | twice) == 2
