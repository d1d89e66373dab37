"""Prints the reference literals pasted into the C++ numerics tests.

Run with the project's virtualenv (numpy and the vtk wheel):
    .venv/bin/python tests/cpp/gen_vtk_reference.py

- Gauss-Legendre points and weights from numpy.polynomial.legendre.leggauss;
- for every Lagrange cell type, the node positions of VTK's own cell and its
  interpolation functions and derivatives at a few sample points, mapped to our
  reference coordinates: VTK's boxes are [0, 1]^d where ours are [-1, 1]^d
  (xi = 2p - 1, so d/dxi = (d/dp) / 2); simplices and the prism coincide.
"""
import numpy as np
import vtk

CELLS = [
    # (our type, VTK class, reference dimension, box-like axes)
    ("SEG2", vtk.vtkLine, 1, True),
    ("TRI3", vtk.vtkTriangle, 2, False),
    ("QUA4", vtk.vtkQuad, 2, True),
    ("TET4", vtk.vtkTetra, 3, False),
    ("PENTA6", vtk.vtkWedge, 3, False),
    ("HEX8", vtk.vtkHexahedron, 3, True),
    ("SEG3", vtk.vtkQuadraticEdge, 1, True),
    ("TRI6", vtk.vtkQuadraticTriangle, 2, False),
    ("QUA8", vtk.vtkQuadraticQuad, 2, True),
    ("TET10", vtk.vtkQuadraticTetra, 3, False),
    ("PENTA15", vtk.vtkQuadraticWedge, 3, False),
    ("HEX20", vtk.vtkQuadraticHexahedron, 3, True),
    ("QUA9", vtk.vtkBiQuadraticQuad, 2, True),
    ("HEX27", vtk.vtkTriQuadraticHexahedron, 3, True),
]

# Sample points in VTK parametric coordinates (inside every cell kind).
SAMPLES = [(0.1, 0.2, 0.3), (0.25, 0.55, 0.15), (0.6, 0.3, 0.7)]


def lit(x):
    return repr(float(x))


def to_ours(p, dim, box):
    return [2.0 * p[k] - 1.0 if box else p[k] for k in range(dim)]


def main():
    print("// Gauss-Legendre (numpy.polynomial.legendre.leggauss)")
    for n in (2, 3):
        x, w = np.polynomial.legendre.leggauss(n)
        print(f"// n={n}: points {{{', '.join(map(lit, x))}}} weights {{{', '.join(map(lit, w))}}}")
    print()
    for name, cls, dim, box in CELLS:
        cell = cls()
        n = cell.GetNumberOfPoints()
        pc = cell.GetParametricCoords()
        nodes = []
        for i in range(n):
            nodes += to_ours([pc[3 * i + k] for k in range(3)], dim, box)
        samples = []
        for p in SAMPLES:
            w = [0.0] * n
            # The wrappers size `derivs` as n * dim for some cells and n * 3 for others.
            d = None
            for size in (n * dim, n * 3):
                try:
                    d = [0.0] * size
                    cell.InterpolateDerivs(p, d)
                    break
                except TypeError:
                    d = None
            cell.InterpolateFunctions(p, w)
            # VTK stores derivatives direction-major: d[k * n + i] = dN_i / dp_k.
            scale = 0.5 if box else 1.0
            dn = [d[k * n + i] * scale for i in range(n) for k in range(dim)]
            samples.append((to_ours(p, dim, box), w, dn))
        print(f"    {{ElementType::{name},")
        print(f"     {{{', '.join(map(lit, nodes))}}},")
        print("     {" + ", ".join(
            "{{" + ", ".join(map(lit, xi)) + "}, {" + ", ".join(map(lit, w)) + "}, {" + ", ".join(map(lit, dn)) + "}}"
            for xi, w, dn in samples) + "}},")


if __name__ == "__main__":
    main()
