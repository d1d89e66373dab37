"""export_vtk: the legacy VTK file of a mesh, byte for byte, and as VTK's own
reader and meshio read it back."""

import fcntl
import math
import os
import pathlib
import subprocess
import time
import sys

import meshio
import numpy as np
import pytest
from vtk.util.numpy_support import vtk_to_numpy

import _quenlith as q
from helpers import files_with_one_and_all_processors, raises
from vtk_cells import NAMES, VTK_CODE, cell_volumes, parametric_nodes, read_vtk

HEADER = "# vtk DataFile Version 3.0\nquenlith mesh\nASCII\nDATASET UNSTRUCTURED_GRID\n"


def mesh_of(c, element_type, *cell_lists):
    m = q.Mesh(c, element_type)
    for ids in cell_lists:
        m[0].add_cell([c.acquire(i) for i in ids])
    return m


def written(tmp_path, mesh, name="out.vtk"):
    path = tmp_path / name
    q.export_vtk(mesh, str(path))
    return path.read_bytes().decode()


def test_one_triangle_byte_for_byte(tmp_path):
    c = q.Coords(2)
    for i in range(10):
        c.add_node([i, 0.5 * i])
    text = written(tmp_path, mesh_of(c, "TRI3", [7, 3, 9]))
    assert text == HEADER + (
        "POINTS 3 double\n7 3.5 0\n3 1.5 0\n9 4.5 0\nCELLS 1 4\n3 0 1 2\nCELL_TYPES 1\n5\n"
    )


def test_numbers_are_written_plain_and_read_back_exactly(tmp_path):
    values = [1.0, 0.5, 1e-7, -0.0, 1e21, 0.1 + 0.2, 5e-324, -1.7976931348623157e308, float("nan"), float("inf"),
              float("-inf"), -3.0]
    c = q.Coords(3)
    for k in range(0, len(values), 3):
        c.add_node(values[k:k + 3])
    text = written(tmp_path, mesh_of(c, "POI1", [0], [1], [2], [3]))
    lines = text.splitlines()[5:9]
    assert lines == [
        "1 0.5 0.0000001",
        "-0 1" + "0" * 21 + " 0.30000000000000004",
        "0." + "0" * 323 + "5 -17976931348623157" + "0" * 292 + " NaN",
        "inf -inf -3",
    ]
    # VTK's reader takes every one of these forms, NaN, the infinities and -0 included.
    expected = np.array(values).reshape(4, 3)
    points = vtk_to_numpy(read_vtk(tmp_path / "out.vtk").GetPoints().GetData())
    np.testing.assert_array_equal(points, expected)
    assert np.signbit(points[1, 0])
    # meshio reads numbers through numpy.fromfile, which refuses a number longer than
    # 120 characters (5e-324 and -1.8e308 are 326 and 310 characters in plain form)...
    with pytest.raises(ValueError):
        meshio.read(tmp_path / "out.vtk")
    # ...and takes everything else, NaN, the infinities and -0 included.
    c2 = q.Coords(3)
    short = [v for v in values if v not in (5e-324, -1.7976931348623157e308)] + [1e119, -2.5]
    for k in range(0, len(short), 3):
        c2.add_node(short[k:k + 3])
    q.export_vtk(mesh_of(c2, "POI1", [0], [1], [2], [3]), str(tmp_path / "short.vtk"))
    points = meshio.read(tmp_path / "short.vtk").points
    np.testing.assert_array_equal(points, np.array(short).reshape(4, 3))
    assert np.signbit(points[1, 0])


def test_points_in_order_of_first_reference(tmp_path):
    c = q.Coords(1)
    for i in range(8):
        c.add_node([i])
    segs = mesh_of(c, "SEG2", [5, 2], [2, 6])
    dots = mesh_of(c, "POI1", [6], [1])  # node 6 shared, written once; 0, 3, 4, 7 unused
    text = written(tmp_path, segs | dots)
    assert text == HEADER + (
        "POINTS 4 double\n5 0 0\n2 0 0\n6 0 0\n1 0 0\n"
        "CELLS 4 10\n2 0 1\n2 1 2\n1 2\n1 3\n"
        "CELL_TYPES 4\n3\n3\n1\n1\n"
    )


def test_coordinates_beyond_the_third_are_dropped(tmp_path):
    c = q.Coords(4)
    c.add_node([1, 2, 3, 4])
    assert written(tmp_path, mesh_of(c, "POI1", [0])).splitlines()[5] == "1 2 3"


def test_empty_submesh_and_empty_mesh(tmp_path):
    c = q.Coords(2)
    assert written(tmp_path, q.Mesh(c, "TRI3")) == HEADER + "POINTS 0 double\nCELLS 0 0\nCELL_TYPES 0\n"
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.export_vtk(q.Mesh(c), str(tmp_path / "empty.vtk"))
    assert not (tmp_path / "empty.vtk").exists()


def catalogue_mesh(names):
    """One cell of each type, at VTK's parametric coordinates shifted along x, one
    submesh per type; with the expected points and the point ids of each cell."""
    c = q.Coords(3)
    mesh = None
    points, cells = [], []
    for k, name in enumerate(names):
        ref = parametric_nodes(name) + [2.0 * k, 0, 0]
        first = c.capacity()
        for p in ref:
            c.add_node(list(p))
        ids = list(range(first, first + len(ref)))
        m = mesh_of(c, name, ids)
        mesh = m if mesh is None else mesh | m
        points.extend(ref.tolist())
        cells.append((name, ids))
    return mesh, np.array(points), cells


@pytest.fixture
def catalogue(tmp_path):
    """The file of catalogue_mesh(all 15 types)."""
    mesh, points, cells = catalogue_mesh(NAMES)
    path = tmp_path / "catalogue.vtk"
    q.export_vtk(mesh, str(path))
    return path, points, cells


def test_vtk_reads_every_cell_type_back(catalogue):
    path, points, cells = catalogue
    grid = read_vtk(path)
    np.testing.assert_array_equal(vtk_to_numpy(grid.GetPoints().GetData()), points)
    assert grid.GetNumberOfCells() == len(cells)
    for i, (name, ids) in enumerate(cells):
        assert grid.GetCellType(i) == VTK_CODE[name]
        ptids = grid.GetCell(i).GetPointIds()
        assert [ptids.GetId(j) for j in range(ptids.GetNumberOfIds())] == ids


def test_meshio_reads_every_cell_type_back(catalogue, tmp_path):
    # meshio 5.3 maps VTK's quadratic wedge (26) to a type it has no node count
    # for, so it cannot read a file that holds one: that wedge is checked by VTK only.
    with pytest.raises(KeyError, match="wedge15"):
        meshio.read(catalogue[0])
    names = [n for n in NAMES if n != "PENTA15"]
    mesh, points, cells = catalogue_mesh(names)
    path = tmp_path / "meshio.vtk"
    q.export_vtk(mesh, str(path))
    m = meshio.read(path)
    np.testing.assert_array_equal(m.points, points)
    assert [block.type for block in m.cells] == [
        "vertex", "line", "triangle", "quad", "tetra", "wedge", "hexahedron", "line3", "triangle6", "quad8",
        "tetra10", "hexahedron20", "quad9", "hexahedron27",
    ]
    for block, (name, ids) in zip(m.cells, cells):
        if name == "PENTA6":
            # meshio keeps wedges in its own node order: it swaps VTK's 1-2 and 4-5.
            ids = [ids[i] for i in (0, 2, 1, 3, 5, 4)]
        assert block.data.tolist() == [ids], name


def test_positive_cells_are_positive_for_vtk(catalogue):
    # Our positive volume cells, the wedges included, have a positive volume by VTK's
    # own cell-size filter: the node orders need no change on the way out.
    path, _, cells = catalogue
    volumes = cell_volumes(read_vtk(path))["Volume"]
    for i, (name, _) in enumerate(cells):
        if name[:3] in ("TET", "PEN", "HEX"):
            expected = {"TET": 1 / 6, "PEN": 0.5, "HEX": 1.0}[name[:3]]
            assert volumes[i] == pytest.approx(expected, rel=1e-12), name


def test_inverted_wedges_are_negative_for_vtk(tmp_path):
    c = q.Coords(3)
    for p in parametric_nodes("PENTA15"):
        c.add_node(list(p))
    mesh = mesh_of(c, "PENTA6", list(range(6))) | mesh_of(c, "PENTA15", list(range(15)))
    q.export_vtk(q.invert(mesh), str(tmp_path / "inv.vtk"))
    assert cell_volumes(read_vtk(tmp_path / "inv.vtk"))["Volume"].tolist() == pytest.approx([-0.5, -0.5])


def test_generated_meshes_read_back(tmp_path):
    c = q.Coords(3)
    o = c.add_node([0, 0, 0])
    ring = q.circle(o, [0, 0, 1], 2.0, 16, "SEG3")
    path = tmp_path / "ring.vtk"
    q.export_vtk(ring, str(path))
    m = meshio.read(path)
    assert [(b.type, len(b.data)) for b in m.cells] == [("line3", 16)]
    # 32 points, none of them the centre; every corner on the circle
    assert len(m.points) == 32
    corners = m.points[m.cells[0].data[:, :2].ravel()]
    np.testing.assert_allclose(np.linalg.norm(corners, axis=1), 2.0, rtol=1e-15)
    lengths = cell_volumes(read_vtk(path))["Length"]
    assert lengths.sum() == pytest.approx(16 * 2 * 2.0 * np.sin(np.pi / 16), rel=1e-12)


def test_same_bytes_with_one_thread(tmp_path):
    # Big enough for several formatting blocks; the child sees one processor only.
    one, every = files_with_one_and_all_processors(
        """
        import _quenlith as q
        c = q.Coords(2)
        a, b = c.add_node([0, 0]), c.add_node([1, 1])
        m = q.to_quadratic(q.convert(q.Mesh(c, "QUA4"), "TRI3") | q.line(a, b, 20000))
        q.export_vtk(m, sys.argv[1])
        """,
        tmp_path,
    )
    assert one == every and len(one) > 500_000


def test_refusals_leave_the_target_as_it_was(tmp_path):
    c = q.Coords(2)
    c.add_node([0, 0])
    m = mesh_of(c, "POI1", [0])
    target = tmp_path / "keep.vtk"
    target.write_bytes(b"old")
    with raises(TypeError, "argument 'path': 'PosixPath' object is not an instance of 'str'"):
        q.export_vtk(m, target)
    with raises(TypeError, "field must be a NodeField or an ElementField"):
        q.export_vtk(m, str(target), m[0])
    with raises(TypeError, "argument 'mesh': 'SubMesh' object is not an instance of 'Mesh'"):
        q.export_vtk(m[0], str(target))
    with raises(ValueError, "embedded null byte"):
        q.export_vtk(m, str(target) + "\0x")
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.export_vtk(q.Mesh(c), str(target))
    with raises(RuntimeError, "I/O error: Is a directory (os error 21)"):
        q.export_vtk(m, str(tmp_path))
    assert target.read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == ["keep.vtk"]  # no temporary file left behind
    q.export_vtk(m, str(target), None)
    assert target.read_bytes().decode() == HEADER + "POINTS 1 double\n0 0 0\nCELLS 1 2\n1 0\nCELL_TYPES 1\n1\n"


def ended_pids(n):
    """Ids of n processes that have started and ended."""
    pids = []
    for _ in range(n):
        child = subprocess.Popen(["true"])
        child.wait()
        pids.append(child.pid)
    return pids


def test_temporary_files_of_ended_processes_go_with_the_next_export(tmp_path):
    dead, dead_other_user = ended_pids(2)
    outside = tmp_path / "outside"
    outside.write_text("x")
    out = tmp_path / "dir"
    out.mkdir()
    # A process killed while writing out.vtk leaves its temporary file beside it.
    stale = [f".out.vtk.{dead}.0.tmp", f".out.vtk.{dead}.17.tmp"]
    kept = [
        f".out.vtk.{os.getppid()}.0.tmp",  # a running process
        f".other.vtk.{dead}.0.tmp",  # another target's
        f".out.vtk.{dead}.tmp", f".out.vtk.0{dead}.0.tmp", f".out.vtk.{dead}.0x.tmp", f"out.vtk.{dead}.0.tmp",
        f".out.vtk.{dead}.0.tmp~", f".out.vtk.x.{dead}.0.tmp",
    ]
    for name in stale + kept:
        (out / name).write_text("partial")
    (out / f".out.vtk.{dead}.1.tmp").symlink_to(outside)  # a link is nobody's temporary file
    (out / f".out.vtk.{dead}.2.tmp").mkdir()
    names = kept + [f".out.vtk.{dead}.1.tmp", f".out.vtk.{dead}.2.tmp"]
    if os.geteuid() == 0:
        (out / f".out.vtk.{dead_other_user}.0.tmp").write_text("partial")
        os.chown(out / f".out.vtk.{dead_other_user}.0.tmp", 65534, 65534)
        names.append(f".out.vtk.{dead_other_user}.0.tmp")
    c = q.Coords(2)
    c.add_node([0, 0])
    q.export_vtk(mesh_of(c, "POI1", [0]), str(out / "out.vtk"))
    assert sorted(os.listdir(out)) == sorted(names + ["out.vtk"])
    assert outside.read_text() == "x"


def test_temporary_file_locked_by_a_live_writer_is_kept(tmp_path):
    # A writer of another pid namespace bears an id that is no process here; its lock
    # on the file it is writing shows it alive.
    dead = ended_pids(1)[0]
    held, unheld = tmp_path / f".out.vtk.{dead}.0.tmp", tmp_path / f".out.vtk.{dead}.1.tmp"
    held.write_text("partial")
    unheld.write_text("partial")
    c = q.Coords(2)
    c.add_node([0, 0])
    with open(held, "rb") as writer:
        fcntl.flock(writer, fcntl.LOCK_EX)
        q.export_vtk(mesh_of(c, "POI1", [0]), str(tmp_path / "out.vtk"))
    assert sorted(os.listdir(tmp_path)) == sorted([held.name, "out.vtk"])


def test_a_directory_is_searched_again_a_second_later(tmp_path):
    # A series of exports into one directory lists it at most once a second; a file a
    # process killed meanwhile left there goes with the first export after that.
    c = q.Coords(2)
    c.add_node([0, 0])
    mesh = mesh_of(c, "POI1", [0])
    q.export_vtk(mesh, str(tmp_path / "a.vtk"))
    ended = subprocess.Popen(["true"])
    ended.wait()
    (tmp_path / f".b.vtk.{ended.pid}.0.tmp").write_text("partial")
    time.sleep(1.2)
    q.export_vtk(mesh, str(tmp_path / "b.vtk"))
    assert sorted(os.listdir(tmp_path)) == ["a.vtk", "b.vtk"]


def test_missing_directory_is_an_io_error(tmp_path):
    c = q.Coords(2)
    c.add_node([0, 0])
    with raises(RuntimeError, "I/O error: No such file or directory (os error 2)"):
        q.export_vtk(mesh_of(c, "POI1", [0]), str(tmp_path / "no" / "such.vtk"))


def test_relative_path_and_signature(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = q.Coords(2)
    c.add_node([0, 0])
    ended = subprocess.Popen(["true"])
    ended.wait()
    pathlib.Path(f".rel.vtk.{ended.pid}.3.tmp").write_text("partial")  # left in the working directory
    q.export_vtk(path="rel.vtk", mesh=mesh_of(c, "POI1", [0]))
    assert pathlib.Path("rel.vtk").read_bytes().startswith(HEADER.encode())
    assert sorted(os.listdir(tmp_path)) == ["rel.vtk"]
    assert q.export_vtk.__text_signature__ == "(mesh, path, field=None)"


def test_example_analysis_writes_its_mesh(tmp_path):
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "first_analysis.py"
    path = tmp_path / "plate_with_hole.vtk"
    subprocess.run([sys.executable, str(example), str(tmp_path)], check=True, capture_output=True, cwd=tmp_path)
    grid = read_vtk(path)
    # 64 sectors: two TRI6 and one QUA4 cell each
    assert grid.GetNumberOfCells() == 192
    assert sorted(set(grid.GetCellType(i) for i in range(192))) == [VTK_CODE["QUA4"], VTK_CODE["TRI6"]]
    points = vtk_to_numpy(grid.GetPoints().GetData())
    r = vtk_to_numpy(grid.GetPointData().GetArray("r"))
    np.testing.assert_array_equal(r, [math.hypot(x, y) for x, y, _ in points])
    assert r.min() == pytest.approx(0.5, rel=1e-15) and r.max() == pytest.approx(2 * 2**0.5, rel=1e-15)
    assert sorted(os.listdir(tmp_path)) == ["plate_with_hole.vtk"]


# --- with a node field ----------------------------------------------------------

NODE_FIELD_HEADER = HEADER.replace("quenlith mesh", "quenlith node field")


@pytest.fixture
def strip():
    """Nodes 0..5 of a 2-D Coords at (i, i % 2); a TRI3 mesh (4, 1, 2), (2, 1, 3)."""
    c = q.Coords(2)
    n = [c.add_node([float(i), float(i % 2)]) for i in range(6)]
    return c, n, mesh_of(c, "TRI3", [4, 1, 2], [2, 1, 3])


def test_node_field_byte_for_byte_and_read_back(tmp_path, strip):
    c, n, m = strip
    f = q.NodeField(m, ["von Mises", "u\t x"])
    for node in n[1:5]:
        f[0].set_value(node, "von Mises", 0.5 * node.id)
    f[0].set_value(n[3], "u\t x", float("nan"))
    f[0].set_value(n[4], "u\t x", float("-inf"))
    f[0].set_value(n[1], "u\t x", -0.0)
    path = tmp_path / "f.vtk"
    q.export_vtk(m, str(path), f)
    assert path.read_text() == NODE_FIELD_HEADER + (
        "POINTS 4 double\n4 0 0\n1 1 0\n2 0 0\n3 1 0\n"
        "CELLS 2 8\n3 0 1 2\n3 2 1 3\nCELL_TYPES 2\n5\n5\n"
        "POINT_DATA 4\n"
        "SCALARS von_Mises double 1\nLOOKUP_TABLE default\n2\n0.5\n1\n1.5\n"
        "SCALARS u__x double 1\nLOOKUP_TABLE default\n-inf\n-0\n0\nNaN\n"
    )
    expected = {"von_Mises": [2, 0.5, 1, 1.5], "u__x": [-np.inf, -0.0, 0, np.nan]}
    grid = read_vtk(path)
    for name, values in expected.items():
        np.testing.assert_array_equal(vtk_to_numpy(grid.GetPointData().GetArray(name)), values)
    read = meshio.read(path)
    for name, values in expected.items():
        np.testing.assert_array_equal(read.point_data[name].ravel(), values)
    assert np.signbit(read.point_data["u__x"].ravel()[1])


def test_node_field_zones_cover_some_points_and_the_first_zone_wins(tmp_path, strip):
    c, n, m = strip
    # Zone 0 on nodes 2 and 4 carries T; zone 1 on nodes 4 and 5 carries p and T.
    dots = mesh_of(c, "POI1", [2], [4]) | mesh_of(c, "POI1", [4], [5])
    f = q.NodeField.with_components_per_submesh(dots, [["T"], ["p", "T"]])
    f[0].set_value(n[2], "T", 20.0)
    f[0].set_value(n[4], "T", 40.0)
    f[1].set_value(n[4], "T", -1.0)  # hidden by zone 0
    f[1].set_value(n[4], "p", 4.5)
    f[1].set_value(n[5], "p", 5.5)  # node 5 is not in the mesh
    text = written_with(tmp_path, m, f)
    assert text.split("POINT_DATA 4\n")[1] == (
        "SCALARS T double 1\nLOOKUP_TABLE default\n40\n0\n20\n0\n"
        "SCALARS p double 1\nLOOKUP_TABLE default\n4.5\n0\n0\n0\n"
    )


def written_with(tmp_path, mesh, field):
    path = tmp_path / "field.vtk"
    q.export_vtk(mesh, str(path), field=field)
    return path.read_text()


def test_node_field_generated_mesh_round_trip(tmp_path):
    # A ring's node field read back through both readers, point for point.
    c = q.Coords(3)
    o = c.add_node([0, 0, 0])
    ring = q.circle(o, [0, 0, 1], 1.5, 24, "SEG3")
    f = q.NodeField(ring, ["ux", "uy", "uz"])
    zone = f[0]
    for row in range(zone.node_count()):
        x, y, _ = zone.support_submesh()[row][0].coord()
        zone.set(row, 0, -y)
        zone.set(row, 1, x)
        zone.set(row, 2, x * y)
    path = tmp_path / "ring.vtk"
    q.export_vtk(ring, str(path), f)
    grid, read = read_vtk(path), meshio.read(path)
    points = vtk_to_numpy(grid.GetPoints().GetData())
    np.testing.assert_array_equal(points, read.points)
    expected = {"ux": -points[:, 1], "uy": points[:, 0], "uz": points[:, 0] * points[:, 1]}
    for name, values in expected.items():
        np.testing.assert_array_equal(vtk_to_numpy(grid.GetPointData().GetArray(name)), values)
        np.testing.assert_array_equal(read.point_data[name].ravel(), values)


def test_node_field_refusals_write_nothing(tmp_path, strip):
    c, n, m = strip
    other = q.Coords(2)
    for i in range(6):
        other.add_node([float(i), 0.0])
    foreign = q.NodeField(mesh_of(other, "POI1", [1], [2]), ["T"])
    path = tmp_path / "nf.vtk"
    with raises(RuntimeError, "vtk: node-field zone 0 lies on another Coords than the mesh"):
        q.export_vtk(m, str(path), foreign)
    with raises(TypeError, "field must be a NodeField or an ElementField"):
        q.export_vtk(m, str(path), q.NodeField(m, ["T"])[0])
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.export_vtk(q.Mesh(c), str(path), q.NodeField(m, ["T"]))
    assert os.listdir(tmp_path) == []


def test_node_field_on_the_mesh_itself(tmp_path):
    # The field's support is the exported submesh: both are read in one call.
    c = q.Coords(3)
    n = [c.add_node([i, 0, 0]) for i in range(3)]
    dots = mesh_of(c, "POI1", [2], [0])
    f = q.NodeField(dots, ["T"])
    f[0].set_value(n[2], "T", 1.25)
    assert written_with(tmp_path, dots, f).split("POINT_DATA 2\n")[1] == (
        "SCALARS T double 1\nLOOKUP_TABLE default\n1.25\n0\n"
    )


# --- with an element field -------------------------------------------------------

ELEMENT_FIELD_HEADER = HEADER.replace("quenlith mesh", "quenlith element field")


@pytest.fixture
def plate():
    """Nodes 0..4 of a 2-D Coords at (i, i % 2); a mesh of two TRI3 cells (0, 1, 2),
    (1, 3, 2) (3 Gauss points each) and one QUA4 cell (0, 1, 3, 4) (4 Gauss points),
    and its space."""
    c = q.Coords(2)
    for i in range(5):
        c.add_node([float(i), float(i % 2)])
    m = mesh_of(c, "TRI3", [0, 1, 2], [1, 3, 2]) | mesh_of(c, "QUA4", [0, 1, 3, 4])
    return c, m, q.FiniteElementSpace(m)


def set_gauss_values(zone, component, per_cell):
    for e, values in enumerate(per_cell):
        for g, v in enumerate(values):
            zone.set_value(e, g, component, v)


def test_element_field_byte_for_byte_and_read_back(tmp_path, plate):
    _, m, fes = plate
    f = q.ElementField.with_components_per_subspace(fes, [["sigma xx", "T"], ["p", "sigma xx"]])
    set_gauss_values(f[0], "sigma xx", [[1, 2, 4], [0.1, 0.2, 0.3]])
    set_gauss_values(f[0], "T", [[math.inf, 1, 2], [math.nan, 0, 0]])
    set_gauss_values(f[1], "sigma xx", [[1e-7] * 4])
    set_gauss_values(f[1], "p", [[-1, -2, -3, -6]])
    path = tmp_path / "e.vtk"
    q.export_vtk(m, str(path), f)
    # Per cell: the mean of its Gauss values, summed in order from 0; a component a
    # submesh's zone does not carry is 0 there.
    assert path.read_text() == ELEMENT_FIELD_HEADER + (
        "POINTS 5 double\n0 0 0\n1 1 0\n2 0 0\n3 1 0\n4 0 0\n"
        "CELLS 3 13\n3 0 1 2\n3 1 3 2\n4 0 1 3 4\nCELL_TYPES 3\n5\n5\n9\n"
        "CELL_DATA 3\n"
        "SCALARS sigma_xx double 1\nLOOKUP_TABLE default\n2.3333333333333335\n0.20000000000000004\n0.0000001\n"
        "SCALARS T double 1\nLOOKUP_TABLE default\ninf\nNaN\n0\n"
        "SCALARS p double 1\nLOOKUP_TABLE default\n0\n0\n-3\n"
    )
    expected = {
        "sigma_xx": [(1 + 2 + 4) / 3, (0.1 + 0.2 + 0.3) / 3, 1e-7],
        "T": [math.inf, math.nan, 0],
        "p": [0, 0, -3],
    }
    grid = read_vtk(path)
    assert [grid.GetCellType(i) for i in range(3)] == [VTK_CODE["TRI3"], VTK_CODE["TRI3"], VTK_CODE["QUA4"]]
    read = meshio.read(path)
    assert [(b.type, len(b.data)) for b in read.cells] == [("triangle", 2), ("quad", 1)]
    for name, values in expected.items():
        np.testing.assert_array_equal(vtk_to_numpy(grid.GetCellData().GetArray(name)), values)
        np.testing.assert_array_equal(np.concatenate([a.ravel() for a in read.cell_data[name]]), values)


def test_element_field_zones_are_matched_per_submesh(tmp_path, plate):
    _, m, fes = plate
    f = q.ElementField(fes, ["E"])
    f[0].set_uniform("E", 2.0)
    f[1].set_uniform("E", 9.0)
    # A later zone on the first subspace supplies a component the first zone lacks,
    # and a zone of a second space built on the same submesh counts as well.
    later = q.ElementField(fes, ["nu"])[0]
    later.set_uniform("nu", 0.25)
    f.add_sub(later)
    rho = q.ElementField(q.FiniteElementSpace(m), ["rho"])[0]
    rho.set_uniform("rho", 7.5)
    f.add_sub(rho)
    # Exporting the TRI3 submesh alone: the QUA4 zone is ignored.
    text = written_with(tmp_path, m[:1], f)
    assert text.split("CELL_DATA 2\n")[1] == (
        "SCALARS E double 1\nLOOKUP_TABLE default\n2\n2\n"
        "SCALARS nu double 1\nLOOKUP_TABLE default\n0.25\n0.25\n"
        "SCALARS rho double 1\nLOOKUP_TABLE default\n7.5\n7.5\n"
    )


def test_element_field_refusals_write_nothing(tmp_path, plate):
    c, m, fes = plate
    path = tmp_path / "ef.vtk"
    no_zone = "vtk: a mesh submesh carries no element-field zone — the field must come from a space built on this mesh"
    two_zones = "vtk: component {} is carried by two zones on the same support — consolidate the field first"
    # A space on another mesh of the same Coords, even with the same cells.
    other = q.FiniteElementSpace(mesh_of(c, "TRI3", [0, 1, 2], [1, 3, 2]) | mesh_of(c, "QUA4", [0, 1, 3, 4]))
    with raises(RuntimeError, no_zone):
        q.export_vtk(m, str(path), q.ElementField(other, ["E"]))
    with raises(RuntimeError, no_zone):
        q.export_vtk(m, str(path), q.ElementField(fes, ["E"])[:1])  # the QUA4 submesh has none
    doubled = q.ElementField(fes, ["sigma xx", "E"])
    doubled.add_sub(q.ElementField(fes, ["sigma xx"])[1])
    with raises(RuntimeError, two_zones.format("sigma xx")):
        q.export_vtk(m, str(path), doubled)
    # Two spaces on one submesh: each zone passes the field's own rule, not the writer's.
    twice = q.ElementField(fes, ["E"]) | q.ElementField(q.FiniteElementSpace(m), ["E"])
    with raises(RuntimeError, two_zones.format("E")):
        q.export_vtk(m, str(path), twice)
    with raises(TypeError, "field must be a NodeField or an ElementField"):
        q.export_vtk(m, str(path), doubled[0])
    with raises(RuntimeError, "coords: mesh has no submeshes"):
        q.export_vtk(q.Mesh(c), str(path), doubled)
    assert os.listdir(tmp_path) == []
    # Consolidated, the doubled field is written.
    q.export_vtk(m, str(path), q.consolidate(doubled))
    assert path.read_text().split("CELL_DATA 3\n")[1] == (
        "SCALARS sigma_xx double 1\nLOOKUP_TABLE default\n0\n0\n0\n"
        "SCALARS E double 1\nLOOKUP_TABLE default\n0\n0\n0\n"
    )
