"""Topology tools: orient, skin, border, merge_nodes and consolidate, on meshes
built by hand (blocks of hexahedra, rings of quadrilaterals, seams)."""

import itertools
import math
import random

import numpy as np
import pytest
from scipy.spatial import cKDTree

import _quenlith as q
from helpers import raises

NAN = float("nan")


# --- fixtures ------------------------------------------------------------------


def mesh_of(coords, parts):
    """A Mesh of one submesh per (element type, cells[, colour]) on `coords`; cells are node-id lists."""
    m = q.Mesh(coords)
    for part in parts:
        etype, cells = part[0], part[1]
        s = q.Mesh(coords, etype)[0]
        if len(part) > 2:
            s.face_color = part[2]
        for cell in cells:
            s.add_cell([coords.acquire(i) for i in cell])
        m.add_sub(s)
    return m


def points(dim, pts):
    c = q.Coords(dim)
    keep = [c.add_node(list(p)) for p in pts]
    return c, keep


def cells_of(m):
    return [[[n.id for n in cell] for cell in sub] for sub in m]


def hex_block(nx, ny, nz, size=1.0):
    """A HEX8 block of nx*ny*nz positively oriented cells filling [0, size]^3."""
    grid = [(i * size / nx, j * size / ny, k * size / nz)
            for k in range(nz + 1) for j in range(ny + 1) for i in range(nx + 1)]
    c, keep = points(3, grid)

    def nid(i, j, k):
        return (k * (ny + 1) + j) * (nx + 1) + i

    cells = []
    for k, j, i in itertools.product(range(nz), range(ny), range(nx)):
        bottom = [nid(i, j, k), nid(i + 1, j, k), nid(i + 1, j + 1, k), nid(i, j + 1, k)]
        cells.append(bottom + [n + (nx + 1) * (ny + 1) for n in bottom])
    return c, keep, cells


def quad_ring(n=4):
    """Counter-clockwise QUA4 cells of an n x n grid of unit squares without its middle (n - 2)^2."""
    pts = [(i, j) for j in range(n + 1) for i in range(n + 1)]
    c, keep = points(2, pts)
    cells = [[j * (n + 1) + i, j * (n + 1) + i + 1, (j + 1) * (n + 1) + i + 1, (j + 1) * (n + 1) + i]
             for j in range(n) for i in range(n) if i in (0, n - 1) or j in (0, n - 1)]
    return c, keep, cells


def xyz(c, ids):
    return np.array([c.acquire(i).coord() for i in ids])


def signed_volume(c, m):
    """Volume enclosed by a closed surface mesh (divergence theorem over a fan of each cell)."""
    total = 0.0
    for sub in cells_of(m):
        for cell in sub:
            p = xyz(c, cell)
            for a, b in zip(p[1:-1], p[2:]):
                total += np.dot(p[0], np.cross(a, b)) / 6.0
    return total


def polygon_area(p):
    p = np.asarray(p)
    return 0.5 * np.linalg.norm(sum(np.cross(p[i], p[(i + 1) % len(p)]) for i in range(len(p))))


# --- orient --------------------------------------------------------------------


@pytest.mark.parametrize(
    "parts, expected",
    [
        ([("TRI3", [[0, 1, 2], [1, 2, 3]])], [[[0, 1, 2], [1, 3, 2]]]),
        ([("TRI3", [[0, 1, 2], [2, 1, 3]])], [[[0, 1, 2], [2, 1, 3]]]),
        ([("SEG2", [[0, 1], [2, 1]])], [[[0, 1], [1, 2]]]),
        ([("SEG3", [[0, 1, 5], [2, 1, 6]])], [[[0, 1, 5], [1, 2, 6]]]),
        ([("TET4", [[0, 1, 2, 3], [2, 1, 3, 4]])], [[[0, 1, 2, 3], [2, 3, 1, 4]]]),
        ([("TET4", [[0, 1, 2, 3], [1, 2, 3, 4]])], [[[0, 1, 2, 3], [1, 2, 3, 4]]]),
        # Two components: each keeps its first cell.
        ([("TRI3", [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 6, 7]])],
         [[[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6]]]),
        # Three segments at node 1 link nothing; 3-4 links to the third only.
        ([("SEG2", [[0, 1], [2, 1], [1, 3], [4, 3]])], [[[0, 1], [2, 1], [1, 3], [3, 4]]]),
        # Three triangles on edge 0-1: independent.
        ([("TRI3", [[0, 1, 2], [0, 1, 3], [0, 1, 4]])], [[[0, 1, 2], [0, 1, 3], [0, 1, 4]]]),
        # A TRI3 and a QUA4 submesh are harmonised together, across submeshes.
        ([("TRI3", [[0, 1, 2]]), ("QUA4", [[1, 2, 3, 4]])], [[[0, 1, 2]], [[1, 4, 3, 2]]]),
        # TRI6 cells link to TRI3 cells through their corners; the mid nodes follow.
        ([("TRI3", [[0, 1, 2]]), ("TRI6", [[1, 2, 3, 10, 11, 12]])], [[[0, 1, 2]], [[1, 3, 2, 12, 11, 10]]]),
        # A surface cell and a volume cell never meet.
        ([("TRI3", [[1, 2, 3]]), ("TET4", [[0, 1, 2, 3]])], [[[1, 2, 3]], [[0, 1, 2, 3]]]),
        # POI1 cells count in the numbering but pass through.
        ([("POI1", [[0], [1]]), ("SEG2", [[1, 0], [2, 1], [2, 3]])], [[[0], [1]], [[1, 0], [2, 1], [3, 2]]]),
        ([("QUA4", [[0, 1, 2, 3]])], [[[0, 1, 2, 3]]]),
    ],
    ids=["tri-flip", "tri-keep", "seg2", "seg3-mid-last", "tet-flip", "tet-keep", "two-components",
         "three-segments", "three-triangles", "tri-qua", "tri3-tri6", "surface-volume", "poi1", "one-cell"],
)
def test_orient_cases(parts, expected):
    c, _ = points(3, [(i, i * i % 7, i % 3) for i in range(13)])
    parts = [(t, cells, (10 * i, 20, 30)) for i, (t, cells) in enumerate(parts)]
    m = mesh_of(c, parts)
    out = q.orient(m)
    assert cells_of(out) == expected
    assert out.element_types() == m.element_types()
    assert [s.face_color for s in out] == [s.face_color for s in m]
    assert not any(s.is_sealed for s in out)
    assert cells_of(m) == [p[1] for p in parts]  # input untouched


def test_orient_makes_a_scrambled_closed_surface_consistent():
    c, keep, cells = hex_block(3, 2, 2)
    surface = q.skin(mesh_of(c, [("HEX8", cells)]), 180)
    faces = cells_of(surface)[0]
    rng = random.Random(5)
    scrambled = [list(reversed(f)) if rng.random() < 0.5 else f for f in faces]
    scrambled[0] = list(reversed(faces[0]))  # the seed points inwards
    out = q.orient(mesh_of(c, [("QUA4", scrambled)]))
    # Every cell now agrees with the seed: the whole surface points inwards.
    assert signed_volume(c, out) == pytest.approx(-1.0)
    assert len(q.border(out)) == 0


def test_orient_of_a_one_sided_strip_decides_at_first_visits():
    # A strip of four quads closed with a half turn (the last cell joins 6-7 to 1-0).
    c, _ = points(3, [(math.cos(t), math.sin(t), s) for t in (0, 1.5, 3, 4.5) for s in (0, 1)])
    cells = [[0, 2, 3, 1], [2, 4, 5, 3], [4, 6, 7, 5], [6, 1, 0, 7]]
    out = q.orient(mesh_of(c, [("QUA4", cells)]))
    # Cell 3 is reached first from cell 0, across the twisted edge, and flipped; the
    # conflict with cell 2 is never looked at again.
    assert cells_of(out) == [[[0, 2, 3, 1], [2, 4, 5, 3], [4, 6, 7, 5], [6, 7, 0, 1]]]


def test_orient_quadratic_flip_matches_the_inversion_of_every_type():
    # Two cells that run through a shared facet in the same direction: the second is
    # reversed with the inversion permutation of its type.
    perms = {
        "QUA8": ([0, 1, 2, 3], [0, 1, 4, 5], [0, 3, 2, 1, 7, 6, 5, 4]),
        "QUA9": ([0, 1, 2, 3], [0, 1, 4, 5], [0, 3, 2, 1, 7, 6, 5, 4, 8]),
        "TET10": ([0, 1, 2, 3], [0, 1, 2, 4], [0, 2, 1, 3, 6, 5, 4, 7, 9, 8]),
        "PENTA15": ([0, 1, 2, 3, 4, 5], [0, 1, 2, 6, 7, 8], [0, 2, 1, 3, 5, 4, 8, 7, 6, 11, 10, 9, 12, 14, 13]),
        "HEX20": (list(range(8)), [0, 1, 2, 3, 8, 9, 10, 11],
                  [0, 3, 2, 1, 4, 7, 6, 5, 11, 10, 9, 8, 15, 14, 13, 12, 16, 19, 18, 17]),
        "HEX27": (list(range(8)), [0, 1, 2, 3, 8, 9, 10, 11],
                  [0, 3, 2, 1, 4, 7, 6, 5, 11, 10, 9, 8, 15, 14, 13, 12, 16, 19, 18, 17,
                   22, 23, 20, 21, 24, 25, 26]),
    }
    for etype, (corners_a, corners_b, perm) in perms.items():
        k = len(perm)
        n_corner = len(corners_a)
        a = corners_a + list(range(100, 100 + k - n_corner))
        b = corners_b + list(range(200, 200 + k - n_corner))
        c, _ = points(1, [(i,) for i in range(300)])
        out = cells_of(q.orient(mesh_of(c, [(etype, [a, b])])))[0]
        assert out[0] == a, etype
        assert out[1] == [b[p] for p in perm], etype


# --- skin ----------------------------------------------------------------------


def test_skin_of_a_2x2x2_cube():
    c, keep, cells = hex_block(2, 2, 2)
    m = mesh_of(c, [("HEX8", cells)])
    out = q.skin(m)
    assert out.element_types() == ["QUA4"] * 6
    assert out.cell_counts() == [4] * 6
    faces = [cell for sub in cells_of(out) for cell in sub]
    area = sum(polygon_area(xyz(c, f)) for f in faces)
    assert area == pytest.approx(6.0)
    vertices = {n for f in faces for n in f}
    edges = {frozenset((f[i], f[(i + 1) % 4])) for f in faces for i in range(4)}
    assert len(vertices) - len(edges) + len(faces) == 2
    assert signed_volume(c, out) == pytest.approx(1.0)  # outward
    # Each face is flat: one coordinate is constant over its nodes.
    for sub in cells_of(out):
        p = xyz(c, [n for cell in sub for n in cell])
        assert np.isclose(p.min(axis=0), p.max(axis=0)).sum() == 1
    assert all(s.face_color == (180, 200, 230) and not s.is_sealed for s in out)


def test_skin_of_one_hex_follows_the_facet_table():
    c, keep, cells = hex_block(1, 1, 1)
    out = q.skin(mesh_of(c, [("HEX8", cells)]))
    table = [(0, 3, 2, 1), (4, 5, 6, 7), (0, 1, 5, 4), (1, 2, 6, 5), (2, 3, 7, 6), (3, 0, 4, 7)]
    assert cells_of(out) == [[[cells[0][i] for i in f]] for f in table]


def kuhn_tets(cube):
    """The six tetrahedra of one cube (HEX8 node list) around its 0-6 diagonal, positively oriented."""
    paths = [(1, 2), (2, 3), (3, 7), (7, 4), (4, 5), (5, 1)]
    return [[cube[0], cube[a], cube[b], cube[6]] for a, b in paths]


@pytest.mark.parametrize(
    "case, types, counts",
    [
        ("tet", ["TRI3"] * 4, [1] * 4),
        ("cube-of-tets", ["TRI3"] * 6, [2] * 6),
        ("penta", ["TRI3", "TRI3", "QUA4", "QUA4", "QUA4"], [1] * 5),
        # Bottoms and tops join across the prism and the hex; so do their y = 0 sides.
        ("penta-beside-hex", ["TRI3", "QUA4", "TRI3", "QUA4", "QUA4", "QUA4", "QUA4", "QUA4"],
         [1, 1, 1, 1, 2, 1, 1, 1]),
        # The two bottoms (z = 0) are coplanar and share an edge.
        ("two-tets-sharing-a-facet", ["TRI3"] * 5, [2, 1, 1, 1, 1]),
        ("identical-tets", [], []),
        ("with-poi1", ["QUA4"] * 6, [1] * 6),
    ],
)
def test_skin_cases(case, types, counts):
    c, keep, hexes = hex_block(2, 1, 1)
    h0, h1 = hexes
    parts = {
        "tet": [("TET4", [[0, 1, 3, 6]])],
        "cube-of-tets": [("TET4", kuhn_tets(h0))],
        "penta": [("PENTA6", [[h0[0], h0[1], h0[2], h0[4], h0[5], h0[6]]])],
        # A prism (half of the first cube) beside a hex (the second cube): the bottom
        # and top of the prism join the hex's bottom and top.
        "penta-beside-hex": [("PENTA6", [[h0[0], h0[1], h0[2], h0[4], h0[5], h0[6]]]), ("HEX8", [h1])],
        "two-tets-sharing-a-facet": [("TET4", kuhn_tets(h0)[:2])],
        "identical-tets": [("TET4", [kuhn_tets(h0)[0]] * 2)],
        "with-poi1": [("POI1", [[0], [5]]), ("HEX8", [h0])],
    }[case]
    out = q.skin(mesh_of(c, parts))
    assert out.element_types() == types
    assert out.cell_counts() == counts
    if case in ("tet", "cube-of-tets", "penta"):
        assert signed_volume(c, out) > 0


def test_skin_mixed_flat_face_gives_triangles_then_quadrilaterals():
    c, keep, hexes = hex_block(2, 1, 1)
    h0, h1 = hexes
    prism = [h0[0], h0[1], h0[2], h0[4], h0[5], h0[6]]
    out = q.skin(mesh_of(c, [("PENTA6", [prism]), ("HEX8", [h1])]))
    # Face 0 is the coplanar bottom z = 0: the prism's triangle, then the hex's quad.
    assert out.element_types()[:2] == ["TRI3", "QUA4"]
    for sub in cells_of(out)[:2]:
        assert all(z == 0 for cell in sub for z in xyz(c, cell)[:, 2])


@pytest.mark.parametrize(
    "angle, n_faces",
    # cos(90°) is 6e-17 > 0 in doubles: perpendicular facets join from just above 90°.
    [(None, 6), (1, 6), (0, 6), (89, 6), (90, 6), (90.001, 1), (180, 1), (270, 1), (-91, 1), (-45, 6),
     (float("nan"), 24), (float("inf"), 24)],
)
def test_skin_angle_threshold(angle, n_faces):
    c, keep, cells = hex_block(2, 2, 2)
    out = q.skin(mesh_of(c, [("HEX8", cells)]), angle)
    assert len(out) == n_faces
    assert sum(out.cell_counts()) == 24


def test_skin_floods_a_gently_curved_surface_into_one_face():
    # A ring of 36 hexes around the z axis: neighbouring outer facets differ by 10°.
    n = 36
    pts = [(r * math.cos(2 * math.pi * i / n), r * math.sin(2 * math.pi * i / n), z)
           for z in (0, 1) for r in (1, 2) for i in range(n)]
    c, keep = points(3, pts)

    def nid(z, r, i):
        return (z * 2 + r) * n + i % n

    cells = [[nid(0, 0, i), nid(0, 1, i), nid(0, 1, i + 1), nid(0, 0, i + 1),
              nid(1, 0, i), nid(1, 1, i), nid(1, 1, i + 1), nid(1, 0, i + 1)] for i in range(n)]
    m = mesh_of(c, [("HEX8", cells)])
    assert q.skin(m, 11).cell_counts() == [n, n, n, n]  # bottom, top, outer and inner faces
    assert len(q.skin(m)) == 2 + 2 * n


def test_skin_zero_area_facet_joins_only_below_a_zero_threshold():
    # A flat tetrahedron in the plane z = 0: facet (0, 2, 1) is a segment (normal
    # (0, 0, 0)), the others have the normals +z, -z, +z.
    c, _ = points(3, [(0, 0, 0), (1, 0, 0), (2, 0, 0), (0, 1, 0)])
    m = mesh_of(c, [("TET4", [[0, 1, 2, 3]])])
    assert cells_of(q.skin(m, 91)) == [[[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]]
    assert cells_of(q.skin(m, 89)) == [[[0, 2, 1]], [[0, 1, 3], [1, 2, 3]], [[0, 3, 2]]]


@pytest.mark.parametrize(
    "build, exc, text",
    [
        (lambda: q.Mesh(q.Coords(3)), RuntimeError, "coords: mesh has no submeshes"),
        (lambda: mesh_of(points(2, [(0, 0)] * 4)[0], [("QUA4", [[0, 1, 2, 3]])]), RuntimeError,
         "skin: only 3-D volume meshes are supported, got dim=2"),
        (lambda: mesh_of(points(3, [(0, 0, 0)] * 10)[0], [("TET4", [[0, 1, 2, 3]]), ("TET10", [list(range(10))])]),
         RuntimeError, "skin: only volume meshes (TET4/PENTA6/HEX8) are supported, got TET10"),
        (lambda: mesh_of(points(3, [(0, 0, 0)] * 3)[0], [("POI1", [[0]]), ("TRI3", [[0, 1, 2]])]),
         RuntimeError, "skin: only volume meshes (TET4/PENTA6/HEX8) are supported, got TRI3"),
        (lambda: mesh_of(points(3, [(0, 0, 0)])[0], [("POI1", [[0]])]), RuntimeError,
         "skin: mesh has no volume cells (TET4/PENTA6/HEX8)"),
    ],
    ids=["empty", "dim2", "tet10", "tri3", "poi1-only"],
)
def test_skin_errors(build, exc, text):
    with raises(exc, text):
        q.skin(build())


def test_skin_argument_errors():
    c, keep, cells = hex_block(1, 1, 1)
    m = mesh_of(c, [("HEX8", cells)])
    with raises(TypeError, "argument 'mesh': 'SubMesh' object is not an instance of 'Mesh'"):
        q.skin(m[0])
    with raises(TypeError, "argument 'angle_deg': must be real number, not str"):
        q.skin(m, "a")
    with raises(TypeError, "argument 'mesh': 'int' object is not an instance of 'Mesh'"):
        q.skin(3, "a")  # mesh is converted first
    assert len(q.skin(mesh=m, angle_deg=None)) == 6


# --- border --------------------------------------------------------------------


def loop_signed_area(c, loop):
    p = xyz(c, [cell[0] for cell in loop])
    return 0.5 * sum(p[i, 0] * p[(i + 1) % len(p), 1] - p[(i + 1) % len(p), 0] * p[i, 1] for i in range(len(p)))


def test_border_of_a_quad_ring():
    c, keep, cells = quad_ring(4)
    out = q.border(mesh_of(c, [("QUA4", cells)]))
    assert out.element_types() == ["SEG2", "SEG2"]
    outer, hole = cells_of(out)
    for loop in (outer, hole):
        assert all(a[1] == b[0] for a, b in zip(loop, loop[1:] + loop[:1]))  # closed, head to tail
    assert loop_signed_area(c, outer) == pytest.approx(16.0)  # counter-clockwise
    assert loop_signed_area(c, hole) == pytest.approx(-4.0)  # clockwise
    lengths = [sum(np.linalg.norm(np.subtract(*xyz(c, seg))) for seg in loop) for loop in (outer, hole)]
    assert lengths == pytest.approx([16.0, 8.0])
    assert outer[0] == [0, 1]  # the loop of the first boundary edge comes first


@pytest.mark.parametrize(
    "parts, expected",
    [
        ([("TRI3", [[0, 1, 2]])], [[[0, 1], [1, 2], [2, 0]]]),
        ([("TRI3", [[0, 1, 2], [0, 2, 3]])], [[[0, 1], [1, 2], [2, 3], [3, 0]]]),
        ([("TRI3", [[0, 1, 2], [2, 3, 4]])], [[[0, 1], [1, 2], [2, 0]], [[2, 3], [3, 4], [4, 2]]]),
        # Surface of a tetrahedron: closed, no loop.
        ([("TRI3", [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])], []),
        # Edge 0-1 is shared by four triangles: not a boundary edge.
        ([("TRI3", [[0, 1, 2], [1, 0, 3]]), ("TRI3", [[0, 1, 4], [1, 0, 5]])],
         [[[1, 2], [2, 0], [0, 3], [3, 1]], [[0, 5], [5, 1], [1, 4], [4, 0]]]),
        ([("POI1", [[5]]), ("TRI3", [[0, 1, 2]])], [[[0, 1], [1, 2], [2, 0]]]),
        ([("TRI3", [[0, 1, 2]]), ("QUA4", [[1, 3, 4, 2]])], [[[0, 1], [1, 3], [3, 4], [4, 2], [2, 0]]]),
        ([("TRI3", [])], []),
    ],
    ids=["one-tri", "two-tri", "pinch", "closed", "non-manifold-edge", "poi1-ignored", "tri-qua", "no-cells"],
)
def test_border_cases(parts, expected):
    c, _ = points(2, [(i, i * i) for i in range(6)])
    assert cells_of(q.border(mesh_of(c, parts))) == expected


@pytest.mark.parametrize(
    "parts, text",
    [
        ([("TRI3", [[0, 1, 2], [0, 1, 3]])], "border: boundary is not a closed loop (open or non-manifold at node 0)"),
        ([("POI1", [[0]]), ("POI1", [[1]])], "border: mesh has no surface cells (TRI3/QUA4)"),
        ([("TRI3", [[0, 1, 2]]), ("SEG2", [[0, 1]])], "border: only surface meshes (TRI3/QUA4) are supported, got SEG2"),
        ([("TRI6", [[0, 1, 2, 3, 4, 5]])], "border: only surface meshes (TRI3/QUA4) are supported, got TRI6"),
    ],
    ids=["opposed", "poi1-only", "seg2", "tri6"],
)
def test_border_errors(parts, text):
    c, _ = points(2, [(i, 0) for i in range(6)])
    with raises(RuntimeError, text):
        q.border(mesh_of(c, parts))
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.border(q.Mesh(c))


# --- merge_nodes -----------------------------------------------------------------


def reference_merge(coords, tol):
    """The welding rule written plainly: nodes by increasing id, grid cells by offsets in
    lexicographic order, each cell's representatives in insertion order."""
    h = tol if tol > 0 else 1.0
    dim = len(coords[0])
    grid, rep = {}, {}
    offsets = list(itertools.product((-1, 0, 1), repeat=dim))
    for x in sorted(coords):
        p = coords[x]
        key = tuple(math.floor(v / h) for v in p)
        found = None
        for off in offsets:
            for y in grid.get(tuple(k + o for k, o in zip(key, off)), []):
                if sum((a - b) ** 2 for a, b in zip(p, coords[y])) <= tol * tol:
                    found = y
                    break
            if found is not None:
                break
        if found is None:
            grid.setdefault(key, []).append(x)
            found = x
        rep[x] = found
    return rep


def poi1_reps(c, ids, tol):
    out = q.merge_nodes(mesh_of(c, [("POI1", [[i] for i in ids])]), tol)
    return [cell[0] for cell in cells_of(out)[0]]


def test_merge_nodes_welds_a_seam():
    # Two 1x2 QUA4 patches side by side; the second patch's left nodes 10, 11 lie on
    # the first patch's right nodes 3, 4.
    pts = [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1), (1, 2), (9, 9), (9, 9), (9, 9), (9, 9), (1, 0), (1, 1),
           (2, 0), (2, 1)]
    c, keep = points(2, pts)
    m = mesh_of(c, [("QUA4", [[0, 3, 4, 1], [1, 4, 5, 2]], (1, 2, 3)), ("QUA4", [[10, 12, 13, 11]], (4, 5, 6))])
    out = q.merge_nodes(m, 0)
    assert cells_of(out) == [[[0, 3, 4, 1], [1, 4, 5, 2]], [[3, 12, 13, 4]]]
    assert [s.face_color for s in out] == [(1, 2, 3), (4, 5, 6)]
    assert c.is_alive(10) and c.is_alive(11)
    assert c.refcount(10) == 1 + 1  # our Node and the input's cell, not the result's
    # Conforming now: one border loop around the three cells.
    assert len(q.border(out)) == 1


@pytest.mark.parametrize(
    "pts, tol, reps",
    [
        ([(0,), (0.9,), (1.8,)], 1, [0, 0, 2]),
        ([(0,), (5e-10,)], 1e-9, [0, 0]),
        ([(0,), (5e-10,)], 0, [0, 1]),
        ([(0.0,), (-0.0,)], 0, [0, 0]),
        ([(0,), (1e-300,)], float("nan"), [0, 1]),
        ([(0,), (1e300,), (-1e300,)], float("inf"), [0, 0, 0]),
        ([(float("nan"),), (float("nan"),)], 1, [0, 1]),
        ([(1e300,), (1e300,)], 1e-300, [0, 0]),
        # The first representative in search order wins, not the nearest: node 2 is
        # closer to node 1 but node 0 sits in the cell of offset -1.
        ([(0.1,), (2.05,), (1.09,)], 1, [0, 1, 0]),
        ([(0.95,), (1.55,), (1.6,)], 1, [0, 0, 0]),
    ],
    ids=["chain", "close", "tol0-apart", "signed-zero", "nan-tol", "inf-tol", "nan-coord", "saturated-keys",
         "first-not-nearest", "not-transitive"],
)
def test_merge_nodes_rule(pts, tol, reps):
    c, _ = points(len(pts[0]), pts)
    assert poi1_reps(c, range(len(pts)), tol) == reps


def test_merge_nodes_search_order_prefers_lower_offsets():
    # Node 2 is within tol of both representatives 0 (cell +1) and 1 (cell -1): the
    # cell of offset -1 is searched first.
    c, _ = points(1, [(2.5,), (0.5,), (1.5,)])
    assert poi1_reps(c, [0, 1, 2], 1) == [0, 1, 1]
    assert reference_merge({0: (2.5,), 1: (0.5,), 2: (1.5,)}, 1) == {0: 0, 1: 1, 2: 1}


@pytest.mark.parametrize("dim", [1, 2, 3, 4, 5])
def test_merge_nodes_matches_the_rule_and_scipy(dim):
    rng = np.random.default_rng(dim)
    centres = rng.uniform(0, 4, size=(40, dim))
    pts = np.concatenate([centres + rng.normal(0, 0.15, size=centres.shape) for _ in range(4)])
    rng.shuffle(pts)
    tol = 0.3
    c, _ = points(dim, pts.tolist())
    ids = list(range(len(pts)))
    reps = poi1_reps(c, ids, tol)
    expected = reference_merge({i: tuple(p) for i, p in enumerate(pts.tolist())}, tol)
    assert reps == [expected[i] for i in ids]
    rep_ids = sorted(set(reps))
    # Representatives are pairwise farther than tol; every node is within tol of its own.
    assert cKDTree(pts[rep_ids]).query_pairs(tol) == set()
    assert all(np.linalg.norm(pts[i] - pts[r]) <= tol and r <= i for i, r in enumerate(reps))


def test_merge_nodes_in_many_dimensions_does_not_enumerate_offsets():
    dim = 40
    rng = np.random.default_rng(1)
    base = rng.uniform(0, 10, size=(30, dim))
    pts = np.concatenate([base, base + 1e-3])
    c, _ = points(dim, pts.tolist())
    assert poi1_reps(c, range(60), 0.01) == list(range(30)) * 2


@pytest.mark.parametrize(
    "parts, tol, expected",
    [
        ([("SEG2", [[0, 1], [1, 2]])], 0.5, [[[0, 2]]]),
        ([("SEG2", [[0, 1]])], 0.5, [[]]),
        ([("TRI3", [[4, 4, 5], [3, 4, 5]])], 0, [[[3, 4, 5]]]),
        ([("POI1", [[1], [0], [1]]), ("SEG2", [[0, 1]])], 0.5, [[[0], [0], [0]], []]),
    ],
    ids=["collapse", "submesh-kept-empty", "repeated-input", "poi1-never-dropped"],
)
def test_merge_nodes_drops_collapsed_cells(parts, tol, expected):
    c, _ = points(1, [(0,), (0.1,), (2,), (3,), (4,), (5,)])
    assert cells_of(q.merge_nodes(mesh_of(c, parts), tol)) == expected


def test_merge_nodes_keeps_the_representatives_coordinates_and_the_input():
    c, keep = points(2, [(0, 0), (1e-3, 0), (1, 1)])
    m = mesh_of(c, [("TRI3", [[0, 1, 2]]), ("SEG2", [[1, 2]])])
    counts = [c.refcount(i) for i in range(3)]
    out = q.merge_nodes(m, 0.01)
    assert cells_of(out) == [[], [[0, 2]]]
    assert keep[0].coord() == [0.0, 0.0] and keep[1].coord() == [1e-3, 0.0]
    assert cells_of(m) == [[[0, 1, 2]], [[1, 2]]]
    assert [c.refcount(i) for i in range(3)] == [counts[0] + 1, counts[1], counts[2] + 1]
    assert c.node_count() == 3


def test_merge_nodes_result_is_unsealed_even_for_a_sealed_input():
    c, keep = points(1, [(0,), (1,)])
    m = mesh_of(c, [("SEG2", [[0, 1]])])
    q.FiniteElementSpace(m)  # seals the submesh
    assert m[0].is_sealed
    out = q.merge_nodes(m, 0)
    assert not out[0].is_sealed and out.element_types() == ["SEG2"]


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((None, 1.0), TypeError, "argument 'mesh': 'None' is not an instance of 'Mesh'"),
        (("mesh", "a"), TypeError, "argument 'tol': must be real number, not str"),
        (("empty", 0.0), RuntimeError, "coords: mesh has no submeshes"),
        (("mesh", -1), RuntimeError, "merge_nodes: tol must be ≥ 0, got -1"),
        (("mesh", -0.25), RuntimeError, "merge_nodes: tol must be ≥ 0, got -0.25"),
        (("empty", -1), RuntimeError, "merge_nodes: tol must be ≥ 0, got -1"),
    ],
)
def test_merge_nodes_errors(args, exc, text):
    c, _ = points(1, [(0,), (1,)])
    meshes = {"mesh": mesh_of(c, [("SEG2", [[0, 1]])]), "empty": q.Mesh(c), None: None}
    with raises(exc, text):
        q.merge_nodes(meshes[args[0]], args[1])


def test_merge_nodes_keywords_and_negative_zero():
    c, _ = points(1, [(0,), (0,)])
    m = mesh_of(c, [("SEG2", [[0, 1]])])
    assert cells_of(q.merge_nodes(tol=-0.0, mesh=m)) == [[]]


# --- consolidate -----------------------------------------------------------------


def test_consolidate_fuses_submeshes_by_type_and_drops_repeats():
    c, _ = points(2, [(i, i % 3) for i in range(9)])
    m = mesh_of(c, [("TRI3", [[1, 2, 3], [3, 4, 1]], (1, 1, 1)), ("QUA4", [[1, 2, 3, 4]], (2, 2, 2)),
                    ("TRI3", [[1, 2, 3], [5, 6, 7]], (3, 3, 3))])
    out = q.consolidate(m)
    assert out.element_types() == ["TRI3", "QUA4"]
    assert cells_of(out) == [[[1, 2, 3], [3, 4, 1], [5, 6, 7]], [[1, 2, 3, 4]]]
    assert [s.face_color for s in out] == [(1, 1, 1), (2, 2, 2)]
    assert len(m) == 3 and m.cell_counts() == [2, 1, 2]


@pytest.mark.parametrize(
    "parts, expected",
    [
        ([("TRI3", [[1, 2, 3], [3, 2, 1], [2, 3, 1]])], [[[1, 2, 3], [3, 2, 1], [2, 3, 1]]]),
        ([("TRI3", [[1, 2, 3], [1, 2, 3], [1, 2, 3]])], [[[1, 2, 3]]]),
        ([("SEG2", [[0, 1]]), ("SEG2", []), ("POI1", [])], [[[0, 1]], []]),
        ([("POI1", [[1], [1], [2]])], [[[1], [2]]]),
    ],
    ids=["orders-differ", "same-cell-twice", "empty-type-kept", "poi1"],
)
def test_consolidate_cases(parts, expected):
    c, _ = points(2, [(i, i * i) for i in range(4)])
    m = mesh_of(c, parts)
    if parts[0][0] != "POI1":
        q.FiniteElementSpace(m[:1])  # seals the first input submesh
    out = q.consolidate(obj=m)
    assert cells_of(out) == expected
    assert not any(s.is_sealed for s in out)


def test_consolidate_refuses_other_objects():
    c, _ = points(1, [(0,), (1,)])
    m = mesh_of(c, [("SEG2", [[0, 1]])])
    for obj in (m[0], 3, None, c):
        with raises(TypeError, "expected a Mesh, a NodeField or an ElementField"):
            q.consolidate(obj)
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.consolidate(q.Mesh(c))


def test_consolidate_node_field_fuses_zones_on_one_support():
    c, n = points(2, [(i, i % 2) for i in range(5)])
    m = mesh_of(c, [("TRI3", [[0, 1, 2]]), ("TRI3", [[2, 3, 4]])])
    f = q.NodeField(m[:1], ["ux", "uy"])
    g = q.NodeField(m[:1], ["T", "ux"])  # the same support: submesh 0's nodes
    alone = q.NodeField(m[1:], ["T"])  # another support, meeting the first at node 2
    f[0].set_value(n[1], "ux", 1.5)
    g[0].set_value(n[1], "ux", 1.5)
    g[0].set_value(n[2], "T", 3.0)
    alone[0].set_value(n[2], "T", 3.0)
    f.add_sub(alone[0])
    f.add_sub(g[0])
    out = q.consolidate(f)
    assert type(out) is q.NodeField and len(f) == 3
    assert [z.components() for z in out] == [["ux", "uy", "T"], ["T"]]
    assert [out[0].value(n[i], "ux") for i in range(3)] == [0.0, 1.5, 0.0]
    assert [out[0].value(n[i], "T") for i in range(3)] == [0.0, 0.0, 3.0]
    out[1].set_value(n[4], "T", 8.0)  # a zone alone on its support is shared, not copied
    assert alone[0].value(n[4], "T") == 8.0
    g[0].set_value(n[1], "ux", 2.0)
    with raises(RuntimeError, "incoherent NodeField on shared support: node 1, component ux: 1.5 ≠ 2"):
        q.consolidate(obj=f)


@pytest.fixture
def materials():
    """Zones a (E, nu) and b (nu, rho) on subspace 0 of a two-subspace space, a zone c
    (E, nu) on subspace 1, as one ElementField listing a, c, b."""
    c_, n = points(2, [(0, 0), (1, 0), (0, 1), (1, 1)])
    fes = q.FiniteElementSpace(mesh_of(c_, [("TRI3", [[0, 1, 2], [1, 3, 2]]), ("TRI3", [[0, 1, 3]])]))
    a = q.ElementField(fes[:1], ["E", "nu"])[0]
    b = q.ElementField(fes[:1], ["nu", "rho"])[0]
    c = q.ElementField(fes[1:], ["E", "nu"])[0]
    a.set_uniform("E", 210.0)
    for zone in (a, b, c):
        zone.set_uniform("nu", 0.3)
    a.set_value(1, 2, "nu", 0.25)  # a value that is not uniform, equal in both zones
    b.set_value(1, 2, "nu", 0.25)
    b.set_uniform("rho", 7.8)
    f = q.ElementField(fes[:1], ["E", "nu"])[0:0]
    for zone in (a, c, b):
        f.add_sub(zone)
    return f, a, b, c


def test_consolidate_element_field_fuses_zones_on_one_subspace(materials):
    f, a, b, c = materials
    out = q.consolidate(f)
    assert type(out) is q.ElementField and len(f) == 3
    assert [z.components() for z in out] == [["E", "nu", "rho"], ["E", "nu"]]
    fused = out[0]
    assert [fused.point_values(e, g) for e in range(2) for g in range(3)] == (
        [[210.0, 0.3, 7.8]] * 5 + [[210.0, 0.25, 7.8]])
    fused.set_uniform("E", 1.0)  # a new zone
    assert a.value(0, 0, "E") == 210.0
    out[1].set_uniform("E", 5.0)  # the zone alone on subspace 1, shared
    assert c.value(0, 0, "E") == 5.0


@pytest.mark.parametrize(
    "cell, gauss, in_a, in_b, message",
    [
        (1, 2, 0.25, 0.5, "cell 1, gauss 2, component nu: 0.25 ≠ 0.5"),
        (0, 1, NAN, NAN, "cell 0, gauss 1, component nu: NaN ≠ NaN"),
        (0, 1, 0.0, -0.0, None),
    ],
    ids=["differ", "nan-equals-nothing", "signed-zeros-agree"],
)
def test_consolidate_element_field_checks_shared_components(materials, cell, gauss, in_a, in_b, message):
    f, a, b, _ = materials
    a.set_value(cell, gauss, "nu", in_a)
    b.set_value(cell, gauss, "nu", in_b)
    if message is None:
        assert math.copysign(1.0, q.consolidate(f)[0].value(cell, gauss, "nu")) == 1.0  # the first zone's
        return
    with raises(RuntimeError, "incoherent ElementField on shared support: " + message):
        q.consolidate(f)


def test_consolidate_refuses_field_zones(materials):
    f, a, _, _ = materials
    c, n = points(1, [(0,), (1,)])
    zone = q.NodeField(mesh_of(c, [("SEG2", [[0, 1]])]), ["T"])[0]
    for obj in (a, zone):
        with raises(TypeError, "expected a Mesh, a NodeField or an ElementField"):
            q.consolidate(obj)


# --- shared behaviour --------------------------------------------------------------


@pytest.mark.parametrize(
    "fn, sig, summary",
    [
        (q.orient, "(mesh)", "Harmonise the orientation of a mesh's cells"),
        (q.skin, "(mesh, angle_deg=None)", "Extract the boundary surface (skin) of a volume mesh, split by flat face"),
        (q.border, "(mesh)", "Extract the boundary of a surface mesh (TRI3/QUA4) as closed SEG2 loops"),
        (q.merge_nodes, "(mesh, tol)", "Weld the nodes"),
        (q.consolidate, "(obj)", "Consolidate a container"),
    ],
)
def test_signatures_and_docs(fn, sig, summary):
    assert fn.__text_signature__ == sig
    assert fn.__doc__.startswith(summary)


@pytest.mark.parametrize("fn", [q.orient, q.skin, q.border, q.merge_nodes, q.consolidate])
def test_inputs_reused_not_copied(fn):
    c, keep, cells = hex_block(1, 1, 1)
    m = mesh_of(c, [("HEX8", cells)])
    before = c.capacity()
    if fn is q.border:
        m = q.skin(m)[:1]
    args = (m, 0.0) if fn is q.merge_nodes else (m,)
    out = fn(*args)
    assert c.capacity() == before
    assert out.coords().capacity() == before


def test_skin_matches_vtk_surface_of_a_block_with_holes():
    vtk = pytest.importorskip("vtk")
    from vtk.util.numpy_support import numpy_to_vtk, vtk_to_numpy

    c, keep, cells = hex_block(5, 4, 3)
    rng = random.Random(3)
    kept = [cell for i, cell in enumerate(cells) if i not in (26, 27, 32) and rng.random() > 0.15]
    out = q.skin(mesh_of(c, [("HEX8", kept)]))
    ours = sorted(tuple(sorted(f)) for sub in cells_of(out) for f in sub)

    grid = vtk.vtkUnstructuredGrid()
    pts = vtk.vtkPoints()
    for i in range(c.capacity()):
        pts.InsertNextPoint(*c.acquire(i).coord())
    grid.SetPoints(pts)
    for cell in kept:
        grid.InsertNextCell(vtk.VTK_HEXAHEDRON, 8, cell)
    ids = numpy_to_vtk(np.arange(c.capacity(), dtype=np.int64), deep=True)
    ids.SetName("id")
    grid.GetPointData().AddArray(ids)
    surface = vtk.vtkDataSetSurfaceFilter()
    surface.SetInputData(grid)
    surface.Update()
    poly = surface.GetOutput()
    original = vtk_to_numpy(poly.GetPointData().GetArray("id"))
    theirs = sorted(tuple(sorted(int(original[poly.GetCell(i).GetPointId(k)]) for k in range(4)))
                    for i in range(poly.GetNumberOfCells()))
    assert ours == theirs
    # Outward: the divergence theorem over the skin gives the volume of the kept cells.
    assert signed_volume(c, out) == pytest.approx(len(kept) / 60)
