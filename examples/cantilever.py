"""A cantilever in plane stress: meshed by hand, clamped, loaded at its tip, solved.

The beam [0, L] x [-h/2, h/2] (unit thickness) is meshed with quadratic quadrilaterals
(QUA8) built node by node. Its left end is clamped by Dirichlet supports on u_x and u_y;
its right end carries a uniform shear traction of resultant P, turned into consistent
nodal loads by `flux` over the tip edge. The stiffness of elasticity and supports is
assembled, solved, and the tip deflection is printed beside the closed form of a
shear-deformable beam, P L^3 / (3 E I) + P L / (k G A) with k = 5/6. The strains of the
solution at the Gauss points go through the elastic law (`deformation`, then
`integrate_behavior`), and the bending stress at mid-span is printed beside
P (L - x) y / I. The displacements and the stresses at the Gauss points (their mean per
cell) are written as legacy VTK files (cantilever.vtk and cantilever_stress.vtk) in the
directory given as first argument, or the current directory.
"""
import os
import sys

import _quenlith as q

L, h = 10.0, 1.0  # length and depth
E, nu = 1000.0, 0.3
P = 1.0  # tip load, downwards
NX, NY = 40, 4  # elements along and across


def beam():
    coords = q.Coords(2)
    # Nodes on a (2 NX + 1) x (2 NY + 1) lattice; the element centres are never used.
    lattice = {}
    for j in range(2 * NY + 1):
        for i in range(2 * NX + 1):
            if i % 2 and j % 2:
                continue
            lattice[i, j] = coords.add_node([L * i / (2 * NX), -h / 2 + h * j / (2 * NY)])
    body = q.Mesh(coords, "QUA8")
    for j in range(0, 2 * NY, 2):
        for i in range(0, 2 * NX, 2):
            corners = [(i, j), (i + 2, j), (i + 2, j + 2), (i, j + 2)]
            mids = [(i + 1, j), (i + 2, j + 1), (i + 1, j + 2), (i, j + 1)]
            body[0].add_cell([lattice[k] for k in corners + mids])
    tip = q.Mesh(coords, "SEG3")
    for j in range(0, 2 * NY, 2):
        tip[0].add_cell([lattice[2 * NX, j], lattice[2 * NX, j + 2], lattice[2 * NX, j + 1]])
    left = [lattice[0, j] for j in range(2 * NY + 1)]
    return coords, lattice, body, tip, left


def clamp(coords, nodes, variable, dual):
    fixed = q.Mesh(coords, "POI1")
    mult = q.Mesh(coords, "POI1")
    for k, node in enumerate(nodes):
        fixed[0].add_cell([node])
        mult[0].add_cell([coords.add_node([-1.0, float(k)])])
    return q.Model.dirichlet(variable, dual, fixed, mult)


def main(directory="."):
    coords, lattice, body, tip, left = beam()
    space = q.FiniteElementSpace(body, "LAGRANGE2")
    model = (q.Model.elasticity(space, "plane_stress")
             | clamp(coords, left, "u_x", "f_x") | clamp(coords, left, "u_y", "f_y"))
    materials = q.material_field(model, [("E", E), ("nu", nu)])
    K = q.stiffness(model, materials)
    load = q.flux(q.FiniteElementSpace(tip, "LAGRANGE2")[0], -P / h, "f_y")
    u = q.solve(K, load)

    deflection = u.value(lattice[2 * NX, NY], "u_y")
    inertia, area, shear = h ** 3 / 12, h, E / (2 * (1 + nu))
    exact = -(P * L ** 3 / (3 * E * inertia) + P * L / (5 / 6 * shear * area))
    print(f"{K.n_rows()} equations, {NX * NY} QUA8 elements")
    print(f"tip deflection: computed {deflection:.6f}, analytical {exact:.6f} "
          f"({100 * (deflection / exact - 1):+.2f} %)")

    displacement = q.NodeField(q.to_poi1(body), ["u_x", "u_y"])
    for node in lattice.values():
        for name in ("u_x", "u_y"):
            displacement[0].set_value(node, name, u.value(node, name))
    path = os.path.join(directory, "cantilever.vtk")
    q.export_vtk(body, path, displacement)
    print(f"written: {path}")

    # Stresses at the Gauss points: the strain of the displacements, through the law.
    strain = q.deformation(q.filter_components(u, ["u_x", "u_y"]), space)
    stress = q.integrate_behavior(model, strain, materials)
    # The top cell at mid-span: its mean bending stress against beam theory at its centre.
    zone, cell = stress[0], (NY - 1) * NX + NX // 2
    points = [zone.value(cell, g, "sigma_xx") for g in range(zone.gauss_count())]
    x, y = L * (NX // 2 + 0.5) / NX, h / 2 - h / (2 * NY)
    print(f"bending stress at x = {x:.4f}, y = {y:.4f}: computed {sum(points) / len(points):.4f}, "
          f"beam theory {P * (L - x) * y / inertia:.4f}")
    path = os.path.join(directory, "cantilever_stress.vtk")
    q.export_vtk(body, path, stress)
    print(f"written: {path}")
    return deflection, exact


if __name__ == "__main__":
    main(*sys.argv[1:2])
