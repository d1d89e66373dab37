"""locate_points of one million points in a TET4 mesh of about one million cells,
the Delaunay tetrahedralisation of random points made by scipy, so that both
hold the same tetrahedra; beside scipy.spatial.Delaunay(points).find_simplex of
the same query points. The C++ side (build/bench/bench_locate) times one thread
and all threads; this script times scipy and compares the cells found.

    python bench/bench_locate.py [n_queries]
"""

import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy.spatial import Delaunay

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    n_queries = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rng = np.random.default_rng(2024)
    pts = rng.random((155_000, 3))
    t0 = time.perf_counter()
    tri = Delaunay(pts)
    build = time.perf_counter() - t0
    queries = rng.random((n_queries, 3))
    t0 = time.perf_counter()
    ref = tri.find_simplex(queries)
    scipy_s = time.perf_counter() - t0
    cells = tri.simplices.astype(np.uint32)
    print(f"scipy Delaunay: {len(pts)} points, {len(cells)} tetrahedra in {build:.2f} s")
    print(f"scipy find_simplex: {n_queries} points in {scipy_s:.3f} s, {n_queries / scipy_s:12.0f} points/s")
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = pathlib.Path(tmp, "in.bin"), pathlib.Path(tmp, "out.bin")
        with open(src, "wb") as f:
            np.array([len(pts), len(cells), n_queries], dtype=np.uint64).tofile(f)
            pts.astype(np.float64).tofile(f)
            cells.tofile(f)
            queries.astype(np.float64).tofile(f)
        subprocess.run([str(ROOT / "build" / "bench" / "bench_locate"), str(src), str(dst)], check=True)
        ours = np.fromfile(dst, dtype=np.int64)
    same = np.count_nonzero(ours == ref)
    print(
        f"same cell as scipy: {same} of {n_queries} "
        f"({n_queries - same} differ: points within the 1e-6 tolerance of a face or of the hull)"
    )


if __name__ == "__main__":
    main()
