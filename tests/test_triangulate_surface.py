"""triangulate_surface: the planar constrained-Delaunay mesher, checked against
exact expectations, scipy's Qhull and shoelace areas."""
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.spatial import Delaunay

import _quenlith as q
from helpers import raises

# --- building contours ------------------------------------------------------


def loop_mesh(coords, points):
    """One SEG2 submesh running through `points` in order, closed."""
    nodes = [coords.add_node(list(p)) for p in points]
    mesh = q.Mesh(coords, "SEG2")
    for i in range(len(nodes)):
        mesh[0].add_cell([nodes[i], nodes[(i + 1) % len(nodes)]])
    return mesh


def contour(*loops, dim=2):
    """A Mesh of one SEG2 submesh per loop, on a new Coords."""
    coords = q.Coords(dim)
    mesh = None
    for points in loops:
        m = loop_mesh(coords, points)
        mesh = m if mesh is None else mesh | m
    return mesh


def rect(x0, y0, x1, y1, n=1, clockwise=False):
    corners = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    pts = []
    for c in range(4):
        (ax, ay), (bx, by) = corners[c], corners[(c + 1) % 4]
        pts += [(ax + (bx - ax) * i / n, ay + (by - ay) * i / n) for i in range(n)]
    return pts[:1] + pts[:0:-1] if clockwise else pts


def circle(n, r=1.0, cx=0.0, cy=0.0, clockwise=False):
    s = -1.0 if clockwise else 1.0
    return [(cx + r * math.cos(s * 2 * math.pi * i / n), cy + r * math.sin(s * 2 * math.pi * i / n)) for i in range(n)]


def star(tips, r_out, r_in):
    return [((r_in if i % 2 else r_out) * math.cos(math.pi * i / tips),
             (r_in if i % 2 else r_out) * math.sin(math.pi * i / tips)) for i in range(2 * tips)]


def shoelace(points):
    return 0.5 * sum(points[i][0] * points[(i + 1) % len(points)][1] - points[(i + 1) % len(points)][0] * points[i][1]
                     for i in range(len(points)))


def cells_of(mesh):
    """[(element type, [node ids])] in mesh order."""
    return [(sub.element_type, [n.id for n in cell.nodes()]) for sub in mesh for cell in sub]


def positions(mesh):
    """Node id -> coordinates of every node a cell uses."""
    return {n.id: tuple(n.coord()) for sub in mesh for cell in sub for n in cell.nodes()}


def segments_of(contour_mesh):
    return [tuple(n.id for n in cell.nodes()) for sub in contour_mesh for cell in sub]


def cell_area(xy, ids):
    return shoelace([xy[i][:2] for i in ids])


# --- the unit square --------------------------------------------------------


@pytest.mark.parametrize("size", [None, 0.1, 1])
def test_unit_square_gives_four_triangles_around_the_centre(size):
    c = contour(rect(0, 0, 1, 1))
    coords = c.coords()
    result = q.triangulate_surface(c, "TRI3", size)
    assert result.element_types() == ["TRI3"]
    assert coords.capacity() == 5
    assert cells_of(result) == [("TRI3", [4, 2, 3]), ("TRI3", [4, 1, 2]), ("TRI3", [0, 1, 4]), ("TRI3", [3, 0, 4])]
    assert positions(result)[4] == (0.5, 0.5)
    assert not result[0].is_sealed
    assert result[0].face_color == (180, 200, 230)


def test_unit_square_in_qua4_mode_keeps_four_triangles():
    result = q.triangulate_surface(contour(rect(0, 0, 1, 1)), "qua4")
    assert result.element_types() == ["TRI3"]
    assert result.cell_counts() == [4]


def test_qua4_pairs_every_triangle_of_two_squares():
    # No refinement with a large size: each unit square's two triangles pair
    # into one square quad.
    result = q.triangulate_surface(contour([(0, 0), (1, 0), (2, 0), (2, 1), (1, 1), (0, 1)]), "QUA4", size=10)
    assert result.element_types() == ["QUA4"]
    xy = positions(result)
    quads = [ids for _, ids in cells_of(result)]
    assert sorted(sorted(xy[i] for i in ids) for ids in quads) == [
        [(0, 0), (0, 1), (1, 0), (1, 1)], [(1, 0), (1, 1), (2, 0), (2, 1)]]
    assert all(cell_area(xy, ids) == 1.0 for ids in quads)


def test_qua4_with_an_odd_triangle_count_keeps_a_triangle():
    result = q.triangulate_surface(contour([(0, 0), (2, 0), (1, 1)]), "QUA4", size=10)
    assert result.element_types() == ["TRI3"]
    result = q.triangulate_surface(contour(circle(40)), "QUA4", size=0.15)
    types = result.element_types()
    assert types[0] == "QUA4" and sum(result.cell_counts()) > 40
    counts = dict(zip(types, result.cell_counts()))
    # Quad-dominant: most of the area is quads.
    assert counts["QUA4"] > counts.get("TRI3", 0)


# --- errors, in the order they are checked ----------------------------------


def _dim1():
    c = q.Coords(1)
    m = q.Mesh(c, "SEG2")
    a, b = c.add_node([0]), c.add_node([1])
    m[0].add_cell([a, b])
    return m


def _tri3_contour():
    c = q.Coords(2)
    m = q.Mesh(c, "TRI3")
    m[0].add_cell([c.add_node([0, 0]), c.add_node([1, 0]), c.add_node([0, 1])])
    return m


def _cells(pairs, n_nodes=6):
    c = q.Coords(2)
    nodes = [c.add_node([math.cos(i), math.sin(i)]) for i in range(n_nodes)]
    m = q.Mesh(c, "SEG2")
    for a, b in pairs:
        m[0].add_cell([nodes[a], nodes[b]])
    return m


ERRORS = [
    ("unknown_type", lambda: contour(rect(0, 0, 1, 1)), "FOO", None, ValueError, "unknown element type: FOO"),
    ("qua8", lambda: contour(rect(0, 0, 1, 1)), "QUA8", -1, RuntimeError,
     "triangulate_surface: element_type must be TRI3 or QUA4, got QUA8"),
    ("size_zero", lambda: q.Mesh(q.Coords(2)), "TRI3", 0, RuntimeError,
     "triangulate_surface: target_size must be > 0, got 0"),
    ("size_negative", lambda: contour(rect(0, 0, 1, 1)), "TRI3", -1, RuntimeError,
     "triangulate_surface: target_size must be > 0, got -1"),
    ("size_nan", lambda: contour(rect(0, 0, 1, 1)), "TRI3", float("nan"), RuntimeError,
     "triangulate_surface: target_size must be > 0, got NaN"),
    ("empty_mesh", lambda: q.Mesh(q.Coords(2)), "TRI3", None, RuntimeError, "coords: mesh has no submeshes"),
    ("dim1", _dim1, "TRI3", None, RuntimeError, "triangulate_surface: contour must be 2-D or 3-D, got dim=1"),
    ("not_seg2", _tri3_contour, "TRI3", None, RuntimeError,
     "triangulate_surface: contour submeshes must be SEG2, got TRI3"),
    ("two_segments", lambda: _cells([(0, 1), (1, 0)]), "TRI3", None, RuntimeError,
     "triangulate_surface: a boundary loop needs at least 3 segments"),
    ("branching", lambda: _cells([(0, 1), (1, 2), (2, 0), (0, 3)]), "TRI3", None, RuntimeError,
     "triangulate_surface: a boundary submesh is not a simple loop (branching)"),
    ("two_loops_in_one_submesh", lambda: _cells([(0, 1), (1, 2), (2, 0), (3, 4), (4, 5), (5, 3)]), "TRI3", None,
     RuntimeError, "triangulate_surface: a boundary submesh is not a simple loop (repeated node)"),
    ("open_chain", lambda: _cells([(0, 1), (1, 2), (2, 3)]), "TRI3", None, RuntimeError,
     "triangulate_surface: a boundary submesh is not closed"),
    ("walk_ends_off_start", lambda: _cells([(0, 1), (1, 2), (2, 1)]), "TRI3", None, RuntimeError,
     "triangulate_surface: a boundary submesh is not closed"),
    ("non_finite", lambda: contour([(0, 0), (1, 0), (float("inf"), 1)]), "TRI3", None, RuntimeError,
     "triangulate_surface: contour node 2 has a non-finite coordinate"),
    ("nan_3d", lambda: contour([(0, 0, 0), (1, float("nan"), 0), (0, 1, 0)], dim=3), "TRI3", None, RuntimeError,
     "triangulate_surface: contour node 1 has a non-finite coordinate"),
    ("collinear_3d", lambda: contour([(0, 0, 0), (1, 1, 1), (2, 2, 2)], dim=3), "TRI3", None, RuntimeError,
     "triangulate_surface: contour points are collinear or degenerate"),
    ("zero_area", lambda: contour([(0, 0), (1, 0), (2, 0)]), "TRI3", None, RuntimeError,
     "triangulate_surface: a boundary loop has zero area"),
    ("zero_area_far", lambda: contour([(1e8, 1e8), (1e8 + 1, 1e8), (1e8 + 2, 1e8)]), "TRI3", None, RuntimeError,
     "triangulate_surface: a boundary loop has zero area"),
    ("clockwise_only", lambda: contour(rect(0, 0, 1, 1, clockwise=True)), "TRI3", None, RuntimeError,
     "triangulate_surface: no counter-clockwise (outer) loop found"),
    ("hole_outside", lambda: contour(rect(0, 0, 1, 1), rect(5, 5, 6, 6, clockwise=True)), "TRI3", None, RuntimeError,
     "triangulate_surface: a hole (clockwise) loop is not contained in any outer loop"),
]


@pytest.mark.parametrize("build,name,size,exc,text", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_errors(build, name, size, exc, text):
    mesh = build()
    with raises(exc, text):
        q.triangulate_surface(mesh, name, size)


def test_failures_leave_the_coords_unchanged():
    c = contour(rect(0, 0, 4, 4, 4), rect(5, 5, 6, 6, clockwise=True))
    coords = c.coords()
    before = coords.capacity()
    with pytest.raises(RuntimeError):
        q.triangulate_surface(c, "TRI3", 0.1)
    assert coords.capacity() == before


@pytest.mark.parametrize("args,kwargs,text", [
    ((1, "TRI3"), {}, "argument 'contour': 'int' object is not an instance of 'Mesh'"),
    ((), {"contour": None, "element_type": "TRI3"}, "argument 'contour': 'None' is not an instance of 'Mesh'"),
    (("mesh", 3), {}, "argument 'element_type': 'int' object is not an instance of 'str'"),
], ids=["contour_int", "contour_none", "element_type_int"])
def test_argument_errors(args, kwargs, text):
    mesh = contour(rect(0, 0, 1, 1))
    args = tuple(mesh if a == "mesh" else a for a in args)
    with raises(TypeError, text):
        q.triangulate_surface(*args, **kwargs)


def test_argument_conversion_and_signature():
    mesh = contour(rect(0, 0, 1, 1))
    with pytest.raises(TypeError, match="^argument 'size': "):
        q.triangulate_surface(mesh, "TRI3", "0.5")
    with pytest.raises(TypeError):
        q.triangulate_surface(mesh[0], "TRI3")  # a SubMesh is no Mesh
    assert q.triangulate_surface.__text_signature__ == "(contour, element_type, size=None)"
    assert q.triangulate_surface(contour=mesh, element_type="tri3", size=1).cell_count() == 4
    assert "triangulate_surface" in q.__all__


# --- the boundary is kept, the domain is tiled ------------------------------

SHAPES = {
    "square_with_hole": [rect(0, 0, 4, 4, 4), rect(1.5, 1.5, 2.5, 2.5, 2, clockwise=True)],
    "star": [star(7, 3.0, 1.2)],
    "l_shape": [[(0, 0), (2, 0), (2, 1), (1, 1), (1, 2), (0, 2)]],
    "disc_with_two_holes": [circle(48, 3.0), circle(12, 0.6, -1.2, 0, True), circle(9, 0.5, 1.3, 0.4, True)],
    "two_domains": [rect(0, 0, 1, 1, 3), circle(20, 1.0, 4, 0)],
    "nested_islands": [rect(0, 0, 10, 10, 5), rect(2, 2, 8, 8, 3, clockwise=True), rect(3, 3, 7, 7, 2),
                       rect(4, 4, 6, 6, 2, clockwise=True)],
}


def check_tiling(c, loops, result):
    """Positive cells covering the loops' area, every contour segment an edge of
    exactly one cell in its own direction, contour nodes unmoved."""
    xy = positions(result)
    cells = cells_of(result)
    areas = [cell_area(xy, ids) for _, ids in cells]
    assert min(areas) > 0.0
    expected = sum(shoelace(p) for p in loops)
    assert sum(areas) == pytest.approx(expected, rel=1e-12)
    directed = {}
    for _, ids in cells:
        for k in range(len(ids)):
            e = (ids[k], ids[(k + 1) % len(ids)])
            directed[e] = directed.get(e, 0) + 1
    for seg in segments_of(c):
        assert directed.get(seg) == 1, seg
        assert (seg[1], seg[0]) not in directed
    # The boundary nodes are the contour's own, unmoved; every other node is new.
    contour_points = [pt for loop in loops for pt in loop]
    assert set(range(len(contour_points))) <= set(xy)
    for i, p in enumerate(contour_points):
        assert xy[i] == tuple(float(x) for x in p)


@pytest.mark.parametrize("element_type", ["TRI3", "QUA4"])
@pytest.mark.parametrize("size", [None, 0.3])
@pytest.mark.parametrize("shape", list(SHAPES), ids=list(SHAPES))
def test_cells_tile_the_domain_and_keep_every_boundary_segment(shape, size, element_type):
    loops = SHAPES[shape]
    c = contour(*loops)
    check_tiling(c, loops, q.triangulate_surface(c, element_type, size))


def _rotated_squares():
    # A square turned by 45 degrees with a grid of square holes turned likewise:
    # cocircular quadruples everywhere.
    loops = [[(0, -4), (4, 0), (0, 4), (-4, 0)]]
    for cx, cy in [(-1.5, 0), (1.5, 0), (0, 1.5), (0, -1.5)]:
        loops.append([(cx, cy - 0.5), (cx - 0.5, cy), (cx, cy + 0.5), (cx + 0.5, cy)])
    return loops


NEAR_DEGENERATE = {
    # Many contour points exactly on the diagonal x = y.
    "diagonal": [[(i / 16, i / 16) for i in range(17)] + [(0.5, 1.0), (0, 1.0)]],
    # Cocircular: regular polygons, the hole concentric with the disc.
    "cocircular": [circle(64), circle(32, 0.5, clockwise=True)],
    "rotated_squares": _rotated_squares(),
    # A grid of contour points along all four sides (cocircular everywhere inside).
    "grid_square": [rect(0, 0, 1, 1, 25)],
}


@pytest.mark.parametrize("size", [None, 0.05, 1e3])
@pytest.mark.parametrize("shape", list(NEAR_DEGENERATE), ids=list(NEAR_DEGENERATE))
def test_near_degenerate_input_meshes_cleanly(shape, size):
    loops = NEAR_DEGENERATE[shape]
    c = contour(*loops)
    check_tiling(c, loops, q.triangulate_surface(c, "TRI3", size))


def test_nested_island_holes_go_to_the_innermost_outer_loop():
    loops = SHAPES["nested_islands"]
    result = q.triangulate_surface(contour(*loops), "TRI3", 0.5)
    xy = positions(result)
    for _, ids in cells_of(result):
        cx = sum(xy[i][0] for i in ids) / 3
        cy = sum(xy[i][1] for i in ids) / 3
        in_first_hole = 2 < cx < 8 and 2 < cy < 8 and not (3 < cx < 7 and 3 < cy < 7)
        in_island_hole = 4 < cx < 6 and 4 < cy < 6
        assert not in_first_hole and not in_island_hole, (cx, cy)


def test_two_domains_come_out_in_contour_order():
    first, second = rect(0, 0, 1, 1, 4), rect(3, 0, 4, 1, 4)
    c = contour(first, second)
    coords = c.coords()
    n0 = coords.capacity()
    result = q.triangulate_surface(c, "TRI3", 0.3)
    xy = positions(result)
    sides = [xy[ids[0]][0] < 2 for _, ids in cells_of(result)]
    k = sides.count(True)
    assert sides == [True] * k + [False] * (len(sides) - k) and 0 < k < len(sides)
    # New nodes: the first domain's, then the second's.
    new = sorted(i for i in xy if i >= n0)
    assert new == list(range(n0, coords.capacity()))
    xs = [xy[i][0] for i in new]
    assert xs == sorted(xs, key=lambda x: x > 2)


# --- far from the origin ----------------------------------------------------


def dyadic(points, bits=10):
    """`points` on a grid of 2**-bits: still exact once moved by a large offset."""
    return [tuple(round(x * 2**bits) / 2**bits for x in p) for p in points]


# Shapes with their size, dimension and least cell count; the offsets are
# multiples of the shift's rounding step, so that the relative coordinates are
# the very same.
FAR_SHAPES = {
    "unit_square": ([rect(0, 0, 1, 1)], None, 2, 4),
    "star_with_hole": ([dyadic(star(7, 3.0, 1.2)), dyadic(circle(12, 0.5, clockwise=True))], 0.2, 2, 300),
    "planar_3d": ([dyadic([(x, y, x) for x, y in circle(40, 1.0)])], 0.15, 3, 300),
}
FAR_OFFSETS = [(1e8, 1e8, 1e8), (-1e8, 3e8, -2e8), (2.0**40, 0.0, 2.0**20), (1e12, -1e12, 1e12)]


@pytest.mark.parametrize("offset", FAR_OFFSETS, ids=["1e8", "mixed_1e8", "2^40", "1e12"])
@pytest.mark.parametrize("shape", list(FAR_SHAPES), ids=list(FAR_SHAPES))
def test_a_contour_far_from_the_origin_meshes_as_at_the_origin(shape, offset):
    loops, size, dim, least = FAR_SHAPES[shape]
    moved = [[tuple(x + o for x, o in zip(p, offset)) for p in loop] for loop in loops]
    near = q.triangulate_surface(contour(*loops, dim=dim), "TRI3", size)
    far = q.triangulate_surface(contour(*moved, dim=dim), "TRI3", size)
    assert len(cells_of(near)) >= least
    assert cells_of(far) == cells_of(near)
    # The new nodes are those of the contour at the origin, moved (one rounding).
    assert positions(far) == {i: tuple(x + o for x, o in zip(p, offset)) for i, p in positions(near).items()}


# --- against Qhull ----------------------------------------------------------


@pytest.mark.parametrize("seed", range(4))
def test_unconstrained_delaunay_equals_qhull(hooks, seed):
    points = np.random.default_rng(seed).random((400, 2)) * [3.0, 1.0]
    mine = {tuple(sorted(t)) for t in hooks.delaunay(points.tolist())}
    assert mine == {tuple(sorted(t)) for t in Delaunay(points).simplices.tolist()}


@pytest.mark.parametrize("seed", range(4))
def test_convex_loop_on_an_ellipse_equals_qhull(seed):
    angles = np.sort(np.random.default_rng(seed).random(60) * 2 * np.pi)
    points = np.column_stack([2.0 * np.cos(angles), 0.7 * np.sin(angles)])
    c = contour(points.tolist())
    result = q.triangulate_surface(c, "TRI3", 1000.0)
    assert c.coords().capacity() == 60  # no interior node
    mine = {tuple(sorted(ids)) for _, ids in cells_of(result)}
    assert mine == {tuple(sorted(t)) for t in Delaunay(points).simplices.tolist()}


# --- quality ----------------------------------------------------------------


def min_angles(result):
    xy = positions(result)
    out = []
    for _, ids in cells_of(result):
        p = [np.array(xy[i][:2]) for i in ids]
        angles = []
        for k in range(3):
            u, v = p[(k + 1) % 3] - p[k], p[(k + 2) % 3] - p[k]
            angles.append(math.degrees(math.acos(np.clip(u @ v / np.linalg.norm(u) / np.linalg.norm(v), -1, 1))))
        out.append(min(angles))
    return np.array(out)


@pytest.mark.parametrize("loops,h", [
    ([circle(64)], 2 * math.pi / 64),
    ([rect(0, 0, 2, 1, 20)], 0.1),
    ([circle(80, 2.0), circle(30, 0.6, 0.3, 0.2, True)], 4 * math.pi / 80),
    ([[(0, 0), (1, 0), (0.5, math.sqrt(3) / 2)]], None),
], ids=["disc", "rectangle", "disc_with_hole", "equilateral"])
def test_contours_sampled_at_h_give_good_angles(loops, h):
    angles = min_angles(q.triangulate_surface(contour(*loops), "TRI3", h))
    assert angles.min() >= 10.0
    assert np.mean(angles >= 20.0) >= 0.95


# --- 3-D planar loops -------------------------------------------------------


@pytest.mark.parametrize("reverse", [False, True])
def test_planar_loop_in_3d_stays_in_its_plane_and_turns_about_its_normal(reverse):
    pts = [(x, y, x) for x, y in circle(32, 1.0)]  # the plane z = x
    if reverse:
        pts = pts[::-1]  # a single 3-D loop is an outer loop whichever way it runs
    c = contour(pts, dim=3)
    result = q.triangulate_surface(c, "TRI3", 0.2)
    xy = positions(result)
    assert len(xy) > 32
    for p in xy.values():
        assert len(p) == 3 and p[2] == pytest.approx(p[0], abs=1e-12)
    p = np.array(pts)
    newell = np.cross(p, np.roll(p, -1, axis=0)).sum(axis=0)
    area = 0.0
    for _, ids in cells_of(result):
        a, b, d = (np.array(xy[i]) for i in ids)
        n = np.cross(b - a, d - a)
        assert n @ newell > 0
        area += np.linalg.norm(n) / 2
    assert area == pytest.approx(np.linalg.norm(newell) / 2, rel=1e-12)


def test_clockwise_loop_on_a_2d_coords_is_no_domain():
    with raises(RuntimeError, "triangulate_surface: no counter-clockwise (outer) loop found"):
        q.triangulate_surface(contour(circle(12, clockwise=True)), "TRI3")


# --- determinism ------------------------------------------------------------

_SCRIPT = textwrap.dedent("""
    import math, os, sys
    if len(sys.argv) > 1:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    import _quenlith as q
    coords = q.Coords(2)
    def loop(points):
        nodes = [coords.add_node(list(p)) for p in points]
        m = q.Mesh(coords, "SEG2")
        for i in range(len(nodes)):
            m[0].add_cell([nodes[i], nodes[(i + 1) % len(nodes)]])
        return m
    outer = [(3 * math.cos(t) * (1 + 0.2 * math.cos(5 * t)), 2 * math.sin(t)) for t in
             [2 * math.pi * i / 90 for i in range(90)]]
    hole = [(0.5 * math.cos(-t), 0.4 * math.sin(-t)) for t in [2 * math.pi * i / 20 for i in range(20)]]
    contour = loop(outer) | loop(hole)
    for kind in ("TRI3", "QUA4"):
        r = q.triangulate_surface(contour, kind, 0.05)
        for sub in r:
            for cell in sub:
                print(sub.element_type, [(n.id, n.coord()) for n in cell.nodes()])
""")


def test_one_thread_and_all_threads_give_identical_output():
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("a single CPU is available")
    one = subprocess.run([sys.executable, "-c", _SCRIPT, "one"], capture_output=True, text=True, check=True).stdout
    every = subprocess.run([sys.executable, "-c", _SCRIPT], capture_output=True, text=True, check=True).stdout
    assert one.count("\n") > 1000
    assert one == every


def test_a_signal_during_meshing_raises_keyboard_interrupt_and_adds_no_node():
    import signal

    c = contour(circle(600))
    coords = c.coords()
    before = coords.capacity()

    def stop(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(KeyboardInterrupt):
            q.triangulate_surface(c, "TRI3", 0.002)  # about 4 million triangles: far longer than the timer
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert coords.capacity() == before
