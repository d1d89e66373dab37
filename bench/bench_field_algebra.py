"""Sets the field-algebra benchmark (bench_field_algebra, C++) beside numpy on arrays of
the same shape (one million nodes × 3 components), and prints each ratio (ours / numpy;
the target is below 1.5 with 1 thread and below 1 with every thread).

    python bench/bench_field_algebra.py [build_dir]

numpy runs on one thread for these (its element-wise loops and reductions do not
thread). The counterparts: a + b, a * 2.0, np.nanmin(a[:, 0]) (the field's min passes
over NaN; the plain a[:, 0].min() is shown too) and np.dot(x, x) of the flat values.
"""

import pathlib
import re
import subprocess
import sys

import numpy as np

from bench_element_field import REPEATS, best_ms

def values(nodes, salt):
    i = np.arange(nodes * 3, dtype=np.uint64)
    return (((i + np.uint64(salt)) * np.uint64(2654435761)) % np.uint64(1000003)).astype(np.float64).reshape(
        nodes, 3) / 1000003.0


def main():
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    run = subprocess.run([str(build / "bench" / "bench_field_algebra")], capture_output=True, text=True, check=True)
    print(run.stdout, end="")
    nodes = int(re.search(r"(\d+) nodes", run.stdout).group(1))
    blocks = re.split(r"^threads ", run.stdout, flags=re.M)[1:]
    ours = {}
    for block in blocks:
        label = block.split("\n", 1)[0].strip()
        ours[label] = {m.group(1): float(m.group(2)) for m in re.finditer(r"^  (\w+)  ([\d.]+) ms$", block, re.M)}
    a, b = values(nodes, 0), values(nodes, 7)
    flat = a.reshape(-1)
    theirs = {
        "add": ("a + b", best_ms(lambda: a + b)),
        "mul": ("a * 2.0", best_ms(lambda: a * 2.0)),
        "min": ("np.nanmin(a[:, 0])", best_ms(lambda: np.nanmin(a[:, 0]))),
        "xtx": ("np.dot(x, x)", best_ms(lambda: np.dot(flat, flat))),
    }
    print(f"numpy {np.__version__} (best of {REPEATS}); a[:, 0].min() {best_ms(lambda: a[:, 0].min()):.3f} ms")
    for name, (what, ms) in theirs.items():
        row = "  ".join(f"{label:>3s} thr {ours[label][name]:7.3f} ms ratio {ours[label][name] / ms:5.2f}"
                        for label in ours)
        print(f"  {name:4s} numpy {ms:7.3f} ms ({what:18s})  {row}")


if __name__ == "__main__":
    main()
