"""export_vtk into a crowded directory, as a time series fills it: the directory is listed
for temporary files that ended processes left beside the target at most once a second,
so the cost of one export should not grow with the number of files already there. A TRI3 mesh of
about 2000 cells is written into directories holding 0 to 30 000 other files, by
export_vtk and by meshio (which lists nothing), interleaved, min of 7; prints
milliseconds per file and the ratio.

    PYTHONPATH=build/python python bench/bench_vtk_series.py
"""

import os
import pathlib
import tempfile
import time

import meshio
import meshio.vtk._vtk_42
import meshio.vtk._vtk_51
import numpy as np

import _quenlith as q


def build(n):
    c = q.Coords(2)
    nodes = [c.add_node([i / n, j / n]) for j in range(n + 1) for i in range(n + 1)]
    mesh = q.Mesh(c, "TRI3")
    w = n + 1
    cells = []
    for j in range(n):
        for i in range(n):
            a, b, d, e = j * w + i, j * w + i + 1, (j + 1) * w + i, (j + 1) * w + i + 1
            for tri in ((a, b, e), (a, e, d)):
                mesh[0].add_cell([nodes[k] for k in tri])
                cells.append(tri)
    points = np.array([[i / n, j / n, 0.0] for j in range(n + 1) for i in range(n + 1)])
    return mesh, meshio.Mesh(points, [("triangle", np.array(cells))])


def interleaved(f, g, repeat=7):
    """Min seconds of f and of g, each run `repeat` times, alternately."""
    tf, tg = [], []
    for _ in range(repeat):
        for fn, times in ((f, tf), (g, tg)):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
    return min(tf), min(tg)


def main():
    for writer in (meshio.vtk._vtk_42, meshio.vtk._vtk_51):
        writer.warn = lambda *args, **kwargs: None  # its ASCII warning, once per file
    mesh, peer = build(32)
    print(f"load: {os.getloadavg()[0]:.2f}; {mesh.cell_count()} TRI3 cells per file")
    print(f"{'files there':>12} {'export_vtk ms':>14} {'meshio ms':>10} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        d = pathlib.Path(tmp)
        there = 0
        for count in (0, 1000, 10000, 30000):
            for k in range(there, count):
                (d / f"frame_{k:06d}.vtk").touch()
            there = count
            ours, theirs = interleaved(lambda: q.export_vtk(mesh, str(d / "ours.vtk")),
                                       lambda: meshio.write(d / "peer.vtk", peer, file_format="vtk", binary=False))
            print(f"{count:>12} {1e3 * ours:>14.3f} {1e3 * theirs:>10.3f} {ours / theirs:>6.2f}")


if __name__ == "__main__":
    main()
