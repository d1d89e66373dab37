"""Structured generators against the physical limit of a regular grid: a transfinite
QUA4 patch (1000 x 1000 cells by default) and a HEX8 extrusion (100 x 100 base cells
in 100 layers), each beside the same grid made with numpy index arithmetic and with
scikit-fem's MeshQuad.init_tensor / MeshHex.init_tensor. Prints cells per second and
the ratios of the times (ours / theirs; best of `repeat` runs each).

    PYTHONPATH=build/python python bench/bench_structured.py [quad_side [hex_side [repeat]]]
"""

import sys
import time

import numpy as np

import _quenlith as q

try:
    import skfem
except ImportError:  # the figures beside it are then left out
    skfem = None


def best_time(make, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = make()
        best = min(best, time.perf_counter() - t0)
        del result
    return best


def numpy_quads(n):
    x = np.linspace(0.0, 1.0, n + 1)
    xx, yy = np.meshgrid(x, x, indexing="ij")
    points = np.stack([xx.ravel(), yy.ravel()], axis=1)
    i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    base = (i * (n + 1) + j).ravel()
    cells = np.stack([base, base + n + 1, base + n + 2, base + 1], axis=1).astype(np.uint32)
    return points, cells


def numpy_hexes(n):
    x = np.linspace(0.0, 1.0, n + 1)
    xx, yy, zz = np.meshgrid(x, x, x, indexing="ij")
    points = np.stack([xx.ravel(), yy.ravel(), zz.ravel()], axis=1)
    i, j, k = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    s = n + 1
    base = ((k * s + i) * s + j).ravel()
    bottom = np.stack([base, base + s, base + s + 1, base + 1], axis=1)
    cells = np.concatenate([bottom, bottom + s * s], axis=1).astype(np.uint32)
    return points, cells


def ours_quads(n):
    def make():
        c = q.Coords(2)
        p = [c.add_node(x) for x in ([0, 0], [1, 0], [1, 1], [0, 1])]
        sides = [q.line(p[i], p[(i + 1) % 4], n) for i in range(4)]
        t0 = time.perf_counter()
        mesh = q.transfinite(*sides)
        return time.perf_counter() - t0, mesh

    return make


def ours_hexes(n):
    def make():
        c = q.Coords(3)
        p = [c.add_node(x) for x in ([0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0])]
        base = q.transfinite(*[q.line(p[i], p[(i + 1) % 4], n) for i in range(4)])
        t0 = time.perf_counter()
        mesh = q.extrude(base, [0, 0, 1], n)
        return time.perf_counter() - t0, mesh

    return make


def best_inner(make, repeat):
    """Like best_time for a maker that times its own inner part."""
    best = float("inf")
    for _ in range(repeat):
        elapsed, result = make()
        best = min(best, elapsed)
        del result
    return best


def main():
    quad_side = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    hex_side = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    repeat = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    rows = []
    for label, n_cells, ours, ref_np, ref_skfem in (
        (f"transfinite QUA4 {quad_side}x{quad_side}", quad_side**2, ours_quads(quad_side),
         lambda: numpy_quads(quad_side),
         skfem and (lambda: skfem.MeshQuad.init_tensor(np.linspace(0, 1, quad_side + 1),
                                                       np.linspace(0, 1, quad_side + 1)))),
        (f"extrude HEX8 {hex_side}x{hex_side}x{hex_side}", hex_side**3, ours_hexes(hex_side),
         lambda: numpy_hexes(hex_side),
         skfem and (lambda: skfem.MeshHex.init_tensor(*[np.linspace(0, 1, hex_side + 1)] * 3))),
    ):
        t_ours = best_inner(ours, repeat)
        t_np = best_time(ref_np, repeat)
        t_sk = best_time(ref_skfem, repeat) if ref_skfem else None
        rows.append((label, n_cells, t_ours, t_np, t_sk))

    print(f"{'case':<28} {'cells':>9} {'ours cells/s':>13} {'numpy cells/s':>14} {'skfem cells/s':>14} "
          f"{'ours/numpy':>11} {'ours/skfem':>11}")
    for label, n_cells, t_ours, t_np, t_sk in rows:
        sk_rate = f"{n_cells / t_sk:>14.3g}" if t_sk else f"{'-':>14}"
        sk_ratio = f"{t_ours / t_sk:>11.2f}" if t_sk else f"{'-':>11}"
        print(f"{label:<28} {n_cells:>9} {n_cells / t_ours:>13.3g} {n_cells / t_np:>14.3g} {sk_rate} "
              f"{t_ours / t_np:>11.2f} {sk_ratio}")


if __name__ == "__main__":
    main()
