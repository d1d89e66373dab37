"""Sets the element-field benchmark (bench_element_field, C++, 1 thread) beside the same
operations done by numpy on an array of the same shape (cells × 3 Gauss points × 3
components, 9 M values), and prints each ratio (ours / numpy; below 2 is the target).

    python bench/bench_element_field.py [build_dir]

numpy's results differ in kind in one place: `a < x` gives booleans (one byte a value)
while a field comparison gives a field of 0.0 / 1.0 doubles; the table sets it beside
`(a < x).astype(float)`, which gives the same values, and shows the bare boolean
comparison too.
"""

import pathlib
import re
import subprocess
import sys
import time

import numpy as np

REPEATS = 7


def best_ms(make):
    best = float("inf")
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = make()
        best = min(best, time.perf_counter() - t0)
        del out
    return best * 1e3


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    run = subprocess.run([str(build / "bench" / "bench_element_field")], capture_output=True, text=True, check=True)
    print(run.stdout, end="")
    ours = {m.group(1): float(m.group(2)) for m in re.finditer(r"^  (\w+)  ([\d.]+) ms$", run.stdout, re.M)}
    cells = int(re.search(r"(\d+) cells", run.stdout).group(1))

    shape = (cells, 3, 3)
    a = ((np.arange(np.prod(shape), dtype=np.uint64) * 2654435761) % 1000003).astype(np.float64).reshape(shape)
    a /= 1000003.0

    def uniform():
        out = np.empty(shape)
        out[...] = [0.25, 0.5, 0.75]
        return out

    theirs = {
        "create": ("np.full(shape, 0.0)", best_ms(lambda: np.full(shape, 0.0))),
        "uniform": ("np.empty + broadcast row", best_ms(uniform)),
        "values": ("a.copy()", best_ms(lambda: a.copy())),
        "compare": ("(a < 0.5).astype(float)", best_ms(lambda: (a < 0.5).astype(np.float64))),
        "band": ("((a >= .25) & (a <= .75)).astype(float)",
                 best_ms(lambda: ((a >= 0.25) & (a <= 0.75)).astype(np.float64))),
    }
    print(f"numpy {np.__version__}, 1 thread, same shape (best of {REPEATS}):")
    for name, (what, ms) in theirs.items():
        print(f"  {name:8s} ours {ours[name]:7.2f} ms   numpy {ms:7.2f} ms  {what:42s} ratio {ours[name] / ms:5.2f}")
    print(f"  (for scale: np.zeros(shape) {best_ms(lambda: np.zeros(shape)):.3f} ms, lazily zeroed pages; "
          f"a < 0.5 into booleans {best_ms(lambda: a < 0.5):.2f} ms)")


if __name__ == "__main__":
    main()
