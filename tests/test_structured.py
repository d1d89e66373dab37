"""The structured generators (sweep, transfinite, sweep_solid, extrude) and the rigid
transforms (translate, rotate)."""

import math

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises
from vtk_cells import cell_volumes, read_vtk

NOT_MESH = "'{}' object is not an instance of 'Mesh'"
PATCH_TYPES = ["QUA4", "TRI3", "TRI6", "QUA8", "QUA9"]
CORNERS = {"TRI3": 3, "TRI6": 3, "QUA4": 4, "QUA8": 4, "QUA9": 4}


def cells(mesh, s=0):
    """The node ids of every cell of submesh s."""
    return [[n.id for n in cell] for cell in mesh[s]]


def coord(c, node_id):
    """The coordinates of a node by id, without keeping a reference."""
    return c.acquire(node_id).coord()


def mesh_of(c, element_type, *cell_lists):
    m = q.Mesh(c, element_type)
    for ids in cell_lists:
        m[0].add_cell([c.acquire(i) for i in ids])
    return m


def contour(c, corners, m, n):
    """The four sides of a closed contour P00 -> P10 -> P11 -> P01 -> P00 with m and
    n cells on the opposite pairs, built as lines on new corner nodes."""
    p = [c.add_node(x) for x in corners]
    return q.line(p[0], p[1], m), q.line(p[1], p[2], n), q.line(p[2], p[3], m), q.line(p[3], p[0], n)


def shoelace(points):
    x, y = np.asarray(points, dtype=float).T
    return 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))


def assert_counter_clockwise(c, mesh):
    """Every 2-D cell turns left at each of its corners: the Jacobian of its linear or
    bilinear map (straight edges, mid nodes at midpoints) is positive everywhere."""
    for sub in mesh:
        k = CORNERS[sub.element_type]
        for cell in sub:
            p = np.array([n.coord() for n in list(cell)[:k]])
            for i in range(k):
                u, v = p[(i + 1) % k] - p[i], p[i - 1] - p[i]
                assert u[0] * v[1] - u[1] * v[0] > 0


def vtk_sizes(mesh, tmp_path, key):
    """VTK's own measure of every cell of `mesh`, read back from our export."""
    path = tmp_path / "m.vtk"
    q.export_vtk(mesh, str(path))
    sizes = cell_volumes(read_vtk(path))[key]
    path.unlink()
    return sizes


# --- transfinite ----------------------------------------------------------------


def test_transfinite_unit_square():
    c = q.Coords(2)
    s1, s2, s3, s4 = contour(c, [[0, 0], [1, 0], [1, 1], [0, 1]], 2, 3)
    first = c.capacity()
    m = q.transfinite(s1, s2, s3, s4)
    assert (m.cell_count(), m[0].element_type, m[0].face_color, m[0].is_sealed) == (6, "QUA4", (180, 200, 230), False)
    assert c.capacity() == first + 2
    assert [coord(c, first), coord(c, first + 1)] == [[0.5, 1 / 3], [0.5, 2 / 3]]
    side1, side4 = [n.id for n in s1[0][1]], cells(s4)
    # cell 0: P00, side1 node 1, interior (1, 1), side4 node 2
    assert cells(m)[0] == [0, side1[0], first, side4[1][1]]
    # each interior node is held by its four cells only
    assert [c.refcount(first), c.refcount(first + 1)] == [4, 4]
    assert_counter_clockwise(c, m)


def test_transfinite_single_cell_makes_no_node():
    c = q.Coords(2)
    sides = contour(c, [[0, 0], [2, 0], [2, 1], [0, 1]], 1, 1)
    n = c.capacity()
    m = q.transfinite(*sides)
    assert c.capacity() == n and cells(m) == [[0, 1, 2, 3]]


def test_transfinite_coons_points_on_a_curved_contour():
    # Two arcs and two lines: every interior node is the blend of the four sides
    # minus the bilinear blend of the corners, in the documented grouping.
    c = q.Coords(2)
    o = c.add_node([0, 0])
    p00, p10, p11, p01 = (c.add_node(x) for x in ([1, 0], [3, 0], [0, 3], [0, 1]))
    m_, n_ = 4, 3
    s1 = q.line(p00, p10, m_)
    s2 = q.arc(p10, o, p11, n_)
    s3 = q.line(p11, p01, m_)
    s4 = q.arc(p01, o, p00, n_)
    chain = lambda s: [s[0][0][0].id] + [cell[1].id for cell in s[0]]
    sides = [np.array([coord(c, i) for i in chain(s)]) for s in (s1, s2, s3, s4)]
    first = c.capacity()
    m = q.transfinite(s1, s2, s3, s4, "quA4")
    P00, P10, P11, P01 = sides[0][0], sides[1][0], sides[2][0], sides[3][0]
    k = first
    for i in range(1, m_):
        for j in range(1, n_):
            u, v = i / m_, j / n_
            B, T, L, R = sides[0][i], sides[2][m_ - i], sides[3][n_ - j], sides[1][j]
            S = ((B * (1 - v) + T * v) + L * (1 - u)) + R * u
            C = ((P00 * ((1 - v) * (1 - u)) + P10 * ((1 - v) * u)) + P01 * (v * (1 - u))) + P11 * (v * u)
            assert coord(c, k) == (S - C).tolist()
            k += 1
    assert c.capacity() == k and m.cell_count() == m_ * n_
    assert_counter_clockwise(c, m)


@pytest.mark.parametrize("element_type", PATCH_TYPES)
def test_transfinite_element_types_fill_the_patch(element_type, tmp_path):
    # A convex quadrilateral with straight sides: the cells tile it exactly.
    corners = [[0, 0], [4, 0.5], [3.5, 3], [0.5, 2]]
    c = q.Coords(2)
    m = q.transfinite(*contour(c, corners, 3, 2), element_type=element_type)
    per_quad = 2 if element_type.startswith("TRI") else 1
    assert (m[0].element_type, m.cell_count()) == (element_type, 6 * per_quad)
    assert_counter_clockwise(c, m)
    assert vtk_sizes(m, tmp_path, "Area").sum() == pytest.approx(shoelace(corners), rel=1e-13)


def transfinite_case(c, case):
    """Four sides of a 2 x 3 unit square, spoiled as `case` says."""
    s1, s2, s3, s4 = contour(c, [[0, 0], [1, 0], [1, 1], [0, 1]], 2, 3)
    if case == "reversed side2":
        p = [s2[0][0][0], s2[0][2][1]]
        s2 = q.line(p[1], p[0], 3)
    elif case == "open corner":
        s3 = q.line(c.add_node([1, 1]), c.acquire(s3[0][1][1].id), 2)
    elif case == "counts 3 2 3 4":
        s1, s2, s3, s4 = contour(c, [[0, 0], [1, 0], [1, 1], [0, 1]], 3, 2)
        s4 = q.line(s3[0][2][1], s1[0][0][0], 4)
    elif case == "side3 count":
        s3 = q.line(s3[0][0][0], s3[0][1][1], 1)
    elif case == "two submeshes":
        s4 = s4 | q.Mesh(c, "SEG2")
    elif case == "no submesh":
        s1 = q.Mesh(c)
    elif case == "not SEG2":
        s2 = q.to_quadratic(s2)
    elif case == "other Coords":
        d = q.Coords(2)
        s3 = q.line(d.add_node([1, 1]), d.add_node([0, 1]), 2)
    elif case == "empty side1":
        s1 = q.Mesh(c, "SEG2")
    return s1, s2, s3, s4


@pytest.mark.parametrize(
    "case, text",
    [
        ("no submesh", "transfinite: side1 must have exactly one submesh"),
        ("two submeshes", "transfinite: side4 must have exactly one submesh"),
        ("not SEG2", "transfinite: side2 must be a SEG2 mesh"),
        ("other Coords", "transfinite: side1 and side3 belong to different Coords"),
        ("empty side1", "transfinite: every side must have at least 1 element"),
        ("side3 count", "transfinite: side1 has 2 elements but side3 (opposite) has 1"),
        ("counts 3 2 3 4", "transfinite: side2 has 2 elements but side4 (opposite) has 4"),
        ("reversed side2", "transfinite: last node of side1 must equal first node of side2"),
        ("open corner", "transfinite: last node of side2 must equal first node of side3"),
    ],
)
def test_transfinite_refusals_make_no_node(case, text):
    c = q.Coords(2)
    sides = transfinite_case(c, case)
    n = c.capacity()
    with raises(RuntimeError, text):
        q.transfinite(*sides)
    assert c.capacity() == n


def test_transfinite_other_type_fails_after_the_patch():
    c = q.Coords(2)
    sides = contour(c, [[0, 0], [1, 0], [1, 1], [0, 1]], 3, 4)
    n = c.capacity()
    with raises(RuntimeError, "transfinite: unsupported element type HEX8 (expected QUA4, TRI3, QUA8, QUA9, TRI6)"):
        q.transfinite(*sides, "HEX8")
    # the interior nodes were made, and nothing holds them
    assert c.capacity() == n + 2 * 3
    assert c.gc() == 6
    with raises(ValueError, "unknown element type: Quad"):
        q.transfinite(*sides, "Quad")
    with raises(TypeError, "argument 'side3': " + NOT_MESH.format("SubMesh")):
        q.transfinite(sides[0], sides[1], sides[2][0], sides[3])


# --- sweep ----------------------------------------------------------------------


def two_lines(c, n_elems, a=((0, 0), (4, 0)), b=((0, 2), (4, 3))):
    pa = [c.add_node(list(x)) for x in a]
    pb = [c.add_node(list(x)) for x in b]
    return q.line(pa[0], pa[1], n_elems), q.line(pb[0], pb[1], n_elems)


def test_sweep_rows_of_interpolated_nodes():
    c = q.Coords(2)
    la, lb = two_lines(c, 4)
    ca, cb = [cells(la)[0][0]] + [x[1] for x in cells(la)], [cells(lb)[0][0]] + [x[1] for x in cells(lb)]
    first = c.capacity()
    m = q.sweep(la, lb, 3)
    assert c.capacity() == first + 2 * 5
    rows = [ca, list(range(first, first + 5)), list(range(first + 5, first + 10)), cb]
    for i in (1, 2):
        for j in range(5):
            a, b = coord(c, ca[j]), coord(c, cb[j])
            assert coord(c, rows[i][j]) == [(y - x) * (i / 3) + x for x, y in zip(a, b)]
    assert cells(m) == [
        [rows[L][j], rows[L][j + 1], rows[L + 1][j + 1], rows[L + 1][j]] for L in range(3) for j in range(4)
    ]
    assert_counter_clockwise(c, m)
    # every node is held by its cells only (plus the input lines for rows 0 and 3)
    assert c.refcount(rows[1][0]) == 2 and c.refcount(rows[1][2]) == 4
    # one layer joins the lines directly
    n = c.capacity()
    assert cells(q.sweep(la, lb, 1)) == [[ca[j], ca[j + 1], cb[j + 1], cb[j]] for j in range(4)]
    assert c.capacity() == n


@pytest.mark.parametrize("element_type", PATCH_TYPES)
def test_sweep_element_types_fill_the_quadrilateral(element_type, tmp_path):
    c = q.Coords(2)
    la, lb = two_lines(c, 3)
    first = c.capacity()
    m = q.sweep(la, lb, 2, element_type.lower())
    L, C = 2, 3
    edges = (L + 1) * C + L * (C + 1)
    made = (L - 1) * (C + 1) + {"QUA4": 0, "TRI3": 0, "QUA8": edges, "TRI6": edges + L * C, "QUA9": edges + L * C}[
        element_type
    ]
    assert c.capacity() == first + made
    assert m[0].element_type == element_type
    assert_counter_clockwise(c, m)
    assert vtk_sizes(m, tmp_path, "Area").sum() == pytest.approx(shoelace([[0, 0], [4, 0], [4, 3], [0, 2]]), rel=1e-13)


def test_sweep_triangles_and_quad9_centres():
    c = q.Coords(2)
    la, lb = two_lines(c, 2)
    quads = cells(q.sweep(la, lb, 1))
    assert cells(q.sweep(la, lb, 1, "tri3")) == [t for a, b, d, e in quads for t in ([a, b, d], [a, d, e])]
    # 1 x 1: four mid-edge nodes, then the centre at the mean of the corners
    c = q.Coords(2)
    la, lb = two_lines(c, 1, a=((0, 0), (3, 1)), b=((0.5, 2), (2, 2.5)))
    first = c.capacity()
    (cell,) = cells(q.sweep(la, lb, 1, "QUA9"))
    assert cell[4:] == list(range(first, first + 5))
    corners = np.array([coord(c, i) for i in cell[:4]])
    assert coord(c, cell[8]) == (((((0 + corners[0]) + corners[1]) + corners[2]) + corners[3]) * 0.25).tolist()


def test_sweep_takes_chains_as_stored():
    # Lines running in opposite directions are not reversed: the cells cross over.
    c = q.Coords(2)
    la, lb = two_lines(c, 1, b=((4, 1), (0, 1)))
    (cell,) = cells(q.sweep(la, lb, 1))
    assert cell == [cells(la)[0][0], cells(la)[0][1], cells(lb)[0][1], cells(lb)[0][0]]
    # the same line twice gives flat cells whose nodes lie on it
    first = c.capacity()
    q.sweep(la, la, 2)
    assert [coord(c, first), coord(c, first + 1)] == [[0.0, 0.0], [4.0, 0.0]]


def sweep_case(c, case):
    la, lb = two_lines(c, 2)
    if case == "two submeshes a":
        la = la | q.line(c.add_node([9, 9]), c.add_node([8, 8]), 2)
    elif case == "two submeshes b":
        lb = lb | q.Mesh(c, "SEG2")
    elif case == "other Coords":
        d = q.Coords(2)
        lb = q.line(d.add_node([0, 0]), d.add_node([1, 1]), 2)
    elif case == "not SEG2 a":
        la = q.to_quadratic(la)
    elif case == "not SEG2 b":
        lb = q.convert(q.Mesh(c, "QUA4"), "QUA4")
    elif case == "counts":
        lb = q.line(c.acquire(cells(lb)[0][0]), c.acquire(cells(lb)[1][1]), 3)
    elif case == "no elements":
        la, lb = q.Mesh(c, "SEG2"), q.Mesh(c, "SEG2")
    elif case == "non-finite":
        lb = q.line(c.add_node([0, math.inf]), c.add_node([1, 1]), 2)
    return la, lb


@pytest.mark.parametrize(
    "case, n_layers, text",
    [
        ("", 0, "sweep: n_layers must be ≥ 1"),
        ("two submeshes a", 0, "sweep: n_layers must be ≥ 1"),
        ("two submeshes a", 2, "sweep: mesh_a must have exactly one submesh"),
        ("two submeshes b", 2, "sweep: mesh_b must have exactly one submesh"),
        ("other Coords", 2, "sweep: meshes are attached to different Coords"),
        ("not SEG2 a", 2, "sweep: mesh_a must be a SEG2 mesh"),
        ("not SEG2 b", 2, "sweep: mesh_b must be a SEG2 mesh"),
        ("counts", 2, "sweep: mesh_a has 2 elements but mesh_b has 3"),
        ("no elements", 2, "sweep: mesh_a and mesh_b have no elements"),
        ("non-finite", 2, "sweep: node 6 has a non-finite coordinate"),
        ("", 2**40, "sweep: n_layers 1099511627776 too large: it would add 3298534883325 node(s) "
                    "but the Coords has room for 4294967290 more"),
    ],
)
def test_sweep_refusals_make_no_node(case, n_layers, text):
    c = q.Coords(2)
    la, lb = sweep_case(c, case)
    n = c.capacity()
    with raises(RuntimeError, text):
        q.sweep(la, lb, n_layers)
    assert c.capacity() == n


def test_sweep_other_types_and_arguments():
    c = q.Coords(2)
    la, lb = two_lines(c, 3)
    n = c.capacity()
    with raises(RuntimeError, "sweep: unsupported element type SEG2 (expected QUA4, TRI3, QUA8, QUA9, TRI6)"):
        q.sweep(la, lb, 4, "SEG2")
    assert c.capacity() == n + 3 * 4 and c.gc() == 12
    with raises(ValueError, "unknown element type: bogus"):
        q.sweep(la, lb, 0, "bogus")
    with pytest.raises(OverflowError):
        q.sweep(la, lb, -1)
    with raises(TypeError, "argument 'mesh_b': " + NOT_MESH.format("SubMesh")):
        q.sweep(la, lb[0], 1)
    with pytest.raises(TypeError, match="^argument 'element_type'"):
        q.sweep(la, lb, 1, 4)
    # the promotion's nodes count against the room too: rows, then mid-edge nodes
    L = 2**29
    made = (L - 1) * 4 + (L + 1) * 3 + L * 4
    with raises(RuntimeError, f"sweep: n_layers {L} too large: it would add {made} node(s) but the Coords has room "
                              f"for {2**32 - c.capacity()} more"):
        q.sweep(la, lb, L, "QUA8")


# --- sweep_solid ----------------------------------------------------------------


def surface(c, element_type):
    """A 2 x 2 grid of unit squares at z = 0 (or its triangles), counter-clockwise."""
    n = [[c.add_node([i, j, 0]) for i in range(3)] for j in range(3)]
    m = q.Mesh(c, element_type)
    for j in range(2):
        for i in range(2):
            a, b, d, e = n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]
            if element_type == "QUA4":
                m[0].add_cell([a, b, d, e])
            else:
                m[0].add_cell([a, b, d])
                m[0].add_cell([a, d, e])
    return m


@pytest.mark.parametrize("surface_type, solid_type", [("QUA4", "HEX8"), ("TRI3", "PENTA6")])
def test_sweep_solid_between_a_surface_and_its_translate(surface_type, solid_type, tmp_path):
    c = q.Coords(3)
    a = surface(c, surface_type)
    b = q.translate(a, [0.5, 0.25, 3])
    first = c.capacity()
    m = q.sweep_solid(a, b, 3)
    C = a.cell_count()
    assert (m[0].element_type, m.cell_count()) == (solid_type, 3 * C)
    assert c.capacity() == first + 2 * 9
    k = len(cells(a)[0])
    # the bottom faces of the first layer are the cells of mesh_a, the top faces of the
    # last those of mesh_b
    assert [cell[:k] for cell in cells(m)[:C]] == cells(a)
    assert [cell[k:] for cell in cells(m)[-C:]] == cells(b)
    # each solid: its face area times the layer height (the shear keeps volumes)
    volumes = vtk_sizes(m, tmp_path, "Volume")
    np.testing.assert_allclose(volumes, (1.0 if surface_type == "QUA4" else 0.5) * 1.0, rtol=1e-13)


def test_sweep_solid_pairs_by_position():
    c = q.Coords(3)
    a = surface(c, "QUA4")
    b = q.translate(a, [0, 0, 1])
    ids = cells(b)
    # one cell listed in a rotated order: its nodes meet a second partner
    rotated = mesh_of(c, "QUA4", *ids[:3], ids[3][1:] + ids[3][:1])
    n = c.capacity()
    with raises(RuntimeError, "sweep_solid: inconsistent node correspondence between the two meshes"):
        q.sweep_solid(a, rotated, 2)
    assert c.capacity() == n
    # a surface sharing a node with mesh_a pairs it with itself; one layer makes no node
    shared = mesh_of(c, "QUA4", *ids[:3], [ids[3][0], ids[3][1], cells(a)[3][2], ids[3][3]])
    m = q.sweep_solid(a, shared, 1)
    assert c.capacity() == n and cells(m)[3] == cells(a)[3] + cells(shared)[3]
    # empty surfaces: one empty solid submesh
    empty = q.sweep_solid(q.Mesh(c, "TRI3"), q.Mesh(c, "TRI3"), 2)
    assert (empty[0].element_type, empty.cell_count(), c.capacity()) == ("PENTA6", 0, n)


def solid_case(c, case):
    a = surface(c, "QUA4")
    b = q.translate(a, [0, 0, 1])
    if case == "two submeshes":
        b = b | q.Mesh(c, "QUA4")
    elif case == "other Coords":
        b = surface(q.Coords(3), "QUA4")
    elif case == "types":
        a = surface(c, "TRI3")
    elif case == "QUA8":
        a, b = q.to_quadratic(a), q.to_quadratic(b)
    elif case == "counts":
        b = mesh_of(c, "QUA4", *cells(b)[:3])
    return a, b


@pytest.mark.parametrize(
    "case, n_layers, text",
    [
        ("two submeshes", 0, "sweep_solid: n_layers must be ≥ 1"),
        ("two submeshes", 1, "sweep_solid: both meshes must have exactly one submesh"),
        ("other Coords", 1, "sweep_solid: meshes are attached to different Coords"),
        ("types", 1, "sweep_solid: element types differ (TRI3 vs QUA4)"),
        ("QUA8", 1, "sweep_solid: unsupported surface type QUA8 (supported: TRI3, QUA4)"),
        ("counts", 1, "sweep_solid: mesh_a has 4 cells but mesh_b has 3"),
        ("", 2**62, "sweep_solid: n_layers 4611686018427387904 too large: it would add "
                    "18446744073709551615 node(s) but the Coords has room for 4294967278 more"),
    ],
)
def test_sweep_solid_refusals_make_no_node(case, n_layers, text):
    c = q.Coords(3)
    a, b = solid_case(c, case)
    n = c.capacity()
    with raises(RuntimeError, text):
        q.sweep_solid(a, b, n_layers)
    assert c.capacity() == n


# --- extrude --------------------------------------------------------------------


def test_extrude_a_line_into_rows_of_quads():
    c = q.Coords(2)
    line = q.line(c.add_node([0, 0]), c.add_node([3, 0]), 3)
    chain = [cells(line)[0][0]] + [x[1] for x in cells(line)]
    first = c.capacity()
    m = q.extrude(line, [0, 1], 2)
    layers = [chain, list(range(first, first + 4)), list(range(first + 4, first + 8))]
    assert c.capacity() == first + 8
    assert cells(m) == [[layers[k][j], layers[k][j + 1], layers[k + 1][j + 1], layers[k + 1][j]]
                        for k in range(2) for j in range(3)]
    assert coord(c, layers[2][1]) == [1.0, 2 * 0.5 + 0.0]
    assert_counter_clockwise(c, m)


@pytest.mark.parametrize("source, target, key", [("SEG2", "QUA4", "Area"), ("TRI3", "PENTA6", "Volume"),
                                                 ("QUA4", "HEX8", "Volume")])
def test_extruded_cells_have_measure_times_height(source, target, key, tmp_path):
    c = q.Coords(3)
    if source == "SEG2":
        base = q.line(c.add_node([0, 0, 0]), c.add_node([2, 0, 0]), 4)
        measure = 0.5
    else:
        base = surface(c, source)
        measure = 1.0 if source == "QUA4" else 0.5
    m = q.extrude(base, [0.3, 0.2, 2.5], 5)
    assert (m[0].element_type, m.cell_count()) == (target, 5 * base.cell_count())
    sizes = vtk_sizes(m, tmp_path, key)
    if source == "SEG2":
        # a parallelogram: |segment × layer step|
        expected = np.linalg.norm(np.cross([0.5, 0, 0], [0.06, 0.04, 0.5]))
    else:
        expected = measure * 0.5  # the shear keeps the volume: base area times height
    np.testing.assert_allclose(sizes, expected, rtol=1e-12)


def test_extrude_shares_nodes_between_submeshes():
    c = q.Coords(3)
    for x in ([0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [2, 0.5, 0]):
        c.add_node(x)
    m = mesh_of(c, "QUA4", [0, 1, 2, 3]) | mesh_of(c, "TRI3", [1, 4, 2]) | q.Mesh(c, "SEG2")
    m[2].face_color = (1, 2, 3)
    first = c.capacity()
    out = q.extrude(m, [0, 0, 1], 1)
    assert [s.element_type for s in out] == ["HEX8", "PENTA6", "QUA4"]
    assert [s.face_color for s in out] == [(180, 200, 230)] * 3
    # list order: 0, 1, 2, 3, then 4; the shared edge 1-2 is extruded once
    assert cells(out, 0) == [[0, 1, 2, 3, first, first + 1, first + 2, first + 3]]
    assert cells(out, 1) == [[1, 4, 2, first + 1, first + 4, first + 2]]
    assert out[2].cell_count() == 0
    # an empty first submesh still gives its (empty) extruded submesh
    out = q.extrude(q.Mesh(c, "SEG2") | mesh_of(c, "QUA4", [0, 1, 2, 3]), [0, 0, 0], 1)
    assert [(s.element_type, s.cell_count()) for s in out] == [("QUA4", 0), ("HEX8", 1)]
    # a zero direction is accepted: the layers coincide
    assert cells(out, 1)[0][4:] and coord(c, cells(out, 1)[0][4]) == [0.0, 0.0, 0.0]


def test_extrude_other_type_fails_after_the_layers():
    c = q.Coords(3)
    for x in ([0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]):
        c.add_node(x)
    m = mesh_of(c, "TRI3", [0, 1, 2]) | mesh_of(c, "TET4", [0, 1, 2, 3])
    with raises(RuntimeError, "extrude: cannot extrude TET4 elements (supported: SEG2, TRI3, QUA4)"):
        q.extrude(m, [1, 1, 1], 3)
    assert c.capacity() == 4 + 3 * 4 and c.gc() == 12


@pytest.mark.parametrize(
    "build, direction, n_layers, text",
    [
        ("tri", [0, 0, 1], 0, "extrude: n_layers must be ≥ 1"),
        ("none", [0, 0, 1], 1, "coords: mesh has no submeshes"),
        ("empty", [0, 0, 1], 1, "extrude: mesh has no cells"),
        ("tri", [0, 1], 1, "extrude: direction has 2 components but node dimension is 3"),
        ("tri", [0, math.nan, 1], 1, "extrude: direction must be finite (got [0, NaN, 1])"),
        ("nan", [0, 0, 1], 1, "extrude: node 2 has a non-finite coordinate"),
        ("tri", [0, 0, 1], 2**64 - 1, "extrude: n_layers 18446744073709551615 too large: it would add "
                                       "18446744073709551615 node(s) but the Coords has room for 4294967293 more"),
    ],
)
def test_extrude_refusals_make_no_node(build, direction, n_layers, text):
    c = q.Coords(3)
    for x in ([0, 0, 0], [1, 0, 0], [0, 1 if build != "nan" else -math.inf, 0]):
        c.add_node(x)
    m = {"tri": lambda: mesh_of(c, "TRI3", [0, 1, 2]), "nan": lambda: mesh_of(c, "TRI3", [0, 1, 2]),
         "none": lambda: q.Mesh(c), "empty": lambda: q.Mesh(c, "QUA4") | q.Mesh(c, "SEG2")}[build]()
    with raises(RuntimeError, text):
        q.extrude(m, direction, n_layers)
    assert c.capacity() == 3
    with raises(TypeError, "argument 'direction': Can't extract `str` to `Vec`"):
        q.extrude(m, "xyz", 1)


# --- finite input, overflowing arithmetic ----------------------------------------


def near_the_largest_double(c, generator):
    """Meshes of finite nodes whose generated nodes would overflow; the call."""
    if generator == "transfinite":
        lo, hi = 1e308, 1.7e308  # the Coons sums pass 1.8e308 on the way to 1.35e308
        sides = contour(c, [[lo, lo], [hi, lo], [hi, hi], [lo, hi]], 2, 2)
        return lambda: q.transfinite(*sides)
    if generator == "sweep_solid":
        def triangle(z):
            m = q.Mesh(c, "TRI3")
            m[0].add_cell([c.add_node([0, 0, z]), c.add_node([1, 0, z]), c.add_node([0, 1, z])])
            return m
        below, above = triangle(-1e308), triangle(1e308)
        return lambda: q.sweep_solid(below, above, 2)
    below = q.line(c.add_node([0, -1e308]), c.add_node([1, -1e308]), 1)
    above = q.line(c.add_node([0, 1e308]), c.add_node([1, 1e308]), 1)
    if generator == "sweep":
        return lambda: q.sweep(below, above, 2)  # b − a overflows
    return lambda: q.extrude(below, [0, -1e308], 1)


@pytest.mark.parametrize("generator, dim, point", [
    ("sweep", 2, "0, inf"), ("sweep_solid", 3, "0, 0, inf"), ("extrude", 2, "0, -inf"), ("transfinite", 2, "inf, inf"),
])
def test_nodes_that_would_overflow_are_refused_before_any_is_made(generator, dim, point):
    c = q.Coords(dim)
    call = near_the_largest_double(c, generator)
    n = c.capacity()
    with raises(RuntimeError, f"{generator}: a new node would have a non-finite coordinate ([{point}]): the input "
                              "coordinates are too large"):
        call()
    assert c.capacity() == n


@pytest.mark.parametrize("op, dim, corners, call, point", [
    ("translate", 2, [[1e308, 0], [0, 0]], lambda m: q.translate(m, [1e308, 1]), "inf, 1"),
    ("translate", 3, [[0, 0, 0], [0, 0, -1.5e308]], lambda m: q.translate(m, [0, 0, -1e308]), "0, 0, -inf"),
    # a far point about a far centre: its offset from the centre overflows
    ("rotate", 2, [[0, 0], [1.5e308, 0]], lambda m: q.rotate(m, math.pi / 2, [-1e308, 0]), "inf, inf"),
    ("rotate", 3, [[1e308, 0, 0], [0, 0, 0]], lambda m: q.rotate(m, 0.5, [-1e308, 0, 0], [0, 0, 1]), "NaN, NaN, NaN"),
])
def test_transforms_that_would_overflow_are_refused_before_any_copy(op, dim, corners, call, point):
    c = q.Coords(dim)
    m = mesh_of(c, "SEG2", [c.add_node(p).id for p in corners])
    with raises(RuntimeError, f"{op}: a new node would have a non-finite coordinate ([{point}]): the input "
                              "coordinates are too large"):
        call(m)
    assert c.capacity() == 2


# --- translate and rotate -------------------------------------------------------


def test_translate_copies_each_used_node_once():
    c = q.Coords(2)
    a, b, d = c.add_node([0, 0]), c.add_node([1, 0]), c.add_node([2, 0])
    unused = c.add_node([5, 5])
    seg = mesh_of(c, "SEG2", [0, 1], [1, 2])
    pts = mesh_of(c, "POI1", [2], [0])
    pts[0].face_color = (7, 8, 9)
    q.FiniteElementSpace(seg)  # seals the input
    first = c.capacity()
    out = q.translate(seg | pts, [1, 0.5])
    assert c.capacity() == first + 3  # the unused node is not copied
    assert cells(out, 0) == [[first, first + 1], [first + 1, first + 2]] and cells(out, 1) == [[first + 2], [first]]
    assert [coord(c, first + i) for i in range(3)] == [[1.0, 0.5], [2.0, 0.5], [3.0, 0.5]]
    assert [(s.face_color, s.is_sealed) for s in out] == [((180, 200, 230), False), ((7, 8, 9), False)]
    # copies are held by their cells only; the input is untouched
    assert [c.refcount(first + i) for i in range(3)] == [2, 2, 2]
    assert cells(seg) == [[0, 1], [1, 2]] and coord(c, 1) == [1.0, 0.0] and c.capacity() == first + 3
    del a, b, d, unused
    # an empty submesh copies nothing
    out = q.translate(q.Mesh(c, "TRI3"), [1, 1])
    assert (out[0].element_type, out.cell_count(), c.capacity()) == ("TRI3", 0, first + 3)


def test_rotate_examples():
    c = q.Coords(2)
    m = mesh_of(c, "POI1", [c.add_node([1, 0]).id])
    for axis in (None, [0, 0, 1], []):
        (p,) = [n.coord() for n in q.rotate(m, math.pi / 2, [0, 0], axis)[0][0]]
        assert p == pytest.approx([0, 1], abs=1e-16) and p[0] == math.cos(math.pi / 2)
    c = q.Coords(3)
    m = mesh_of(c, "POI1", [c.add_node([1, 0, 0]).id])
    for axis, expected in (([0, 0, 5], [0, 1, 0]), ([0, 0, -1], [0, -1, 0]), ([0, 0, 1e-200], [0, 1, 0]),
                           ([0, 0, 1e200], [0, 1, 0])):
        (p,) = [n.coord() for n in q.rotate(m, math.pi / 2, [0, 0, 0], axis)[0][0]]
        assert p == pytest.approx(expected, abs=1e-15), axis


def test_rotate_matches_scipy():
    rng = np.random.default_rng(5)
    pts = rng.normal(size=(20, 3))
    c = q.Coords(3)
    m = mesh_of(c, "POI1", *[[c.add_node(list(p)).id] for p in pts])
    axis, center, angle = np.array([0.3, -1.2, 0.7]), np.array([0.5, 2.0, -1.0]), 2.3
    out = np.array([cell[0].coord() for cell in q.rotate(m, angle, center, axis)[0]])
    r = Rotation.from_rotvec(angle * axis / np.linalg.norm(axis))
    np.testing.assert_allclose(out, r.apply(pts - center) + center, rtol=0, atol=1e-14)
    # in 2-D the same rotation about the z axis
    c2 = q.Coords(2)
    m2 = mesh_of(c2, "POI1", *[[c2.add_node(list(p[:2])).id] for p in pts])
    out2 = np.array([cell[0].coord() for cell in q.rotate(m2, angle, center[:2])[0]])
    r2 = Rotation.from_rotvec([0, 0, angle])
    np.testing.assert_allclose(out2, r2.apply(np.c_[pts[:, :2] - center[:2], np.zeros(20)])[:, :2] + center[:2],
                               rtol=0, atol=1e-14)


def test_rigid_moves_keep_positive_volumes(tmp_path):
    c = q.Coords(3)
    hexes = q.extrude(surface(c, "QUA4"), [0, 0, 2], 2)
    moved = q.translate(q.rotate(hexes, 2.0, [1, -1, 0.5], [1, 2, -0.5]), [10, 0, -3])
    np.testing.assert_allclose(vtk_sizes(moved, tmp_path, "Volume"), 1.0, rtol=1e-13)
    # a rotation by a negative angle about the reversed axis is the same move
    again = q.rotate(hexes, -2.0, [1, -1, 0.5], [-1, -2, 0.5])
    once = q.rotate(hexes, 2.0, [1, -1, 0.5], [1, 2, -0.5])
    a = np.array([n.coord() for cell in again[0] for n in cell])
    b = np.array([n.coord() for cell in once[0] for n in cell])
    np.testing.assert_allclose(a, b, rtol=0, atol=1e-14)


@pytest.mark.parametrize(
    "dim, call, exc, text",
    [
        (3, lambda m: q.translate(m, [1, 2]), RuntimeError, "translate: vector has 2 components but the mesh is 3-D"),
        (3, lambda m: q.translate(m, [1, math.inf, 0]), RuntimeError,
         "translate: vector must be finite (got [1, inf, 0])"),
        (3, lambda m: q.rotate(m, 1.0, [0, 0]), RuntimeError, "rotate: center has 2 components but the mesh is 3-D"),
        (3, lambda m: q.rotate(m, 1.0, [0, 0, math.nan], [0, 0, 1]), RuntimeError,
         "rotate: center must be finite (got [0, 0, NaN])"),
        (3, lambda m: q.rotate(m, math.inf, [0, 0, 0], [0, 0, 1]), RuntimeError,
         "rotate: angle must be finite (got [inf])"),
        (3, lambda m: q.rotate(m, 1.0, [0, 0, 0]), RuntimeError, "rotate: a 3-D mesh needs a rotation axis"),
        (3, lambda m: q.rotate(m, 1.0, [0, 0, 0], [0, 1]), RuntimeError,
         "rotate: axis has 2 components but must be 3-D"),
        (3, lambda m: q.rotate(m, 1.0, [0, 0, 0], [0, -math.inf, 1]), RuntimeError,
         "rotate: axis must be finite (got [0, -inf, 1])"),
        (3, lambda m: q.rotate(m, 1.0, [0, 0, 0], [0, 0, 0]), RuntimeError, "rotate: axis must be non-zero"),
        (1, lambda m: q.rotate(m, 1.0, [0]), RuntimeError, "rotate: only 2-D and 3-D meshes are supported (got 1-D)"),
        (1, lambda m: q.rotate(m, 1.0, [0, 0]), RuntimeError, "rotate: center has 2 components but the mesh is 1-D"),
        (3, lambda m: q.rotate(m, 1.0, "abc"), TypeError, "argument 'center': Can't extract `str` to `Vec`"),
        (3, lambda m: q.rotate(m, "1", [0, 0, 0]), TypeError, None),
        (3, lambda m: q.translate(m[0], [0, 0, 0]), TypeError, "argument 'mesh': " + NOT_MESH.format("SubMesh")),
        (3, lambda m: q.translate(m[0:0], [0, 0, 0]), RuntimeError, "coords: mesh has no submeshes"),
    ],
)
def test_transform_refusals_make_no_node(dim, call, exc, text):
    c = q.Coords(dim)
    m = mesh_of(c, "POI1", [c.add_node([0.5] * dim).id])
    with (raises(exc, text) if text else pytest.raises(exc)):
        call(m)
    assert c.capacity() == 1


def test_transform_refuses_non_finite_nodes():
    c = q.Coords(2)
    m = mesh_of(c, "SEG2", [c.add_node([0, 0]).id, c.add_node([math.nan, 0]).id])
    with raises(RuntimeError, "translate: node 1 has a non-finite coordinate"):
        q.translate(m, [1, 1])
    with raises(RuntimeError, "rotate: node 1 has a non-finite coordinate"):
        q.rotate(m, 1.0, [0, 0])
    assert c.capacity() == 2


# --- everything together --------------------------------------------------------


def test_same_meshes_with_one_thread(tmp_path):
    # Generators run on the calling thread, and the export's formatting keeps its
    # order: the same bytes whatever the number of processors.
    one, every = files_with_one_and_all_processors(
        """
        import _quenlith as q
        c = q.Coords(3)
        p = [c.add_node(x) for x in ([0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0])]
        sides = [q.line(p[i], p[(i + 1) % 4], 60) for i in range(4)]
        patch = q.transfinite(*sides)
        solid = q.extrude(q.rotate(patch, 0.3, [0.5, 0.5, 0], [1, 1, 1]), [0, 0, 1], 10)
        q.export_vtk(solid | q.translate(solid, [2, 0, 0]), sys.argv[1])
        """,
        tmp_path,
    )
    assert one == every and len(one) > 500_000
