"""volume: the 3-D Delaunay mesher, checked against exact expectations, scipy's
Qhull and divergence-theorem volumes."""
from collections import Counter
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.spatial import ConvexHull, Delaunay

import _quenlith as q
from helpers import raises

# --- building envelopes -------------------------------------------------------

CUBE_QUADS = [(0, 2, 6, 4), (1, 5, 7, 3), (0, 4, 5, 1), (2, 3, 7, 6), (0, 1, 3, 2), (4, 6, 7, 5)]


def envelope(coords, points, faces, reverse=False):
    """A TRI3 mesh on `coords` with new nodes at `points` and the given faces."""
    nodes = [coords.add_node([float(x) for x in p]) for p in points]
    mesh = q.Mesh(coords, "TRI3")
    for f in faces:
        f = (f[0], f[2], f[1]) if reverse else f
        mesh[0].add_cell([nodes[i] for i in f])
    return mesh, nodes


def cube(coords, lo=(0.0, 0.0, 0.0), side=1.0, reverse=False):
    pts = [(lo[0] + side * x, lo[1] + side * y, lo[2] + side * z) for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    faces = [t for a, b, c, d in CUBE_QUADS for t in ((a, b, c), (a, c, d))]
    return envelope(coords, pts, faces, reverse)


def hull_envelope(coords, points, reverse=False):
    """The convex hull of `points` from Qhull, faces turned outward."""
    hull = ConvexHull(points)
    centre = points[hull.vertices].mean(axis=0)
    used = sorted(set(hull.simplices.ravel()))
    index = {v: i for i, v in enumerate(used)}
    faces = []
    for s in hull.simplices:
        a, b, c = (points[i] for i in s)
        if np.dot(np.cross(b - a, c - a), a - centre) < 0:
            s = (s[0], s[2], s[1])
        faces.append(tuple(index[i] for i in s))
    mesh, nodes = envelope(coords, points[used], faces, reverse)
    return mesh, nodes, used


def sphere(coords, n=4, radius=1.0):
    """A subdivided octahedron on a sphere, outward."""
    base = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    octa = [(0, 2, 4), (2, 1, 4), (1, 3, 4), (3, 0, 4), (2, 0, 5), (1, 2, 5), (3, 1, 5), (0, 3, 5)]
    pts, index, faces = [], {}, []

    def point(p):
        u = np.array(p) / np.linalg.norm(p)
        key = tuple(np.round(u, 9))
        if key not in index:
            index[key] = len(pts)
            pts.append(radius * u)
        return index[key]

    for a, b, c in octa:
        A, B, C = (np.array(base[i], float) for i in (a, b, c))
        at = lambda i, j: point(A + (B - A) * i / n + (C - A) * j / n)
        for i in range(n):
            for j in range(n - i):
                faces.append((at(i, j), at(i + 1, j), at(i, j + 1)))
                if i + j + 1 < n:
                    faces.append((at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)))
    return envelope(coords, pts, faces)


# --- reading results -----------------------------------------------------------


def cells(mesh):
    return [[n.id for n in cell.nodes()] for sub in mesh for cell in sub]


def positions(mesh):
    return {n.id: np.array(n.coord()) for sub in mesh for cell in sub for n in cell.nodes()}


def six_volumes(mesh):
    X = positions(mesh)
    return [float(np.dot(X[d] - X[a], np.cross(X[b] - X[a], X[c] - X[a]))) for a, b, c, d in cells(mesh)]


def enclosed_volume(env):
    """Divergence theorem over the envelope's faces (outward or inward)."""
    total = 0.0
    for sub in env:
        for cell in sub:
            a, b, c = (np.array(n.coord()) for n in cell.nodes())
            total += np.dot(a, np.cross(b, c)) / 6.0
    return abs(total)


def faces_of(mesh):
    """Sorted node triples of every tetrahedron face, with their use counts."""
    count = {}
    for a, b, c, d in cells(mesh):
        for f in ((b, c, d), (a, c, d), (a, b, d), (a, b, c)):
            key = tuple(sorted(f))
            count[key] = count.get(key, 0) + 1
    return count


def envelope_faces(env):
    return [tuple(sorted(n.id for n in cell.nodes())) for sub in env for cell in sub]


def distances_to_surface(points, tris):
    """Distance from each point (n, 3) to the nearest closed triangle of tris
    (m, 3, 3): the foot in the plane when it falls inside, else the nearest
    edge."""
    points = np.asarray(points, float).reshape(-1, 3)
    a, b, c = tris[:, 0], tris[:, 1], tris[:, 2]
    n = np.cross(b - a, c - a)
    n /= np.linalg.norm(n, axis=1)[:, None]
    out = np.empty(len(points))
    for k, p in enumerate(points):
        h = np.einsum("ij,ij->i", p - a, n)
        foot = p - h[:, None] * n
        inside = np.ones(len(tris), bool)
        for u, v in ((a, b), (b, c), (c, a)):
            inside &= np.einsum("ij,ij->i", np.cross(v - u, foot - u), n) >= 0

        def seg(u, v):
            t = np.clip(np.einsum("ij,ij->i", p - u, v - u) / np.einsum("ij,ij->i", v - u, v - u), 0.0, 1.0)
            return np.linalg.norm(p - (u + t[:, None] * (v - u)), axis=1)

        d = np.minimum(np.minimum(seg(a, b), seg(b, c)), seg(c, a))
        out[k] = np.where(inside, np.abs(h), d).min()
    return out


def mesh_arrays(mesh):
    """Cells as an (n, 4) array of node ids and the nodes' positions by id, in
    one pass."""
    ids, X = [], {}
    for sub in mesh:
        for cell in sub:
            nodes = cell.nodes()
            ids.append([n.id for n in nodes])
            for n in nodes:
                if n.id not in X:
                    X[n.id] = n.coord()
    return np.array(ids, dtype=np.int64).reshape(-1, 4), X


def check_sound(env, mesh, boundary_ids):
    """Positive cells, volume of the envelope, every envelope face on exactly one
    cell and every other face on exactly two (no hole, no crack), no new node
    on the envelope."""
    T, X = mesh_arrays(mesh)
    P = np.array([[X[i] for i in t] for t in T])
    vols = np.einsum("ij,ij->i", P[:, 3] - P[:, 0], np.cross(P[:, 1] - P[:, 0], P[:, 2] - P[:, 0]))
    assert vols.min() > 0
    assert vols.sum() / 6.0 == pytest.approx(enclosed_volume(env), rel=1e-12, abs=1e-12)
    faces = np.sort(T[:, [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]]].reshape(-1, 3), axis=1)
    keys, counts = np.unique(faces, axis=0, return_counts=True)
    assert counts.max() <= 2
    once = {tuple(int(x) for x in k) for k in keys[counts == 1]}
    assert once == set(envelope_faces(env))
    # No new node on the envelope: each lies farther than a tolerance from every face.
    tris = np.array([[n.coord() for n in cell.nodes()] for sub in env for cell in sub])
    inner = sorted(set(X) - set(boundary_ids))
    if inner:
        assert distances_to_surface([X[i] for i in inner], tris).min() > 1e-9


# --- the documented examples ---------------------------------------------------------


@pytest.mark.parametrize("reverse", [False, True])
def test_a_tetrahedron_envelope_gives_one_cell_and_no_node(reverse):
    coords = q.Coords(3)
    s = 1.0
    pts = [(0, 0, 0), (s, 0, 0), (s / 2, s * math.sqrt(3) / 2, 0), (s / 2, s * math.sqrt(3) / 6, s * math.sqrt(2.0 / 3))]
    env, nodes = envelope(coords, pts, [(0, 2, 1), (0, 1, 3), (1, 2, 3), (0, 3, 2)], reverse)
    before = coords.capacity()
    mesh = q.volume(env)
    assert coords.capacity() == before
    (cell,) = cells(mesh)
    assert sorted(cell) == sorted(n.id for n in nodes)
    assert six_volumes(mesh)[0] > 0
    assert [sub.element_type for sub in mesh] == ["TET4"]


def test_unit_cube_at_0_3_keeps_the_lattice_half_a_size_from_the_faces():
    # Candidates at 0.3, 0.6 and 0.9 along each axis; the layer at 0.9 lies
    # 0.1 from the faces, closer than h / 2, and would give cells flat against
    # them: the 8 others stay, each near its lattice point (smoothing may
    # move it a little).
    coords = q.Coords(3)
    env, nodes = cube(coords)
    before = coords.capacity()
    mesh = q.volume(env, size=0.3)
    assert coords.capacity() == before + 8
    X = positions(mesh)
    got = np.array([X[i] for i in sorted(X) if i >= before])
    want = np.array([(a, b, c) for a in (0.3, 0.6) for b in (0.3, 0.6) for c in (0.3, 0.6)])
    distance = np.linalg.norm(got[:, None] - want[None], axis=2)
    assert sorted(distance.argmin(axis=1)) == list(range(8))
    assert distance.min(axis=1).max() < 0.15
    check_sound(env, mesh, [n.id for n in nodes])


@pytest.mark.parametrize("size,interior", [(0.5, 1), (0.4, 8), (0.25, 27), (2.0, 0), (None, 0)])
def test_unit_cube_keeps_a_conforming_boundary(size, interior):
    # At 0.5 the candidates x, y or z = 1 lie on faces: inserting them would split
    # an envelope face; they are refused.
    coords = q.Coords(3)
    env, nodes = cube(coords)
    before = coords.capacity()
    mesh = q.volume(env, size)
    assert coords.capacity() - before == interior
    check_sound(env, mesh, [n.id for n in nodes])


@pytest.mark.parametrize("seed", range(0, 60, 3))
def test_cube_faces_in_any_order_and_rotation_are_recovered(seed):
    # The perturbation folds each pair of coplanar faces one way or the other,
    # depending on the point numbering; either way the cube must come out whole.
    import random

    rng = random.Random(seed)
    pts = [(x, y, z) for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    faces = [t for a, b, c, d in CUBE_QUADS for t in ((a, b, c), (a, c, d))]
    rng.shuffle(faces)
    faces = [t[i:] + t[:i] for t in faces for i in [rng.randrange(3)]]
    for size in (None, 0.3):
        env, nodes = envelope(q.Coords(3), pts, faces)
        check_sound(env, q.volume(env, size), [n.id for n in nodes])


def block_skin(coords, n, alternate=False):
    """The skin of an n x n x n block of unit cube cells: 6 n^2 quads split into
    triangles, outward; coplanar everywhere. Each quad is split along the same
    diagonal, or with `alternate` along diagonals that alternate from quad to
    quad."""
    index, pts, faces = {}, [], []

    def point(p):
        if p not in index:
            index[p] = len(pts)
            pts.append(p)
        return index[p]

    for axis in range(3):
        for side in (0, 1):
            for i in range(n):
                for j in range(n):
                    def at(a, b):
                        v = [0.0, 0.0, 0.0]
                        v[axis], v[(axis + 1) % 3], v[(axis + 2) % 3] = float(side), a / n, b / n
                        return point(tuple(v))
                    quad = [at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)]
                    if side == 0:
                        quad = quad[::-1]
                    if alternate and (i + j) % 2:
                        quad = quad[1:] + quad[:1]
                    faces += [(quad[0], quad[1], quad[2]), (quad[0], quad[2], quad[3])]
    return envelope(coords, pts, faces)


@pytest.mark.parametrize("alternate", [False, True])
@pytest.mark.parametrize("n,size", [(2, 0.13), (3, 0.2), (4, 0.2), (4, 0.13), (4, None)])
def test_block_skin_fill_is_sound(n, size, alternate):
    # Every face a grid of cocircular quads: the tie rule must take the
    # envelope's diagonals (one direction or alternating), and lattice points
    # near the non-Delaunay surface records must not turn cones inside out.
    env, nodes = block_skin(q.Coords(3), n, alternate)
    mesh = q.volume(env, size)
    check_sound(env, mesh, [x.id for x in nodes])


def hex_block(n, m, k, size=(1.0, 1.0, 1.0)):
    coords = q.Coords(3)
    a, b = coords.add_node([0.0, 0.0, 0.0]), coords.add_node([size[0], 0.0, 0.0])
    return q.extrude(q.extrude(q.line(a, b, n), [0.0, size[1], 0.0], m), [0.0, 0.0, size[2]], k)


@pytest.mark.parametrize("dims", [(1, 1, 1), (2, 3, 4), (4, 4, 4), (3, 1, 5)])
@pytest.mark.parametrize("size", [None, 0.3, 0.13])
def test_skin_of_a_split_block_is_meshed(dims, size):
    # The skin of a structured block split into tetrahedra: each hexahedron's
    # faces are cut along diagonals through its node 0 or 6, so the diagonals
    # of a block face change direction between its edges and its inside.
    block = hex_block(*dims, size=(1.0, 1.5, 0.75))
    env = q.skin(q.convert(block, "TET4"))
    boundary = {n.id for sub in env for cell in sub for n in cell.nodes()}
    mesh = q.volume(env, size)
    check_sound(env, mesh, boundary)
    assert sum(six_volumes(mesh)) / 6 == pytest.approx(1.0 * 1.5 * 0.75, rel=1e-12)


def extruded_block_skin(n, form):
    """The skin of an n x n x n block of the unit cube made by a transfinite
    square extruded along z: its quadrangles split into triangles ("tri"), or
    the block split into tetrahedra first ("tet")."""
    c = q.Coords(3)
    a, b, d, e = (c.add_node(p) for p in ([0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [0.0, 1.0, 0.0]))
    square = q.transfinite(q.line(a, b, n), q.line(b, d, n), q.line(d, e, n), q.line(e, a, n))
    block = q.extrude(square, [0.0, 0.0, 1.0], n)
    return q.convert(q.skin(block), "TRI3") if form == "tri" else q.skin(q.convert(block, "TET4"))


@pytest.mark.parametrize("n", [2, 3, 4, 5, 6, 8])
@pytest.mark.parametrize("form", ["tri", "tet"])
def test_skin_of_an_extruded_block_is_meshed(n, form):
    # Flat faces full of cocircular quadrangles whose diagonals the Delaunay
    # phase need not pick, and (split into tetrahedra by transfinite
    # coordinates) quadrangles flat only to the last bit: recovery must
    # restore every one of them, with interior points where flips cannot. A mesh that
    # only fills the cube (volume 1) while some skin triangles are missing from
    # it is not enough: check_sound asks for every envelope face.
    env = extruded_block_skin(n, form)
    boundary = {x.id for sub in env for cell in sub for x in cell.nodes()}
    mesh = q.volume(env)
    check_sound(env, mesh, boundary)
    assert sum(six_volumes(mesh)) / 6 == pytest.approx(1.0, rel=1e-12)


def cube_skin(m):
    """The unit cube's skin, each face an m x m grid of squares cut into two
    triangles along the same diagonal, faces outward."""
    c = q.Coords(3)
    ids = {}

    def node(p):
        k = tuple(np.round(p, 12))
        if k not in ids:
            ids[k] = c.add_node(list(p))
        return ids[k]

    env = q.Mesh(c, "TRI3")
    for ax in range(3):
        for side in (0.0, 1.0):
            u, v = [a for a in range(3) if a != ax]
            for i in range(m):
                for j in range(m):
                    def at(a, b):
                        p = np.zeros(3)
                        p[ax], p[u], p[v] = side, a / m, b / m
                        return node(p)

                    q0, q1, q2, q3 = at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)
                    tris = [(q0, q1, q2), (q0, q2, q3)]
                    if (side == 1.0) == (ax == 1):
                        tris = [(a, c_, b) for a, b, c_ in tris]
                    for t in tris:
                        env[0].add_cell(list(t))
    return env


@pytest.mark.parametrize("m", range(2, 17))
def test_cube_skins_are_filled_with_exactly_their_boundary(m):
    env = cube_skin(m)
    boundary = {x.id for sub in env for cell in sub for x in cell.nodes()}
    mesh = q.volume(env, 1.0 / m)
    check_sound(env, mesh, boundary)
    assert sum(six_volumes(mesh)) / 6 == pytest.approx(1.0, rel=1e-12)


def grid_cube(coords, n):
    """The unit cube's skin as a grid of n x n squares per face, each split
    along one diagonal: many cospherical points, all coplanar per face."""
    return block_skin(coords, n)


@pytest.mark.parametrize("size", [0.3, 0.25, 0.2, 0.1, 1.0 / 7.0])
@pytest.mark.parametrize("n", [1, 2])
def test_lattice_fill_has_no_hole_and_no_crack(n, size):
    # The lattice is cospherical everywhere (every small cube of 8 points): a
    # tie rule that is not consistent leaves flat cells whose loss opens holes.
    # The cells must add up to the cube, and their volume equals that of the
    # Delaunay tetrahedralisation of the same points by Qhull (their hull).
    env, nodes = grid_cube(q.Coords(3), n)
    mesh = q.volume(env, size)
    check_sound(env, mesh, [x.id for x in nodes])
    X = positions(mesh)
    points = np.array([X[i] for i in sorted(X)])
    d = Delaunay(points)
    reference = sum(abs(np.linalg.det(points[s[1:]] - points[s[0]])) for s in d.simplices) / 6.0
    assert sum(six_volumes(mesh)) / 6.0 == pytest.approx(reference, rel=1e-12)
    assert sum(six_volumes(mesh)) / 6.0 == pytest.approx(1.0, rel=1e-12)


def test_sphere_fill_has_the_enclosed_volume():
    coords = q.Coords(3)
    env, nodes = sphere(coords, n=5)
    mesh = q.volume(env, 0.3)
    check_sound(env, mesh, [n.id for n in nodes])
    assert len(cells(mesh)) > 100


def shape_measures(mesh):
    """Each cell's smallest dihedral angle (degrees) and radius-edge ratio
    (circumradius over shortest edge), computed with numpy."""
    T, X = mesh_arrays(mesh)
    P = np.array([[X[i] for i in t] for t in T])
    normals = []
    for i, (x, y, z) in enumerate(((1, 2, 3), (0, 2, 3), (0, 1, 3), (0, 1, 2))):
        n = np.cross(P[:, y] - P[:, x], P[:, z] - P[:, x])
        n *= -np.sign(np.einsum("ij,ij->i", n, P[:, i] - P[:, x]))[:, None]  # outward
        normals.append(n / np.linalg.norm(n, axis=1)[:, None])
    dihedral = np.min([np.degrees(np.pi - np.arccos(np.clip(np.einsum("ij,ij->i", normals[i], normals[j]), -1, 1)))
                       for i in range(4) for j in range(i + 1, 4)], axis=0)
    a = P[:, 0]
    A = P[:, 1:] - a[:, None]
    centre = np.linalg.solve(A, 0.5 * np.einsum("ijk,ijk->ij", A, A)[..., None])[..., 0]
    shortest = np.min([np.linalg.norm(P[:, i] - P[:, j], axis=1) for i in range(4) for j in range(i + 1, 4)], axis=0)
    return dihedral, np.linalg.norm(centre, axis=1) / shortest


def test_shape_measures_of_a_regular_tetrahedron():
    # The measures the quality tests rely on, on the one cell of a regular
    # tetrahedron: arccos(1/3) and sqrt(6)/4.
    coords = q.Coords(3)
    regular = [(0, 0, 0), (1, 1, 0), (1, 0, 1), (0, 1, 1)]
    env, _ = envelope(coords, regular, [(0, 2, 1), (0, 1, 3), (1, 2, 3), (0, 3, 2)])
    dihedral, ratio = shape_measures(q.volume(env, 10.0))
    assert dihedral[0] == pytest.approx(math.degrees(math.acos(1 / 3)))
    assert ratio[0] == pytest.approx(math.sqrt(6) / 4)


@pytest.mark.parametrize("make,size", [
    (lambda: sphere(q.Coords(3), n=16)[0], 0.15),  # 2048 triangles
    (lambda: cube_skin(8), 1.0 / 8),
    (lambda: cube_skin(16), 1.0 / 8),
    (lambda: sphere(q.Coords(3), n=8)[0], 0.3),
])
def test_no_sliver_and_no_cap(make, size):
    env = make()
    mesh = q.volume(env, size)
    check_sound(env, mesh, {x.id for sub in env for cell in sub for x in cell.nodes()})
    dihedral, ratio = shape_measures(mesh)
    assert dihedral.min() >= 10.0
    assert ratio.max() <= 2.5


@pytest.mark.parametrize("make,size", [
    (lambda: sphere(q.Coords(3), n=8)[0], 0.09),  # about 5 700 lattice points
    (lambda: cube_skin(9), 1.0 / 18),              # 17 x 17 x 17
], ids=["sphere", "cube skin"])
def test_a_lattice_inserted_by_regions_is_sound(make, size):
    # Lattices of a few thousand points and more go in by parallel regions:
    # the fill must stay exact (boundary, volume, no hole or crack).
    env = make()
    mesh = q.volume(env, size)
    check_sound(env, mesh, {x.id for sub in env for cell in sub for x in cell.nodes()})


# --- Qhull -------------------------------------------------------------------------


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_delaunay_of_random_points_equals_qhull(hooks, seed):
    points = np.random.default_rng(seed).random((150, 3))
    mine = {tuple(sorted(t)) for t in hooks.delaunay3(points.tolist())}
    theirs = {tuple(sorted(t)) for t in Delaunay(points).simplices}
    assert mine == theirs


def worst_volume_length(points, tets):
    """The smallest 6 sqrt(2) |V| / l_rms^3 of the cells (1 for a regular one)."""
    P = np.asarray(points)[np.array(sorted(tets))]
    v = np.abs(np.einsum("ij,ij->i", P[:, 3] - P[:, 0], np.cross(P[:, 1] - P[:, 0], P[:, 2] - P[:, 0]))) / 6
    l2 = np.mean([np.sum((P[:, i] - P[:, j]) ** 2, axis=1) for i in range(4) for j in range(i + 1, 4)], axis=0)
    return float(np.min(6 * math.sqrt(2) * v / l2 ** 1.5))


@pytest.mark.parametrize("seed", [3, 4])
@pytest.mark.parametrize("reverse", [False, True])
def test_convex_hull_envelope_above_its_extent_gives_qhulls_tetrahedra(seed, reverse):
    points = np.random.default_rng(seed).random((60, 3))
    coords = q.Coords(3)
    env, nodes, used = hull_envelope(coords, points, reverse)
    mesh = q.volume(env, size=5.0)
    ids = {n.id: i for i, n in enumerate(nodes)}
    mine = {tuple(sorted(ids[i] for i in c)) for c in cells(mesh)}
    theirs = {tuple(sorted(int(i) for i in s)) for s in Delaunay(points[used]).simplices}
    check_sound(env, mesh, [n.id for n in nodes])
    # Qhull's Delaunay tetrahedra, but where some are slivers the flips that
    # take them out leave a better worst cell.
    if mine != theirs:
        assert worst_volume_length(points[used], mine) > worst_volume_length(points[used], theirs)


# --- several components ---------------------------------------------------------------


def test_two_disjoint_cubes_are_both_meshed():
    coords = q.Coords(3)
    a, na = cube(coords)
    b, nb = cube(coords, lo=(3.0, 0.0, 0.0))
    env = a | b
    mesh = q.volume(env, 0.3)
    check_sound(env, mesh, [n.id for n in na + nb])
    X = positions(mesh)
    assert any(X[i][0] > 2 for i in X) and any(X[i][0] < 2 for i in X)
    assert sum(six_volumes(mesh)) / 6 == pytest.approx(2.0)


# --- the envelope checks ------------------------------------------------------------


def _tri(coords, pts, faces):
    return envelope(coords, pts, faces)[0]


def test_envelope_checks_and_their_messages():
    pts = [(x, y, z) for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    faces = [t for a, b, c, d in CUBE_QUADS for t in ((a, b, c), (a, c, d))]
    # Node ids equal point indices here: the first face is (0, 2, 6).
    rows = [
        (faces[:3], "volume: envelope must have ≥ 4 triangular faces, got 3"),
        (faces + [faces[0]], "volume: surface is non-manifold — directed edge (0, 1) used 2 times (each must appear once)"),
        (faces[1:], None),
    ]
    for f, text in rows:
        env = _tri(q.Coords(3), pts, f)
        if text is None:
            with pytest.raises(RuntimeError, match="^volume: surface is open or inconsistently oriented — edge "):
                q.volume(env)
        else:
            with raises(RuntimeError, text):
                q.volume(env)
    flipped = [faces[0][::-1]] + faces[1:]
    with pytest.raises(RuntimeError, match="^volume: surface is (non-manifold|open or inconsistently oriented) — "):
        q.volume(_tri(q.Coords(3), pts, flipped))
    flat = _tri(q.Coords(3), [(1, 1, 1)] * 8, faces)
    with raises(RuntimeError, "volume: envelope is degenerate (zero extent)"):
        q.volume(flat)


def test_wrong_inputs():
    c2 = q.Coords(2)
    n = [c2.add_node([0.0, 0.0]), c2.add_node([1.0, 0.0]), c2.add_node([0.0, 1.0])]
    m2 = q.Mesh(c2, "TRI3")
    m2[0].add_cell(n)
    with raises(RuntimeError, "volume: envelope must be 3-D, got dim=2"):
        q.volume(m2)
    c3 = q.Coords(3)
    quad = q.Mesh(c3, "QUA4")
    quad[0].add_cell([c3.add_node([0.0, 0.0, float(i)]) for i in range(4)])
    with raises(RuntimeError, "volume: envelope must be a TRI3 surface, got QUA4"):
        q.volume(quad)
    with raises(TypeError, "argument 'envelope': 'int' object is not an instance of 'Mesh'"):
        q.volume(3)
    env, _ = cube(q.Coords(3))
    with pytest.raises(TypeError, match="^argument 'size': "):
        q.volume(env, "big")


def test_empty_envelope_and_a_lattice_beyond_32_bit_indices():
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.volume(q.Mesh(q.Coords(3)))
    coords = q.Coords(3)
    env, _ = cube(coords)
    before = coords.capacity()
    with raises(RuntimeError, "volume: size 0.0001 gives 10000×10000×10000 lattice candidates, beyond the 32-bit "
                              "point range"):
        q.volume(env, 1e-4)
    assert coords.capacity() == before


@pytest.mark.parametrize("size,text", [(0, "0"), (-1.5, "-1.5"), (float("nan"), "NaN")])
def test_size_must_be_positive(size, text):
    env, _ = cube(q.Coords(3))
    with raises(RuntimeError, f"volume: target_size must be > 0, got {text}"):
        q.volume(env, size)


def test_size_true_is_one_and_keywords_work():
    env, _ = cube(q.Coords(3))
    assert cells(q.volume(envelope=env, size=True)) == cells(q.volume(env, 1.0))


def test_non_finite_envelope_is_refused():
    coords = q.Coords(3)
    env, nodes = cube(coords, side=1.0)
    pts = [(x, y, z) for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    pts[7] = (1.0, 1.0, float("inf"))
    faces = [t for a, b, c, d in CUBE_QUADS for t in ((a, b, c), (a, c, d))]
    bad, bad_nodes = envelope(q.Coords(3), pts, faces)
    with raises(RuntimeError, f"volume: envelope node {bad_nodes[7].id} has a non-finite coordinate"):
        q.volume(bad)


def schonhardt_prism(coords, twist=math.pi / 6):
    """A triangular prism whose top is twisted so that each side quadrangle is
    split along its reflex diagonal: no tetrahedralisation of its six corners
    exists."""
    pts = []
    for level in (0, 1):
        for i in range(3):
            a = 2 * math.pi * i / 3 + (twist if level else 0.0)
            pts.append((math.cos(a), math.sin(a), float(level)))
    faces = [(0, 2, 1), (3, 4, 5)]
    for i in range(3):
        j = (i + 1) % 3
        faces += [(i, j, 3 + j), (i, 3 + j, 3 + i)]
    return envelope(coords, pts, faces)


@pytest.mark.parametrize("size", [None, 0.2])
def test_schonhardt_prism_is_filled_with_interior_points(size):
    coords = q.Coords(3)
    env, nodes = schonhardt_prism(coords)
    P = np.array([n.coord() for n in nodes])
    ids = [n.id for n in nodes]
    triangles = [tuple(ids.index(n.id) for n in cell.nodes()) for sub in env for cell in sub]
    assert not _tetrahedralisable(P.tolist(), triangles)
    mesh = q.volume(env, size)
    check_sound(env, mesh, [n.id for n in nodes])
    # At least one point had to be added, strictly inside.
    assert len(positions(mesh)) > 6


TETRA = [(0, 2, 1), (0, 1, 3), (1, 2, 3), (2, 0, 3)]


def tetra(coords, pts):
    return envelope(coords, pts, TETRA)[0]


@pytest.mark.parametrize("second", [
    [(0.1, 0.1, 0.1), (1.1, 0.1, 0.1), (0.1, 1.1, 0.1), (0.1, 0.1, 1.1)],  # a corner inside the first
    [(0.2, 0.2, -0.5), (0.5, 0.2, -0.5), (0.2, 0.5, -0.5), (0.25, 0.25, 0.2)],  # an apex poking through its base
    [(2, 0, 0), (3, 0, 0), (2, 1, 0), (0.3, 0.3, 0.0)],  # an apex touching its base
    [(0, 0, 0), (-1, 0, 0), (0, -1, 0), (0, 0, -1)],  # a corner on the first's corner: crossing
    [(0.1, 0.1, 0.1), (0.3, 0.1, 0.1), (0.1, 0.3, 0.1), (0.1, 0.1, 0.3)],  # nested: a hollow, accepted
])
def test_self_intersecting_envelopes_are_refused_before_meshing(second):
    coords = q.Coords(3)
    first = tetra(coords, [(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)])
    before = coords.capacity()
    nested = second[1] == (0.3, 0.1, 0.1)
    env = first | tetra(coords, second if not nested else [second[0], second[2], second[1], second[3]])
    if nested:
        mesh = q.volume(env)
        check_sound(env, mesh, [n.id for sub in env for cell in sub for n in cell.nodes()])
        return
    before = coords.capacity()
    with pytest.raises(RuntimeError, match=r"^volume: cannot conform the surface — faces \(\d+, \d+, \d+\) and "
                                           r"\(\d+, \d+, \d+\) intersect \(the envelope crosses itself"):
        q.volume(env, 0.1)
    assert coords.capacity() == before


def test_two_overlapping_cubes_are_refused():
    coords = q.Coords(3)
    a, _ = cube(coords)
    b, _ = cube(coords, lo=(0.5, 0.5, 0.5))
    with pytest.raises(RuntimeError, match=r"^volume: cannot conform the surface — faces .* intersect"):
        q.volume(a | b, 0.1)


# --- determinism and interruption ------------------------------------------------------

_SCRIPT = textwrap.dedent("""
    import os, sys
    if len(sys.argv) > 1:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    sys.path.insert(0, sys.argv[-1] if len(sys.argv) > 2 else ".")
    import _quenlith as q
    coords = q.Coords(3)
    pts = [(x, y, z) for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    quads = [(0, 2, 6, 4), (1, 5, 7, 3), (0, 4, 5, 1), (2, 3, 7, 6), (0, 1, 3, 2), (4, 6, 7, 5)]
    nodes = [coords.add_node([float(v) for v in p]) for p in pts]
    m = q.Mesh(coords, "TRI3")
    for a, b, c, d in quads:
        m[0].add_cell([nodes[a], nodes[b], nodes[c]])
        m[0].add_cell([nodes[a], nodes[c], nodes[d]])
    r = q.volume(m, 0.1)
    for sub in r:
        for cell in sub:
            print([(n.id, n.coord()) for n in cell.nodes()])
    # A cube skin whose diagonals the Delaunay phase misses: points made on
    # the surface, moved inside, then the quality moves.
    k = 9
    c = q.Coords(3)
    ids = {}
    skin = q.Mesh(c, "TRI3")
    def at(ax, side, a, b):
        p = [0.0, 0.0, 0.0]
        u, v = [x for x in range(3) if x != ax]
        p[ax], p[u], p[v] = side, a / k, b / k
        key = tuple(round(x, 12) for x in p)
        if key not in ids:
            ids[key] = c.add_node(p)
        return ids[key]
    for ax in range(3):
        for side in (0.0, 1.0):
            for i in range(k):
                for j in range(k):
                    q0, q1, q2, q3 = at(ax, side, i, j), at(ax, side, i + 1, j), at(ax, side, i + 1, j + 1), at(ax, side, i, j + 1)
                    tris = [(q0, q1, q2), (q0, q2, q3)]
                    if (side == 1.0) == (ax == 1):
                        tris = [(a, c_, b) for a, b, c_ in tris]
                    for t in tris:
                        skin[0].add_cell(list(t))
    for sub in q.volume(skin, 1.0 / k):
        for cell in sub:
            print([(n.id, n.coord()) for n in cell.nodes()])
    # A lattice large enough to go in by parallel regions (19 x 19 x 19).
    import hashlib
    digest = hashlib.sha256()
    for sub in q.volume(skin, 1.0 / 20):
        for cell in sub:
            digest.update(repr([(n.id, n.coord()) for n in cell.nodes()]).encode())
    print(digest.hexdigest())
""")


def test_one_thread_and_all_threads_give_identical_output():
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("a single CPU is available")
    one = subprocess.run([sys.executable, "-c", _SCRIPT, "one"], capture_output=True, text=True, check=True).stdout
    every = subprocess.run([sys.executable, "-c", _SCRIPT], capture_output=True, text=True, check=True).stdout
    assert one.count("\n") > 1000
    assert one == every


_RECOVERY_AND_QUALITY_SCRIPT = textwrap.dedent("""
    import hashlib, os, sys
    if len(sys.argv) > 2:
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    sys.path.insert(0, sys.argv[1])
    import _quenlith as q
    from test_volume import cube_skin, sphere

    def digest(mesh):
        h, cells = hashlib.sha256(), 0
        for sub in mesh:
            for cell in sub:
                h.update(repr([(n.id, n.coord()) for n in cell.nodes()]).encode())
                cells += 1
        return cells, h.hexdigest()

    # The 16 x 16 cube skin: some thousand diagonals missing after the
    # Delaunay phase, hundreds of which no flip restores (refills drawn
    # ahead, then points on the surface).
    print(*digest(q.volume(cube_skin(16), 1.0 / 16)))
    # The 2048-triangle sphere at 0.15: thousands of quality moves and
    # smoothing steps, each point's waiting on its neighbours'.
    print(*digest(q.volume(sphere(q.Coords(3), n=16)[0], 0.15)))
""")


def test_recovery_and_quality_moves_give_the_same_cells_with_one_thread_and_all():
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("a single CPU is available")
    run = [sys.executable, "-c", _RECOVERY_AND_QUALITY_SCRIPT, os.path.dirname(os.path.abspath(__file__))]
    one = subprocess.run(run + ["one"], capture_output=True, text=True, check=True).stdout.split("\n")
    every = subprocess.run(run, capture_output=True, text=True, check=True).stdout.split("\n")
    assert all(int(line.split()[0]) > 1000 for line in one if line)
    assert one == every


def test_a_signal_during_meshing_raises_keyboard_interrupt_and_adds_no_node():
    import signal

    coords = q.Coords(3)
    env, _ = cube(coords)
    before = coords.capacity()

    def stop(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(KeyboardInterrupt):
            q.volume(env, 0.004)  # some 15 million candidates: far longer than the timer
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert coords.capacity() == before


def _tetrahedralisable(points, triangles):
    """Whether some set of tetrahedra on `points` alone has exactly `triangles`
    as its boundary: an exhaustive search, each step covering the first open
    face by a positive tetrahedron on its inner side."""
    P = np.array(points, float)

    def six(a, b, c, d):
        return round(float(np.dot(P[d] - P[a], np.cross(P[b] - P[a], P[c] - P[a]))), 9)

    import itertools

    tets = []
    for a, b, c, d in itertools.combinations(range(len(points)), 4):
        s = six(a, b, c, d)
        if s:
            tets.append((a, b, c, d) if s > 0 else (a, c, b, d))
    boundary = {frozenset(t) for t in triangles}
    total = abs(sum(np.dot(P[a], np.cross(P[b], P[c])) for a, b, c in triangles))

    def faces(t):
        return [frozenset(t[:i] + t[i + 1:]) for i in range(4)]

    def cover(open_faces, used, volume):
        if volume > total + 1e-9:
            return False
        if not open_faces:
            return abs(volume - total) < 1e-9
        face = min(open_faces, key=sorted)
        for t in tets:
            if t in used or face not in faces(t):
                continue
            rest = set(open_faces)
            for f in faces(t):
                if f in rest:
                    rest.remove(f)
                elif f in boundary:
                    break
                else:
                    rest.add(f)
            else:
                if cover(rest, used | {t}, volume + six(*t)):
                    return True
        return False

    return cover(set(boundary), frozenset(), 0.0)


def test_a_hexahedron_skin_cut_into_a_twisted_pattern_is_filled_with_interior_points():
    # Its faces cut along each quadrangle's (0, 2) diagonal: the diagonals form
    # two paths of three, a pattern that no tetrahedralisation of the cube's
    # corners has (the exhaustive search says so): a point inside makes one.
    # The split tetrahedra's own skin needs none.
    block = hex_block(1, 1, 1)
    env = q.convert(q.skin(block), "TRI3")
    corners = sorted({n.id for sub in env for cell in sub for n in cell.nodes()})
    X = {n.id: n.coord() for sub in env for cell in sub for n in cell.nodes()}
    index = {i: k for k, i in enumerate(corners)}
    triangles = [tuple(index[n.id] for n in cell.nodes()) for sub in env for cell in sub]
    points = [X[i] for i in corners]
    assert not _tetrahedralisable(points, triangles)
    for size in (None, 0.3):
        check_sound(env, q.volume(env, size), corners)
    good = q.skin(q.convert(block, "TET4"))
    triangles = [tuple(index[n.id] for n in cell.nodes()) for sub in good for cell in sub]
    assert _tetrahedralisable(points, triangles)
    mesh = q.volume(good)
    check_sound(good, mesh, corners)
    assert len(positions(mesh)) == 8


def test_the_output_nodes_are_held_by_their_cells_alone():
    # The new nodes and the cells' references are made in bulk: each node ends
    # with one reference per cell that uses it (besides the envelope's), and
    # the mesh gives them all back when it goes.
    coords = q.Coords(3)
    env, nodes = cube(coords, side=1.0)
    before = {n.id: coords.refcount(n.id) for n in nodes}
    mesh = q.volume(env, 0.25)
    uses = Counter(n.id for sub in mesh for cell in sub for n in cell.nodes())
    assert len(uses) > len(nodes) and set(before) <= set(uses)
    assert all(coords.refcount(i) == before.get(i, 0) + k for i, k in uses.items())
    del mesh
    assert all(coords.refcount(i) == before.get(i, 0) for i in uses)
