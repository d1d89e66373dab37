"""export_vtk against meshio on the same arrays: a TRI3 mesh of about one million cells
with a three-component node field, written as legacy ASCII VTK by both in this one run;
prints seconds and MB/s of each.

Both are timed on the mesh alone and on the mesh with the field; the C++ benchmark
bench_export_vtk (run here from the build tree when present) adds the figures of the
core's point-data path for 1 and all threads.

    PYTHONPATH=build/python python bench/bench_export_vtk.py [target_cells]
"""

import math
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import meshio
import numpy as np

import _quenlith as q


def build_mesh(target_cells):
    """The grid of bench_export_vtk: two triangles per square, nodes at (i/n, j/n)."""
    n = max(1, math.isqrt(target_cells // 2))
    c = q.Coords(2)
    nodes = [c.add_node([i / n, j / n]) for j in range(n + 1) for i in range(n + 1)]
    mesh = q.Mesh(c, "TRI3")
    add = mesh[0].add_cell
    w = n + 1
    for j in range(n):
        for i in range(n):
            a, b, d, e = nodes[j * w + i], nodes[j * w + i + 1], nodes[(j + 1) * w + i], nodes[(j + 1) * w + i + 1]
            add([a, b, e])
            add([a, e, d])
    points = np.array([[i / n, j / n, 0.0] for j in range(n + 1) for i in range(n + 1)])
    quads = np.array([[j * w + i, j * w + i + 1, (j + 1) * w + i + 1, (j + 1) * w + i]
                      for j in range(n) for i in range(n)])
    triangles = np.stack([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]], axis=1).reshape(-1, 3)
    return mesh, nodes, points, triangles


def timed(label, write, path):
    t0 = time.perf_counter()
    write(path)
    dt = time.perf_counter() - t0
    mb = os.path.getsize(path) / 1e6
    print(f"  {label:<44} {dt:7.3f} s  {mb:6.1f} MB  {mb / dt:7.1f} MB/s")
    return mb / dt


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    mesh, nodes, points, triangles = build_mesh(target)
    x, y = points[:, 0], points[:, 1]
    field = np.stack([np.sin(3 * x) * y * 1e-3, np.cos(2 * y) * x * 1e-3, x * y], axis=1)
    node_field = q.NodeField(mesh, ["ux", "uy", "uz"])
    zone = node_field[0]
    row_of = {node.id: row for row, node in enumerate(cell[0] for cell in zone.support_submesh())}
    for k, node in enumerate(nodes):
        row = row_of[node.id]
        for comp in range(3):
            zone.set(row, comp, float(field[k, comp]))
    print(f"TRI3 mesh of {mesh.cell_count()} cells, {len(points)} nodes")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        ours = timed("export_vtk, mesh alone", lambda p: q.export_vtk(mesh, str(p)), tmp / "q.vtk")
        ours_field = timed("export_vtk, mesh + 3-component node field",
                           lambda p: q.export_vtk(mesh, str(p), node_field), tmp / "qf.vtk")
        theirs = timed("meshio ASCII, mesh alone",
                       lambda p: meshio.write(p, meshio.Mesh(points, [("triangle", triangles)]), binary=False),
                       tmp / "m.vtk")
        theirs_field = timed(
            "meshio ASCII, mesh + 3-component node field",
            lambda p: meshio.write(p, meshio.Mesh(points, [("triangle", triangles)], point_data={"u": field}),
                                   binary=False),
            tmp / "mf.vtk")
        ours_again = q.export_vtk(mesh, str(tmp / "q2.vtk"))
        assert ours_again is None and (tmp / "q.vtk").read_bytes() == (tmp / "q2.vtk").read_bytes()
    print(f"  export_vtk / meshio, mesh alone: {ours / theirs:.1f}x; with the field: {ours_field / theirs_field:.1f}x")
    core = pathlib.Path(q.__file__).resolve().parent.parent / "bench" / "bench_export_vtk"
    if core.exists():
        print("core point-data path, same mesh and field (bench_export_vtk):")
        out = subprocess.run([str(core), str(target)], check=True, capture_output=True, text=True).stdout
        print("  " + out.strip().replace("\n", "\n  "))
        rate = float(re.findall(r"([\d.]+) MB/s", out)[-1])
        print(f"  core with field, all threads / meshio with field: {rate / theirs_field:.1f}x")


if __name__ == "__main__":
    main()
