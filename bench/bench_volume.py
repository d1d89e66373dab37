"""volume: tetrahedra per second on a unit cube and on a sphere-like envelope,
beside scipy's Qhull Delaunay on the same number of points (one thread).

Run: .venv/bin/python bench/bench_volume.py [--max 1000000]"""
import argparse
import math
import time

import numpy as np
from scipy.spatial import Delaunay

import _quenlith as q

CUBE_QUADS = [(0, 2, 6, 4), (1, 5, 7, 3), (0, 4, 5, 1), (2, 3, 7, 6), (0, 1, 3, 2), (4, 6, 7, 5)]


def cube():
    coords = q.Coords(3)
    nodes = [coords.add_node([float(x), float(y), float(z)]) for x in (0, 1) for y in (0, 1) for z in (0, 1)]
    m = q.Mesh(coords, "TRI3")
    for a, b, c, d in CUBE_QUADS:
        m[0].add_cell([nodes[a], nodes[b], nodes[c]])
        m[0].add_cell([nodes[a], nodes[c], nodes[d]])
    return m


def sphere(n=8):
    """A subdivided octahedron on the unit sphere."""
    base = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    octa = [(0, 2, 4), (2, 1, 4), (1, 3, 4), (3, 0, 4), (2, 0, 5), (1, 2, 5), (3, 1, 5), (0, 3, 5)]
    coords = q.Coords(3)
    index, nodes = {}, []

    def node(p):
        u = np.array(p) / np.linalg.norm(p)
        key = tuple(np.round(u, 9))
        if key not in index:
            index[key] = len(nodes)
            nodes.append(coords.add_node(u.tolist()))
        return nodes[index[key]]

    m = q.Mesh(coords, "TRI3")
    for a, b, c in octa:
        A, B, C = (np.array(base[i], float) for i in (a, b, c))
        at = lambda i, j: node(A + (B - A) * i / n + (C - A) * j / n)
        for i in range(n):
            for j in range(n - i):
                m[0].add_cell([at(i, j), at(i + 1, j), at(i, j + 1)])
                if i + j + 1 < n:
                    m[0].add_cell([at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)])
    return m


def run(name, make, volume, targets):
    print(f"{name}: tets, nodes added, seconds, tets/s | qhull on as many points: seconds, tets/s")
    prev = None
    for target in targets:
        # About 5.5 tetrahedra per lattice point.
        h = (volume * 5.5 / target) ** (1.0 / 3.0)
        env = make()
        coords = env.coords()
        before = coords.capacity()
        t0 = time.perf_counter()
        mesh = q.volume(env, h)
        dt = time.perf_counter() - t0
        n_tets = mesh.cell_count()
        added = coords.capacity() - before
        pts = np.random.default_rng(0).random((added + 8, 3))
        t1 = time.perf_counter()
        qh = Delaunay(pts)
        dq = time.perf_counter() - t1
        growth = ""
        if prev:
            growth = f"  time ratio {dt / prev[1]:.2f} for n ratio {n_tets / prev[0]:.2f}"
        print(f"  {n_tets:>9} {added:>8} {dt:8.3f} {n_tets / dt:12.0f} | {dq:7.3f} {len(qh.simplices) / dq:12.0f}{growth}")
        prev = (n_tets, dt)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--max", type=int, default=1_000_000)
    args = ap.parse_args()
    targets = [t for t in (10_000, 100_000, 1_000_000) if t <= args.max]
    run("unit cube (12 faces)", cube, 1.0, targets)
    run("sphere-like envelope (512 faces)", sphere, 4.0 / 3.0 * math.pi, targets)
