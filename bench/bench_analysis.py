"""A complete linear analysis, timed beside a hand-written assembly, scikit-fem and scipy.

3-D linear elasticity (E = 1, nu = 0.3) on the unit cube, n x n x n HEX8 cells or
6 n^3 TET4 cells (the same grid, each hexahedron cut in six around its diagonal), the
face x = 0 clamped by Dirichlet multipliers (bench_analysis.cpp builds and assembles it
through the same core calls as the Python functions). For each size it prints:

  assembly   `stiffness` per cell, first call (scatter pattern built, then the numeric
             pass) and again (numeric pass, pattern cached), with 1 and all threads;
             the element matrices alone (same kernel, 1 thread); a hand-written C++
             compressed-row assembly of those element matrices (pattern, then the
             scatter; 1 thread); scikit-fem's Basis + BilinearForm.assemble of the same
             cells and quadrature, pinned to one processor (no multipliers: it has
             none); and the ratios.
  solve      analysis + factorisation + substitution (MUMPS; one BLAS thread by default,
             see --blas-threads: on a busy machine OpenBLAS' spinning threads made the
             factorisation several times slower) against
             scipy.sparse.linalg.spsolve (SuperLU) on the same compressed rows, and the
             largest difference of the two solutions; spsolve is stopped after
             --spsolve-timeout seconds (or when it exceeds --spsolve-memory GB) and the
             larger sizes of that cell type are then skipped.
  memory     peak resident memory of the process that built, assembled, factorised
             and solved the problem, against the library's own figures for the
             factorisation (INFOG(17): analysis estimate; INFOG(19): allocated).

    .venv/bin/python bench/bench_analysis.py [--sizes 21 31 45] [--types HEX8 TET4]
                                             [--spsolve-timeout 120] [--spsolve-memory 8]
                                             [--blas-threads 1]

n = 21, 31, 45 give 32 k, 98 k and 292 k displacement unknowns.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXE = os.path.join(ROOT, "build", "bench", "bench_analysis")
ONE_THREAD_ENV = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}

SKFEM_CHILD = r"""
import os, sys, time
os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
import numpy as np
import skfem
from skfem.models.elasticity import linear_elasticity, lame_parameters
kind, n = sys.argv[1], int(sys.argv[2])
x = np.linspace(0.0, 1.0, n + 1)
if kind == "HEX8":
    mesh = skfem.MeshHex.init_tensor(x, x, x)
    element, order = skfem.ElementVector(skfem.ElementHex1()), 3   # 2 x 2 x 2 Gauss points
else:
    p = n + 1
    i, j, k = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    base = (k * p + j) * p + i
    off = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
    corner = [(base + (c * p + b) * p + a).ravel() for a, b, c in off]
    tets = [(0, 1, 2, 6), (0, 5, 1, 6), (0, 3, 7, 6), (0, 2, 3, 6), (0, 4, 5, 6), (0, 7, 4, 6)]
    t = np.hstack([np.vstack([corner[a] for a in tet]) for tet in tets])
    gi, gj, gk = np.meshgrid(x, x, x, indexing="ij")
    pts = np.vstack([gi.ravel(order="F"), gj.ravel(order="F"), gk.ravel(order="F")])
    mesh = skfem.MeshTet(pts, t)
    element, order = skfem.ElementVector(skfem.ElementTetP1()), 2   # 4 Gauss points
form = linear_elasticity(*lame_parameters(1.0, 0.3))
basis_len = 24 if kind == "HEX8" else 12
best_basis = best_asm = float("inf")
for _ in range(2 if mesh.nelements * basis_len < 2e6 else 1):   # the largest once: up to a minute each
    t0 = time.perf_counter()
    basis = skfem.Basis(mesh, element, intorder=order)
    t1 = time.perf_counter()
    K = form.assemble(basis)
    t2 = time.perf_counter()
    best_basis, best_asm = min(best_basis, t1 - t0), min(best_asm, t2 - t1)
    del basis, K
print(mesh.nelements, best_basis, best_asm)
"""

SPSOLVE_CHILD = r"""
import sys, time
import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla
raw = open(sys.argv[1], "rb").read()
n, nnz = (int(v) for v in np.frombuffer(raw, np.uint64, 2))
at = 16
offsets = np.frombuffer(raw, np.uint64, n + 1, at).astype(np.int64); at += 8 * (n + 1)
cols = np.frombuffer(raw, np.uint32, nnz, at).astype(np.int64); at += 4 * nnz
values = np.frombuffer(raw, np.float64, nnz, at); at += 8 * nnz
b = np.frombuffer(raw, np.float64, n, at); at += 8 * n
x = np.frombuffer(raw, np.float64, n, at)
a = sp.csr_matrix((values, cols, offsets), shape=(n, n)).tocsc()
t0 = time.perf_counter()
ref = spla.spsolve(a, b)
t = time.perf_counter() - t0
print(t, np.abs(x - ref).max() / np.abs(ref).max())
"""


def fields(line):
    return {k: float(v) for k, v in (item.split("=") for item in line.split())}


def ours_assembly(kind, n):
    out = subprocess.run([EXE, "assemble", kind, str(n)], check=True, capture_output=True, text=True)
    return fields(out.stdout)


def skfem_assembly(kind, n):
    env = dict(os.environ, **ONE_THREAD_ENV)
    out = subprocess.run([sys.executable, "-c", SKFEM_CHILD, kind, str(n)], check=True, capture_output=True,
                         text=True, env=env)
    cells, t_basis, t_asm = out.stdout.split()
    return int(cells), float(t_basis), float(t_asm)


def ours_solve(kind, n, path, blas_threads):
    env = dict(os.environ)
    if blas_threads:
        env.update(OPENBLAS_NUM_THREADS=str(blas_threads), OMP_NUM_THREADS=str(blas_threads))
    out = subprocess.run([EXE, "solve", kind, str(n), path], check=True, capture_output=True, text=True, env=env)
    return fields(out.stdout)


def spsolve(path, timeout, memory_gb):
    def limit():
        cap = int(memory_gb * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    try:
        out = subprocess.run([sys.executable, "-c", SPSOLVE_CHILD, path], capture_output=True, text=True,
                             timeout=timeout, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return None, f"skipped: still running after {timeout:.0f} s"
    if out.returncode != 0:
        last = (out.stderr.strip().splitlines() or ["?"])[-1]
        return None, f"skipped: failed under a {memory_gb:g} GB address-space cap ({last[:60]})"
    t, err = out.stdout.split()
    return float(t), float(err)


def us(t, cells):
    return 1e6 * t / cells


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[21, 31, 45])
    ap.add_argument("--types", nargs="+", default=["HEX8", "TET4"])
    ap.add_argument("--spsolve-timeout", type=float, default=120.0)
    ap.add_argument("--spsolve-memory", type=float, default=8.0)
    ap.add_argument("--blas-threads", type=int, default=1,
                    help="BLAS threads of our factorisation (0: the library's default, all processors)")
    args = ap.parse_args()
    print(f"load average at start: {' '.join(f'{v:.1f}' for v in os.getloadavg())} "
          f"({os.cpu_count()} processors)", flush=True)

    print("\nAssembly of K (us per cell; 'x1'/'xN' = 1/all threads; hand and scikit-fem on 1 core)")
    print(f"{'type':>5} {'DOFs':>7} {'cells':>7} {'first x1':>9} {'again x1':>9} {'first xN':>9} "
          f"{'again xN':>9} {'kernel':>8} {'hand pat':>9} {'hand sct':>9} {'skfem':>8} "
          f"{'again/hand':>10} {'first/hand':>10} {'skfem/x1':>9}", flush=True)
    for kind in args.types:
        for n in args.sizes:
            r = ours_assembly(kind, n)
            cells = int(r["cells"])
            sk_cells, sk_basis, sk_asm = skfem_assembly(kind, n)
            assert sk_cells == cells, (sk_cells, cells)
            hand_numeric = r["kernel"] + r["hand_scatter"]
            hand_whole = hand_numeric + r["hand_pattern"]
            sk = sk_basis + sk_asm
            print(f"{kind:>5} {int(r['dofs']):>7} {cells:>7} {us(r['first1'], cells):>9.2f} "
                  f"{us(r['again1'], cells):>9.2f} {us(r['firstN'], cells):>9.2f} {us(r['againN'], cells):>9.2f} "
                  f"{us(r['kernel'], cells):>8.2f} {us(r['hand_pattern'], cells):>9.2f} "
                  f"{us(r['hand_scatter'], cells):>9.2f} {us(sk, cells):>8.1f} "
                  f"{r['again1'] / hand_numeric:>10.2f} {r['first1'] / hand_whole:>10.2f} "
                  f"{sk / r['again1']:>9.1f}", flush=True)
            if r["hand_diff"] > 1e-12:
                print(f"      hand-written and ours differ: {r['hand_diff']:.3g} (relative)")
    print(f"  threads: {int(r['threads'])}; again/hand = ours again x1 / (kernel + hand scatter); "
          f"first/hand = ours first x1 / (kernel + hand pattern + hand scatter); skfem = Basis + assemble")

    blas = f"{args.blas_threads} BLAS thread(s)" if args.blas_threads else "BLAS threads by default"
    print(f"\nSolve (seconds; ours: MUMPS analysis + factorisation + substitution, {blas}; spsolve: SuperLU)")
    print(f"{'type':>5} {'unknowns':>8} {'entries':>9} {'factor':>8} {'subst':>7} {'ours':>8} {'spsolve':>9} "
          f"{'ratio':>6} {'max|dx|/|x|':>12}", flush=True)
    memory_rows = []
    fd, path = tempfile.mkstemp(prefix="quenlith-bench-analysis-")
    os.close(fd)
    try:
        for kind in args.types:
            too_slow = None
            for n in args.sizes:
                s = ours_solve(kind, n, path, args.blas_threads)
                memory_rows.append((kind, s))
                ours = s["factor"] + s["solve"]
                head = (f"{kind:>5} {int(s['dofs']):>8} {int(s['nnz']):>9} {s['factor']:>8.2f} {s['solve']:>7.3f} "
                        f"{ours:>8.2f}")
                if too_slow:
                    print(f"{head} {'-':>9}  skipped: a smaller size already {too_slow}", flush=True)
                    continue
                t, err = spsolve(path, args.spsolve_timeout, args.spsolve_memory)
                if t is None:
                    too_slow = err.removeprefix("skipped: ")
                    bound = f" (ratio > {args.spsolve_timeout / ours:.1f})" if "running" in err else ""
                    print(f"{head} {'-':>9}  {err}{bound}", flush=True)
                else:
                    print(f"{head} {t:>9.2f} {t / ours:>6.1f} {err:>12.1e}", flush=True)
    finally:
        os.remove(path)

    print("\nMemory (millions of bytes): peak RSS of the whole run (mesh, model, pattern, matrix, factors)")
    print(f"{'type':>5} {'unknowns':>8} {'peak RSS':>9} {'INFOG17':>8} {'INFOG19':>8} {'INFOG22':>8} "
          f"{'RSS/INFOG17':>11} {'RSS/INFOG19':>11}")
    for kind, s in memory_rows:
        print(f"{kind:>5} {int(s['dofs']):>8} {s['peak_rss_mb']:>9.0f} {s['infog17']:>8.0f} {s['infog19']:>8.0f} "
              f"{s['infog22']:>8.0f} {s['peak_rss_mb'] / s['infog17']:>11.2f} {s['peak_rss_mb'] / s['infog19']:>11.2f}")
    print(f"\nload average at end: {' '.join(f'{v:.1f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
