"""Meshes a unit disc (a circle contour sampled at the element size) with
triangulate_surface for about 10 k, 100 k and 1 M triangles and prints the
triangles per second, beside scipy.spatial.Delaunay (Qhull) on as many random
points as the mesh has nodes, and beside the quality meshers of the `triangle`
and `meshpy` packages on the same disc when they are installed (this script does
not install them). The last lines print how the cost grows against n log n.

    PYTHONPATH=build/python python bench/bench_triangulate_surface.py [target_triangles ...]
"""

import math
import sys
import time

import numpy as np

import _quenlith as q


def disc_contour(h):
    n = math.ceil(2 * math.pi / h)
    coords = q.Coords(2)
    nodes = [coords.add_node([math.cos(2 * math.pi * i / n), math.sin(2 * math.pi * i / n)]) for i in range(n)]
    mesh = q.Mesh(coords, "SEG2")
    for i in range(n):
        mesh[0].add_cell([nodes[i], nodes[(i + 1) % n]])
    return mesh, n


def best_of(repeat, run):
    best = math.inf
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - t0)
    return best, out


def other_meshers(h, n_boundary):
    """Seconds and triangle counts of the optional quality meshers on the same disc."""
    pts = [(math.cos(2 * math.pi * i / n_boundary), math.sin(2 * math.pi * i / n_boundary)) for i in range(n_boundary)]
    segs = [(i, (i + 1) % n_boundary) for i in range(n_boundary)]
    area = math.sqrt(3) / 4 * h * h
    out = {}
    try:
        import triangle  # noqa: PLC0415

        t, r = best_of(1, lambda: triangle.triangulate({"vertices": pts, "segments": segs}, f"pq20a{area:.12f}"))
        out["triangle"] = (t, len(r["triangles"]))
    except ImportError:
        pass
    try:
        from meshpy import triangle as mp  # noqa: PLC0415

        def run():
            info = mp.MeshInfo()
            info.set_points(pts)
            info.set_facets(segs)
            return mp.build(info, max_volume=area, min_angle=20)

        t, r = best_of(1, run)
        out["meshpy"] = (t, len(r.elements))
    except ImportError:
        pass
    return out


def main():
    targets = [float(a) for a in sys.argv[1:]] or [1e4, 1e5, 1e6]
    print(f"{'triangles':>10} {'nodes':>9} {'seconds':>8} {'tri/s':>11} {'qhull s':>8} {'qhull tri/s':>12}  others")
    rows = []
    for target in targets:
        h = math.sqrt(15.5 / target)  # about 15.5 / h^2 triangles in the unit disc
        contour, n_boundary = disc_contour(h)
        coords = contour.coords()
        before = coords.capacity()
        t, result = best_of(3 if target <= 1e5 else 1, lambda: q.triangulate_surface(contour, "TRI3", h))
        n_tri = result.cell_count()
        n_nodes = n_boundary + (coords.capacity() - before) // (3 if target <= 1e5 else 1)
        points = np.random.default_rng(0).random((n_nodes, 2))
        from scipy.spatial import Delaunay  # noqa: PLC0415

        tq, d = best_of(1, lambda: Delaunay(points))
        others = other_meshers(h, n_boundary)
        text = ", ".join(f"{k} {n / s:,.0f} tri/s ({n} tri)" for k, (s, n) in others.items()) or "none installed"
        print(f"{n_tri:>10} {n_nodes:>9} {t:>8.3f} {n_tri / t:>11,.0f} {tq:>8.3f} {len(d.simplices) / tq:>12,.0f}  {text}")
        rows.append((n_tri, t))
        del result
    for (n0, t0), (n1, t1) in zip(rows, rows[1:]):
        print(f"growth {n0} -> {n1}: time x{t1 / t0:.2f}, n x{n1 / n0:.2f}, "
              f"n log n x{n1 * math.log(n1) / (n0 * math.log(n0)):.2f}")


if __name__ == "__main__":
    main()
