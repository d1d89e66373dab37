"""Operator assembly beside NGSolve and SfePy: `stiffness` of a heat-conduction model
(conductivity k = 1) or of 3-D linear elasticity (E = 1, nu = 0.3), first call and
second call, on the same meshes.

Meshes: the unit square cut in n x n QUA4 cells (`transfinite`), split into TRI3
(`convert`), or the unit cube extruded from it into n^3 HEX8 cells, split into six
TET4 each; TRI6 and TET10 are the same cells made quadratic (`to_quadratic`, a
LAGRANGE2 space). The peers read exactly these cells: our mesh is written with
`export_vtk` once per size and read back as arrays (not timed); NGSolve and SfePy
build their own quadratic nodes on the linear cells.

Cases (rows of the table):
  first    the first `stiffness` of a new model on a new space: the scatter pattern
           (degree-of-freedom tables, compressed rows, positions of every element
           entry, cell colouring) and the values; NGSolve: the first
           BilinearForm.Assemble (its matrix graph, then the values); SfePy:
           Equations.create_matrix_graph, then eval_tangent_matrices.
  second   the same call again: ours reuses the model's cached pattern; NGSolve
           re-assembles into its matrix; SfePy evaluates into the zeroed matrix of
           the first call. Best of five calls in one process (two from 200 000
           cells). Each result is dropped after its clock stops.
Quadrature: the space's own Gauss rule for us (3 points on TRI3, 6 on TRI6, 4 on
TET4, 11 on TET10, 2 x 2 x 2 on HEX8); the peers are given the same order (NGSolve's
rule for TET10 at that order has 14 points, SfePy's 11).

Before any time is printed, every peer's matrix is checked against ours: K u for the
same smooth u on degrees of freedom matched by their coordinates (and component),
largest difference over largest value (`check`). NGSolve's quadratic basis is
hierarchical: its K u is mapped to nodal values through the basis change (vertex
hats, edge bubbles worth -1/8 at their midpoints).

Each figure is the minimum over --repeat child processes (each builds its own
mesh), the processes of all libraries interleaved. One thread: the child is pinned
to one processor (the idlest over 0.2 s) with sched_setaffinity before any library loads (NGSolve runs
without its task manager); all threads: unpinned (NGSolve inside TaskManager with
as many threads as processors, started before the clock; ours after one small
unrelated assembly that starts its workers; SfePy has no threads of its own). `peak MB`: the
high-water mark of resident memory during the first call above the resident memory
before it (/proc/self/clear_refs), so the mesh itself is not counted. The load
average is printed beside the table.

    PYTHONPATH=build/python /work/main/.venv-bench/bin/python bench/bench_assembly_peers.py
        [--cases TRI6-heat TET10-heat ...] [--dofs 1e4 1e5 1e6] [--threads 1 all]
        [--peers ngsolve sfepy] [--repeat 3]

By default every case runs against NGSolve, and TRI3/TET4 heat also against SfePy
(SfePy takes minutes to set up a million-DOF TET4 mesh); --peers widens or narrows it.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

CASES = {
    # name: (cell, physics, order, space dim); the linear cell is what the peers read.
    "TRI3-heat": ("TRI3", "heat", 1, 2),
    "TRI6-heat": ("TRI6", "heat", 2, 2),
    "TET4-heat": ("TET4", "heat", 1, 3),
    "TET10-heat": ("TET10", "heat", 2, 3),
    "HEX8-heat": ("HEX8", "heat", 1, 3),
    "HEX8-elastic": ("HEX8", "elastic", 1, 3),
}
DEFAULT_PEERS = {"TRI3-heat": ["ngsolve", "sfepy"], "TET4-heat": ["ngsolve", "sfepy"]}
LINEAR = {"TRI3": "TRI3", "TRI6": "TRI3", "TET4": "TET4", "TET10": "TET4", "HEX8": "HEX8"}
# Quadrature order of our Gauss rule per cell, given to the peers.
RULE_ORDER = {"TRI3": 2, "TRI6": 4, "TET4": 2, "TET10": 4, "HEX8": 3}


def divisions(cell, physics, dofs):
    """n such that the mesh has about `dofs` unknowns."""
    comps = 3 if physics == "elastic" else 1
    per_axis = (dofs / comps) ** (1 / (2 if cell in ("TRI3", "TRI6") else 3))
    return max(1, round((per_axis - 1) / 2) if cell in ("TRI6", "TET10") else round(per_axis - 1))


COMMON = r"""
import json, os, sys, time
args = json.loads(sys.argv[1])

def idlest_cpu():  # other work on this machine pins to the first processor often
    def idle():
        with open("/proc/stat") as f:
            return {int(l.split()[0][3:]): int(l.split()[4]) for l in f if l.startswith("cpu") and l[3].isdigit()}
    a = idle(); time.sleep(0.2); b = idle()
    allowed = os.sched_getaffinity(0)
    return max(allowed, key=lambda c: b.get(c, 0) - a.get(c, 0))

if args["threads"] == "1":
    os.sched_setaffinity(0, {idlest_cpu()})
import numpy as np

from peer_support import first_call as timed_first  # (result, seconds, peak MB)

def timed(f):  # the result is dropped after the clock stops
    t = time.perf_counter(); r = f(); t = time.perf_counter() - t
    del r
    return t

def u_of(x):  # the smooth field K is applied to: one column per component
    x = np.asarray(x, dtype=float)
    a = np.sin(1.3 * x[:, 0] + 0.7 * x[:, 1] + 0.4 * x[:, 2]) + x[:, 0] * x[:, 1]
    return np.stack([a, np.cos(0.9 * x[:, 1] - 0.5 * x[:, 2]) * x[:, 0], x[:, 2] * x[:, 2] - 0.3 * x[:, 0]], axis=1)

SECONDS = 5 if args.get("n_cells", 0) < 200000 else 2  # second calls timed in each process

def load_mesh():
    d = np.load(args["mesh"])
    return d["points"], d["cells"]
"""

OURS = COMMON + r"""
import _quenlith as q
n, cell, physics, dim = args["n"], args["cell"], args["physics"], args["dim"]
c = q.Coords(dim)
P = lambda *x: c.add_node(list(x)[:dim])
a, b, cc, d = P(0, 0, 0), P(1, 0, 0), P(1, 1, 0), P(0, 1, 0)
mesh = q.transfinite(q.line(a, b, n), q.line(b, cc, n), q.line(cc, d, n), q.line(d, a, n))
if dim == 3:
    mesh = q.extrude(mesh, [0, 0, 1], n)
if cell in ("TRI3", "TRI6"):
    mesh = q.convert(mesh, "TRI3")
if cell in ("TET4", "TET10"):
    mesh = q.convert(mesh, "TET4")
if args.get("export"):
    q.export_vtk(mesh, args["export"])
    sys.exit(0)
if cell in ("TRI6", "TET10"):
    mesh = q.to_quadratic(mesh)
    fes = q.FiniteElementSpace.with_choices(mesh, [("LAGRANGE2", "GAUSS")])
else:
    fes = q.FiniteElementSpace(mesh)
if physics == "heat":
    model = q.Model.heat_conduction(fes)
    mats = q.material_field(model, [("k", 1.0)])
else:
    model = q.Model.elasticity(fes, "solid")
    mats = q.material_field(model, [("E", 1.0), ("nu", 0.3)])
# The worker threads started before the clock, as NGSolve's task manager is: one
# assembly of an unrelated small square.
w = q.Coords(2)
wa, wb, wc, wd = (w.add_node(x) for x in ([0, 0], [1, 0], [1, 1], [0, 1]))
warm = q.FiniteElementSpace(q.transfinite(q.line(wa, wb, 64), q.line(wb, wc, 64), q.line(wc, wd, 64), q.line(wd, wa, 64)))
warm_model = q.Model.heat_conduction(warm)
q.stiffness(warm_model, q.material_field(warm_model, [("k", 1.0)]))
K, t1, peak = timed_first(lambda: q.stiffness(model, mats))
t2 = min(timed(lambda: q.stiffness(model, mats)) for _ in range(SECONDS))
out = {"ndof": K.n_rows(), "first": t1, "second": t2, "peak": peak}
if args.get("check"):
    cols = K.col_dofs()
    rows = K.row_dofs()
    xyz = q.coordinates(q.from_live_nodes(c))
    live = q.from_live_nodes(c)
    ids = np.array([nd.id for nd in (live.cell(0, i).nodes()[0] for i in range(live.cell_count()))])
    X = np.stack([np.array(xyz.values(live, ax)) for ax in "XYZ"[:dim]] + [np.zeros(len(ids))] * (3 - dim), axis=1)
    where = np.full(ids.max() + 1, -1); where[ids] = np.arange(len(ids))
    comp = {"T": 0, "u_x": 0, "u_y": 1, "u_z": 2, "q": 0, "f_x": 0, "f_y": 1, "f_z": 2}
    cn = np.array([where[i] for i, _ in cols]); cc_ = np.array([comp[v] for _, v in cols])
    u = u_of(X[cn])[np.arange(len(cols)), cc_]
    ku = np.array(K.mul_dense(u.tolist()))
    rn = np.array([where[i] for i, _ in rows]); rc = np.array([comp[v] for _, v in rows])
    np.savez(args["check"], x=X[rn], comp=rc, ku=ku)
print(json.dumps(out))
"""

NGSOLVE = COMMON + r"""
from ngsolve import (H1, BilinearForm, IntegrationRule, Mesh, SetNumThreads, TaskManager, grad, dx, ET, Sym, Grad,
                     InnerProduct, Trace, Id, GridFunction, VectorH1)
import netgen.meshing as nm
points, cells = load_mesh()
dim, order, physics = args["dim"], args["order"], args["physics"]
m = nm.Mesh(dim=dim)
m.AddPoints(np.ascontiguousarray(points[:, :dim]))
m.SetMaterial(1, "body")
m.AddElements(dim=dim, index=1, data=np.ascontiguousarray(cells.astype(np.int32)), base=0)
mesh = Mesh(m)
et = {"TRI3": ET.TRIG, "TET4": ET.TET, "HEX8": ET.HEX}[args["linear"]]
rule = {et: IntegrationRule(et, args["rule_order"])}
if physics == "heat":
    fes = H1(mesh, order=order)
    u, v = fes.TnT()
    form = grad(u) * grad(v) * dx(intrules=rule)
else:
    fes = VectorH1(mesh, order=order)
    u, v = fes.TnT()
    E, nu = 1.0, 0.3
    mu, lam = E / (2 * (1 + nu)), E * nu / ((1 + nu) * (1 - 2 * nu))
    eps = lambda w: Sym(Grad(w))
    form = (2 * mu * InnerProduct(eps(u), eps(v)) + lam * Trace(eps(u)) * Trace(eps(v))) * dx(intrules=rule)
a = BilinearForm(fes)
a += form
def assemble():
    a.Assemble()
    return a
if args["threads"] == "1":
    _, t1, peak = timed_first(assemble)
    t2 = min(timed(assemble) for _ in range(SECONDS))
else:
    SetNumThreads(os.cpu_count())
    with TaskManager():
        _, t1, peak = timed_first(assemble)
        t2 = min(timed(assemble) for _ in range(SECONDS))
out = {"ndof": fes.ndof, "first": t1, "second": t2, "peak": peak}
if args.get("check"):
    nv = mesh.nv
    V = np.array([p.point for p in mesh.vertices], dtype=float)
    V = np.hstack([V, np.zeros((nv, 3 - V.shape[1]))])
    ncomp = 1 if physics == "heat" else dim
    if order == 2:
        ev = np.array([[w.nr for w in e.vertices] for e in mesh.edges])
        X = np.vstack([V, 0.5 * (V[ev[:, 0]] + V[ev[:, 1]])])
    else:
        X = V
    nn = len(X)   # scalar dofs: vertices, then one per edge (vertex count + edge number)
    assert fes.ndof == nn * ncomp
    un = u_of(X)[:, :ncomp]            # nodal values, node-major
    # Nodal values to our coefficients: edge bubbles are worth -1/8 at their midpoints.
    c = un.copy()
    if order == 2:
        c[nv:] = (un[nv:] - 0.5 * (un[ev[:, 0]] + un[ev[:, 1]])) / -0.125
    g = GridFunction(fes)
    g.vec.FV().NumPy()[:] = c.T.ravel()       # component-major blocks
    y = a.mat.CreateColVector()
    y.data = a.mat * g.vec
    y = y.FV().NumPy().reshape(ncomp, nn).T.copy()
    if order == 2:   # back to nodal test functions: the transpose of the basis change
        ku = y.copy()
        ku[nv:] = y[nv:] / -0.125
        for k in range(2):
            np.add.at(ku, ev[:, k], -0.5 * y[nv:] / -0.125)
    else:
        ku = y
    np.savez(args["check"], x=np.repeat(X, ncomp, axis=0), comp=np.tile(np.arange(ncomp), nn), ku=ku.ravel())
print(json.dumps(out))
"""

SFEPY = COMMON + r"""
from sfepy.base.base import output
output.set_output(quiet=True)
from sfepy.discrete.fem import Mesh, FEDomain, Field
from sfepy.discrete import FieldVariable, Material, Integral, Equation, Equations
from sfepy.terms import Term
from sfepy.mechanics.matcoefs import stiffness_from_youngpoisson
points, cells = load_mesh()
dim, order, physics = args["dim"], args["order"], args["physics"]
desc = {"TRI3": "2_3", "TET4": "3_4", "HEX8": "3_8"}[args["linear"]]
mesh = Mesh.from_data("m", points[:, :dim], None, [cells.astype(np.int32)], [np.zeros(len(cells), np.int32)], [desc])
domain = FEDomain("d", mesh)
omega = domain.create_region("Omega", "all")
integral = Integral("i", order=args["rule_order"])
if physics == "heat":
    field = Field.from_args("T", np.float64, "scalar", omega, approx_order=order)
    mat = Material("m", c=1.0)
    text = "dw_laplace(m.c, v, u)"
else:
    field = Field.from_args("u", np.float64, "vector", omega, approx_order=order)
    mat = Material("m", D=stiffness_from_youngpoisson(dim, 1.0, 0.3))
    text = "dw_lin_elastic(m.D, v, u)"
u = FieldVariable("u", "unknown", field)
v = FieldVariable("v", "test", field, primary_var_name="u")
eqs = Equations([Equation("eq", Term.new(text, integral, omega, m=mat, v=v, u=u))])
eqs.time_update(None)
eqs.time_update_materials(None, verbose=False)
eqs.variables.init_state()
K, t1, peak = timed_first(lambda: eqs.eval_tangent_matrices(None, eqs.create_matrix_graph(verbose=False)))
def again():
    K.data[:] = 0.0
    eqs.eval_tangent_matrices(None, K)
t2 = min(timed(again) for _ in range(SECONDS))
out = {"ndof": K.shape[0], "first": t1, "second": t2, "peak": peak}
if args.get("check"):
    X = field.get_coor()
    X = np.hstack([X, np.zeros((len(X), 3 - X.shape[1]))])
    ncomp = 1 if physics == "heat" else dim
    ku = K @ u_of(X)[:, :ncomp].ravel()      # node-major, as the field numbers its DOFs
    np.savez(args["check"], x=np.repeat(X, ncomp, axis=0), comp=np.tile(np.arange(ncomp), len(X)), ku=ku)
print(json.dumps(out))
"""

SCRIPTS = {"ours": OURS, "ngsolve": NGSOLVE, "sfepy": SFEPY}


def child(lib, args, env=None):
    env = dict(os.environ, **(env or {}))
    # The workers import what the peer benchmarks share from beside this file.
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH", "")) if p)
    if args["threads"] == "1":
        env.update(OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", SCRIPTS[lib], json.dumps(args)], capture_output=True, text=True,
                         env=env)
    if out.returncode != 0:
        raise RuntimeError(f"{lib} {args}: exit {out.returncode}\n{out.stderr[-3000:]}")
    lines = out.stdout.strip().splitlines()
    return json.loads(lines[-1]) if lines else None


def read_vtk(path):
    """Points and cells of a legacy ASCII VTK file with one cell type."""
    import numpy as np
    with open(path) as f:
        text = f.read()
    rest = text.split("POINTS ", 1)[1]
    n_points = int(rest.split(None, 1)[0])
    body, rest = rest.split("\n", 1)[1].split("CELLS ", 1)
    points = np.array(body.split(), dtype=float).reshape(n_points, 3)
    n_cells = int(rest.split(None, 1)[0])
    raw = np.array(rest.split("\n", 1)[1].split("CELL_TYPES", 1)[0].split(), dtype=np.int64)
    return points, raw.reshape(n_cells, -1)[:, 1:]


def compare(ours, peer):
    """Largest |K u| difference over largest |K u|, DOFs matched by coordinates and component."""
    import numpy as np
    def order(d):
        key = np.round(d["x"] * 2 ** 20).astype(np.int64)
        return np.lexsort((d["comp"], key[:, 2], key[:, 1], key[:, 0]))
    if len(ours["ku"]) != len(peer["ku"]):
        return float("inf")
    a, b = order(ours), order(peer)
    if not (np.array_equal(np.round(ours["x"][a] * 2 ** 20), np.round(peer["x"][b] * 2 ** 20))
            and np.array_equal(ours["comp"][a], peer["comp"][b])):
        return float("inf")
    return float(np.abs(ours["ku"][a] - peer["ku"][b]).max() / np.abs(ours["ku"]).max())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cases", nargs="+", default=list(CASES), choices=list(CASES))
    ap.add_argument("--dofs", nargs="+", type=float, default=[1e4, 1e5, 1e6])
    ap.add_argument("--threads", nargs="+", default=["1", "all"], choices=["1", "all"])
    ap.add_argument("--peers", nargs="+", choices=["ngsolve", "sfepy"], help="peers for every case")
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args()
    import numpy as np

    print(f"load average before: {os.getloadavg()[0]:.2f}", flush=True)
    header = (f"{'case':<13} {'DOFs':>8} {'thr':>3} {'call':<6} {'ours s':>8} {'peer':<8} {'peer s':>8} "
              f"{'ratio':>6} {'ours MB':>8} {'peer MB':>8} {'check':>8} {'load':>5}")
    rows = []
    with tempfile.TemporaryDirectory(prefix="bench_assembly_peers_") as tmp:
        for name in opts.cases:
            cell, physics, order, dim = CASES[name]
            peers = opts.peers or DEFAULT_PEERS.get(name, ["ngsolve"])
            for dofs in opts.dofs:
                n = divisions(cell, physics, dofs)
                base = {"n": n, "cell": cell, "linear": LINEAR[cell], "physics": physics, "order": order,
                        "dim": dim, "rule_order": RULE_ORDER[cell]}
                vtk = os.path.join(tmp, "mesh.vtk")
                child("ours", dict(base, threads="all", export=vtk))
                points, cells = read_vtk(vtk)
                os.remove(vtk)
                mesh_file = os.path.join(tmp, "mesh.npz")
                np.savez(mesh_file, points=points, cells=cells)
                base["n_cells"] = len(cells)
                del points, cells
                base["mesh"] = mesh_file
                # Same work first: K u of every peer against ours (one all-threads run each).
                checks = {}
                for lib in ["ours"] + peers:
                    path = os.path.join(tmp, f"check_{lib}.npz")
                    child(lib, dict(base, threads="all", check=path))
                    checks[lib] = dict(np.load(path))
                    os.remove(path)
                diff = {lib: compare(checks["ours"], checks[lib]) for lib in peers}
                del checks
                for threads in opts.threads:
                    best = {}
                    for _ in range(opts.repeat):
                        for lib in ["ours"] + peers:
                            r = child(lib, dict(base, threads=threads))
                            b = best.setdefault(lib, dict(r))
                            for k in ("first", "second", "peak"):
                                b[k] = min(b[k], r[k])
                    load = os.getloadavg()[0]
                    for call in ("first", "second"):
                        for lib in peers:
                            o, p = best["ours"], best[lib]
                            rows.append(f"{name:<13} {o['ndof']:>8} {threads:>3} {call:<6} {o[call]:>8.4f} "
                                        f"{lib:<8} {p[call]:>8.4f} {o[call] / p[call]:>6.2f} "
                                        f"{o['peak']:>8.0f} {p['peak']:>8.0f} {diff[lib]:>8.1e} {load:>5.2f}")
                            print(rows[-1] if len(rows) > 1 else header + "\n" + rows[-1], flush=True)
                os.remove(mesh_file)
    print("\n" + header)
    print("\n".join(rows))
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
