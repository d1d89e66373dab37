"""The two unstructured meshers: a plate with a hole in triangles, a ball in tetrahedra.

`triangulate_surface` fills closed SEG2 loops: here the rectangle [0, 2] x [0, 1] as a
counter-clockwise loop of `line` sides, and a hole of radius R as a clockwise loop (an
inverted `circle` of N segments). The mesh keeps the contour's segments, so its area is
the polygon's, 2 - (N / 2) R² sin(2 π / N), to rounding; it is printed beside it for a
few target sizes, in triangles and in quadrilaterals (quad-dominant).

`volume` fills a closed TRI3 surface with tetrahedra and adds nodes inside only: here a
sphere of radius 1 approximated by the faces of an octahedron cut into n² triangles each
and lifted onto it. The volume of the tetrahedra is printed beside the volume inside that
surface (divergence theorem), which tends to 4 π / 3 as n grows. A plate and a ball are
written as legacy VTK files (plate.vtk and ball.vtk) in the directory given as first
argument, or the current directory.
"""
import math
import os
import sys

import _quenlith as q

R, N = 0.3, 48  # radius and segments of the hole


def measure(mesh):
    """The area or volume of a mesh: its Gauss weights times Jacobian measures, summed."""
    space = q.FiniteElementSpace(mesh)
    return sum(element.det_jacobian(g) * element.gauss_weight(g)
               for sub in space for element in sub for g in range(element.gauss_count))


def plate_contour():
    coords = q.Coords(2)
    a, b, c, d = (coords.add_node(x) for x in ([0, 0], [2, 0], [2, 1], [0, 1]))
    # Each submesh of a contour is a closed loop: the four sides are fused into one.
    outer = q.consolidate(q.line(a, b, 20) | q.line(b, c, 10) | q.line(c, d, 20) | q.line(d, a, 10))
    centre = coords.add_node([1.0, 0.5])
    hole = q.invert(q.circle(centre, [0, 0, 1], R, N))  # clockwise: a hole
    return outer | hole


def sphere_envelope(n, radius=1.0):
    """A closed TRI3 surface: each face of an octahedron cut into n² triangles, lifted onto
    the sphere (outward, nodes shared between faces)."""
    coords = q.Coords(3)
    nodes = {}

    def node(p):
        norm = math.sqrt(sum(x * x for x in p))
        key = tuple(round(x / norm, 12) for x in p)
        if key not in nodes:
            nodes[key] = coords.add_node([radius * x / norm for x in p])
        return nodes[key]

    axes = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (-1, 0, 0), (0, -1, 0), (0, 0, -1)]
    faces = [(0, 1, 2), (1, 3, 2), (3, 4, 2), (4, 0, 2), (1, 0, 5), (3, 1, 5), (4, 3, 5), (0, 4, 5)]
    envelope = q.Mesh(coords, "TRI3")
    for a, b, c in faces:
        A, B, C = axes[a], axes[b], axes[c]

        def at(i, j):
            return node([A[k] + (B[k] - A[k]) * i / n + (C[k] - A[k]) * j / n for k in range(3)])

        for i in range(n):
            for j in range(n - i):
                envelope[0].add_cell([at(i, j), at(i + 1, j), at(i, j + 1)])
                if i + j + 1 < n:
                    envelope[0].add_cell([at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)])
    return envelope


def enclosed_volume(envelope):
    """The volume inside a closed outward TRI3 surface, by the divergence theorem."""
    total = 0.0
    for cell in envelope[0]:
        a, b, c = (node.coord() for node in cell)
        total += (a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0])
                  + a[2] * (b[0] * c[1] - b[1] * c[0])) / 6
    return total


def main(directory="."):
    exact = 2.0 - N / 2 * R * R * math.sin(2 * math.pi / N)
    print(f"plate with a hole: polygon area {exact:.12f}")
    print(f"{'cells':>22} {'size':>6} {'area':>16} {'difference':>11}")
    contour = plate_contour()
    for element_type, size in (("TRI3", 0.1), ("TRI3", 0.05), ("QUA4", 0.05)):
        plate = q.triangulate_surface(contour, element_type, size)
        area = measure(plate)
        cells = " + ".join(f"{sub.cell_count()} {sub.element_type}" for sub in plate)
        print(f"{cells:>22} {size:>6} {area:>16.12f} {area - exact:>11.1e}")

    print(f"\nunit ball: exact volume {4 / 3 * math.pi:.12f}")
    print(f"{'skin':>6} {'tetrahedra':>10} {'volume':>16} {'inside the skin':>16} {'difference':>11}")
    for n in (4, 8, 16):
        skin = sphere_envelope(n)
        ball = q.volume(skin, 0.15)
        inside = enclosed_volume(skin)
        total = measure(ball)
        print(f"{skin.cell_count():>6} {ball.cell_count():>10} {total:>16.12f} {inside:>16.12f} "
              f"{total - inside:>11.1e}")

    for name, mesh in (("plate.vtk", plate), ("ball.vtk", ball)):
        path = os.path.join(directory, name)
        q.export_vtk(mesh, path)
        print(f"written: {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
