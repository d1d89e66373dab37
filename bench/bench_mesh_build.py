"""Builds a TRI3 mesh cell by cell from Python (two triangles per square of an
n x n grid) and prints the build rate and the process's peak resident memory;
then grows a mesh one submesh at a time with `acc = acc | sub` and prints the time.

    PYTHONPATH=build/python python bench/bench_mesh_build.py [target_cells ...]
"""

import math
import resource
import sys
import time

import _quenlith as q


def build(target_cells):
    n = max(1, math.isqrt(target_cells // 2))  # squares per side
    c = q.Coords(2)
    t0 = time.perf_counter()
    nodes = [c.add_node([i / n, j / n]) for j in range(n + 1) for i in range(n + 1)]
    t1 = time.perf_counter()
    mesh = q.Mesh(c, "TRI3")
    sub = mesh[0]
    add = sub.add_cell
    w = n + 1
    for j in range(n):
        for i in range(n):
            a, b, d, e = nodes[j * w + i], nodes[j * w + i + 1], nodes[(j + 1) * w + i], nodes[(j + 1) * w + i + 1]
            add([a, b, e])
            add([a, e, d])
    t2 = time.perf_counter()
    cells = mesh.cell_count()
    assert cells == 2 * n * n
    return len(nodes), cells, t1 - t0, t2 - t1


def grow_by_unions(n):
    c = q.Coords(1)
    node = c.add_node([0.0])
    subs = []
    for _ in range(n):
        m = q.Mesh(c, "POI1")
        m[0].add_cell([node])
        subs.append(m[0])
    acc = q.Mesh(c)
    t0 = time.perf_counter()
    for s in subs:
        acc = acc | s
    elapsed = time.perf_counter() - t0
    assert len(acc) == n
    return elapsed


def main():
    targets = [int(a) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000]
    print(f"{'cells':>9} {'nodes':>9} {'add_node/s':>12} {'add_cell/s':>12} {'peak RSS MiB':>13}")
    for target in targets:
        n_nodes, cells, t_nodes, t_cells = build(target)
        peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux
        print(f"{cells:>9} {n_nodes:>9} {n_nodes / t_nodes:>12.0f} {cells / t_cells:>12.0f} {peak_mib:>13.1f}")
    print(f"\n{'unions':>9} {'seconds':>9}")
    for n in (1_000, 10_000):
        print(f"{n:>9} {grow_by_unions(n):>9.2f}")


if __name__ == "__main__":
    main()
