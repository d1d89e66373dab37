"""solve_unilateral: the Schur path with its cached base against the refactorize path,
per status iteration.

A plane-strain elastic strip of (nx + 1) × (ny + 1) nodes (2 unknowns a node) is
lowered by its top edge (u_y imposed, u_x held) onto a rigid cylinder under the
middle of its bottom edge: one inequality u_y >= -(x - w/2)² / 2R per bottom node.
A first call at depth d1 converges and leaves its status (and, for the Schur path,
the base factors and base columns) in the matrix; the timed call at depth d2 starts
from that status and needs a few status changes. The number of its iterations is
found by calling again with max_iter = 1, 2, ... until one converges (a failed call
stores nothing). Printed: the sizes, each path's first call, its timed call, the
time per iteration and their ratio.

    .venv/bin/python bench/bench_unilateral.py [nx ny]     (default 999 49: 100 k unknowns, 1 000 relations)
"""
import sys
import time

import _quenlith as q


def poi1(c, nodes):
    m = q.Mesh(c, "POI1")
    for x in nodes:
        m[0].add_cell([x])
    return m


def strip(nx, ny, radius):
    w, h = nx / 50.0, ny / 50.0
    c = q.Coords(2)
    n = [[c.add_node([w * i / nx, h * j / ny]) for i in range(nx + 1)] for j in range(ny + 1)]
    mesh = q.Mesh(c, "QUA4")
    for j in range(ny):
        for i in range(nx):
            mesh[0].add_cell([n[j][i], n[j][i + 1], n[j + 1][i + 1], n[j + 1][i]])
    body = q.Model.elasticity(q.FiniteElementSpace(mesh), "plane_strain")

    def multipliers(count, y):
        return poi1(c, [c.add_node([-1.0 - k, y]) for k in range(count)])

    top, bottom = n[-1], n[0]
    push = q.Model.dirichlet("u_y", "f_y", poi1(c, top), multipliers(len(top), -1.0))
    hold = q.Model.dirichlet("u_x", "f_x", poi1(c, top), multipliers(len(top), -2.0))
    stop = q.Model.dirichlet("u_y", "f_y", poi1(c, bottom), multipliers(len(bottom), -3.0), sense=">=")
    model = body | push | hold | stop
    gap = [(p.coord()[0] - w / 2) ** 2 / (2 * radius) for p in bottom]
    return c, model, push, stop, gap


def load(c, push, stop, gap, depth):
    push_nodes = [cell[0] for cell in push.multiplier_mesh()[0]]
    stop_nodes = [cell[0] for cell in stop.multiplier_mesh()[0]]
    rhs = q.NodeField(poi1(c, push_nodes + stop_nodes), ["imposed_u_y"])
    for p in push_nodes:
        rhs[0].set_value(p, "imposed_u_y", -depth)
    for p, g in zip(stop_nodes, gap):
        rhs[0].set_value(p, "imposed_u_y", -g)
    return rhs


def timed(f):
    t = time.perf_counter()
    out = f()
    return time.perf_counter() - t, out


def iterations(model, K, rhs, path):
    for k in range(1, 101):
        try:
            q.solve_unilateral(model, K, rhs, active_set=path, max_iter=k)
            return k
        except RuntimeError as e:
            if "did not converge" not in str(e):
                raise
    raise RuntimeError("no convergence in 100 iterations")


def main():
    nx, ny = (int(sys.argv[1]), int(sys.argv[2])) if len(sys.argv) > 2 else (999, 49)
    t, (c, model, push, stop, gap) = timed(lambda: strip(nx, ny, radius=20.0))
    K = q.stiffness(model, q.material_field(model, [("E", 1000.0), ("nu", 0.3)]))
    unknowns = sum(1 for _, var in K.col_dofs() if var.startswith("u_"))
    print(f"strip {nx}x{ny} cells: {unknowns} displacement unknowns, {K.n_rows()} rows, "
          f"{nx + 1} unilateral relations (built in {t:.1f} s)")
    first, second = load(c, push, stop, gap, 0.002), load(c, push, stop, gap, 0.004)
    per_iteration = {}
    for path in ("schur", "refactorize"):
        t_first, x = timed(lambda: q.solve_unilateral(model, K, first, active_set=path))
        touching = sum(1 for cell in stop.multiplier_mesh()[0] if x.value(cell[0], "lambda_u_y") < 0)
        t_second, x = timed(lambda: q.solve_unilateral(model, K, second, active_set=path))
        touching2 = sum(1 for cell in stop.multiplier_mesh()[0] if x.value(cell[0], "lambda_u_y") < 0)
        # Back to the first status, then count the iterations of the timed call.
        q.solve_unilateral(model, K, first, active_set=path)
        k = iterations(model, K, second, path)
        per_iteration[path] = t_second / k
        print(f"{path:>11}: first call {t_first:7.2f} s ({touching} in contact); timed call {t_second:7.2f} s, "
              f"{k} iteration(s) ({touching2} in contact): {per_iteration[path] * 1e3:8.1f} ms per iteration")
    print(f"refactorize / schur per iteration: {per_iteration['refactorize'] / per_iteration['schur']:.1f}x")


if __name__ == "__main__":
    main()
