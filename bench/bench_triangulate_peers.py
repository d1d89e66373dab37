"""triangulate_surface beside Triangle (the PyPI `triangle` package) on the unit
disc, at about 10^4, 10^5 and 10^6 triangles, on one thread (CPU affinity) and on
all threads, in one run.

Both mesh the same polygon (the unit circle sampled at the element size h) with
the same quality bound, a smallest angle of at least 20 degrees, and neither
adds a point on the boundary (Triangle is given the switches pq20a<area>Y, the
area of the equilateral triangle of side h; we are given the size h, which
bounds every edge). Before any time is shown the script checks that both did
that work: every boundary point is a node and no other node lies on the circle,
the triangles tile the polygon (their areas add up to its area), and every
smallest angle is at least the bound. The two meshers make different numbers of
triangles at one h (ours more: edges bounded by h rather than areas by that of
the equilateral triangle), so the figure compared is the time per triangle.

Each row comes from one child process: the two meshers run alternately, the
best of several runs each; a one-thread child is pinned to the CPU that was
idlest just before it started. Peak memory is measured in a child of its own per
mesher and size: the growth of the resident set's high-water mark during one
call, output included. The machine's load average is printed beside the table.

    PYTHONPATH=build/python python bench/bench_triangulate_peers.py [target_triangles ...]
"""

import json
import math
import os
import subprocess
import sys

WORKER = r'''
import json, math, os, resource, sys, tempfile, time
args = json.loads(sys.argv[1])


def idlest_cpu():
    """The allowed CPU that was idle longest over a fifth of a second (other
    benchmarks may keep a fixed CPU busy)."""
    def idle():
        with open("/proc/stat") as f:
            return {int(l.split()[0][3:]): int(l.split()[4]) for l in f if l.startswith("cpu") and l[3].isdigit()}
    allowed = os.sched_getaffinity(0)
    a = idle()
    time.sleep(0.2)
    b = idle()
    return max(sorted(allowed), key=lambda c: b.get(c, 0) - a.get(c, 0))


if args["pin"]:
    os.sched_setaffinity(0, {idlest_cpu()})
import numpy as np
import triangle
import _quenlith as q

h = math.sqrt(15.5 / args["target"])  # about 15.5 / h^2 triangles in the unit disc
n = math.ceil(2 * math.pi / h)
circle = np.array([(math.cos(2 * math.pi * i / n), math.sin(2 * math.pi * i / n)) for i in range(n)])
segments = np.array([(i, (i + 1) % n) for i in range(n)])
switches = f"pq20a{math.sqrt(3) / 4 * h * h:.20f}YQ"  # no exponent: Triangle reads digits only


def contour():
    coords = q.Coords(2)
    nodes = [coords.add_node(list(p)) for p in circle]
    mesh = q.Mesh(coords, "SEG2")
    for i in range(n):
        mesh[0].add_cell([nodes[i], nodes[(i + 1) % n]])
    return mesh


def ours(mesh):
    return q.triangulate_surface(mesh, "TRI3", h)


def peer(_):
    return triangle.triangulate({"vertices": circle, "segments": segments}, switches)


def our_arrays(result):
    """Node coordinates and cells of our mesh, read back by meshio from our VTK file."""
    import meshio
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "mesh.vtk")
        q.export_vtk(result, path)
        m = meshio.read(path)
    return m.points[:, :2], m.cells_dict["triangle"]


def checked(points, cells):
    """The work both must do, checked; returns (triangles, smallest angle, mean smallest angle)."""
    p = points[cells]
    e = [p[:, 1] - p[:, 0], p[:, 2] - p[:, 1], p[:, 0] - p[:, 2]]
    lengths = [np.hypot(x[:, 0], x[:, 1]) for x in e]
    angles = []
    for k in range(3):
        a, b, c = lengths[k], lengths[(k + 1) % 3], lengths[(k + 2) % 3]
        angles.append(np.degrees(np.arccos(np.clip((b * b + c * c - a * a) / (2 * b * c), -1, 1))))
    smallest = np.min(angles, axis=0)
    area = 0.5 * (e[0][:, 0] * (-e[2][:, 1]) - e[0][:, 1] * (-e[2][:, 0]))
    polygon = 0.5 * n * math.sin(2 * math.pi / n)
    assert area.min() > 0 and abs(area.sum() - polygon) < 1e-9 * polygon, "the triangles do not tile the disc"
    on_circle = np.abs(np.hypot(points[:, 0], points[:, 1]) - 1.0) < 1e-12
    used = np.zeros(len(points), bool)
    used[cells.ravel()] = True
    assert on_circle[used].sum() == n, "boundary points missing or added"
    assert smallest.min() >= 20.0, "an angle below the refinement bound"
    return len(cells), float(smallest.min()), float(smallest.mean())


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


out = {}
if args["mode"] == "memory":
    run = ours if args["who"] == "ours" else peer
    mesh = contour()
    base = rss()
    result = run(mesh)
    out["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - base
else:
    best = {"ours": math.inf, "peer": math.inf}
    for _ in range(args["reps"]):
        for who, run in (("ours", ours), ("peer", peer)):
            mesh = contour()
            t0 = time.perf_counter()
            result = run(mesh)
            best[who] = min(best[who], time.perf_counter() - t0)
            if who == "ours":
                count = result.cell_count()
            else:
                count = len(result["triangles"])
            out[who + "_triangles"] = count
            if args["quality"]:
                arrays = our_arrays(result) if who == "ours" else (result["vertices"], result["triangles"])
                out[who + "_quality"] = checked(*arrays)
            del result
    out["ours"], out["peer"] = best["ours"], best["peer"]
print(json.dumps(out))
'''


def child(**args):
    run = subprocess.run([sys.executable, "-c", WORKER, json.dumps(args)], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(run.stderr)
    return json.loads(run.stdout)


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    targets = [float(a) for a in sys.argv[1:]] or [1e4, 1e5, 1e6]
    print(f"unit disc, quality bound 20 degrees; {os.cpu_count()} CPUs; load average before: {load()}")
    head = (f"{'target':>8} {'threads':>7} {'ours tri':>9} {'peer tri':>9} {'ours s':>8} {'peer s':>8} "
            f"{'ours us/tri':>11} {'peer us/tri':>11} {'ratio':>6} {'ours MB':>8} {'peer MB':>8}  "
            f"{'angles ours (min/mean)':>22} {'peer':>13}  load")
    print(head)
    for target in targets:
        reps = 5 if target <= 2e5 else 3
        memory = {who: child(mode="memory", who=who, target=target, pin=True)["peak"] / 2**20 for who in ("ours", "peer")}
        quality = None
        for pin in (True, False):
            r = child(mode="time", target=target, pin=pin, reps=reps, quality=quality is None)
            quality = quality or (r["ours_quality"], r["peer_quality"])
            per_ours, per_peer = r["ours"] / r["ours_triangles"], r["peer"] / r["peer_triangles"]
            (_, o_min, o_mean), (_, p_min, p_mean) = quality
            print(f"{target:>8.0e} {'1' if pin else 'all':>7} {r['ours_triangles']:>9} {r['peer_triangles']:>9} "
                  f"{r['ours']:>8.4f} {r['peer']:>8.4f} {per_ours * 1e6:>11.3f} {per_peer * 1e6:>11.3f} "
                  f"{per_ours / per_peer:>6.2f} {memory['ours']:>8.1f} {memory['peer']:>8.1f}  "
                  f"{o_min:>10.1f} / {o_mean:>5.1f}   {p_min:>5.1f} / {p_mean:>5.1f}  {load()}")
    print("ratio = ours / peer, time per triangle; MB = growth of the peak resident set during one call")


if __name__ == "__main__":
    main()
