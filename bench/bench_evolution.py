"""Sets the evolution benchmark (bench_evolution, C++) beside numpy's (1 − t)·a + t·b on
two arrays of one million rows × 3 components, and prints the ratios (ours / numpy;
below 2 is the target).

    python bench/bench_evolution.py [build_dir]
"""

import pathlib
import re
import subprocess
import sys

import numpy as np

from bench_element_field import best_ms


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    run = subprocess.run([str(build / "bench" / "bench_evolution")], capture_output=True, text=True, check=True)
    print(run.stdout, end="")
    ours = {m.group(1): float(m.group(2)) for m in re.finditer(r"^  (\w+)  ([\d.]+) ms", run.stdout, re.M)}
    rng = np.random.default_rng(0)
    a = rng.random((1_000_000, 3))
    b = rng.random((1_000_000, 3))
    t = 0.3
    numpy_ms = best_ms(lambda: (1 - t) * a + t * b)
    print(f"numpy (1 - t)*a + t*b  {numpy_ms:.2f} ms")
    for key in ("inner_1", "inner_all", "exact_1", "exact_all"):
        print(f"  {key:10s} ours / numpy = {ours[key] / numpy_ms:.2f}")


if __name__ == "__main__":
    main()
