"""Builds the finite-element space of a TRI3 mesh of about one million cells from Python
and evaluates dN/dx at every Gauss point through the public classes; prints cells per
second. The Python API offers no thread control, so the figures for 1 and all threads
come from the C++ benchmark bench_fespace (run here when it sits in the build tree next
to the module).

    PYTHONPATH=build/python python bench/bench_fespace.py [target_cells]
"""

import math
import pathlib
import subprocess
import sys
import time

import _quenlith as q


def build_mesh(target_cells):
    n = max(1, math.isqrt(target_cells // 2))  # squares per side, two triangles each
    c = q.Coords(2)
    nodes = [c.add_node([i + 0.1 * ((7 * i + 3 * j) % 5) / 5, j + 0.1 * ((3 * i + 11 * j) % 7) / 7])
             for j in range(n + 1) for i in range(n + 1)]
    mesh = q.Mesh(c, "TRI3")
    add = mesh[0].add_cell
    w = n + 1
    for j in range(n):
        for i in range(n):
            a, b, d, e = nodes[j * w + i], nodes[j * w + i + 1], nodes[(j + 1) * w + i], nodes[(j + 1) * w + i + 1]
            add([a, b, e])
            add([a, e, d])
    return mesh


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    t0 = time.perf_counter()
    mesh = build_mesh(target)
    t1 = time.perf_counter()
    fes = q.FiniteElementSpace(mesh)
    t2 = time.perf_counter()
    sub = fes[0]
    cells, n_g = sub.cell_count(), sub.gauss_count()
    print(f"TRI3 mesh: {cells} cells, {n_g} Gauss points each; mesh built in {t1 - t0:.2f} s, "
          f"space in {t2 - t1:.4f} s")

    dn_dx = sub.dn_dx
    t3 = time.perf_counter()
    for cell in range(cells):
        for g in range(n_g):
            dn_dx(cell, g)
    t4 = time.perf_counter()
    print(f"{'SubFiniteElementSpace.dn_dx(cell, g)':<40} 1 thread  {cells / (t4 - t3):>12.0f} cells/s")

    sample = min(cells, 200_000)
    t5 = time.perf_counter()
    for element in (sub[i] for i in range(sample)):
        for g in range(n_g):
            element.dn_dx(g)
    t6 = time.perf_counter()
    print(f"{'Element.dn_dx(g) (view per cell)':<40} 1 thread  {sample / (t6 - t5):>12.0f} cells/s")

    native = pathlib.Path(q.__file__).resolve().parent.parent / "bench" / "bench_fespace"
    if native.exists():
        n = max(1, math.isqrt(target // 2))
        print(f"\n{native} {n}:")
        sys.stdout.flush()
        subprocess.run([str(native), str(n)], check=True)
    else:
        print(f"\n(build the C++ benchmark bench_fespace for the 1-thread / all-threads figures: {native})")


if __name__ == "__main__":
    main()
