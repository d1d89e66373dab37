"""A portal frame: two clamped columns and a beam, pushed sideways at the top.

The columns (height h, second moment I_c) and the beam (span b, I_b) are chains of SEG2
cells sharing their corner nodes, two submeshes of one mesh; the planar frame model makes
one sub-model of each, so each gets its own section through
`material_field_per_sub_model`. Both column bases are clamped (u_x, u_y and rz held by
Dirichlet models); a horizontal load H acts at the top of the left column. The sway of
the top is printed beside the slope-deflection result of a frame whose members neither
stretch nor shear (their A and A_s are taken large),
H h³ (2 + 3k) / (12 E I_c (1 + 6k)) with k = (I_b / b) / (I_c / h), for n = 1 to 40
cells per member: the gap shrinks as 1/n². The element is linear with one-point shear,
so a member bent in double curvature needs several cells: with one cell per member the
frame locks and barely sways, with two its sway is 25 % short. The horizontal reactions
at the bases are printed beside H. The displaced frame is written as a legacy VTK file
(portal_frame.vtk) in the directory given as first argument, or the current directory.
"""
import os
import sys

import _quenlith as q

H_COL, SPAN = 3.0, 4.0  # column height, beam span
E, I_COL, I_BEAM = 1000.0, 1.0, 2.0
LOAD = 5.0  # horizontal, at the top of the left column


def frame(per):
    coords = q.Coords(2)
    left = [coords.add_node([0.0, H_COL * i / per]) for i in range(per + 1)]
    right = [coords.add_node([SPAN, H_COL * i / per]) for i in range(per + 1)]
    beam = [left[-1]] + [coords.add_node([SPAN * i / per, H_COL]) for i in range(1, per)] + [right[-1]]
    columns, top = q.Mesh(coords, "SEG2"), q.Mesh(coords, "SEG2")
    for chain, mesh in ((left, columns), (right, columns), (beam, top)):
        for a, b in zip(chain, chain[1:]):
            mesh[0].add_cell([a, b])
    return coords, columns | top, left, right


def clamp(coords, nodes, variable, dual):
    multipliers = q.poi1_from_nodes([coords.add_node([-1.0, float(k)]) for k in range(len(nodes))])
    return q.Model.dirichlet(variable, dual, q.poi1_from_nodes(nodes), multipliers)


def solve(per):
    coords, mesh, left, right = frame(per)
    bases = [left[0], right[0]]
    model = q.Model.frame(q.FiniteElementSpace(mesh))  # one sub-model per submesh: columns, beam
    for variable, dual in (("u_x", "f_x"), ("u_y", "f_y"), ("rz", "m_z")):
        model = model | clamp(coords, bases, variable, dual)
    section = [("E", E), ("A", 1e5), ("G", 400.0), ("A_s", 1e5)]
    materials = q.material_field_per_sub_model(
        model, [section + [("I", I_COL)], section + [("I", I_BEAM)]] + [[]] * (len(model) - 2))
    load = q.NodeField(q.poi1_from_nodes([left[-1]]), ["f_x"])
    load[0].set_value(left[-1], "f_x", LOAD)
    u = q.solve(q.stiffness(model, materials), load)
    return u, mesh, left[-1], right[-1]


def main(directory="."):
    k = (I_BEAM / SPAN) / (I_COL / H_COL)
    exact = LOAD * H_COL ** 3 * (2 + 3 * k) / (12 * E * I_COL * (1 + 6 * k))
    print(f"slope-deflection sway: {exact:.8f}")
    print(f"{'cells/member':>12} {'sway (left)':>12} {'sway (right)':>12} {'error':>9}")
    for per in (1, 2, 4, 10, 20, 40):
        u, mesh, top_left, top_right = solve(per)
        sway = u.value(top_left, "u_x")
        print(f"{per:>12} {sway:>12.8f} {u.value(top_right, 'u_x'):>12.8f} {100 * (sway / exact - 1):>+8.3f}%")
    print(f"horizontal reactions at the bases: {u.sum("lambda_u_x"):.6f} (the load: {LOAD})")

    displacement = q.filter_components(u, ["u_x", "u_y", "rz"])
    path = os.path.join(directory, "portal_frame.vtk")
    q.export_vtk(mesh, path, displacement)
    print(f"written: {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
