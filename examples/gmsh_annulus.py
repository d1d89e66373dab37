"""A mesh from Gmsh: steady heat conduction across an annulus.

examples/data/annulus.msh was written by gmsh from annulus.geo beside it: the ring
a < r < b (a = 1, b = 3) in quadratic triangles (TRI6), with its two circles as the
physical groups "inner" and "outer" (SEG3 cells). `read_gmsh` returns one mesh per physical
group, all on one Coords. The temperature is held at T_a on the inner circle and at 0 on
the outer one (Dirichlet models whose imposed values are the right-hand side at their
multipliers). The temperature at the node nearest r = 2 is printed beside the closed form
T_a ln(r / b) / ln(a / b), and the heat flowing in through the inner circle (the reactions
there) beside 2 π k T_a / ln(b / a). The temperature is written as a legacy VTK file
(annulus.vtk) in the directory given as first argument, or the current directory.
"""
import math
import os
import sys

import _quenlith as q

A, B = 1.0, 3.0  # radii of the inner and outer circles
K_COND, T_IN = 1.5, 10.0
MESH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "annulus.msh")


def nodes_of(mesh):
    """Every node of a mesh, once each, in the order met."""
    return list({node.id: node for sub in mesh for cell in sub for node in cell}.values())


def hold(coords, nodes, value):
    """A Dirichlet model holding T at `nodes`, and the right-hand side imposing `value` there."""
    multipliers = [coords.add_node([0.0, 0.0]) for _ in nodes]
    model = q.Model.dirichlet("T", "q", q.poi1_from_nodes(nodes), q.poi1_from_nodes(multipliers))
    imposed = q.NodeField(q.poi1_from_nodes(multipliers), ["imposed_T"])
    for m in multipliers:
        imposed[0].set_value(m, "imposed_T", value)
    return model, imposed


def main(directory="."):
    coords = q.Coords(2)
    groups = q.read_gmsh(coords, MESH)
    ring, inner, outer = groups["ring"], groups["inner"], groups["outer"]
    sizes = ", ".join(f"{name} ({mesh.cell_count()} cells)" for name, mesh in groups.items())
    print(f"read {os.path.basename(MESH)}: {sizes}")

    space = q.FiniteElementSpace(ring, "LAGRANGE2")
    hot, hot_values = hold(coords, nodes_of(inner), T_IN)
    cold, cold_values = hold(coords, nodes_of(outer), 0.0)
    model = q.Model.heat_conduction(space) | hot | cold
    T = q.solve(q.stiffness(model, q.material_field(model, [("k", K_COND)])), hot_values | cold_values)

    node = min(nodes_of(ring), key=lambda n: abs(math.hypot(*n.coord()) - 2.0))
    r = math.hypot(*node.coord())
    exact = T_IN * math.log(r / B) / math.log(A / B)
    print(f"T at r = {r:.6f}: computed {T.value(node, 'T'):.6f}, exact {exact:.6f}")
    # A multiplier carries the heat leaving the ring at its node.
    inflow = -sum(T.value(m, "lambda_T") for cell in hot.multiplier_mesh()[0] for m in cell)
    exact_flow = 2 * math.pi * K_COND * T_IN / math.log(B / A)
    print(f"heat flow through the inner circle: computed {inflow:.6f}, exact {exact_flow:.6f}")

    path = os.path.join(directory, "annulus.vtk")
    q.export_vtk(ring, path, q.filter_components(T, ["T"]))
    print(f"written: {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
