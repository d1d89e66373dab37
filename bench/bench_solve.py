"""solve beside scipy's spsolve on the same compressed rows.

The matrices are those of bench_solve.cpp (3-D HEX8 linear elasticity with the face
x = 0 held by Dirichlet multipliers, a symmetric indefinite saddle-point system),
written by `bench_solve --dump` and read here into a scipy CSR matrix and, entry by
entry, into a literal-block Matrix. For each size it prints the time of the first
solve (analysis, factorisation, substitution), of a second solve with the cached
factors, of spsolve on the same CSR (scipy's default: SuperLU with COLAMD), their
ratio and the largest difference between the two solutions.

    .venv/bin/python bench/bench_solve.py [n ...]     (default 14 20: 10 k and 29 k unknowns)
"""
import os
import sys
import tempfile
import time
import subprocess

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

import _quenlith as q

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DUMP = os.path.join(ROOT, "build", "bench", "bench_solve")


def load(n):
    fd, path = tempfile.mkstemp(prefix="quenlith-bench-solve-")
    os.close(fd)
    try:
        subprocess.run([DUMP, "--dump", str(n), path], check=True)
        raw = open(path, "rb").read()
    finally:
        os.remove(path)
    n_rows, nnz = np.frombuffer(raw, np.uint64, 2)
    n_rows, nnz = int(n_rows), int(nnz)
    at = 16
    offsets = np.frombuffer(raw, np.uint64, n_rows + 1, at); at += 8 * (n_rows + 1)
    cols = np.frombuffer(raw, np.uint32, nnz, at); at += 4 * nnz
    values = np.frombuffer(raw, np.float64, nnz, at); at += 8 * nnz
    b = np.frombuffer(raw, np.float64, n_rows, at)
    return sp.csr_matrix((values, cols.astype(np.int64), offsets.astype(np.int64)), shape=(n_rows, n_rows)), b


def to_matrix(a, b):
    c = q.Coords(1)
    nodes = [c.add_node([float(i)]) for i in range(a.shape[0])]
    cloud = q.Mesh(c, "POI1")
    for x in nodes:
        cloud[0].add_cell([x])
    m = q.Matrix.block(cloud, cloud, ["f"], ["u"], symmetric=True)
    blk = m[0]
    indptr, indices, data = a.indptr, a.indices, a.data
    for i in range(a.shape[0]):
        row = nodes[i]
        for k in range(indptr[i], indptr[i + 1]):
            blk.add_entry(row, "f", nodes[indices[k]], "u", float(data[k]))
    m.finalize()
    rhs = q.NodeField(cloud, ["f"])
    for x, v in zip(nodes, b):
        if v:
            rhs[0].set_value(x, "f", float(v))
    return m, rhs, nodes


def main():
    sizes = [int(s) for s in sys.argv[1:]] or [14, 20]
    print(f"{'unknowns':>9} {'entries':>10} {'solve [s]':>10} {'cached [s]':>11} {'spsolve [s]':>12} "
          f"{'ratio':>7} {'max |dx|/|x|':>13}")
    for n in sizes:
        a, b = load(n)
        m, rhs, nodes = to_matrix(a, b)
        t0 = time.perf_counter()
        x = q.solve(m, rhs)
        t_first = time.perf_counter() - t0
        t0 = time.perf_counter()
        q.solve(m, rhs)
        t_cached = time.perf_counter() - t0
        t0 = time.perf_counter()
        ref = spla.spsolve(a.tocsc(), b)
        t_scipy = time.perf_counter() - t0
        got = np.array([x.value(p, "u") for p in nodes])
        err = np.abs(got - ref).max() / np.abs(ref).max()
        print(f"{a.shape[0]:>9} {a.nnz:>10} {t_first:>10.3f} {t_cached:>11.4f} {t_scipy:>12.3f} "
              f"{t_scipy / t_first:>7.1f} {err:>13.1e}", flush=True)


if __name__ == "__main__":
    main()
