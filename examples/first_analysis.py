"""A first quenlith session: a plate with a hole, built by hand, and its finite-element space.

The square plate [-L, L]^2 has a circular hole of radius R at its centre. Around the hole
sits a ring of quadratic triangles (TRI6) whose hole-side mid-edge nodes lie on the circle,
so their curved edges follow it; outside that ring, straight quadrilaterals (QUA4) reach
the plate's edges. The area obtained by summing Gauss weights times Jacobian measures over
every element is compared with the exact area 4 L^2 - pi R^2. The finest mesh is written
as a legacy VTK file (plate_with_hole.vtk) for a visualisation program, with each node's
distance to the hole's centre as a node field "r", in the directory given as first
argument, or the current directory.
"""
import math
import os
import sys

import _quenlith as q

L = 2.0  # half-width of the plate
R = 0.5  # radius of the hole
R1 = 1.0  # radius of the circle between the triangle ring and the quadrilaterals


def on_square(theta):
    """The point of the plate's boundary in direction theta."""
    c, s = math.cos(theta), math.sin(theta)
    return [L * c / max(abs(c), abs(s)), L * s / max(abs(c), abs(s))]


def plate_with_hole(n_sectors):
    """The mesh: two submeshes (TRI6 ring, QUA4 outer part) on one Coords."""
    coords = q.Coords(2)

    def node(x, y):
        return coords.add_node([x, y])

    angles = [2 * math.pi * k / n_sectors for k in range(n_sectors)]
    hole = [node(R * math.cos(t), R * math.sin(t)) for t in angles]
    ring = [node(R1 * math.cos(t), R1 * math.sin(t)) for t in angles]
    edge = [node(*on_square(t)) for t in angles]

    def mid(a, b):
        xa, xb = a.coord(), b.coord()
        return node((xa[0] + xb[0]) / 2, (xa[1] + xb[1]) / 2)

    triangles = q.Mesh(coords, "TRI6")
    quads = q.Mesh(coords, "QUA4")
    for k in range(n_sectors):
        k1 = (k + 1) % n_sectors
        p0, p1, r0, r1 = hole[k], hole[k1], ring[k], ring[k1]
        t_mid = 2 * math.pi * (k + 0.5) / n_sectors
        arc = node(R * math.cos(t_mid), R * math.sin(t_mid))  # on the circle: a curved edge
        diagonal = mid(p0, r1)
        # Counter-clockwise triangles; TRI6 lists its vertices, then the mid-edge nodes of
        # edges 0-1, 1-2 and 2-0.
        triangles[0].add_cell([p0, r0, r1, mid(p0, r0), mid(r0, r1), diagonal])
        triangles[0].add_cell([p0, r1, p1, diagonal, mid(r1, p1), arc])
        quads[0].add_cell([r0, edge[k], edge[k1], r1])
    return triangles | quads


def area(fes):
    """Sum over every element of its Gauss weights times its Jacobian measures."""
    total = 0.0
    for sub in fes:
        for element in sub:
            total += sum(element.gauss_weight(g) * element.det_jacobian(g) for g in range(element.gauss_count))
    return total


def main(directory="."):
    exact = 4 * L * L - math.pi * R * R
    print(f"_quenlith {q.__version__}: plate [-{L}, {L}]^2 with a hole of radius {R}")
    print(f"exact area: {exact:.12f}\n")
    print(f"{'sectors':>8} {'cells':>6} {'area':>16} {'relative error':>15}")
    for n_sectors in (8, 16, 32, 64):
        mesh = plate_with_hole(n_sectors)
        fes = q.FiniteElementSpace.with_choices(mesh, [("LAGRANGE2", "GAUSS"), ("LAGRANGE1", "GAUSS")])
        a = area(fes)
        print(f"{n_sectors:>8} {mesh.cell_count():>6} {a:>16.12f} {abs(a - exact) / exact:>15.3e}")
    print()
    print(mesh)
    print(fes)
    for sub in fes:
        print(" ", sub)
    print("\nOne element of the hole's ring:")
    fes[0][1].dump()
    path = os.path.join(directory, "plate_with_hole.vtk")
    radius = q.NodeField(mesh, ["r"])
    for zone in radius:
        for row, cell in enumerate(zone.support_submesh()):
            zone.set(row, 0, math.hypot(*cell[0].coord()))
    q.export_vtk(mesh, path, radius)
    print(f"\nwritten: {path} ({mesh.cell_count()} cells)")


if __name__ == "__main__":
    main(*sys.argv[1:2])
