"""Sets xty, mask and integral on a one-million-node field beside numpy on the same
arrays, one thread for both (the process is pinned to one processor before the module
loads), and prints each ratio (ours / numpy; the target is below 1.5).

    python bench/bench_field_ops.py

The field is the coordinate X of a SEG2 line of one million nodes on [0, 1] (and a
sine of it); the counterparts are np.dot(a, b), (a >= 0.5) as floats and the
trapezoidal rule, which is what the linear interpolation integrates exactly.
"""

import os

os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})

import numpy as np  # noqa: E402

import _quenlith as q  # noqa: E402
from bench_element_field import REPEATS, best_ms  # noqa: E402

NODES = 1_000_000


def main():
    c = q.Coords(1)
    mesh = q.line(c.add_node([0.0]), c.add_node([1.0]), NODES - 1)
    space = q.FiniteElementSpace(mesh)
    x = q.coordinates(mesh)
    y = q.sin(x * 7.0)
    zone = x[0]
    a = np.array([zone.get(r, 0) for r in range(zone.node_count())])
    b = np.sin(a * 7.0)
    cases = {
        "xty": (lambda: q.xty(x, y), lambda: np.dot(a, b), "np.dot(a, b)"),
        "mask": (lambda: q.mask(x, ge=0.5), lambda: (a >= 0.5).astype(np.float64), "(a >= 0.5) as float"),
        "integral": (lambda: q.integral(x, "X", space), lambda: np.trapezoid(a, a), "np.trapezoid(a, a)"),
    }
    print(f"{NODES} nodes, 1 thread, numpy {np.__version__} (best of {REPEATS}):")
    for name, (ours, theirs, what) in cases.items():
        mine, ref = best_ms(ours), best_ms(theirs)
        print(f"  {name:8s} ours {mine:8.2f} ms   numpy {ref:8.2f} ms  {what:22s} ratio {mine / ref:5.2f}")


if __name__ == "__main__":
    main()
