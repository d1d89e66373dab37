"""Compressed rows from 30 M triplets: our Matrix.finalize beside scipy's
coo_matrix(...).tocsr() on the same triplets, in one run.

The triplets are those of a 3-D elasticity-like operator of 300 k degrees of freedom:
P1 tetrahedra (Kuhn split of a periodic 50 x 50 x 40 hexahedral grid, 208 333 of
them), one 12 x 12 element matrix each, emitted element by element. scipy's time and
the peak memory its call adds (tracemalloc) are measured here; ours come from the
C++ benchmark bench_matrix_finalize (built next to the module), which builds the
same triplets into one literal block and times Matrix.finalize. The checksums of
both results are printed and compared.

    python bench/bench_matrix_finalize.py [nx ny nz n_tets]
"""

import math
import pathlib
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import scipy.sparse as sp

KUHN = [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]


def triplets(nx, ny, nz, n_tets):
    cubes = nx * ny * nz
    t = np.arange(n_tets, dtype=np.int64)
    cube, which = t % cubes, t // cubes
    p = np.stack([cube % nx, (cube // nx) % ny, cube // (nx * ny)], axis=1)
    n = np.array([nx, ny, nz])
    perms = np.array(KUHN)[which]
    nodes = np.empty((n_tets, 4), dtype=np.int64)
    q = p.copy()
    nodes[:, 0] = (q[:, 0] % nx) + nx * ((q[:, 1] % ny) + ny * (q[:, 2] % nz))
    for s in range(3):
        q[np.arange(n_tets), perms[:, s]] += 1
        qm = q % n
        nodes[:, s + 1] = qm[:, 0] + nx * (qm[:, 1] + ny * qm[:, 2])
    dofs = (3 * nodes[:, :, None] + np.arange(3)).reshape(n_tets, 12)
    rows = np.repeat(dofs, 12, axis=1).reshape(-1).astype(np.int32)
    cols = np.tile(dofs, (1, 12)).reshape(-1).astype(np.int32)
    ij = np.arange(144)
    values = (((t[:, None] * 131 + ij[None, :]) % 1000) - 500).reshape(-1) / 8.0
    return rows, cols, values, 3 * cubes


def main():
    args = [int(a) for a in sys.argv[1:5]] if len(sys.argv) > 4 else [50, 50, 40, 208333]
    rows, cols, values, n = triplets(*args)
    best = math.inf
    for _ in range(3):
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        t0 = time.perf_counter()
        csr = sp.coo_matrix((values, (rows, cols)), shape=(n, n)).tocsr()
        best = min(best, time.perf_counter() - t0)
        peak = tracemalloc.get_traced_memory()[1] - before
        tracemalloc.stop()
    weights = (np.arange(csr.nnz) % 7) + 1
    weighted = math.fsum(csr.data * weights)
    index_sum = int(csr.indices.astype(np.int64).sum())
    print(f"dofs {n}  triplets {len(values)}  nnz {csr.nnz}  index dtype {csr.indices.dtype}")
    print(f"scipy coo_matrix(...).tocsr(): {best:.3f} s   peak added {peak / 1e6:.1f} MB")
    ours = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench" / "bench_matrix_finalize"
    if not ours.exists():
        print("(build/bench/bench_matrix_finalize not built: no figures of ours)")
        return
    out = subprocess.run([str(ours), *map(str, args)], capture_output=True, text=True, check=True).stdout
    print(out, end="")
    check = [line for line in out.splitlines() if line.startswith("checksum")][0]
    fields = dict(kv.split("=") for kv in check.split()[1:])
    same = (int(fields["nnz"]) == csr.nnz and int(fields["index_sum"]) == index_sum
            and math.isclose(float(fields["weighted"]), weighted, rel_tol=1e-12, abs_tol=1e-6))
    print(f"scipy checksum nnz={csr.nnz} index_sum={index_sum} weighted={weighted:.10e}  "
          f"{'same result' if same else 'DIFFERENT RESULT'}")


if __name__ == "__main__":
    main()
