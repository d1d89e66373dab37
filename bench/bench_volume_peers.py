"""volume beside gmsh (HXT) and TetGen on the same closed envelopes: cells,
seconds, tetrahedra per second, the smallest dihedral angle and the largest
radius-edge ratio of each result, in one table.

The envelopes: a subdivided octahedron on the unit sphere (2048 triangles) and
the unit cube's skin with each face an m x m grid of squares cut into two
triangles (m = 8, 16, 32), each at two target sizes. Every mesher gets the
same points and triangles and keeps them as its boundary: gmsh as a discrete
surface with a constant size field (HXT, then its default optimisation),
TetGen with quality switches and a volume bound of a regular tetrahedron of
edge h. Before any time counts, each result is checked to fill the
envelope's volume. Times are the minimum of --repeat runs, interleaved; one
thread by CPU affinity, "all" unpinned (gmsh told the CPU count), each
thread count in a process of its own.

Run: PYTHONPATH=build/python /work/main/.venv-bench/bin/python bench/bench_volume_peers.py
     [--repeat 3] [--quick | --finest] [--threads 1,all] [--cases "sphere,cube 32"] [--peers gmsh,tetgen]"""
import argparse
import math
import os
import subprocess
import sys
import time

import numpy as np

import _quenlith as q

try:
    import gmsh
except ImportError:  # a peer missing from this environment is left out
    gmsh = None
try:
    import tetgen
except ImportError:
    tetgen = None


def sphere_surface(n=16):
    base = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    octa = [(0, 2, 4), (2, 1, 4), (1, 3, 4), (3, 0, 4), (2, 0, 5), (1, 2, 5), (3, 1, 5), (0, 3, 5)]
    pts, index, tris = [], {}, []

    def point(p):
        u = np.array(p) / np.linalg.norm(p)
        key = tuple(np.round(u, 9))
        if key not in index:
            index[key] = len(pts)
            pts.append(u)
        return index[key]

    for a, b, c in octa:
        A, B, C = (np.array(base[i], float) for i in (a, b, c))
        at = lambda i, j: point(A + (B - A) * i / n + (C - A) * j / n)
        for i in range(n):
            for j in range(n - i):
                tris.append((at(i, j), at(i + 1, j), at(i, j + 1)))
                if i + j + 1 < n:
                    tris.append((at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)))
    return np.array(pts), np.array(tris)


def cube_surface(m):
    pts, index, tris = [], {}, []

    def point(p):
        key = tuple(np.round(p, 12))
        if key not in index:
            index[key] = len(pts)
            pts.append(p)
        return index[key]

    for ax in range(3):
        for side in (0.0, 1.0):
            u, v = [a for a in range(3) if a != ax]
            for i in range(m):
                for j in range(m):
                    def at(a, b):
                        p = np.zeros(3)
                        p[ax], p[u], p[v] = side, a / m, b / m
                        return point(p)

                    q0, q1, q2, q3 = at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)
                    two = [(q0, q1, q2), (q0, q2, q3)]
                    if (side == 1.0) == (ax == 1):
                        two = [(a, c, b) for a, b, c in two]
                    tris += two
    return np.array(pts), np.array(tris)


def enclosed_volume(pts, tris):
    a, b, c = pts[tris[:, 0]], pts[tris[:, 1]], pts[tris[:, 2]]
    return abs(np.einsum("ij,ij->i", a, np.cross(b, c)).sum()) / 6.0


def measures(X, T):
    """Total volume, smallest dihedral angle (degrees), largest radius-edge ratio."""
    P = X[T]
    six = np.einsum("ij,ij->i", P[:, 3] - P[:, 0], np.cross(P[:, 1] - P[:, 0], P[:, 2] - P[:, 0]))
    normals = []
    for i, (x, y, z) in enumerate(((1, 2, 3), (0, 2, 3), (0, 1, 3), (0, 1, 2))):
        n = np.cross(P[:, y] - P[:, x], P[:, z] - P[:, x])
        n *= -np.sign(np.einsum("ij,ij->i", n, P[:, i] - P[:, x]))[:, None]
        normals.append(n / np.linalg.norm(n, axis=1)[:, None])
    dihedral = min(np.degrees(np.pi - np.arccos(np.clip(np.einsum("ij,ij->i", normals[i], normals[j]), -1, 1))).min()
                   for i in range(4) for j in range(i + 1, 4))
    A = P[:, 1:] - P[:, :1]
    centre = np.linalg.solve(A, 0.5 * np.einsum("ijk,ijk->ij", A, A)[..., None])[..., 0]
    shortest = np.min([np.linalg.norm(P[:, i] - P[:, j], axis=1) for i in range(4) for j in range(i + 1, 4)], axis=0)
    return abs(six.sum()) / 6.0, float(dihedral), float((np.linalg.norm(centre, axis=1) / shortest).max())


def run_volume(pts, tris, h):
    coords = q.Coords(3)
    nodes = [coords.add_node(p.tolist()) for p in pts]
    env = q.Mesh(coords, "TRI3")
    for t in tris:
        env[0].add_cell([nodes[i] for i in t])
    t0 = time.perf_counter()
    mesh = q.volume(env, h)
    dt = time.perf_counter() - t0
    ids, X = [], {}
    for sub in mesh:
        for cell in sub:
            ns = cell.nodes()
            ids.append([n.id for n in ns])
            for n in ns:
                X.setdefault(n.id, n.coord())
    order = sorted(X)
    where = {i: k for k, i in enumerate(order)}
    T = np.array([[where[i] for i in c] for c in ids])
    return dt, np.array([X[i] for i in order]), T


def run_gmsh(pts, tris, h, threads):
    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 0)
        gmsh.option.setNumber("General.NumThreads", threads)
        gmsh.model.add("envelope")
        s = gmsh.model.addDiscreteEntity(2)
        gmsh.model.mesh.addNodes(2, s, list(range(1, len(pts) + 1)), pts.ravel().tolist())
        gmsh.model.mesh.addElementsByType(s, 2, [], (tris + 1).ravel().tolist())
        loop = gmsh.model.geo.addSurfaceLoop([s])
        gmsh.model.geo.addVolume([loop])
        gmsh.model.geo.synchronize()
        gmsh.option.setNumber("Mesh.Algorithm3D", 10)  # HXT
        field = gmsh.model.mesh.field.add("MathEval")
        gmsh.model.mesh.field.setString(field, "F", repr(h))
        gmsh.model.mesh.field.setAsBackgroundMesh(field)
        gmsh.option.setNumber("Mesh.MeshSizeExtendFromBoundary", 0)
        gmsh.option.setNumber("Mesh.MeshSizeFromPoints", 0)
        t0 = time.perf_counter()
        gmsh.model.mesh.generate(3)
        dt = time.perf_counter() - t0
        tags, xyz, _ = gmsh.model.mesh.getNodes()
        X = np.zeros((int(tags.max()) + 1, 3))
        X[tags.astype(int)] = xyz.reshape(-1, 3)
        _, conn = gmsh.model.mesh.getElementsByType(4)
        return dt, X, conn.reshape(-1, 4).astype(int)
    finally:
        gmsh.finalize()


def run_tetgen(pts, tris, h):
    t = tetgen.TetGen(pts, tris.astype(np.int32))
    max_volume = h ** 3 / (6.0 * math.sqrt(2.0))
    t0 = time.perf_counter()
    out = t.tetrahedralize(order=1, quality=True, minratio=1.5, mindihedral=10.0, fixedvolume=True,
                           maxvolume=max_volume, nobisect=True, verbose=0)
    nodes, elems = out[0], out[1]
    dt = time.perf_counter() - t0
    return dt, np.asarray(nodes), np.asarray(elems)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="the first size of each envelope only")
    ap.add_argument("--finest", action="store_true", help="the last (finest) size of each envelope only")
    ap.add_argument("--cases", default="", help="comma-separated prefixes of the case names to run (default all)")
    ap.add_argument("--peers", default="gmsh,tetgen", help="comma-separated peers to run beside volume")
    ap.add_argument("--threads", default="1,all")
    ap.add_argument("--rows-only", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    cpus = sorted(os.sched_getaffinity(0))
    settings = args.threads.split(",")
    if len(settings) > 1:
        # One process per thread count: the worker pool takes its size and
        # its threads their CPUs from the affinity of the process when it
        # first runs, so one process cannot time both.
        print(f"load: {os.getloadavg()[0]:.1f} {os.getloadavg()[1]:.1f}; cpus {len(cpus)}; min of {args.repeat}",
              flush=True)
        for k, threads in enumerate(settings):
            command = [sys.executable, __file__, "--repeat", str(args.repeat), "--threads", threads]
            command += ["--quick"] if args.quick else []
            command += ["--finest"] if args.finest else []
            command += ["--cases", args.cases, "--peers", args.peers]
            command += ["--rows-only"] if k > 0 else []
            subprocess.run(command, check=True)
        print(f"load after: {os.getloadavg()[0]:.1f} {os.getloadavg()[1]:.1f}")
        print("last column: volume's seconds per tetrahedron over the peer's (below 1: volume faster)")
        return
    cases = [("sphere 2048", sphere_surface(16), (0.15, 0.07, 0.032))]
    for m in (8, 16, 32):
        cases.append((f"cube {m}x{m}", cube_surface(m), (1.0 / m, 0.5 / m) if m < 32 else (1.0 / m,)))
    head = f"{'case':13s} {'h':>7s} {'thr':>4s} | {'mesher':7s} {'cells':>9s} {'s':>8s} {'tets/s':>10s} " \
           f"{'min dih':>8s} {'max r/e':>8s} {'vol err':>8s} | {'s/Mtet ratio':>12s}"
    if not args.rows_only:
        print(head)
        print("-" * len(head))
    prefixes = [c.strip() for c in args.cases.split(",") if c.strip()]
    peers = set(args.peers.split(","))
    for name, (pts, tris), sizes in cases:
        if prefixes and not any(name.startswith(c) for c in prefixes):
            continue
        exact = enclosed_volume(pts, tris)
        for h in sizes[:1] if args.quick else sizes[-1:] if args.finest else sizes:
            for threads in args.threads.split(","):
                n = len(cpus) if threads == "all" else int(threads)
                os.sched_setaffinity(0, cpus if threads == "all" else set(cpus[:n]))
                runners = [("volume", lambda: run_volume(pts, tris, h))]
                if gmsh is not None and "gmsh" in peers:
                    runners.append(("gmsh", lambda: run_gmsh(pts, tris, h, n)))
                if tetgen is not None and "tetgen" in peers and threads == "1":
                    runners.append(("tetgen", lambda: run_tetgen(pts, tris, h)))
                best = {}
                for _ in range(args.repeat):  # interleaved
                    for label, run in runners:
                        dt, X, T = run()
                        if label not in best or dt < best[label][0]:
                            best[label] = (dt, X, T)
                ours = best["volume"][0] / len(best["volume"][2])
                for label, _ in runners:
                    dt, X, T = best[label]
                    vol, dih, ratio = measures(X, T)
                    per = dt / len(T)
                    print(f"{name:13s} {h:7.4f} {threads:>4s} | {label:7s} {len(T):9d} {dt:8.3f} {len(T) / dt:10.0f} "
                          f"{dih:8.2f} {ratio:8.2f} {abs(vol - exact) / exact:8.1e} | "
                          f"{ours / per if label != 'volume' else 1.0:12.2f}", flush=True)
    print(f"load: {os.getloadavg()[0]:.1f} {os.getloadavg()[1]:.1f} (threads {args.threads})", flush=True)


if __name__ == "__main__":
    main()
