"""The curve generators (line, arc, circle), quadratic promotion, cell inversion
and element-type conversion."""

import math

import numpy as np
import pytest

import _quenlith as q
from helpers import raises
from vtk_cells import NAMES, parametric_nodes

QUADRATIC_OF = {"SEG2": "SEG3", "TRI3": "TRI6", "QUA4": "QUA8", "TET4": "TET10", "PENTA6": "PENTA15", "HEX8": "HEX20"}
NOT_NODE = "'{}' object is not an instance of 'Node'"


def cells(mesh, s=0):
    """The node ids of every cell of submesh s."""
    return [[n.id for n in cell] for cell in mesh[s]]


def coord(c, node_id):
    """The coordinates of a node by id, without keeping a reference."""
    n = c.acquire(node_id)
    return n.coord()


def mesh_of(c, element_type, *cell_lists):
    m = q.Mesh(c, element_type)
    for ids in cell_lists:
        m[0].add_cell([c.acquire(i) for i in ids])
    return m


# --- line ---------------------------------------------------------------------


def test_line_places_interior_nodes_in_id_order():
    c = q.Coords(2)
    a, b = c.add_node([0, 0]), c.add_node([1, 2])
    m = q.line(a, b, 4)
    assert (len(m), m[0].element_type, m[0].face_color, m[0].is_sealed) == (1, "SEG2", (180, 200, 230), False)
    assert cells(m) == [[0, 2], [2, 3], [3, 4], [4, 1]]
    assert [coord(c, i) for i in (2, 3, 4)] == [[0.25, 0.5], [0.5, 1.0], [0.75, 1.5]]
    # Still editable: the generator leaves it unsealed.
    m[0].add_cell([a, b])
    assert m.cell_count() == 5


def test_line_interior_points_follow_the_fixed_formula():
    # (b - a) * t + a with t = i / n: no other evaluation order gives these bits.
    c = q.Coords(3)
    pa, pb = [0.1, -3.7, 1e-3], [7.3, 2.9, -5.5]
    a, b = c.add_node(pa), c.add_node(pb)
    n = 7
    q.line(a, b, n)
    for i in range(1, n):
        t = i / n
        assert coord(c, 1 + i) == [(y - x) * t + x for x, y in zip(pa, pb)]


def test_line_single_element():
    c = q.Coords(2)
    a, b = c.add_node([0, 0]), c.add_node([2, 4])
    assert cells(q.line(a, b, 1)) == [[0, 1]]
    assert c.capacity() == 2
    m = q.line(a, b, 1, "SEG3")
    assert (m[0].element_type, cells(m)) == ("SEG3", [[0, 1, 2]])
    assert coord(c, 2) == [1.0, 2.0]


def test_line_seg3_mid_nodes_come_after_chain_nodes():
    c = q.Coords(1)
    a, b = c.add_node([0]), c.add_node([3])
    m = q.line(a, b, 3, element_type="seg3")
    # chain nodes 2, 3; then one mid node per cell, in cell order
    assert cells(m) == [[0, 2, 4], [2, 3, 5], [3, 1, 6]]
    assert [coord(c, i) for i in range(2, 7)] == [[1.0], [2.0], [0.5], [1.5], [2.5]]


def test_line_reference_counts_and_same_end_node():
    c = q.Coords(2)
    a, b = c.add_node([0, 0]), c.add_node([1, 0])
    m = q.line(a, b, 3)
    assert [c.refcount(i) for i in range(4)] == [2, 2, 2, 2]
    m3 = q.line(a, b, 2, "SEG3")
    # a and b: their own Node, the SEG2 cells and one SEG3 cell each; the interior
    # SEG3 chain node two cells; the mid nodes one cell each.
    assert [c.refcount(i) for i in range(4, 7)] == [2, 1, 1]
    assert (c.refcount(0), c.refcount(1)) == (3, 3)
    del m, m3
    same = q.line(a, a, 2)
    assert cells(same) == [[0, 7], [7, 0]]
    assert coord(c, 7) == [0.0, 0.0]


@pytest.mark.parametrize(
    "n_elems, element_type, exc, text",
    [
        (0, "SEG2", RuntimeError, "line: n_elems must be ≥ 1"),
        (-1, "SEG2", OverflowError, None),
        (2**64, "SEG2", OverflowError, None),
        (2.0, "SEG2", TypeError, None),
        (2, "TRI3", RuntimeError, "line: unsupported element type TRI3 (expected SEG2 or SEG3)"),
        (0, "tri3", RuntimeError, "line: unsupported element type TRI3 (expected SEG2 or SEG3)"),
        (0, "bogus", ValueError, "unknown element type: bogus"),
        (2, 3, TypeError, "argument 'element_type': 'int' object is not an instance of 'str'"),
        (2**32, "SEG2", RuntimeError,
         "line: n_elems 4294967296 too large: it would add 4294967295 node(s)"
         " but the Coords has room for 4294967294 more"),
        (2**31, "SEG3", RuntimeError,
         "line: n_elems 2147483648 too large: it would add 4294967295 node(s)"
         " but the Coords has room for 4294967294 more"),
        (2**64 - 1, "SEG3", RuntimeError,
         "line: n_elems 18446744073709551615 too large: it would add 18446744073709551615 node(s) "
         "but the Coords has room for 4294967294 more"),
    ],
)
def test_line_refusals_create_no_node(n_elems, element_type, exc, text):
    c = q.Coords(2)
    a, b = c.add_node([0, 0]), c.add_node([1, 0])
    with pytest.raises(exc) as info:
        q.line(a, b, n_elems, element_type)
    if text is not None:
        assert str(info.value) == text
    if exc is TypeError and text is None:
        assert str(info.value).startswith("argument 'n_elems': ")
    assert c.capacity() == 2


def test_line_argument_and_coords_refusals():
    c, other = q.Coords(2), q.Coords(2)
    a, b = c.add_node([0, 0]), other.add_node([0, 0])
    with raises(RuntimeError, "line: nodes belong to different Coords"):
        q.line(a, b, 2)
    with raises(TypeError, "argument 'a': " + NOT_NODE.format("int")):
        q.line(1, b, 2)
    with raises(TypeError, "argument 'b': " + NOT_NODE.format("Mesh")):
        q.line(a, q.Mesh(c), 2)
    assert (c.capacity(), other.capacity()) == (1, 1)
    assert q.line.__text_signature__ == '(a, b, n_elems, element_type="SEG2")'


@pytest.mark.parametrize("dim", [1, 3])
def test_line_in_any_dimension(dim):
    c = q.Coords(dim)
    a, b = c.add_node([0.0] * dim), c.add_node([2.0] * dim)
    q.line(a=a, b=b, n_elems=2)
    assert coord(c, 2) == [1.0] * dim


# --- arc ----------------------------------------------------------------------


def test_arc_quarter_circle_in_2d():
    c = q.Coords(2)
    a, o, b = c.add_node([1, 0]), c.add_node([0, 0]), c.add_node([0, 1])
    m = q.arc(a, o, b, 2)
    assert cells(m) == [[0, 3], [3, 2]]
    assert coord(c, 3) == pytest.approx([math.cos(math.pi / 4), math.sin(math.pi / 4)], abs=1e-15)
    back = q.arc(b, o, a, 2)
    assert cells(back) == [[2, 4], [4, 0]]
    assert coord(c, 4) == pytest.approx(coord(c, 3), abs=1e-15)
    assert c.refcount(1) == 1  # the centre belongs to no cell


def test_arc_in_3d_turns_the_shorter_way():
    c = q.Coords(3)
    a, o, b = c.add_node([1, 0, 0]), c.add_node([0, 0, 0]), c.add_node([0, 0, 1])
    q.arc(a, o, b, 3)
    for node_id, deg in ((3, 30), (4, 60)):
        phi = math.radians(deg)
        assert coord(c, node_id) == pytest.approx([math.cos(phi), 0.0, math.sin(phi)], abs=1e-15)


def test_arc_against_closed_form():
    # An arc of 100 degrees and radius 2.5 about (1, 2, 3), tilted out of every axis plane.
    center = np.array([1.0, 2.0, 3.0])
    e1 = np.array([1.0, 2.0, 2.0]) / 3.0
    e2 = np.array([2.0, 1.0, -2.0]) / 3.0
    r, theta, n = 2.5, math.radians(100), 9
    c = q.Coords(3)
    a = c.add_node(list(center + r * e1))
    o = c.add_node(list(center))
    b = c.add_node(list(center + r * (math.cos(theta) * e1 + math.sin(theta) * e2)))
    q.arc(a, o, b, n)
    for i in range(1, n):
        phi = i / n * theta
        expected = center + r * (math.cos(phi) * e1 + math.sin(phi) * e2)
        assert coord(c, 2 + i) == pytest.approx(list(expected), abs=1e-15)
        assert np.linalg.norm(np.array(coord(c, 2 + i)) - center) == pytest.approx(r, abs=1e-14)


def test_arc_radius_is_that_of_a():
    c = q.Coords(2)
    a, o, b = c.add_node([1, 0]), c.add_node([0, 0]), c.add_node([0, 1 + 1e-10])
    q.arc(a, o, b, 2)
    assert math.hypot(*coord(c, 3)) == pytest.approx(1.0, abs=1e-15)


def test_arc_seg3_mid_nodes_lie_on_the_chords():
    c = q.Coords(2)
    a, o, b = c.add_node([1, 0]), c.add_node([0, 0]), c.add_node([0, 1])
    m = q.arc(a, o, b, 2, "SEG3")
    for cell in cells(m):
        p, r_, mid = (np.array(coord(c, i)) for i in cell)
        assert list(mid) == list((p + r_) * 0.5)
        assert np.linalg.norm(mid) < 1.0


@pytest.mark.parametrize(
    "points, n_elems, element_type, text",
    [
        ([[1, 0], [0, 0], [-1, 0]], 2, "SEG2", "arc: nodeA, center and nodeB are colinear (arc plane is undefined)"),
        ([[1, 0], [0, 0], [1, 0]], 2, "SEG2", "arc: nodeA, center and nodeB are colinear (arc plane is undefined)"),
        ([[1, 0], [0, 0], [0, 1.001]], 2, "SEG2",
         "arc: nodeA and nodeB are not equidistant from center (radii 1 and 1.001)"),
        ([[0, 0], [0, 0], [0, 1]], 2, "SEG2", "arc: nodeA and nodeB must not coincide with center"),
        ([[0, 0], [0, 0], [0, 1.5]], 2, "SEG2", "arc: nodeA and nodeB must not coincide with center"),
        ([[1], [0], [2]], 2, "SEG2", "arc: node dimension must be 2 or 3"),
        ([[1, 0], [0, 0], [-1, 0]], 0, "SEG2", "arc: n_elems must be ≥ 1"),
        ([[1, 0], [0, 0], [-1, 0]], 0, "TRI3", "arc: unsupported element type TRI3 (expected SEG2 or SEG3)"),
        ([[1, 0], [0, 0], [0, 1]], 2**32, "SEG2",
         "arc: n_elems 4294967296 too large: it would add 4294967295 node(s)"
         " but the Coords has room for 4294967293 more"),
    ],
)
def test_arc_refusals_create_no_node(points, n_elems, element_type, text):
    c = q.Coords(len(points[0]))
    a, o, b = (c.add_node(p) for p in points)
    with raises(RuntimeError, text):
        q.arc(a, o, b, n_elems, element_type)
    assert c.capacity() == 3


def test_arc_nodes_of_different_coords():
    c, other = q.Coords(2), q.Coords(2)
    a, o, b = c.add_node([1, 0]), other.add_node([0, 0]), c.add_node([0, 1])
    with raises(RuntimeError, "arc: nodeA, center and nodeB belong to different Coords"):
        q.arc(a, o, b, 2)
    with raises(TypeError, "argument 'center': " + NOT_NODE.format("list")):
        q.arc(a, [0, 0], b, 2)


# --- circle -------------------------------------------------------------------


@pytest.mark.parametrize(
    "normal, expected",
    [
        ([0, 0, 1], [[1, 0], [0, 1], [-1, 0], [0, -1]]),
        ([0, 0, -1], [[1, 0], [0, -1], [-1, 0], [0, 1]]),
    ],
)
def test_circle_in_2d(normal, expected):
    c = q.Coords(2)
    o = c.add_node([0, 0])
    m = q.circle(o, normal, 1, 4)
    assert cells(m) == [[1, 2], [2, 3], [3, 4], [4, 1]]
    for i, p in enumerate(expected):
        assert coord(c, 1 + i) == pytest.approx(p, abs=1e-15)
    assert [c.refcount(i) for i in range(5)] == [1, 2, 2, 2, 2]


@pytest.mark.parametrize(
    "normal, node0, node1",
    [
        ([0, 0, 2], [1, 0, 0], [0, 1, 0]),
        ([1, 0, 0], [0, 1, 0], [0, 0, 1]),
        ([0, 1, 0], [1, 0, 0], [0, 0, -1]),
        ([1, 1, 1], list(np.array([2, -1, -1]) / math.sqrt(6)), list(np.cross([1, 1, 1], [2, -1, -1]) / math.sqrt(18))),
    ],
)
def test_circle_plane_basis(normal, node0, node1):
    c = q.Coords(3)
    o = c.add_node([1, 2, 3])
    q.circle(o, normal, 2.0, 4)
    assert coord(c, 1) == pytest.approx(list(np.array([1, 2, 3]) + 2 * np.array(node0)), abs=1e-15)
    assert coord(c, 2) == pytest.approx(list(np.array([1, 2, 3]) + 2 * np.array(node1)), abs=1e-15)


def test_circle_against_closed_form():
    c = q.Coords(3)
    center, r, n = [1.5, -2.0, 0.25], 2.5, 12
    o = c.add_node(center)
    q.circle(o, (0.0, 0.0, 3.0), r, n)
    for i in range(n):
        phi = i * 2 * math.pi / n
        expected = [center[0] + r * math.cos(phi), center[1] + r * math.sin(phi), center[2]]
        assert coord(c, 1 + i) == pytest.approx(expected, abs=1e-15)


def test_tilted_circle_against_closed_form():
    # normal (1, 1, 1): e1 along (2, -1, -1), e2 = n × e1
    c = q.Coords(3)
    center = np.array([1.5, -2.0, 0.25])
    o = c.add_node(list(center))
    q.circle(o, [1, 1, 1], 1.0, 64)
    n = np.array([1, 1, 1]) / math.sqrt(3)
    e1 = np.array([2, -1, -1]) / math.sqrt(6)
    e2 = np.cross(n, e1)
    for i in range(64):
        phi = i * 2 * math.pi / 64
        expected = center + math.cos(phi) * e1 + math.sin(phi) * e2
        assert coord(c, 1 + i) == pytest.approx(list(expected), abs=1e-15)


def test_circle_seg3_and_triangle_ring():
    c = q.Coords(2)
    o = c.add_node([0, 0])
    m = q.circle(o, [0, 0, 1], 1.0, 3, "SEG3")
    assert c.capacity() == 7
    assert cells(m) == [[1, 2, 4], [2, 3, 5], [3, 1, 6]]
    for cell in cells(m):
        p, r_, mid = (np.array(coord(c, i)) for i in cell)
        assert list(mid) == list((p + r_) * 0.5)
        assert np.linalg.norm(mid) < 1.0


def test_circle_in_2d_keeps_the_first_two_components():
    c = q.Coords(2)
    o = c.add_node([3, 4])
    q.circle(o, [1, 0, 0], 1, 4)
    assert [coord(c, i)[0] for i in range(1, 5)] == [3.0] * 4


@pytest.mark.parametrize(
    "dim, normal, radius, n_elems, element_type, text",
    [
        (2, [0, 0, 1], 1, 2, "SEG2", "circle: n_elems must be ≥ 3"),
        (2, [0, 0, 1], 0, 3, "SEG2", "circle: radius must be > 0"),
        (2, [0, 0, 1], -1, 3, "SEG2", "circle: radius must be > 0"),
        (2, [0, 0, 1], math.nan, 3, "SEG2", "circle: radius must be > 0"),
        (2, [0, 1], 1, 3, "SEG2", "circle: normal must have exactly 3 components"),
        (3, [0, 0, 0, 1], 1, 3, "SEG2", "circle: normal must have exactly 3 components"),
        (1, [0, 0, 0], 1, 3, "SEG2", "circle: node dimension must be 2 or 3"),
        (3, [0, 0, 0], 1, 3, "SEG2", "circle: normal vector must not be zero"),
        (3, [0, 0, 1], 1, 3, "QUA4", "circle: unsupported element type QUA4 (expected SEG2 or SEG3)"),
        (3, [0, 0, 1], 1, 2**32, "SEG2",
         "circle: n_elems 4294967296 too large: it would add 4294967296 node(s)"
         " but the Coords has room for 4294967295 more"),
    ],
)
def test_circle_refusals_create_no_node(dim, normal, radius, n_elems, element_type, text):
    c = q.Coords(dim)
    o = c.add_node([0.0] * dim)
    with raises(RuntimeError, text):
        q.circle(o, normal, radius, n_elems, element_type)
    assert c.capacity() == 1


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({"normal": "xyz"}, "argument 'normal': Can't extract `str` to `Vec`"),
        ({"radius": "1"}, "argument 'radius': must be real number, not str"),
        ({"center": None}, "argument 'center': 'None' is not an instance of 'Node'"),
    ],
)
def test_circle_argument_refusals(kwargs, text):
    c = q.Coords(3)
    args = {"center": c.add_node([0, 0, 0]), "normal": [0, 0, 1], "radius": 1, "n_elems": 4} | kwargs
    with raises(TypeError, text):
        q.circle(**args)


# --- to_quadratic -------------------------------------------------------------


def test_promotion_shares_mid_nodes_between_cells():
    c = q.Coords(2)
    for p in ([0, 0], [1, 0], [1, 1], [0, 1]):
        c.add_node(p)
    m = mesh_of(c, "TRI3", [0, 1, 2], [0, 2, 3])
    out = q.to_quadratic(m)
    assert cells(out) == [[0, 1, 2, 4, 5, 6], [0, 2, 3, 6, 7, 8]]
    assert c.capacity() == 9
    assert [coord(c, i) for i in range(4, 9)] == [[0.5, 0], [1, 0.5], [0.5, 0.5], [0.5, 1], [0, 0.5]]
    assert [c.refcount(i) for i in range(4, 9)] == [1, 1, 2, 1, 1]
    assert cells(m) == [[0, 1, 2], [0, 2, 3]]  # the input is untouched


def test_promotion_shares_mid_nodes_across_submeshes():
    c = q.Coords(2)
    for p in ([0, 0], [1, 0], [1, 1], [0, 1], [2, 0.5]):
        c.add_node(p)
    quad = mesh_of(c, "QUA4", [0, 1, 2, 3])
    quad[0].face_color = (1, 2, 3)
    tri = mesh_of(c, "TRI3", [2, 1, 4])  # edge 1-2 reversed
    out = q.to_quadratic(quad | tri)
    assert out.element_types() == ["QUA8", "TRI6"]
    assert cells(out, 0) == [[0, 1, 2, 3, 5, 6, 7, 8]]
    assert cells(out, 1) == [[2, 1, 4, 6, 9, 10]]
    assert [out[0].face_color, out[1].face_color] == [(1, 2, 3), (180, 200, 230)]


def test_promotion_of_a_reversed_segment():
    c = q.Coords(2)
    c.add_node([0, 0]), c.add_node([2, 1])
    ab = q.to_quadratic(mesh_of(c, "SEG2", [0, 1]))
    ba = q.to_quadratic(mesh_of(c, "SEG2", [1, 0]))
    assert (cells(ab), cells(ba)) == ([[0, 1, 2]], [[1, 0, 3]])
    assert coord(c, 2) == coord(c, 3) == [1.0, 0.5]


@pytest.mark.parametrize("linear", list(QUADRATIC_OF))
def test_promotion_matches_vtk_node_order(linear):
    # Corners at VTK's parametric coordinates of the quadratic cell: every new node
    # must land where VTK puts the node of that position.
    quadratic = QUADRATIC_OF[linear]
    ref = parametric_nodes(quadratic)
    n_corners = len(parametric_nodes(linear))
    c = q.Coords(3)
    for p in ref[:n_corners]:
        c.add_node(list(p))
    out = q.to_quadratic(mesh_of(c, linear, list(range(n_corners))))
    assert out.element_types() == [quadratic]
    (cell,) = cells(out)
    assert cell[:n_corners] == list(range(n_corners))
    assert cell[n_corners:] == list(range(n_corners, len(ref)))  # ids in edge order
    assert np.array([coord(c, i) for i in cell]).tolist() == ref.tolist()


@pytest.mark.parametrize("element_type", ["POI1", "TRI6", "QUA9", "HEX27"])
def test_promotion_refuses_other_types_after_earlier_submeshes(element_type):
    c = q.Coords(3)
    for p in ([0, 0, 0], [1, 0, 0]):
        c.add_node(p)
    seg = mesh_of(c, "SEG2", [0, 1])
    other = q.Mesh(c, element_type)
    with raises(
        RuntimeError,
        f"to_quadratic: {element_type} has no quadratic counterpart (supported: SEG2, TRI3, QUA4, TET4, PENTA6, HEX8)",
    ):
        q.to_quadratic(seg | other)
    # The first submesh was promoted before the refusal: its mid node stays unreferenced.
    assert (c.capacity(), c.refcount(2)) == (3, 0)


def test_promotion_of_empty_meshes_and_sealed_input():
    c = q.Coords(2)
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.to_quadratic(q.Mesh(c))
    empty = q.to_quadratic(q.Mesh(c, "HEX8"))
    assert (empty.element_types(), empty.cell_counts()) == (["HEX20"], [0])
    c.add_node([0, 0]), c.add_node([1, 0])
    m = mesh_of(c, "SEG2", [0, 1])
    q.FiniteElementSpace(m)
    assert m[0].is_sealed and not q.to_quadratic(m)[0].is_sealed
    with raises(TypeError, "argument 'mesh': 'SubMesh' object is not an instance of 'Mesh'"):
        q.to_quadratic(m[0])


TINY = 5e-324  # the smallest subnormal: halving it first would round it to zero


@pytest.mark.parametrize("a, b, mid", [
    ([1.5e308, -1e308], [1.7e308, -1.5e308], [1.6e308, -1.25e308]),  # the sums overflow
    ([1e308, 1.7e308], [-1e308, 1.7e308], [0.0, 1.7e308]),
    ([-1.7976931348623157e308, 0], [-1.7976931348623157e308, 1], [-1.7976931348623157e308, 0.5]),
    ([TINY, 0.1], [TINY, 0.7], [TINY, (0.1 + 0.7) * 0.5]),  # ordinary values: the sum, halved
])
def test_promotion_of_far_corners_makes_finite_mid_nodes(a, b, mid):
    c = q.Coords(2)
    out = q.to_quadratic(mesh_of(c, "SEG2", [c.add_node(a).id, c.add_node(b).id]))
    assert coord(c, cells(out)[0][2]) == mid


@pytest.mark.parametrize("bad", [[math.inf, 0], [0, -math.inf], [math.nan, 1]])
def test_promotion_refuses_a_non_finite_corner_before_any_mid_node(bad):
    c = q.Coords(2)
    for p in ([0, 0], [1, 0], [1, 1], bad):
        c.add_node(p)
    # the finite triangle comes first: its mid nodes would be made before the bad corner is met
    m = mesh_of(c, "TRI3", [0, 1, 2], [0, 2, 3])
    with raises(RuntimeError, "to_quadratic: node 3 has a non-finite coordinate"):
        q.to_quadratic(m | mesh_of(c, "SEG2", [1, 2]))
    assert c.capacity() == 4


# --- invert -------------------------------------------------------------------


def orientation_map(ref, positions, n_corners):
    """The affine map taking the reference corners to `positions`' corners: its
    linear part, and whether it carries every reference node onto `positions`."""
    dim = np.linalg.matrix_rank(ref - ref[0])
    # d independent corners next to node 0: a simplex's, or the neighbours of 0
    basis = {1: [1], 2: [1, 2] if n_corners == 3 else [1, 3], 3: [1, 2, 3] if n_corners in (4, 6) else [1, 3, 4]}[dim]
    dr = (ref[basis] - ref[0])[:, :dim]
    dx = (positions[basis] - positions[0])[:, :dim]
    a = np.linalg.solve(dr, dx)
    mapped = positions[0][:dim] + (ref[:, :dim] - ref[0][:dim]) @ a
    return a, np.allclose(mapped, positions[:, :dim], atol=1e-14)


@pytest.mark.parametrize("element_type", NAMES)
def test_inversion_reverses_and_keeps_a_valid_cell(element_type):
    ref = parametric_nodes(element_type)
    k = len(ref)
    c = q.Coords(3)
    for p in ref:
        c.add_node(list(p))
    m = mesh_of(c, element_type, list(range(k)))
    inv = q.invert(m)
    (cell,) = cells(inv)
    assert sorted(cell) == list(range(k))
    assert cells(q.invert(inv)) == cells(m)
    if element_type == "POI1":
        assert cell == [0]
        return
    # The inverted cell is the reference cell under a mirror: an affine map of
    # negative determinant that carries every node, mid-edge and centre nodes too,
    # onto its new position.
    n_corners = {"SEG": 2, "TRI": 3, "QUA": 4, "TET": 4, "PEN": 6, "HEX": 8}[element_type[:3]]
    a, consistent = orientation_map(ref, ref[cell], n_corners)
    assert consistent
    assert np.linalg.det(a) < 0


def test_inversion_examples_and_reference_counts():
    c = q.Coords(2)
    for p in ([0, 0], [1, 0], [1, 1], [0, 1], [0.5, 0], [1, 0.5], [0.5, 1], [0, 0.5]):
        c.add_node(p)
    tri = mesh_of(c, "TRI3", [0, 1, 2])
    quad8 = mesh_of(c, "QUA8", list(range(8)))
    quad8[0].face_color = (9, 8, 7)
    before = c.capacity()
    out = q.invert(tri | quad8)
    assert (cells(out, 0), cells(out, 1)) == ([[0, 2, 1]], [[0, 3, 2, 1, 7, 6, 5, 4]])
    assert [out[0].face_color, out[1].face_color] == [(180, 200, 230), (9, 8, 7)]
    assert c.capacity() == before
    assert c.refcount(0) == 4  # two input cells, two output cells
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.invert(q.Mesh(c))
    assert q.invert(q.Mesh(c, "POI1")).cell_counts() == [0]


# --- convert ------------------------------------------------------------------


def hexahedron(c, corners):
    for p in corners:
        c.add_node(p)
    return mesh_of(c, "HEX8", list(range(8)))


def tet_volume(points):
    p0, p1, p2, p3 = (np.array(p) for p in points)
    return np.linalg.det(np.array([p1 - p0, p2 - p0, p3 - p0])) / 6


@pytest.mark.parametrize(
    "corners",
    [
        [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]],
        # a frustum: planar faces, so the six tetrahedra fill it exactly (volume 7/3)
        [[0, 0, 0], [2, 0, 0], [2, 2, 0], [0, 2, 0], [0.5, 0.5, 1], [1.5, 0.5, 1], [1.5, 1.5, 1], [0.5, 1.5, 1]],
    ],
)
def test_hex_to_tets_fills_the_hexahedron(corners):
    c = q.Coords(3)
    m = hexahedron(c, corners)
    out = q.convert(m, "TET4")
    assert out.element_types() == ["TET4"]
    tets = cells(out)
    assert len(tets) == 6 and all(0 in t and 6 in t for t in tets)
    volumes = [tet_volume([corners[i] for i in t]) for t in tets]
    assert all(v > 0 for v in volumes)
    # The hexahedron's volume from its own trilinear map (VTK's cell size filter).
    from vtk_cells import cell_volumes, read_vtk

    path = f"/tmp/quenlith-hex-{id(m)}.vtk"
    try:
        q.export_vtk(m, path)
        assert sum(volumes) == pytest.approx(cell_volumes(read_vtk(path))["Volume"][0], rel=1e-12)
    finally:
        import os

        os.remove(path)
    assert c.capacity() == 8


def test_quad_to_triangles_and_identity():
    c = q.Coords(2)
    for p in ([0, 0], [1, 0], [1, 1], [0, 1], [2, 0], [2, 1], [3, 0]):
        c.add_node(p)
    quads = mesh_of(c, "QUA4", [0, 1, 2, 3], [1, 4, 5, 2])
    quads[0].face_color = (4, 5, 6)
    tris = mesh_of(c, "TRI3", [4, 6, 5])
    out = q.convert(quads | tris, "tri3")
    assert out.element_types() == ["TRI3", "TRI3"]
    assert cells(out, 0) == [[0, 1, 2], [0, 2, 3], [1, 4, 5], [1, 5, 2]]
    assert cells(out, 1) == [[4, 6, 5]]
    assert [out[0].face_color, out[1].face_color] == [(4, 5, 6), (180, 200, 230)]


@pytest.mark.parametrize(
    "source, target, exc, text",
    [
        ("TRI3", "QUA4", RuntimeError, "convert: no TRI3 → QUA4 conversion (supported: identity, QUA4 → TRI3, HEX8 → TET4)"),
        ("QUA4", "HEX8", RuntimeError, "convert: no QUA4 → HEX8 conversion (supported: identity, QUA4 → TRI3, HEX8 → TET4)"),
        ("HEX8", "tet10", RuntimeError, "convert: no HEX8 → TET10 conversion (supported: identity, QUA4 → TRI3, HEX8 → TET4)"),
        ("QUA4", "TRI", ValueError, "unknown element type: TRI"),
    ],
)
def test_convert_refusals(source, target, exc, text):
    c = q.Coords(3)
    with raises(exc, text):
        q.convert(q.Mesh(c, source), target)  # an empty submesh is checked too
    with raises(TypeError, "argument 'element_type': 'None' is not an instance of 'str'"):
        q.convert(q.Mesh(c, source), None)


def test_circle_normal_is_read_from_a_snapshot():
    # Each item's __float__ empties the caller's list: the conversion must go on
    # with the items it was given, which its snapshot keeps alive.
    c = q.Coords(3)
    o = c.add_node([0, 0, 0])
    normal = []

    class Shrinking:
        def __init__(self, v):
            self.v = v

        def __float__(self):
            normal.clear()
            return self.v

    normal.extend([Shrinking(0.0), Shrinking(0.0), Shrinking(1.0)])
    q.circle(o, normal, 1.0, 4)
    assert coord(c, 2) == pytest.approx([0.0, 1.0, 0.0], abs=1e-15)


def test_failed_conversion_gives_back_every_reference():
    c = q.Coords(2)
    for p in ([0, 0], [1, 0], [1, 1], [0, 1]):
        c.add_node(p)
    m = mesh_of(c, "QUA4", [0, 1, 2, 3]) | mesh_of(c, "TRI3", [0, 1, 2])
    before = [c.refcount(i) for i in range(4)]
    # The QUA4 submesh is copied before the TRI3 one is refused; the copy goes again.
    with raises(RuntimeError, "convert: no TRI3 → QUA4 conversion (supported: identity, QUA4 → TRI3, HEX8 → TET4)"):
        q.convert(m, "QUA4")
    with raises(RuntimeError, "to_quadratic: QUA8 has no quadratic counterpart (supported: SEG2, TRI3, QUA4, TET4, PENTA6, HEX8)"):
        q.to_quadratic(q.to_quadratic(m) | q.Mesh(c, "TRI3"))
    assert [c.refcount(i) for i in range(4)] == before
