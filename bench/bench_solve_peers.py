"""solve beside pypardiso (MKL PARDISO) and scipy's spsolve on the same saddle-point systems.

Linear elasticity (E = 1, nu = 0.3) held by Dirichlet multipliers, one per held node
and component (a symmetric indefinite saddle-point matrix):

  HEX8 n   the unit cube in n³ trilinear cells (2×2×2 Gauss points), face x = 0 held,
           a unit load along z spread over the face x = 1;
  TET4 n   the same grid, each cube cut in six tetrahedra around its main diagonal;
  QUA4 n   the unit square in n² bilinear plane-stress cells (2×2 Gauss points),
           edge x = 0 held, a unit load along y spread over the edge x = 1.

Ours is `solve(K, f)` on the matrix `stiffness` assembles (the first call: analysis,
factorisation, substitution and the result field). The peers get a matrix assembled
here with numpy from the same cells, numbered like ours (each node's DOFs found by
its coordinates): before any timing it is checked equal to ours, K·u through
`Matrix * NodeField` against A·u for a random u, and its solutions are compared with
ours afterwards. pypardiso runs its default `spsolve` (real unsymmetric LU,
mtype 11) on the compressed rows; scipy's `spsolve` (SuperLU) on the compressed
columns, converted before timing, once per case with one thread and only up to
--spsolve-rows rows (it takes minutes from 100 k rows on).

Beside a busy machine: --busy-case is solved with all processors, alone and with
--busy single-threaded busy loops running beside it (the loops are started before
and stopped after each such run), interleaved, the fastest of --repeats each, for
ours and for pypardiso; the table gives the busy time over the quiet one.

Every run is a child process: `1` pins it to one processor (sched_setaffinity; the
peers also get MKL_NUM_THREADS=OMP_NUM_THREADS=1), `all` leaves it on every processor.
Runs are interleaved (ours, then pypardiso, for each thread count) and repeated
--repeats times; the table keeps the fastest of each. Memory: the peak resident
memory during the solve alone (the process's high-water mark reset just before it,
minus what was resident then), the library's own estimate for our factorisation
(MUMPS INFOG(17), from `bench_solve --factor` on the same compressed rows) and
their ratio. The load average is printed beside each case.

    PYTHONPATH=build/python /work/main/.venv-bench/bin/python bench/bench_solve_peers.py
        [--cases HEX8:21 HEX8:31 HEX8:45 TET4:21 TET4:31 TET4:45 QUA4:706]
        [--threads 1 all] [--repeats 3] [--spsolve-rows 120000] [--spsolve-timeout 300]
        [--busy 4] [--busy-case HEX8:31]   (--busy 0: no busy-machine table)

HEX8/TET4 21, 31, 45 give 33 k, 101 k and 298 k rows; QUA4 706 gives 1.0 M rows.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.sparse as sp

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FACTOR = os.path.join(ROOT, "build", "bench", "bench_solve")
E, NU = 1.0, 0.3
ONE_THREAD_ENV = {"OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
# Corners of the unit cell in the order of HEX8 (and of the QUA4 face z = 0).
CORNERS = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (1, 1, 1), (0, 1, 1)]
# Six tetrahedra around the diagonal from corner 0 to corner 6, positive volumes.
TETS = [(0, 1, 2, 6), (0, 5, 1, 6), (0, 3, 7, 6), (0, 2, 3, 6), (0, 4, 5, 6), (0, 7, 4, 6)]


# --- the problem, as cells on a grid ---------------------------------------------------


class Grid:
    """Nodes of the (n+1)^dim grid in x-fastest order, cells as node-index arrays."""

    def __init__(self, kind, n):
        self.kind, self.n = kind, n
        self.dim = 2 if kind == "QUA4" else 3
        p = n + 1
        axes = np.arange(p, dtype=np.int64)
        if self.dim == 2:
            j, i = np.meshgrid(axes, axes, indexing="ij")
            self.ijk = np.stack([i.ravel(), j.ravel()], axis=1)
            base = (np.arange(n)[:, None] * p + np.arange(n)[None, :]).ravel()
            self.cells = np.stack([base, base + 1, base + p + 1, base + p], axis=1)
        else:
            k, j, i = np.meshgrid(axes, axes, axes, indexing="ij")
            self.ijk = np.stack([i.ravel(), j.ravel(), k.ravel()], axis=1)
            kk, jj, ii = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
            base = ((kk * p + jj) * p + ii).ravel()
            corner = np.stack([base + (c * p + b) * p + a for a, b, c in CORNERS], axis=1)
            if kind == "HEX8":
                self.cells = corner
            else:
                self.cells = np.concatenate([corner[:, list(t)] for t in TETS], axis=0)
        self.coords = self.ijk / n
        self.held = np.flatnonzero(self.ijk[:, 0] == 0)
        self.loaded = np.flatnonzero(self.ijk[:, 0] == n)

    @property
    def comps(self):
        return ["x", "y", "z"][: self.dim]

    @property
    def load_comp(self):
        return self.comps[-1]


def ours_system(grid):
    """The model assembled by _quenlith: (K, f, node objects by grid index, multiplier
    node objects by component and held position)."""
    import _quenlith as q

    c = q.Coords(grid.dim)
    nodes = [c.add_node(list(x)) for x in grid.coords.tolist()]
    mesh = q.Mesh(c, grid.kind)
    cells = mesh[0]
    for cell in grid.cells.tolist():
        cells.add_cell([nodes[a] for a in cell])
    model = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_stress" if grid.dim == 2 else "solid")
    held = q.poi1_from_nodes([nodes[a] for a in grid.held])
    mult = {}
    for ax in grid.comps:
        mult[ax] = [c.add_node([-1.0, float(k)] + [0.0] * (grid.dim - 2)) for k in range(len(grid.held))]
        model = model | q.Model.dirichlet(f"u_{ax}", f"f_{ax}", held, q.poi1_from_nodes(mult[ax]))
    K = q.stiffness(model, q.material_field(model, [("E", E), ("nu", NU)]))
    f = q.NodeField(q.poi1_from_nodes([nodes[a] for a in grid.loaded]), [f"f_{grid.load_comp}"])
    for a in grid.loaded:
        f[0].set_value(nodes[a], f"f_{grid.load_comp}", 1.0 / len(grid.loaded))
    return K, f, nodes, mult


def numbering(K, grid, nodes, mult):
    """Our row and column index of every (grid node, component) and (held position,
    component) pair, found through the nodes' coordinates (their ids map back to grid
    indices only through the coordinates each node was made at)."""
    scale = grid.n
    by_id = {}
    for node in nodes:
        by_id[node.id] = ("u", tuple(int(round(v * scale)) for v in node.coord()))
    for ax, ms in mult.items():
        for k, m in enumerate(ms):
            by_id[m.id] = ("m", k)
    flat = {tuple(ijk): a for a, ijk in enumerate(grid.ijk.tolist())}
    d = grid.dim
    out = []
    for table in (K.row_dofs(), K.col_dofs()):
        u_index = np.full(len(grid.ijk) * d, -1, dtype=np.int64)
        m_index = np.full(len(grid.held) * d, -1, dtype=np.int64)
        for i, (node, var) in enumerate(table):
            what = by_id[node]
            ax = grid.comps.index(var[-1])
            if what[0] == "u":
                u_index[flat[what[1]] * d + ax] = i
            else:
                m_index[what[1] * d + ax] = i
        assert (u_index >= 0).all() and (m_index >= 0).all(), "a DOF is missing from the matrix"
        out.append((u_index, m_index))
    return out


# --- the peers' matrix, assembled with numpy ---------------------------------------------


def elasticity_d(dim):
    if dim == 2:  # plane stress, engineering shear
        return E / (1 - NU * NU) * np.array([[1, NU, 0], [NU, 1, 0], [0, 0, (1 - NU) / 2]])
    lam, mu = E * NU / ((1 + NU) * (1 - 2 * NU)), E / (2 * (1 + NU))
    d = np.zeros((6, 6))
    d[:3, :3] = lam
    d[range(3), range(3)] += 2 * mu
    d[range(3, 6), range(3, 6)] = mu
    return d


def b_matrix(dn):
    """Strain-displacement matrices from shape-function gradients dn[..., node, axis]."""
    *lead, m, dim = dn.shape
    if dim == 2:
        b = np.zeros((*lead, 3, 2 * m))
        b[..., 0, 0::2] = dn[..., 0]
        b[..., 1, 1::2] = dn[..., 1]
        b[..., 2, 0::2] = dn[..., 1]
        b[..., 2, 1::2] = dn[..., 0]
        return b
    b = np.zeros((*lead, 6, 3 * m))
    for a in range(3):
        b[..., a, a::3] = dn[..., a]
    for row, (a, c) in zip(range(3, 6), [(1, 2), (0, 2), (0, 1)]):
        b[..., row, a::3] = dn[..., c]
        b[..., row, c::3] = dn[..., a]
    return b


def tensor_cell_matrix(grid):
    """The element matrix shared by every QUA4 / HEX8 cell of side h = 1/n, node-major."""
    dim, h = grid.dim, 1.0 / grid.n
    g = np.array([-1.0, 1.0]) / np.sqrt(3.0)
    corners = np.array(CORNERS[: 2 ** dim if dim == 3 else 4])[:, :dim] * 2.0 - 1.0
    ke = 0.0
    for point in np.array(np.meshgrid(*[g] * dim, indexing="ij")).reshape(dim, -1).T:
        dn = np.empty((len(corners), dim))
        for a, s in enumerate(corners):
            for ax in range(dim):
                v = s[ax] / 2 ** dim
                for o in range(dim):
                    if o != ax:
                        v *= 1 + s[o] * point[o]
                dn[a, ax] = v * 2.0 / h  # d/dx = d/dξ · 2 / h
        b = b_matrix(dn)
        ke = ke + b.T @ elasticity_d(dim) @ b * (h / 2) ** dim
    return ke


def tet_cell_matrices(grid, cells):
    x = grid.coords[cells]  # (cells, 4, 3)
    jac = np.swapaxes(x[:, 1:] - x[:, :1], 1, 2)  # columns x_a - x_0
    inv = np.linalg.inv(jac)
    dref = np.array([[-1, -1, -1], [1, 0, 0], [0, 1, 0], [0, 0, 1]], dtype=float)
    dn = np.einsum("ak,ckx->cax", dref, inv)
    b = b_matrix(dn)
    vol = np.abs(np.linalg.det(jac)) / 6.0
    return np.einsum("cji,jk,ckl->cil", b, elasticity_d(3), b) * vol[:, None, None]


def peer_system(grid, rows, cols):
    """The saddle-point matrix in our numbering, and the load vector."""
    (row_u, row_m), (col_u, col_m) = rows, cols
    d = grid.dim
    n = len(row_u) + len(row_m)
    shared = None if grid.kind == "TET4" else tensor_cell_matrix(grid)
    total = sp.csr_matrix((n, n))
    chunk = max(1, 4_000_000 // (grid.cells.shape[1] * d) ** 2)
    for start in range(0, len(grid.cells), chunk):
        cells = grid.cells[start:start + chunk]
        dofs = (cells[:, :, None] * d + np.arange(d)).reshape(len(cells), -1)
        r, c = row_u[dofs], col_u[dofs]
        ke = tet_cell_matrices(grid, cells) if shared is None else np.broadcast_to(shared, (len(cells),) + shared.shape)
        total = total + sp.coo_matrix((ke.ravel(), (np.repeat(r, r.shape[1], axis=1).ravel(),
                                                    np.tile(c, (1, c.shape[1])).ravel())), shape=(n, n)).tocsr()
    held = (grid.held[:, None] * d + np.arange(d)).ravel()
    k = np.arange(len(grid.held) * d)
    ones = np.ones(len(k))
    total = total + sp.coo_matrix((np.concatenate([ones, ones]),
                                   (np.concatenate([row_m[k], row_u[held]]),
                                    np.concatenate([col_u[held], col_m[k]]))), shape=(n, n)).tocsr()
    b = np.zeros(n)
    b[row_u[grid.loaded * d + d - 1]] = 1.0 / len(grid.loaded)
    total.sort_indices()
    return total, b


def ours_vector(field, nodes, mult, table, grid):
    """A node field's values at the entries of `table`, by its node objects."""
    by_id = {p.id: p for p in nodes}
    for ms in mult.values():
        by_id.update({m.id: m for m in ms})
    return np.array([field.value(by_id[node], var) for node, var in table])


def write_csr(path, a, b):
    with open(path, "wb") as out:
        out.write(np.array([a.shape[0], a.nnz], dtype=np.uint64).tobytes())
        out.write(a.indptr.astype(np.uint64).tobytes())
        out.write(a.indices.astype(np.uint32).tobytes())
        out.write(a.data.astype(np.float64).tobytes())
        out.write(b.astype(np.float64).tobytes())


def read_csr(path):
    raw = open(path, "rb").read()
    n, nnz = (int(v) for v in np.frombuffer(raw, np.uint64, 2))
    at = 16
    offsets = np.frombuffer(raw, np.uint64, n + 1, at).astype(np.int64)
    at += 8 * (n + 1)
    cols = np.frombuffer(raw, np.uint32, nnz, at).astype(np.int32)
    at += 4 * nnz
    values = np.frombuffer(raw, np.float64, nnz, at).copy()
    at += 8 * nnz
    b = np.frombuffer(raw, np.float64, n, at).copy()
    return sp.csr_matrix((values, cols, offsets.astype(np.int32)), shape=(n, n)), b


# --- the children -------------------------------------------------------------------


def rss_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def peak_mb():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return 0.0


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def timed_solve(solve):
    """Runs solve() with the high-water mark reset first: (seconds, result, MB the
    solve added at its peak)."""
    import gc

    gc.collect()
    before = rss_mb()
    reset_peak()
    t0 = time.perf_counter()
    x = solve()
    t = time.perf_counter() - t0
    return t, x, peak_mb() - before


def child_check(kind, n, path):
    """Builds both systems, checks K·u, writes the peers' matrix and load to `path`."""
    import _quenlith as q

    grid = Grid(kind, n)
    K, f, nodes, mult = ours_system(grid)
    rows, cols = numbering(K, grid, nodes, mult)
    a, b = peer_system(grid, rows, cols)
    # K·u for a random u over every column, multipliers included.
    rng = np.random.default_rng(1)
    u = rng.standard_normal(a.shape[0])
    col_u, col_m = cols
    d = grid.dim
    field = q.NodeField(q.poi1_from_nodes(nodes), [f"u_{ax}" for ax in grid.comps])
    zone = field[0]
    for g, node in enumerate(nodes):
        for ax in range(d):
            zone.set_value(node, f"u_{grid.comps[ax]}", float(u[col_u[g * d + ax]]))
    for ax, ms in mult.items():
        m = q.NodeField(q.poi1_from_nodes(ms), [f"lambda_u_{ax}"])
        axis = grid.comps.index(ax)
        for k, node in enumerate(ms):
            m[0].set_value(node, f"lambda_u_{ax}", float(u[col_m[k * d + axis]]))
        field = field | m
    ours = ours_vector(K * field, nodes, mult, K.row_dofs(), grid)
    peer = a @ u
    diff = np.abs(ours - peer).max() / np.abs(peer).max()
    write_csr(path, a, b)
    print(a.shape[0], a.nnz, diff)


def child_ours(kind, n, out):
    import _quenlith as q

    grid = Grid(kind, n)
    K, f, nodes, mult = ours_system(grid)
    t, x, mb = timed_solve(lambda: q.solve(K, f))
    np.save(out, ours_vector(x, nodes, mult, K.col_dofs(), grid))
    print(t, mb)


def child_peer(which, path, out):
    a, b = read_csr(path)
    if which == "pardiso":
        import pypardiso

        t, x, mb = timed_solve(lambda: pypardiso.spsolve(a, b))
    else:
        import scipy.sparse.linalg as spla

        c = a.tocsc()
        t, x, mb = timed_solve(lambda: spla.spsolve(c, b))
    np.save(out, x)
    print(t, mb)


# --- the parent ---------------------------------------------------------------------


def run(args, threads, timeout=None):
    env = dict(os.environ)
    if threads == "1" and args[0] != "ours":
        env.update(ONE_THREAD_ENV)
    cmd = [sys.executable, os.path.abspath(__file__), "--child", threads, *args]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env, timeout=timeout)
    return out.stdout.split()


def load():
    return f"{os.getloadavg()[0]:.1f}"


def factor_estimate(path):
    out = subprocess.run([FACTOR, "--factor", path], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (item.split("=") for item in out.split())}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cases", nargs="+",
                    default=["HEX8:21", "HEX8:31", "HEX8:45", "TET4:21", "TET4:31", "TET4:45", "QUA4:706"])
    ap.add_argument("--threads", nargs="+", default=["1", "all"])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--spsolve-rows", type=int, default=120_000)
    ap.add_argument("--spsolve-timeout", type=float, default=300.0)
    ap.add_argument("--busy", type=int, default=4)
    ap.add_argument("--busy-case", default="HEX8:31")
    args = ap.parse_args()
    print(f"load average at start: {' '.join(f'{v:.1f}' for v in os.getloadavg())} ({os.cpu_count()} processors)")
    print("seconds (fastest of the repeats); memory in MB added by the solve at its peak; "
          "est = MUMPS INFOG(17) for our factorisation; K·u diff = max |K·u - A·u| / max |A·u| (ours, peers' matrix); "
          "|dx|/|x| = max difference of our and pypardiso's solutions, relative")
    head = (f"{'case':>9} {'rows':>8} {'thr':>3} {'ours':>8} {'pardiso':>8} {'ratio':>6} {'spsolve':>8} "
            f"{'ours MB':>8} {'est MB':>7} {'MB/est':>6} {'pard MB':>8} {'K·u diff':>9} {'|dx|/|x|':>9} {'load':>5}")
    print(head, flush=True)
    with tempfile.TemporaryDirectory(prefix="quenlith-bench-peers-") as tmp:
        for case in args.cases:
            kind, n = case.split(":")
            csr = os.path.join(tmp, "a.bin")
            rows, nnz, diff = run(["check", kind, n, csr], "all")
            if float(diff) > 1e-12:
                print(f"{case:>9}: the peers' matrix differs from ours, K·u relative difference {diff}")
                continue
            est = factor_estimate(csr)
            best = {}
            for _ in range(args.repeats):
                for threads in args.threads:
                    for who in ("ours", "pardiso"):
                        out = os.path.join(tmp, f"{who}-{threads}.npy")
                        call = ["ours", kind, n, out] if who == "ours" else ["pardiso", csr, out]
                        t, mb = (float(v) for v in run(call, threads))
                        key = (threads, who)
                        if key not in best or t < best[key][0]:
                            best[key] = (t, mb, load())
            sps = "-"
            if int(rows) <= args.spsolve_rows:
                try:
                    t, _ = run(["spsolve", csr, os.path.join(tmp, "spsolve.npy")], "1", args.spsolve_timeout)
                    sps = f"{float(t):.2f}"
                except subprocess.TimeoutExpired:
                    sps = f">{args.spsolve_timeout:.0f}"
            for threads in args.threads:
                ours = np.load(os.path.join(tmp, f"ours-{threads}.npy"))
                peer = np.load(os.path.join(tmp, f"pardiso-{threads}.npy"))
                dx = np.abs(ours - peer).max() / np.abs(peer).max()
                (t_o, mb_o, ld), (t_p, mb_p, _) = best[threads, "ours"], best[threads, "pardiso"]
                print(f"{case:>9} {int(rows):>8} {threads:>3} {t_o:>8.2f} {t_p:>8.2f} {t_o / t_p:>6.2f} {sps:>8} "
                      f"{mb_o:>8.0f} {est['infog17']:>7.0f} {mb_o / est['infog17']:>6.2f} {mb_p:>8.0f} "
                      f"{float(diff):>9.1e} {dx:>9.1e} {ld:>5}", flush=True)
        if args.busy:
            busy_table(args, tmp)
    print(f"load average at end: {' '.join(f'{v:.1f}' for v in os.getloadavg())}")


def busy_table(args, tmp):
    kind, n = args.busy_case.split(":")
    csr = os.path.join(tmp, "busy.bin")
    run(["check", kind, n, csr], "all")
    best = {}
    for _ in range(args.repeats):
        for who in ("ours", "pardiso"):
            for busy in (0, args.busy):
                out = os.path.join(tmp, f"busy-{who}.npy")
                call = ["ours", kind, n, out] if who == "ours" else ["pardiso", csr, out]
                loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(busy)]
                try:
                    t = float(run(call, "all")[0])
                finally:
                    for p in loops:
                        p.kill()
                        p.wait()
                if (who, busy) not in best or t < best[who, busy][0]:
                    best[who, busy] = (t, load())
    print(f"\n{args.busy_case} with all processors, alone and beside {args.busy} busy loops (seconds, fastest of "
          f"{args.repeats})")
    print(f"{'solver':>9} {'alone':>8} {'busy':>8} {'busy/alone':>10} {'load':>5}")
    for who in ("ours", "pardiso"):
        (t0, l0), (t1, l1) = best[who, 0], best[who, args.busy]
        print(f"{who:>9} {t0:>8.2f} {t1:>8.2f} {t1 / t0:>10.2f} {l0:>5}", flush=True)


def child_main(argv):
    threads, what, *rest = argv
    if threads == "1":
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    if what == "check":
        child_check(rest[0], int(rest[1]), rest[2])
    elif what == "ours":
        child_ours(rest[0], int(rest[1]), rest[2])
    else:
        child_peer(what, rest[0], rest[1])


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(sys.argv[2:])
    else:
        main()
