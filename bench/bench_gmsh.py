"""Reads a tetrahedral box mesh written by gmsh (MSH 4.1, ASCII and binary) with
read_gmsh and with meshio.read in one run, and prints the throughput of each.

meshio's binary reader hands back views of the file's blocks as arrays, while
read_gmsh creates every node and cell (with its references) in the store: the
binary ratio compares those two different amounts of work.

The mesh is generated in the set-up (gmsh must be on PATH) into a temporary
directory, so nothing large is kept. The default target is one million tetrahedra.

    PYTHONPATH=build/python python bench/bench_gmsh.py [target_tets ...]
"""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time

import _quenlith as q

GEO = """SetFactory("OpenCASCADE");
Box(1) = {{0, 0, 0, 1, 1, 1}};
Mesh.MeshSizeMin = {size};
Mesh.MeshSizeMax = {size};
Physical Volume("solid") = {{1}};
"""


def generate(directory, target_tets):
    # About 4.6 tetrahedra per cube of the mesh size in a unit box.
    size = (4.6 / target_tets) ** (1 / 3)
    geo = os.path.join(directory, "box.geo")
    with open(geo, "w") as f:
        f.write(GEO.format(size=size))
    binary = os.path.join(directory, "box_bin.msh")
    text = os.path.join(directory, "box_ascii.msh")
    threads = str(min(4, os.cpu_count() or 1))
    subprocess.run(["gmsh", geo, "-3", "-nt", threads, "-format", "msh41", "-bin", "-o", binary],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["gmsh", binary, "-save", "-format", "msh41", "-o", text], check=True, stdout=subprocess.DEVNULL)
    return [("ascii", text), ("binary", binary)]


def quiet(f, *args):
    # meshio prints blank progress lines while it reads.
    with contextlib.redirect_stdout(io.StringIO()):
        return f(*args)


def best_of(n, f):
    best = float("inf")
    result = None
    for _ in range(n):
        t0 = time.perf_counter()
        result = f()
        best = min(best, time.perf_counter() - t0)
        del result
    return best


def main():
    targets = [int(a) for a in sys.argv[1:]] or [1_000_000]
    if shutil.which("gmsh") is None:
        sys.exit("bench_gmsh: gmsh is not on PATH")
    try:
        import meshio
    except ImportError:
        meshio = None
    print(f"{'tets':>9} {'encoding':>8} {'MB':>7} {'ours s':>8} {'ours MB/s':>10} {'meshio s':>9} {'meshio MB/s':>12} {'ratio':>6}")
    for target in targets:
        with tempfile.TemporaryDirectory() as directory:
            for encoding, path in generate(directory, target):
                mb = os.path.getsize(path) / 1e6
                tets = q.read_gmsh(q.Coords(3), path)["solid"].cell_count()
                ours = best_of(3, lambda: q.read_gmsh(q.Coords(3), path))
                theirs = best_of(3, lambda: quiet(meshio.read, path)) if meshio else float("nan")
                print(f"{tets:>9} {encoding:>8} {mb:>7.1f} {ours:>8.3f} {mb / ours:>10.1f} {theirs:>9.3f} "
                      f"{mb / theirs:>12.1f} {theirs / ours:>6.2f}")


if __name__ == "__main__":
    main()
