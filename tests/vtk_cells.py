"""The element catalogue next to VTK's own cells: our type names, VTK's cell
classes and type codes, and a cell of each type placed at VTK's parametric
coordinates (the node order the writer must keep)."""
import numpy as np
import vtk

# (our type, VTK class, VTK type code)
CELLS = [
    ("POI1", vtk.vtkVertex, 1),
    ("SEG2", vtk.vtkLine, 3),
    ("TRI3", vtk.vtkTriangle, 5),
    ("QUA4", vtk.vtkQuad, 9),
    ("TET4", vtk.vtkTetra, 10),
    ("PENTA6", vtk.vtkWedge, 13),
    ("HEX8", vtk.vtkHexahedron, 12),
    ("SEG3", vtk.vtkQuadraticEdge, 21),
    ("TRI6", vtk.vtkQuadraticTriangle, 22),
    ("QUA8", vtk.vtkQuadraticQuad, 23),
    ("TET10", vtk.vtkQuadraticTetra, 24),
    ("PENTA15", vtk.vtkQuadraticWedge, 26),
    ("HEX20", vtk.vtkQuadraticHexahedron, 25),
    ("QUA9", vtk.vtkBiQuadraticQuad, 28),
    ("HEX27", vtk.vtkTriQuadraticHexahedron, 29),
]
NAMES = [name for name, _, _ in CELLS]
VTK_CODE = {name: code for name, _, code in CELLS}
_CLASS = {name: cls for name, cls, _ in CELLS}


def parametric_nodes(name):
    """VTK's parametric coordinates of the nodes of a cell type, one row per node."""
    cell = _CLASS[name]()
    n = cell.GetNumberOfPoints()
    if name == "POI1":
        return np.zeros((1, 3))
    pc = cell.GetParametricCoords()
    return np.array([pc[i] for i in range(3 * n)]).reshape(n, 3)


def read_vtk(path):
    """The unstructured grid VTK's own legacy reader makes of a file."""
    reader = vtk.vtkUnstructuredGridReader()
    reader.SetFileName(str(path))
    reader.ReadAllScalarsOn()
    reader.Update()
    return reader.GetOutput()


def cell_volumes(grid):
    """VTK's signed measure (volume, area or length) of every cell of a grid."""
    from vtk.util.numpy_support import vtk_to_numpy

    f = vtk.vtkCellSizeFilter()
    f.SetInputData(grid)
    f.Update()
    out = f.GetOutput().GetCellData()
    return {k: vtk_to_numpy(out.GetArray(k)) for k in ("VertexCount", "Length", "Area", "Volume")}
