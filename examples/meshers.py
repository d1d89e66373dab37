"""The two unstructured meshers: a plate with a hole in triangles, a cube in tetrahedra.

`triangulate_surface` fills closed SEG2 loops: here the rectangle [0, 2] x [0, 1] as a
counter-clockwise loop of `line` sides, and a hole of radius R as a clockwise loop (an
inverted `circle` of N segments). The mesh keeps the contour's segments, so its area is
the polygon's, 2 - (N / 2) R² sin(2 π / N), to rounding; it is printed beside it for a
few target sizes, in triangles and in quadrilaterals (quad-dominant).

`volume` fills a closed TRI3 surface with tetrahedra and adds nodes inside only: here the
skin of a hexahedral unit cube (`transfinite`, `extrude`, `skin`), split into triangles
by `convert`. The volume of the tetrahedra is printed beside 1. Both meshes are written
as legacy VTK files (plate.vtk and cube.vtk) in the directory given as first argument,
or the current directory.
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


def cube_skin(n=6):
    coords = q.Coords(3)
    p = [coords.add_node(x) for x in ([0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0])]
    square = q.transfinite(*[q.line(p[i], p[(i + 1) % 4], n) for i in range(4)])
    return q.convert(q.skin(q.extrude(square, [0, 0, 1], n)), "TRI3")


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

    skin = cube_skin()
    cube = q.volume(skin, 0.1)
    print(f"unit cube: {skin.cell_count()} skin triangles, {cube.cell_count()} tetrahedra, "
          f"volume {measure(cube):.12f} (exact 1)")

    for name, mesh in (("plate.vtk", plate), ("cube.vtk", cube)):
        path = os.path.join(directory, name)
        q.export_vtk(mesh, path)
        print(f"written: {path}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
