"""Geometric queries: elements_on from the module, point location and projection
onto surfaces through the test hooks (they have no module entry of their own)."""
import math

import numpy as np
import pytest
from scipy.spatial import Delaunay

import _quenlith as q
from helpers import raises

# --- elements_on --------------------------------------------------------------------------


@pytest.fixture
def quads():
    """A 2 x 2 grid of QUA4 cells on a 3 x 3 grid of nodes, plus a SEG2 zone along
    the bottom edge, and the POI1 points of that edge."""
    c = q.Coords(2)
    n = [c.add_node([x, y]) for y in range(3) for x in range(3)]
    m = q.Mesh(c, "QUA4")
    m[0].face_color = (1, 2, 3)
    for j in range(2):
        for i in range(2):
            a = 3 * j + i
            m[0].add_cell([n[a], n[a + 1], n[a + 4], n[a + 3]])
    seg = q.Mesh(c, "SEG2")
    for i in range(2):
        seg[0].add_cell([n[i], n[i + 1]])
    m = m | seg
    edge = q.Mesh(c, "POI1")
    for i in range(3):
        edge[0].add_cell([n[i]])
    return c, n, m, edge


@pytest.mark.parametrize(
    "strict, counts, first_cells",
    [
        (True, [0, 2], []),  # every quadrangle has nodes off the edge
        (False, [2, 2], [[0, 1, 4, 3], [1, 2, 5, 4]]),
    ],
)
def test_elements_on_keeps_cells_on_the_node_set(quads, strict, counts, first_cells):
    _, _, m, edge = quads
    out = q.elements_on(m, edge, strict=strict)
    assert out.cell_counts() == counts
    assert out.element_types() == ["QUA4", "SEG2"]
    assert out[0].face_color == (1, 2, 3)
    assert [[nd.id for nd in cell.nodes()] for cell in out[0]] == first_cells
    assert [[nd.id for nd in cell.nodes()] for cell in out[1]] == [[0, 1], [1, 2]]


def test_elements_on_node_set_comes_from_every_submesh_and_counts_references(quads):
    c, n, m, _ = quads
    pts = q.Mesh(c, "SEG2")
    pts[0].add_cell([n[3], n[4]])
    pts = pts | q.Mesh(c, "POI1")
    pts[1].add_cell([n[0]])
    pts[1].add_cell([n[1]])
    before = c.refcount(n[0].id)
    out = q.elements_on(m, pts)
    assert out.cell_counts() == [1, 1]  # the cell (0, 1, 4, 3) and the segment (0, 1)
    assert c.refcount(n[0].id) == before + 2


def test_elements_on_empty_meshes_and_coords_check(quads):
    c, _, m, edge = quads
    other = q.Coords(2)
    far = q.Mesh(other, "POI1")
    far[0].add_cell([other.add_node([0.0, 0.0])])
    # no submesh in points: no Coords check, every zone mirrored empty
    assert q.elements_on(m, q.Mesh(other)).cell_counts() == [0, 0]
    # no submesh in mesh: an empty Mesh whatever points is
    assert len(q.elements_on(q.Mesh(c), far)) == 0
    with raises(RuntimeError, "elements_on: mesh and points are not attached to the same Coords"):
        q.elements_on(m, far)
    # an empty node set keeps nothing in either mode
    assert q.elements_on(m, q.Mesh(c, "POI1"), False).cell_counts() == [0, 0]
    assert not q.elements_on(m, edge)[0].is_sealed


def test_elements_on_arguments(quads):
    _, _, m, edge = quads
    assert q.elements_on(m, edge, np.bool_(False)).cell_counts() == [2, 2]
    for args, name in [((m[0], edge), "mesh"), ((m, edge[0]), "points"), ((m, edge, 1), "strict")]:
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            q.elements_on(*args)
    with pytest.raises(TypeError):
        q.elements_on(m)
    assert q.elements_on.__text_signature__ == "(mesh, points, strict=True)"
    assert q.__all__.index("elements_on") == q.__all__.index("merge_nodes") + 1
    assert q.__all__.index("read_gmsh") == q.__all__.index("elements_on") + 1


# --- locate_points ------------------------------------------------------------------------


def _interp(nodes, loc):
    return np.asarray(loc[3]) @ np.asarray(nodes)[loc[4]]


def test_locate_agrees_with_scipy_on_a_delaunay_patch(hooks):
    rng = np.random.default_rng(3)
    pts = rng.random((300, 2))
    tri = Delaunay(pts)
    queries = np.vstack([rng.random((2000, 2)) * 1.2 - 0.1, pts[:50]])
    out = hooks.locate_points(2, pts.tolist(), ["TRI3"], [tri.simplices.ravel().tolist()], queries.tolist(), 0.0)
    ref = tri.find_simplex(queries)
    for x, loc, s in zip(queries, out, ref):
        if loc is None:
            # not found here: outside the hull for scipy too, up to its own rounding
            if s != -1:
                b = tri.transform[s, :2] @ (x - tri.transform[s, 2])
                assert min(b.min(), 1 - b.sum()) > -1e-9
            continue
        assert np.allclose(_interp(pts, loc), x, rtol=0, atol=1e-12)
        if s != loc[1]:  # on an edge or vertex shared with scipy's choice
            assert min(min(loc[3]), 1 - sum(loc[3][:2])) < 1e-9
        assert sorted(loc[4]) == sorted(tri.simplices[loc[1]].tolist())


@pytest.mark.parametrize(
    "point, expected",
    [
        ([0.5, 0.5], (0, 0)),  # on the shared diagonal: the smaller cell index
        ([1.0, 1.0], (0, 1)),  # a corner of the second cell only
        ([0.0, 0.0], (0, 0)),
        ([1.0 + 1e-8, 0.5], (0, 1)),  # outside by less than tol in reference coordinates
        ([1.01, 0.5], None),
        ([math.nan, 0.5], None),
        ([0.5, math.inf], None),
    ],
)
def test_locate_tri3_patch(hooks, point, expected):
    nodes = [[0, 0], [1, 0], [0, 1], [1, 1]]
    (loc,) = hooks.locate_points(2, nodes, ["TRI3"], [[0, 1, 2, 1, 3, 2]], [point], 1e-6)
    assert (None if loc is None else loc[:2]) == expected
    if loc is not None:
        assert np.allclose(_interp(nodes, loc), point, rtol=0, atol=1e-12)


def test_locate_across_submeshes_goes_to_the_earlier_one(hooks):
    nodes = [[0, 0], [1, 0], [0, 1], [1, 1]]
    out = hooks.locate_points(2, nodes, ["POI1", "TRI3", "TRI3"], [[0], [1, 3, 2], [0, 1, 2]], [[0.5, 0.5], [0.1, 0.1]])
    assert [o[:2] for o in out] == [(1, 0), (2, 0)]


def test_locate_on_a_flat_axis(hooks):
    """TRI3 cells in the plane z = 0 of a 3-D space: one bin on z; a point off the
    plane is refused by the residual test even though it projects inside."""
    g = np.array([[x, y, 0.0] for y in range(4) for x in range(4)])
    conn = []
    for j in range(3):
        for i in range(3):
            a = 4 * j + i
            conn += [a, a + 1, a + 5, a, a + 5, a + 4]
    rng = np.random.default_rng(1)
    inside = np.column_stack([rng.random((200, 2)) * 3, np.zeros(200)])
    out = hooks.locate_points(3, g.tolist(), ["TRI3"], [conn], inside.tolist() + [[1.5, 1.5, 1e-7]])
    assert out[-1] is None
    for x, loc in zip(inside, out[:-1]):
        assert loc is not None and np.allclose(_interp(g, loc), x, rtol=0, atol=1e-12)


def test_locate_hosts_without_cells_and_curved_cells(hooks):
    assert hooks.locate_points(2, [[0, 0]], ["POI1"], [[0]], [[0, 0], [1, 1]]) == [None, None]
    assert hooks.locate_points(2, [], [], [], [[0, 0]]) == [None]
    assert hooks.locate_points(2, [[0, 0]], ["POI1"], [[0]], []) == []
    # a QUA8 cell with a curved top edge: the inverse mapping is truly nonlinear
    nodes = [[0, 0], [2, 0], [2, 1], [0, 1], [1, 0], [2, 0.5], [1, 1.4], [0, 0.5]]
    pts = [[1.0, 1.3], [0.5, 0.2], [1.9, 0.9], [1.0, 1.45]]
    out = hooks.locate_points(2, nodes, ["QUA8"], [list(range(8))], pts)
    for x, loc in zip(pts[:3], out[:3]):
        assert np.allclose(_interp(nodes, loc), x, rtol=0, atol=1e-12)
    assert out[3] is None
    # a collapsed cell: judged at its centroid, so only its own point is located
    collapsed = [[1, 1]] * 3
    out = hooks.locate_points(2, collapsed, ["TRI3"], [[0, 1, 2]], [[1, 1], [1.5, 1]])
    assert out[0] is not None and out[1] is None
    with raises(RuntimeError, "locate_points: point 1 has 3 coordinates, the host is 2-D"):
        hooks.locate_points(2, [[0, 0], [1, 0], [0, 1]], ["TRI3"], [[0, 1, 2]], [[0, 0], [0, 0, 0]])


def test_locate_is_the_same_for_one_and_all_threads(tmp_path):
    from helpers import files_with_one_and_all_processors

    body = """
        import sys, numpy as np
        from scipy.spatial import Delaunay
        import _quenlith_testhooks as h
        rng = np.random.default_rng(5)
        pts = rng.random((400, 3))
        tet = Delaunay(pts).simplices.ravel().tolist()
        out = h.locate_points(3, pts.tolist(), ["TET4"], [tet], rng.random((3000, 3)).tolist())
        open(sys.argv[1], "w").write(repr(out))
    """
    one, every = files_with_one_and_all_processors(body, tmp_path)
    assert one == every and one.count(b"(") > 1000


# --- project_points -----------------------------------------------------------------------

SQUARE = [[0, 0], [1, 0], [1, 1], [0, 1]]
LOOP = [0, 1, 1, 2, 2, 3, 3, 0]  # counter-clockwise


@pytest.mark.parametrize(
    "point, cell, closest, normal, gap",
    [
        ([0.5, 0.2], 0, [0.5, 0], [0, -1], -0.2),  # inside the loop: negative
        ([0.5, -0.3], 0, [0.5, 0], [0, -1], 0.3),
        ([1.4, 0.5], 1, [1, 0.5], [1, 0], 0.4),
        ([2.0, 2.0], 1, [1, 1], [1, 0], 1.0),  # tie between facets 1 and 2: the earlier
        ([0.5, 0.5], 0, [0.5, 0], [0, -1], -0.5),  # four facets at one distance
    ],
)
def test_project_onto_a_counter_clockwise_loop(hooks, point, cell, closest, normal, gap):
    (p,) = hooks.project_points(2, SQUARE, ["SEG2"], [LOOP], [point])
    assert p[1] == cell
    assert np.allclose(p[5], closest) and np.allclose(p[6], normal) and p[7] == pytest.approx(gap)


def test_project_beyond_the_end_of_a_polyline(hooks):
    (p,) = hooks.project_points(2, [[0, 0], [1, 0], [2, 1]], ["SEG2"], [[0, 1, 1, 2]], [[3, 3]])
    assert p[1] == 1 and p[2] == [1.0] and np.allclose(p[5], [2, 1])
    # measured along the end facet's normal, not along the distance vector
    assert p[7] == pytest.approx(np.dot([1, 2], np.array([1, -1]) / math.sqrt(2)))


def test_project_tri3_clamp_stays_on_the_facet(hooks):
    nodes = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]
    (p,) = hooks.project_points(3, nodes, ["TRI3"], [[0, 1, 2]], [[2, 1.5, 0.7]])
    xi = p[2]
    assert xi[0] >= 0 and xi[1] >= 0 and xi[0] + xi[1] <= 1 + 1e-15
    assert p[6] == [0, 0, 1] and p[7] == pytest.approx(0.7)


def _sphere_patch(kind, n=4):
    """A quadratic mesh of part of the unit sphere's upper cap, every node on the sphere."""
    def on_sphere(u, v):
        w = np.array([u, v, 1.0])
        return (w / np.linalg.norm(w)).tolist()

    h = 1.0 / n
    nodes, conn = [], []
    index = {}

    def node(u, v):
        key = (round(u, 12), round(v, 12))
        if key not in index:
            index[key] = len(nodes)
            nodes.append(on_sphere(u, v))
        return index[key]

    for j in range(n):
        for i in range(n):
            u0, v0 = -0.5 + i * h, -0.5 + j * h
            c = [(u0, v0), (u0 + h, v0), (u0 + h, v0 + h), (u0, v0 + h)]
            mid = [((a[0] + b[0]) / 2, (a[1] + b[1]) / 2) for a, b in zip(c, c[1:] + c[:1])]
            if kind == "QUA8":
                conn += [node(*p) for p in c + mid]
            else:
                ctr = (u0 + h / 2, v0 + h / 2)
                conn += [node(*c[0]), node(*c[1]), node(*c[2]), node(*mid[0]), node(*mid[1]), node(*ctr)]
                conn += [node(*c[0]), node(*c[2]), node(*c[3]), node(*ctr), node(*mid[2]), node(*mid[3])]
    return nodes, conn


@pytest.mark.parametrize("kind", ["QUA8", "TRI6"])
def test_project_onto_a_curved_surface_matches_dense_sampling(hooks, kind):
    nodes, conn = _sphere_patch(kind)
    X = np.asarray(nodes)
    k = 8 if kind == "QUA8" else 6
    cells = np.asarray(conn).reshape(-1, k)
    # dense sampling of every facet through its own shape functions
    if kind == "QUA8":
        s = np.linspace(-1, 1, 81)
        a, b = [g.ravel() for g in np.meshgrid(s, s)]
        N = np.column_stack([
            -(1 - a) * (1 - b) * (1 + a + b) / 4, -(1 + a) * (1 - b) * (1 - a + b) / 4,
            -(1 + a) * (1 + b) * (1 - a - b) / 4, -(1 - a) * (1 + b) * (1 + a - b) / 4,
            (1 - a * a) * (1 - b) / 2, (1 + a) * (1 - b * b) / 2, (1 - a * a) * (1 + b) / 2, (1 - a) * (1 - b * b) / 2,
        ])
    else:
        s = np.linspace(0, 1, 81)
        a, b = [g.ravel() for g in np.meshgrid(s, s)]
        keep = a + b <= 1
        a, b = a[keep], b[keep]
        c = 1 - a - b
        N = np.column_stack([c * (2 * c - 1), a * (2 * a - 1), b * (2 * b - 1), 4 * a * c, 4 * a * b, 4 * b * c])
    samples = np.concatenate([N @ X[cell] for cell in cells])
    rng = np.random.default_rng(11)
    dirs = np.column_stack([rng.random((40, 2)) * 0.6 - 0.3, np.ones(40)])
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    radii = rng.choice([0.8, 1.2], 40)
    pts = dirs * radii[:, None]
    out = hooks.project_points(3, nodes, [kind], [conn], pts.tolist())
    h = 2.0 / 80 * 0.25  # sampling step on the patch
    for x, r, p in zip(pts, radii, out):
        d_dense = np.min(np.linalg.norm(samples - x, axis=1))
        d = np.linalg.norm(x - np.asarray(p[5]))
        assert d_dense - h * h <= d <= d_dense + 1e-12
        # nodes run counter-clockwise seen from above: the normal points out of the
        # sphere, so the gap is positive outside it and negative inside
        assert np.sign(p[7]) == np.sign(r - 1)
        assert abs(p[7]) == pytest.approx(d, rel=1e-6)


@pytest.mark.parametrize(
    "dim, nodes, types, conns, points, message",
    [
        (2, [[0, 0]], ["POI1"], [[0]], [],
         "project_points: submesh 0 is POI1 (topological dim 0) but the surface of a 2-D space must have dim 1"),
        (3, [[0, 0, 0], [1, 0, 0]], ["TRI3", "SEG2"], [[], [0, 1]], [],
         "project_points: submesh 1 is SEG2 (topological dim 1) but the surface of a 3-D space must have dim 2"),
        (2, [[0, 0]], ["SEG2"], [[]], [[0, 0]], "project_points: the surface mesh carries no facet"),
        (2, [], [], [], [], "coords: mesh has no submeshes"),
        (2, [[0, 0], [1, 0]], ["SEG2"], [[0, 1]], [[0, 0, 0]],
         "project_points: point has dim 3 but the surface lives in 2-D"),
        (2, [[1, 1], [1, 1], [5, 5], [6, 5]], ["SEG2"], [[0, 1, 2, 3]], [[0, 0]],
         "project_points: degenerate facet (zero normal)"),
        (1, [[0], [1]], ["POI1"], [[0, 1]], [[0.5]], "interpolation LAGRANGE1 is not defined for POI1"),
        (4, [[0, 0, 0, 0]] * 4, ["TET4"], [[0, 1, 2, 3]], [],
         "project_points: no facet normal is defined in a 4-D space"),
    ],
)
def test_project_errors(hooks, dim, nodes, types, conns, points, message):
    with raises(RuntimeError, message):
        hooks.project_points(dim, nodes, types, conns, points)


def test_project_nan_facets_never_hide_sound_ones(hooks):
    nodes = [[math.nan, 0], [math.nan, 1], [0, 0], [1, 0]]
    (p,) = hooks.project_points(2, nodes, ["SEG2"], [[0, 1, 2, 3]], [[0.5, 1.0]])
    assert p[1] == 1 and p[7] == pytest.approx(-1.0)
    # a NaN point: no distance is a number, the first facet answers with a NaN gap
    (p,) = hooks.project_points(2, SQUARE, ["SEG2"], [LOOP], [[math.nan, 0]])
    assert p[1] == 0 and math.isnan(p[7])
