"""Heat conduction: the Poisson problem -k ΔT = s on the unit square, T = 0 on its edges.

The square is meshed with QUA4 cells by `transfinite` between four `line` sides; a
heat-conduction model on it is joined with a Dirichlet model holding T = 0 at every
boundary node. The stiffness (conductivity) matrix is solved against the consistent
nodal loads of a uniform source s (`flux`). The temperature at the centre is printed
beside the value of the series solution, for three meshes, with the order of
convergence. On the finest mesh the heat flux k ∇T is integrated at the Gauss points
(`gradient`, then `integrate_behavior`), and the heat leaving through the edges (the
reactions of the Dirichlet supports) is printed beside the heat produced, s times the
area. The temperature and the flux are written as legacy VTK files (heat.vtk and
heat_flux.vtk) in the directory given as first argument, or the current directory.
"""
import math
import os
import sys

import _quenlith as q

K_COND, SOURCE = 2.0, 8.0  # conductivity, heat source per unit area


def series_centre(terms=200):
    """T(1/2, 1/2) of -ΔT = 1 on the unit square, T = 0 on its edges, by the double sine series."""
    total = 0.0
    for m in range(1, terms, 2):
        for n in range(1, terms, 2):
            total += (-1) ** ((m + n) // 2 - 1) / (m * n * (m * m + n * n))
    return 16 / math.pi ** 4 * total


def square(n):
    coords = q.Coords(2)
    corners = [coords.add_node(x) for x in ([0, 0], [1, 0], [1, 1], [0, 1])]
    sides = [q.line(corners[i], corners[(i + 1) % 4], n) for i in range(4)]
    mesh = q.transfinite(*sides)
    boundary = list({node.id: node for side in sides for cell in side[0] for node in cell}.values())
    return coords, mesh, boundary


def solve(n):
    coords, mesh, boundary = square(n)
    space = q.FiniteElementSpace(mesh)
    # One multiplier node per supported node: it carries the reaction, the heat flow there.
    multipliers = q.poi1_from_nodes([coords.add_node([-1.0, float(k)]) for k in range(len(boundary))])
    held = q.Model.dirichlet("T", "q", q.poi1_from_nodes(boundary), multipliers)
    model = q.Model.heat_conduction(space) | held
    materials = q.material_field(model, [("k", K_COND)])
    T = q.solve(q.stiffness(model, materials), q.flux(space[0], SOURCE, "q"))
    centre = min((node for cell in mesh[0] for node in cell), key=lambda m: math.dist(m.coord(), [0.5, 0.5]))
    return T, T.value(centre, "T"), mesh, space, model, materials


def main(directory="."):
    exact = SOURCE / K_COND * series_centre()
    print(f"-k ΔT = s on the unit square (k = {K_COND}, s = {SOURCE}), T = 0 on its edges")
    print(f"{'cells':>6} {'T(centre)':>12} {'series':>12} {'error':>10} {'order':>6}")
    previous = None
    for n in (8, 16, 32):
        T, centre, mesh, space, model, materials = solve(n)
        error = abs(centre - exact)
        order = f"{math.log2(previous / error):6.2f}" if previous else ""
        print(f"{n * n:>6} {centre:>12.8f} {exact:>12.8f} {error:>10.2e} {order:>6}")
        previous = error

    temperature = q.filter_components(T, ["T"])
    flux = q.integrate_behavior(model, q.gradient(temperature, space), materials)
    # The Dirichlet reactions are the heat flows through the edges; they balance the source.
    outflow = T.sum("lambda_T")
    print(f"heat through the edges: {outflow:.10f}, produced: {SOURCE * 1.0:.10f}")
    paths = [os.path.join(directory, name) for name in ("heat.vtk", "heat_flux.vtk")]
    q.export_vtk(mesh, paths[0], temperature)
    q.export_vtk(mesh, paths[1], flux)
    for path in paths:
        print(f"written: {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
