"""Plasticity: a steel strip pulled past yield, step by step, with Newton iterations.

The strip [0, L] x [0, h] (unit thickness, plane stress) is meshed with QUA4 cells and
given perfect von Mises plasticity (E, nu, sigma_y). Its left edge is held in x (and its
lower-left corner in y); its right edge is moved in x by a prescribed displacement that
grows step by step to five times the yield elongation. At each step Newton's method
solves for equilibrium: the state at the Gauss points comes from `integrate_behavior`
(from the converged state of the previous step, `prev`), the unbalanced forces from
`internal_forces`, the correction from the `tangent` matrix of that state with the
supports. The reaction on the right edge is printed beside the closed form of uniaxial
stress, E ε h below yield and sigma_y h beyond it, with the equivalent plastic strain p
and the Newton iterations of each step. The final state (stresses and p, per cell) is
written as a legacy VTK file (plasticity.vtk) in the directory given as first argument,
or the current directory.
"""
import os
import sys

import _quenlith as q

L, H = 4.0, 1.0
E, NU, SIGMA_Y = 210000.0, 0.3, 240.0
NX, NY = 8, 2


def strip():
    coords = q.Coords(2)
    grid = {(i, j): coords.add_node([L * i / NX, H * j / NY]) for j in range(NY + 1) for i in range(NX + 1)}
    mesh = q.Mesh(coords, "QUA4")
    for j in range(NY):
        for i in range(NX):
            mesh[0].add_cell([grid[i, j], grid[i + 1, j], grid[i + 1, j + 1], grid[i, j + 1]])
    return coords, grid, mesh


class Support:
    """A Dirichlet model holding `variable` at `nodes`, through one multiplier node each."""

    def __init__(self, coords, nodes, variable, dual):
        self.nodes, self.variable = nodes, variable
        self.multipliers = [coords.add_node([-1.0, float(k)]) for k in range(len(nodes))]
        self.model = q.Model.dirichlet(variable, dual, q.poi1_from_nodes(nodes),
                                       q.poi1_from_nodes(self.multipliers))

    def gap(self, u, value):
        """The right-hand side of its rows: what the displacement `u` lacks to reach `value`."""
        name = "imposed_" + self.variable
        field = q.NodeField(q.poi1_from_nodes(self.multipliers), [name])
        for m, n in zip(self.multipliers, self.nodes):
            field[0].set_value(m, name, value - u.value(n, self.variable))
        return field


def main(directory="."):
    coords, grid, mesh = strip()
    nodes = list(grid.values())
    left = [grid[0, j] for j in range(NY + 1)]
    right = [grid[NX, j] for j in range(NY + 1)]
    space = q.FiniteElementSpace(mesh)
    body = q.Model.plasticity(space, "plane_stress")
    materials = q.material_field(body, [("E", E), ("nu", NU), ("sigma_y", SIGMA_Y)])
    fixed_x, fixed_y = Support(coords, left, "u_x", "f_x"), Support(coords, [grid[0, 0]], "u_y", "f_y")
    pulled = Support(coords, right, "u_x", "f_x")
    constraint_matrix = q.stiffness(fixed_x.model | fixed_y.model | pulled.model, materials)
    held_in_x = {n.id for n in left + right}
    free = [(n, d) for n in nodes for d in ("f_x", "f_y") if not (d == "f_x" and n.id in held_in_x)]

    u = q.NodeField(q.poi1_from_nodes(nodes), ["u_x", "u_y"])
    state = None
    yield_strain = SIGMA_Y / E
    print(f"{'strain':>12} {'reaction':>10} {'closed form':>11} {'p':>10} {'Newton':>6}")
    for step in range(1, 11):
        strain = 0.5 * step * yield_strain
        pull = strain * L
        for iteration in range(20):
            trial = q.integrate_behavior(body, q.deformation(u, space), materials, prev=state)
            forces = q.internal_forces(body, trial)
            if iteration and max(abs(forces.value(n, d)) for n, d in free) < 1e-9 * SIGMA_Y * H:
                break
            # Unknowns: the correction of u and the reactions; the supports' rows close the
            # gap between their nodes' displacement and the prescribed value.
            gaps = fixed_x.gap(u, 0.0) | fixed_y.gap(u, 0.0) | pulled.gap(u, pull)
            matrix = q.tangent(body, materials, trial) | constraint_matrix
            q.assemble(matrix)
            correction = q.solve(matrix, forces * -1.0 | gaps)
            # The correction lives on the matrix's DOFs, reactions included: carried onto
            # u's zone and components, it adds to u zone by zone.
            u = u + q.restrict_like(correction, u)
        else:
            raise RuntimeError(f"no equilibrium at step {step}")
        state = trial
        reaction = sum(forces.value(n, "f_x") for n in right)
        closed_form = min(E * strain, SIGMA_Y) * H
        p = state[0].value(0, 0, "p")
        print(f"{strain:>12.6e} {reaction:>10.4f} {closed_form:>11.4f} {p:>10.6f} {iteration:>6}")

    path = os.path.join(directory, "plasticity.vtk")
    q.export_vtk(mesh, path, q.filter_components(state, ["sigma_xx", "sigma_yy", "sigma_xy", "p"]))
    print(f"written: {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
