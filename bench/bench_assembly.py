"""Operator assembly from a model: 3-D HEX8 linear elasticity on an n x n x n cube.

For each size it prints the time of the first `stiffness` call (pattern built and
cached, then the numeric pass), of a second call (numeric pass alone, the pattern
reused), both per cell, with one processor and with all of them (each run in a child
interpreter, the one-processor child pinned with sched_setaffinity), and the time of
`mass` and `internal_forces` on the same model.

    .venv/bin/python bench/bench_assembly.py [n ...]     (default 20 30: 27 k and 89 k unknowns)
"""
import os
import subprocess
import sys

CHILD = r"""
import os, sys, time
if sys.argv[2] == "1":
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
import _quenlith as q
n = int(sys.argv[1])
c = q.Coords(3)
nodes = [[[c.add_node([i / n, j / n, k / n]) for i in range(n + 1)] for j in range(n + 1)] for k in range(n + 1)]
mesh = q.Mesh(c, "HEX8")
for k in range(n):
    for j in range(n):
        for i in range(n):
            mesh[0].add_cell([nodes[k][j][i], nodes[k][j][i + 1], nodes[k][j + 1][i + 1], nodes[k][j + 1][i],
                              nodes[k + 1][j][i], nodes[k + 1][j][i + 1], nodes[k + 1][j + 1][i + 1],
                              nodes[k + 1][j + 1][i]])
fes = q.FiniteElementSpace(mesh)
model = q.Model.elasticity(fes, "solid")
mats = q.material_field(model, [("E", 1.0), ("nu", 0.3), ("rho", 1.0)])
stress = q.ElementField(fes, ["sigma_xx", "sigma_xy", "sigma_xz", "sigma_yy", "sigma_yz", "sigma_zz"])
for name in stress[0].components():
    stress[0].set_uniform(name, 1.0)
def timed(f):
    t = time.perf_counter(); r = f(); return time.perf_counter() - t, r
t1, K = timed(lambda: q.stiffness(model, mats))
t2, _ = timed(lambda: q.stiffness(model, mats))
t3, _ = timed(lambda: q.mass(model, mats))
t4, _ = timed(lambda: q.internal_forces(model, stress))
print(K.n_rows(), n ** 3, t1, t2, t3, t4)
"""


def run(n, threads):
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), threads], check=True, capture_output=True, text=True)
    rows, cells, *times = out.stdout.split()
    return int(rows), int(cells), [float(t) for t in times]


def main(sizes):
    print(f"{'n':>4} {'DOFs':>8} {'cells':>8} {'procs':>5} {'K first':>10} {'K again':>10} "
          f"{'us/cell':>8} {'mass':>8} {'f_int':>8}")
    for n in sizes:
        for threads in ("1", "all"):
            rows, cells, (t1, t2, t3, t4) = run(n, threads)
            print(f"{n:>4} {rows:>8} {cells:>8} {threads:>5} {t1:>9.3f}s {t2:>9.3f}s {1e6 * t2 / cells:>8.2f} "
                  f"{t3:>7.3f}s {t4:>7.3f}s")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [20, 30])
