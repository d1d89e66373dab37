"""skin and merge_nodes of an n x n x n HEX8 block, and scipy's cKDTree.query_pairs
on the same points with the same tolerance for comparison.

    PYTHONPATH=build/python python bench/bench_topology.py [n ...]   (default 20 50 100)

Every node of the block has a coincident twin, held by a POI1 submesh beside the
HEX8 one, so merge_nodes has one weld per node to find among all the points; the
tolerance is 1e-6 of the cell size.
"""

import sys
import time

import numpy as np
from scipy.spatial import cKDTree

import _quenlith as q


def block(n):
    m = n + 1
    c = q.Coords(3)
    i, j, k = np.meshgrid(np.arange(m), np.arange(m), np.arange(m), indexing="ij")
    pts = np.stack([i.ravel(order="F"), j.ravel(order="F"), k.ravel(order="F")], axis=1) / n
    nodes = [c.add_node(p) for p in pts.tolist()]
    nodes += [c.add_node(p) for p in pts.tolist()]
    mesh = q.Mesh(c, "HEX8")
    add = mesh[0].add_cell
    twins = q.Mesh(c, "POI1")[0]
    for node in nodes[m ** 3:]:
        twins.add_cell([node])
    mesh.add_sub(twins)

    def nid(i, j, k):
        return (k * m + j) * m + i

    for kk in range(n):
        for jj in range(n):
            for ii in range(n):
                ids = [nid(ii, jj, kk), nid(ii + 1, jj, kk), nid(ii + 1, jj + 1, kk), nid(ii, jj + 1, kk)]
                ids += [x + m * m for x in ids]
                add([nodes[x] for x in ids])
    return c, nodes, mesh, np.concatenate([pts, pts])


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [20, 50, 100]
    print(f"{'n':>4} {'cells':>9} {'nodes':>9} {'skin s':>8} {'faces/s':>11} "
          f"{'merge s':>8} {'nodes/s':>11} {'kdtree s':>9} {'ratio':>6}")
    for n in sizes:
        c, nodes, mesh, pts = block(n)
        tol = 1e-6 / n
        t0 = time.perf_counter()
        surface = q.skin(mesh)
        t1 = time.perf_counter()
        welded = q.merge_nodes(mesh, tol)
        t2 = time.perf_counter()
        tree = cKDTree(pts)
        pairs = tree.query_pairs(tol, output_type="ndarray")
        t3 = time.perf_counter()
        n_faces = 6 * n ** 3  # facet visits of the counting pass
        used = len(pts)
        assert len(surface) == 6 and welded.cell_count() == n ** 3 + used // 2
        assert len(pairs) == (n + 1) ** 3
        print(f"{n:>4} {n ** 3:>9} {used:>9} {t1 - t0:>8.3f} {n_faces / (t1 - t0):>11.0f} "
              f"{t2 - t1:>8.3f} {used / (t2 - t1):>11.0f} {t3 - t2:>9.3f} {(t2 - t1) / (t3 - t2):>6.2f}")
        del surface, welded, mesh, nodes


if __name__ == "__main__":
    main()
