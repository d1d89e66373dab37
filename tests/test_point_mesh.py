"""Point meshes from existing nodes (to_poi1, from_live_nodes, poi1_from_nodes) and
centroid meshes on fresh nodes (barycenter)."""

import pytest

import _quenlith as q
from helpers import raises

NOT_INSTANCE = "argument '{}': '{}' object is not an instance of '{}'"
SEALED = (
    "submesh is sealed: it is already used by a finite-element space, field or matrix and can no longer be modified"
)


def ids(mesh, s=0):
    return [cell[0].id for cell in mesh[s]]


def mesh_of(c, element_type, *cell_lists):
    m = q.Mesh(c, element_type)
    for cell in cell_lists:
        m[0].add_cell([c.acquire(i) for i in cell])
    return m


@pytest.fixture
def plane():
    """A 2-D Coords of ten nodes at (i, i*i), held only by the fixture's list."""
    c = q.Coords(2)
    nodes = [c.add_node([i, i * i]) for i in range(10)]
    return c, nodes


def refcounts(c):
    return [c.refcount(i) for i in range(c.capacity())]


# --- to_poi1 ------------------------------------------------------------------


def test_to_poi1_gives_each_submesh_its_cloud_by_first_appearance(plane):
    c, _ = plane
    tri = mesh_of(c, "TRI3", [5, 2, 7], [2, 7, 9])
    seg = mesh_of(c, "SEG2", [7, 1])
    empty = q.Mesh(c, "QUA4")
    m = tri | seg | empty
    before = refcounts(c)
    out = q.to_poi1(m)
    assert len(out) == 3
    assert [s.element_type for s in out] == ["POI1"] * 3
    # shared nodes appear in both clouds; an empty submesh keeps its place
    assert [ids(out, s) for s in range(3)] == [[5, 2, 7, 9], [7, 1], []]
    assert all(s.is_sealed for s in out)
    assert [ids(m, s) for s in range(2)] == [[5, 2], [7]]  # the input is unchanged
    counts = refcounts(c)
    for node in (5, 2, 7, 9, 1):
        assert counts[node] > before[node]
    with raises(RuntimeError, SEALED):
        out[0].add_cell([c.acquire(3)])
    assert len(q.to_poi1(m[0:0])) == 0


def test_to_poi1_shares_the_cloud_of_a_sealed_submesh_only(plane):
    c, _ = plane
    m = mesh_of(c, "SEG2", [0, 1], [1, 2])
    a, b = q.to_poi1(m), q.to_poi1(m)
    assert len(a | b) == 2  # unsealed: two clouds
    q.FiniteElementSpace(m)
    a, b = q.to_poi1(m), q.to_poi1(m)
    assert len(a | b) == 1  # sealed: one cached cloud
    a[0].face_color = (1, 2, 3)
    assert b[0].face_color == (1, 2, 3)
    copy = a[0].duplicate()
    assert not copy.is_sealed and copy.add_cell([c.acquire(4)]) == 3


# --- from_live_nodes ----------------------------------------------------------


def test_from_live_nodes_skips_collected_nodes():
    c = q.Coords(3)
    nodes = [c.add_node([i, 0, 0]) for i in range(5)]
    del nodes[2]
    assert c.gc() == 1
    m = q.from_live_nodes(c)
    assert len(m) == 1 and m[0].element_type == "POI1" and not m[0].is_sealed
    assert ids(m) == [0, 1, 3, 4]
    assert m[0].face_color == (180, 200, 230)
    assert [c.refcount(i) for i in (0, 1, 3, 4)] == [2] * 4
    assert m[0].add_cell([nodes[0]]) == 4  # unsealed
    del m
    assert [c.refcount(i) for i in (0, 1, 3, 4)] == [1] * 4


def test_from_live_nodes_of_an_empty_coords_gives_one_empty_submesh():
    m = q.from_live_nodes(q.Coords(2))
    assert len(m) == 1 and m[0].cell_count() == 0


# --- poi1_from_nodes ----------------------------------------------------------


def test_poi1_from_nodes_keeps_order_and_repeats(plane):
    c, nodes = plane
    a, b = nodes[3], nodes[6]
    before = refcounts(c)
    m = q.poi1_from_nodes((b, a, b))
    assert ids(m) == [6, 3, 6] and not m[0].is_sealed
    after = refcounts(c)
    assert after[6] == before[6] + 2 and after[3] == before[3] + 1
    del m
    assert refcounts(c) == before


def test_poi1_from_nodes_refusals(plane):
    c, nodes = plane
    with raises(RuntimeError, "SubMesh::poi1_from_nodes: nodes must not be empty"):
        q.poi1_from_nodes([])
    with pytest.raises(TypeError, match="^argument 'nodes': "):
        q.poi1_from_nodes("ab")
    with raises(TypeError, NOT_INSTANCE.format("nodes", "int", "Node")):
        q.poi1_from_nodes([nodes[0], 3])
    # A node of another Coords is refused instead of standing for the node of its id.
    other = q.Coords(2)
    stranger = other.add_node([0, 0])
    before = refcounts(c)
    with raises(RuntimeError, "mismatched Coords"):
        q.poi1_from_nodes([nodes[0], stranger])
    assert refcounts(c) == before and other.refcount(0) == 1


@pytest.mark.parametrize(
    "func, name, cls",
    [(q.to_poi1, "mesh", "Mesh"), (q.barycenter, "mesh", "Mesh"), (q.from_live_nodes, "coords", "Coords")],
)
def test_argument_classes(plane, func, name, cls):
    c, _ = plane
    wrong = q.Mesh(c, "POI1")[0] if cls == "Mesh" else q.Mesh(c, "POI1")
    with raises(TypeError, NOT_INSTANCE.format(name, type(wrong).__name__, cls)):
        func(wrong)
    with raises(TypeError, NOT_INSTANCE.format(name, type(wrong).__name__, cls)):
        func(**{name: wrong})


# --- barycenter ---------------------------------------------------------------


def test_barycenter_of_points_copies_them_on_fresh_nodes():
    c = q.Coords(2)
    keep = [c.add_node([i, -i]) for i in range(5)]
    m = mesh_of(c, "POI1", [4], [2], [4])
    m[0].face_color = (255, 0, 0)
    before = refcounts(c)
    out = q.barycenter(m)
    assert len(out) == 1 and out[0].element_type == "POI1"
    assert ids(out) == [5, 6, 7]  # three distinct fresh nodes, ids in cell order
    assert [c.acquire(i).coord() for i in (5, 6, 7)] == [[4, -4], [2, -2], [4, -4]]
    assert out[0].face_color == (180, 200, 230) and not out[0].is_sealed
    assert refcounts(c)[:5] == before  # the input's nodes are untouched
    assert [c.refcount(i) for i in (5, 6, 7)] == [1, 1, 1]
    del out
    assert [c.refcount(i) for i in (5, 6, 7)] == [0, 0, 0]
    assert keep


def test_barycenter_is_the_plain_mean_in_cell_order():
    c = q.Coords(2)
    pts = [[0, 0], [3, 0], [0, 3], [2, 0], [1, 1], [3, 3], [0, 6]]
    keep = [c.add_node(p) for p in pts]
    tri = mesh_of(c, "TRI3", [0, 1, 2], [1, 5, 2])
    seg3 = mesh_of(c, "SEG3", [0, 3, 4])  # mid node off the chord: plain mean, not the midpoint
    qua = mesh_of(c, "QUA4", [0, 1, 5, 2], [0, 2, 6, 0], [1, 5, 2, 0])
    empty = q.Mesh(c, "TET4")
    out = q.barycenter(tri | seg3 | qua | empty)
    assert [s.cell_count() for s in out] == [2, 1, 3, 0]
    new = [ids(out, s) for s in range(4)]
    assert new == [[7, 8], [9], [10, 11, 12], []]
    got = [c.acquire(i).coord() for i in range(7, 13)]
    assert got[0] == [1, 1] and got[1] == [2, 2]
    assert got[2] == [1, pytest.approx(1 / 3, abs=0)] and got[2][1] == (0.0 + 0 + 0 + 1) / 3
    assert got[3] == [1.5, 1.5] and got[4] == [0.0, (0.0 + 0 + 3 + 6 + 0) / 4] and got[5] == [1.5, 1.5]
    assert len(q.barycenter(tri[0:0])) == 0
    assert keep
