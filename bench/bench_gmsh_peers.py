"""read_gmsh beside meshio.read on binary MSH files written by gmsh itself (MSH 4.1 and
2.2, a tetrahedral unit cube of about 10^4, 10^5 and 10^6 nodes), on one thread and on
all threads, in one run.

    PYTHONPATH=build/python python bench/bench_gmsh_peers.py [nodes ...]

The files are made in the set-up with the gmsh Python module (the benchmark venv's
`gmsh`), in a temporary directory removed at the end. Each (file, threads) pair runs
in a child process of its own; for one thread the child pins itself to one processor
before anything loads.

The two readers do different amounts of work, and the table counts it all: meshio
hands back arrays (views of the file's blocks for 4.1, a loop per element for 2.2),
while read_gmsh creates every node in the Coords and every cell in a stored submesh,
with its reference on each of its nodes. Before any timing the child checks that both
find the same thing: the same number of nodes referenced by cells, the same node
coordinates (as sorted rows, to the bit) and the same cells (their centroids, as
sorted rows, to 1e-12). Times are the best of REPEATS calls, ours and meshio's
alternated (a peer call that takes longer than LONG seconds is made once: meshio's
2.2 reader at 10^6 nodes); a result is dropped before the next call.

"peak MB" is the growth of the process's peak resident size during one call,
measured before the timed calls (reset through /proc/self/clear_refs).
"""

import contextlib
import io
import json
import os
import subprocess
import sys
import tempfile

from peer_support import best_alternated, peak_growth, pin_to_one_processor

REPEATS = 3
LONG = 20.0
# Nodes of gmsh's 3-D mesh of the unit cube per 1 / size^3.
NODES_PER_CUBE = 0.72


def generate(directory, target):
    import gmsh

    gmsh.initialize(["-nt", str(min(4, os.cpu_count() or 1))])
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.model.add("cube")
        gmsh.model.occ.addBox(0, 0, 0, 1, 1, 1)
        gmsh.model.occ.synchronize()
        gmsh.model.addPhysicalGroup(3, [1], name="solid")
        size = (NODES_PER_CUBE / target) ** (1 / 3)
        gmsh.option.setNumber("Mesh.MeshSizeMin", size)
        gmsh.option.setNumber("Mesh.MeshSizeMax", size)
        gmsh.option.setNumber("Mesh.Algorithm3D", 10)
        gmsh.model.mesh.generate(3)
        gmsh.option.setNumber("Mesh.Binary", 1)
        paths = []
        for version, name in ((4.1, "4.1"), (2.2, "2.2")):
            gmsh.option.setNumber("Mesh.MshFileVersion", version)
            path = os.path.join(directory, f"cube_{target}_{name}.msh")
            gmsh.write(path)
            paths.append((name, path))
        return paths
    finally:
        gmsh.finalize()


def quiet(f, *args):
    # meshio prints progress while it reads.
    with contextlib.redirect_stdout(io.StringIO()):
        return f(*args)


def child(path, threads):
    if threads == 1:
        pin_to_one_processor()
    import meshio
    import numpy as np

    import _quenlith as q

    def ours():
        return q.read_gmsh(q.Coords(3), path)

    def theirs():
        return quiet(meshio.read, path)

    # The same nodes and cells.
    groups, m = ours(), theirs()
    solid = groups["solid"]
    tets = np.concatenate([b.data for b in m.cells if b.type == "tetra"])
    used = np.unique(tets)
    xyz = q.coordinates(solid)
    support = xyz.support_mesh()
    mine = np.column_stack([np.array(xyz.values(support, c)) for c in ("X", "Y", "Z")])
    ok = mine.shape == (len(used), 3) and solid.cell_count() == len(tets)
    rows = lambda a: a[np.lexsort(a.T[::-1])]
    ok = ok and (rows(mine).view(np.uint64) == rows(m.points[used]).view(np.uint64)).all()
    centres = q.coordinates(q.barycenter(solid))
    csup = centres.support_mesh()
    mine_c = np.column_stack([np.array(centres.values(csup, c)) for c in ("X", "Y", "Z")])
    ok = ok and np.abs(rows(mine_c) - rows(m.points[tets].mean(axis=1))).max() <= 1e-12
    if not ok:
        sys.exit(f"bench_gmsh_peers: read_gmsh and meshio disagree on {path}")
    n_nodes, n_cells = len(used), len(tets)
    del groups, m, xyz, support, centres, csup

    peak_ours, first_ours = peak_growth(ours)
    peak_theirs, first_theirs = peak_growth(theirs)
    once = first_theirs > LONG
    best_ours, best_theirs = best_alternated(ours, theirs, REPEATS - 1, first_ours, first_theirs, not once)
    print(json.dumps({"nodes": n_nodes, "cells": n_cells, "ours": best_ours, "meshio": best_theirs,
                      "once": once, "peak_ours": peak_ours, "peak_meshio": peak_theirs,
                      "mb": os.path.getsize(path) / 1e6}))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    targets = [int(float(a)) for a in sys.argv[1:]] or [10**4, 10**5, 10**6]
    all_threads = len(os.sched_getaffinity(0))
    print(f"{'format':6s} {'nodes':>8s} {'cells':>9s} {'MB':>7s} {'thr':>3s} {'ours s':>8s} {'meshio s':>9s} "
          f"{'ratio':>6s} {'peak MB ours':>12s} {'meshio':>7s} {'load':>5s}")
    with tempfile.TemporaryDirectory() as directory:
        for target in targets:
            for name, path in generate(directory, target):
                for threads in (1, all_threads):
                    run = subprocess.run([sys.executable, __file__, "--child", path, str(threads)],
                                         capture_output=True, text=True)
                    if run.returncode != 0:
                        sys.exit(run.stderr.strip())
                    r = json.loads(run.stdout.strip().splitlines()[-1])
                    mark = "*" if r["once"] else " "
                    print(f"MSH{name:3s} {r['nodes']:8d} {r['cells']:9d} {r['mb']:7.1f} {threads:3d} "
                          f"{r['ours']:8.3f} {r['meshio']:8.3f}{mark} {r['ours'] / r['meshio']:6.2f} "
                          f"{r['peak_ours']:12.1f} {r['peak_meshio']:7.1f} {os.getloadavg()[0]:5.1f}")
                os.remove(path)
    print("* meshio's call made once (longer than", LONG, "s)")


if __name__ == "__main__":
    main()
