"""Field algebra beside numpy, in one run: `a * 2.0`, `a + b`, `a - b`, `a * b`,
`a / b`, `mask`, `a < x`, `select` and the reductions `sum`, `min`, `max`, `xtx`,
`xty` on node fields of 10^5, 10^6 and 10^7 values, on one thread and on all threads.

    PYTHONPATH=build/python python bench/bench_fields_peers.py [values ...]

Each (size, threads) pair runs in a child process of its own: for one thread the
child pins itself to one processor before anything loads (the worker pool and
OpenBLAS then see one processor); for all threads it is left unpinned. numpy's
element-wise loops and reductions run on one thread either way (its `dot` may use
OpenBLAS threads).

The field is the coordinate X of a SEG2 line on [0, 1] (one value per node) and
b = cos(7 a) + 2; numpy gets the very same values, read back from the fields. Before
any timing the child checks that both sides give the same result: the same bits for
the element-wise operations and the masks, the same nodes for `select` (numpy:
the node ids where a >= 0.5), the same extremes, and sums equal to 1e-12 (the
orders of the additions differ). Times are the best of REPEATS calls, ours and
numpy's alternated; a result is dropped before the next call.

Settling: numpy's `dot` (xtx, xty) runs on OpenBLAS threads which, once it returns,
keep spinning on every processor for a while; a call of ours started then shares
each core with one of them (measured at 10^7 values, 8 threads: our xty 3.5 ms right
after a numpy dot, 1.7 ms after a pause), and the worker threads of either side, idle
but not yet asleep, do the same to the other. So in the all-threads rows of those two
cases each timed call, ours and numpy's, follows a pause of SETTLE seconds in which
the other side's threads go to sleep; elsewhere the calls follow each other at once.

Memory: "peak MB" is the growth of the process's peak resident size during one
call, measured before the timed calls (the peak is reset through
/proc/self/clear_refs). Both sides reuse freed memory: glibc keeps freed blocks of
less than 32 MiB on its heap for numpy, and our value arrays of 4 MiB and more,
once freed, are kept for reuse up to 256 MiB in all; a call served from either
shows 0.
"""

import json
import os
import subprocess
import sys
import time

from peer_support import best_alternated, peak_growth, pin_to_one_processor

REPEATS = 9
THRESHOLD = 0.5
SETTLE = 0.3


def child(n, threads):
    if threads == 1:
        pin_to_one_processor()
    import numpy as np

    import _quenlith as q

    c = q.Coords(1)
    line = q.line(c.add_node([0.0]), c.add_node([1.0]), n - 1)
    x = q.coordinates(line)
    y = q.cos(x * 7.0) + 2.0
    support = x.support_mesh()
    a = np.array(x.values(support, "X"))
    b = np.array(y.values(support, "X"))
    # The ends are nodes 0 and 1, the line adds 2 .. n-1 between them in order: the
    # support lists them as met along the line.
    node_ids = np.concatenate([[0], np.arange(2, n, dtype=np.uint32), [1]]).astype(np.uint32)
    for k in (0, 1, n - 2, n - 1):
        assert support.node(0, k, 0).id == node_ids[k]

    def values(field):
        return np.array(field.values(support, "X"))

    def selected(mesh):
        return np.array(x.values(mesh[0], "X")) if len(mesh) else np.empty(0)

    # (name, ours, numpy's, how the results are compared, whether numpy runs threads)
    cases = [
        ("a * 2.0", lambda: x * 2.0, lambda: a * 2.0, "same"),
        ("a + b", lambda: x + y, lambda: a + b, "same"),
        ("a - b", lambda: x - y, lambda: a - b, "same"),
        ("a * b", lambda: x * y, lambda: a * b, "same"),
        ("a / b", lambda: x / y, lambda: a / b, "same"),
        ("mask ge", lambda: q.mask(x, ge=THRESHOLD), lambda: (a >= THRESHOLD).astype(np.float64), "same"),
        ("a < x", lambda: x < THRESHOLD, lambda: (a < THRESHOLD).astype(np.float64), "same"),
        ("select ge", lambda: q.select(x, ge=THRESHOLD), lambda: node_ids[a >= THRESHOLD], "select"),
        ("sum", lambda: x.sum("X"), lambda: a.sum(), "close"),
        ("min", lambda: x.min("X"), lambda: np.nanmin(a), "equal"),
        ("max", lambda: x.max("X"), lambda: np.nanmax(a), "equal"),
        ("xtx", lambda: q.xtx(x), lambda: np.dot(a, a), "close", True),
        ("xty", lambda: q.xty(x, y), lambda: np.dot(a, b), "close", True),
    ]
    rows = []
    for name, ours, theirs, check, *blas in cases:
        mine, ref = ours(), theirs()
        if check == "same":
            got = values(mine)
            ok = got.shape == ref.shape and (got.view(np.uint64) == ref.view(np.uint64)).all()
        elif check == "select":
            got = selected(mine)
            ok = got.shape == ref.shape and (got == a[a >= THRESHOLD]).all()
        elif check == "close":
            ok = abs(mine - ref) <= 1e-12 * abs(ref)
        else:
            ok = mine == ref
        if not ok:
            sys.exit(f"bench_fields_peers: {name} at {n} values differs from numpy")
        del mine, ref
        peak_ours, peak_np = peak_growth(ours)[0], peak_growth(theirs)[0]
        if blas and threads > 1:
            best_ours = best_np = float("inf")
            for _ in range(REPEATS):
                time.sleep(SETTLE)
                best_ours = best_alternated(ours, theirs, 1, best_ours, theirs_too=False)[0]
                time.sleep(SETTLE)
                best_np = best_alternated(theirs, ours, 1, best_np, theirs_too=False)[0]
        else:
            best_ours, best_np = best_alternated(ours, theirs, REPEATS)
        rows.append({"case": name, "ours": best_ours * 1e3, "numpy": best_np * 1e3, "peak_ours": peak_ours,
                     "peak_numpy": peak_np})
    print(json.dumps({"numpy": np.__version__, "rows": rows}))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), int(sys.argv[3]))
        return
    sizes = [int(float(s)) for s in sys.argv[1:]] or [10**5, 10**6, 10**7]
    all_threads = len(os.sched_getaffinity(0))
    print(f"{'case':10s} {'values':>9s} {'thr':>3s} {'ours ms':>9s} {'numpy ms':>9s} {'ratio':>6s} "
          f"{'peak MB ours':>12s} {'numpy':>6s} {'load':>5s}")
    for n in sizes:
        for threads in (1, all_threads):
            run = subprocess.run([sys.executable, __file__, "--child", str(n), str(threads)], capture_output=True,
                                 text=True)
            if run.returncode != 0:
                sys.exit(run.stderr.strip())
            report = json.loads(run.stdout.strip().splitlines()[-1])
            load = os.getloadavg()[0]
            for r in report["rows"]:
                print(f"{r['case']:10s} {n:9d} {threads:3d} {r['ours']:9.3f} {r['numpy']:9.3f} "
                      f"{r['ours'] / r['numpy']:6.2f} {r['peak_ours']:12.1f} {r['peak_numpy']:6.1f} {load:5.1f}")


if __name__ == "__main__":
    main()
