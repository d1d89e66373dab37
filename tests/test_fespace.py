"""Finite-element spaces, subspaces and element views from Python."""
import collections.abc
import gc
import inspect
import math
import re

import numpy as np
import pytest

import _quenlith as q
from helpers import raises

vtk = pytest.importorskip("vtk")


# ---------------------------------------------------------------------------
# Small meshes

def make_mesh(coords, element_type, cells):
    """A one-submesh mesh; `cells` lists node objects per cell."""
    mesh = q.Mesh(coords, element_type)
    for cell in cells:
        mesh[0].add_cell(cell)
    return mesh


@pytest.fixture
def tri():
    """The unit right triangle of a 2-D Coords, one TRI3 cell."""
    c = q.Coords(2)
    nodes = [c.add_node(p) for p in ([0, 0], [1, 0], [0, 1])]
    return c, nodes, make_mesh(c, "TRI3", [nodes])


@pytest.fixture
def two_subs():
    """A QUA4 square and a TRI3 triangle on one Coords, as a two-submesh mesh."""
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([0, 0], [1, 0], [1, 1], [0, 1], [2, 0])]
    quad = make_mesh(c, "QUA4", [[n[0], n[1], n[2], n[3]]])
    tria = make_mesh(c, "TRI3", [[n[1], n[4], n[2]]])
    return c, n, quad | tria


# ---------------------------------------------------------------------------
# The worked example of a single TRI3 cell

def test_single_triangle_tables_and_geometry(tri):
    _, _, mesh = tri
    fes = q.FiniteElementSpace(mesh)
    sub = fes[0]
    assert sub.gauss_count() == 3
    assert sub.gauss_xi(0) == [0.5, 0.0]
    assert sub.gauss_weight(2) == 0.16666666666666666
    assert sub.n_at_g(0) == [0.5, 0.5, 0.0]
    assert sub.dn_at_g(1) == [-1.0, -1.0, 1.0, 0.0, 0.0, 1.0]
    assert sub.jacobian(0, 0) == [1.0, 0.0, 0.0, 1.0]
    assert sub.det_jacobian(0, 0) == 1.0
    assert sub.dn_dx(0, 0) == [-1.0, -1.0, 1.0, 0.0, 0.0, 1.0]
    assert (sub.interpolation, sub.quadrature, sub.element_type) == ("LAGRANGE1", "GAUSS", "TRI3")
    assert (sub.ref_dim, sub.space_dim, sub.nodes_per_cell) == (2, 2, 3)
    with raises(RuntimeError, "SubFiniteElementSpace: cell index 1 ≥ cell_count 1"):
        sub.jacobian(1, 0)
    with raises(RuntimeError, "SubFiniteElementSpace: gauss index 3 ≥ n_g 3"):
        sub.jacobian(1, 3)  # the gauss index is checked first
    assert mesh[0].is_sealed


def test_properties_and_methods(tri):
    sub = q.FiniteElementSpace(tri[2])[0]
    for name in ("ref_dim", "space_dim", "nodes_per_cell", "element_type", "interpolation", "quadrature"):
        assert isinstance(inspect.getattr_static(q.SubFiniteElementSpace, name), type(q.SubMesh.is_sealed)), name
    assert callable(sub.gauss_count) and callable(sub.cell_count)
    with pytest.raises(AttributeError):
        sub.ref_dim = 3
    assert len(sub.n_at_g(0)) == sub.nodes_per_cell
    assert len(sub.dn_at_g(0)) == sub.nodes_per_cell * sub.ref_dim
    assert len(sub.jacobian(0, 0)) == sub.space_dim * sub.ref_dim
    assert len(sub.dn_dx(0, 0)) == sub.nodes_per_cell * sub.space_dim
    with raises(RuntimeError, "SubFiniteElementSpace: gauss index 3 ≥ n_g 3"):
        sub.gauss_xi(sub.gauss_count())


def test_signatures_and_docs():
    assert str(inspect.signature(q.FiniteElementSpace)) == "(mesh, interpolation='LAGRANGE1', quadrature='GAUSS')"
    assert str(inspect.signature(q.FiniteElementSpace.with_choices)) == "(mesh, choices)"
    assert q.FiniteElementSpace.with_choices.__text_signature__ == "($cls, mesh, choices)"
    assert q.SubFiniteElementSpace.jacobian.__text_signature__ == "($self, cell_idx, g)"
    assert q.Element.dump.__text_signature__ == "($self, precision=3, max_rows=20, max_cols=12)"
    assert q.FiniteElementSpace.lagrange1.__doc__ == "Convenience: same as `FiniteElementSpace(mesh)`."
    assert q.SubFiniteElementSpace.ref_dim.__doc__ == "Reference (parametric) dimension of the elements."
    assert q.Element.det_jacobian.__doc__ == "`|J|` at the `g`-th Gauss point."
    for cls in (q.SubFiniteElementSpace, q.Element):
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(TypeError):
        class Derived(q.FiniteElementSpace):  # noqa: F841 - not subclassable
            pass


# ---------------------------------------------------------------------------
# Construction and its errors

def test_constructor_names_and_errors(tri, two_subs):
    c, nodes, mesh = tri
    with raises(RuntimeError, "FiniteElementSpace: mesh has no submesh"):
        q.FiniteElementSpace(q.Mesh(c))
    with raises(RuntimeError, "SubFiniteElementSpace: POI1 submesh is not supported (no reference frame)"):
        q.FiniteElementSpace(make_mesh(c, "POI1", [[nodes[0]]]))
    with raises(TypeError, "argument 'interpolation': 'None' is not an instance of 'str'"):
        q.FiniteElementSpace(mesh, None)
    with raises(TypeError, "argument 'quadrature': 'int' object is not an instance of 'str'"):
        q.FiniteElementSpace(mesh, quadrature=3)
    with raises(TypeError, "argument 'mesh': 'Coords' object is not an instance of 'Mesh'"):
        q.FiniteElementSpace(c)
    with raises(ValueError, "unknown interpolation: P1"):
        q.FiniteElementSpace(mesh, "P1", "NOPE")
    with raises(ValueError, "unknown quadrature rule: NOPE"):
        q.FiniteElementSpace(mesh, "lagrange1", "NOPE")
    with raises(RuntimeError, "SubFiniteElementSpace: interpolation LAGRANGE2 not compatible with element type TRI3"):
        q.FiniteElementSpace(mesh, "lagrange2", "reduced")
    sub = q.FiniteElementSpace(mesh, "lagrange1", "reduced")[0]
    assert (sub.quadrature, sub.gauss_count()) == ("REDUCED", 1)
    line = q.Coords(1)
    pts = [line.add_node([x]) for x in (0, 1, 2)]
    with raises(RuntimeError,
                "SubFiniteElementSpace: space dim 1 < reference dim 2 of TRI3 (cannot define a Jacobian)"):
        q.FiniteElementSpace(make_mesh(line, "TRI3", [pts]))
    assert len(q.FiniteElementSpace.lagrange1(two_subs[2])) == 2


@pytest.mark.parametrize(
    "choices, exc, text",
    [
        ([], RuntimeError, "FiniteElementSpace: 0 (interpolation, quadrature) pair(s) supplied for 2 submesh(es)"),
        ([("LAGRANGE1", "GAUSS")], RuntimeError,
         "FiniteElementSpace: 1 (interpolation, quadrature) pair(s) supplied for 2 submesh(es)"),
        ([["LAGRANGE1", "GAUSS"]] * 2, TypeError, "argument 'choices': 'list' object is not an instance of 'tuple'"),
        ("LAGRANGE1", TypeError, "argument 'choices': Can't extract `str` to `Vec`"),
        (3, TypeError, "argument 'choices': 'int' object is not an instance of 'Sequence'"),
        ([("LAGRANGE1", "GAUSS", "X")] * 2, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("LAGRANGE1", 2)], TypeError, "argument 'choices': 'int' object is not an instance of 'str'"),
        ([("P2", "GAUSS")], RuntimeError, "unknown interpolation: P2"),
        ([("LAGRANGE1", "GAUSS"), ("LAGRANGE1", "fast"), ("x", "y")], RuntimeError, "unknown quadrature rule: fast"),
    ],
    ids=["empty", "one-for-two", "lists", "str", "int", "triple", "non-str-name", "bad-name-bad-count",
         "second-pair-bad"],
)
def test_with_choices_errors(two_subs, choices, exc, text):
    with raises(exc, text):
        q.FiniteElementSpace.with_choices(two_subs[2], choices)


def test_with_choices_builds_per_submesh_and_seals_partially(two_subs):
    c, n, mesh = two_subs
    fes = q.FiniteElementSpace.with_choices(mesh, [("LAGRANGE1", "REDUCED"), ("lagrange1", "gauss")])
    assert [s.gauss_count() for s in fes] == [1, 3]
    assert [s.element_type for s in fes] == ["QUA4", "TRI3"]
    with raises(RuntimeError, "FiniteElementSpace: mesh has no submesh"):
        q.FiniteElementSpace.with_choices(q.Mesh(c), [])
    # The second submesh is refused after the first one was built and sealed.
    a = make_mesh(c, "TRI3", [[n[0], n[1], n[3]]])
    b = make_mesh(c, "QUA4", [[n[0], n[1], n[2], n[3]]])
    with raises(RuntimeError, "SubFiniteElementSpace: interpolation LAGRANGE2 not compatible with element type QUA4"):
        q.FiniteElementSpace.with_choices(a | b, [("LAGRANGE1", "GAUSS"), ("LAGRANGE2", "GAUSS")])
    assert a[0].is_sealed and not b[0].is_sealed
    with pytest.raises(RuntimeError, match="submesh is sealed"):
        a[0].add_cell([n[1], n[2], n[3]])


# ---------------------------------------------------------------------------
# The list protocol

def test_union_indexing_and_unit(two_subs):
    fes = q.FiniteElementSpace(two_subs[2])
    assert len(fes | fes) == len(fes) == 2
    fes.add_sub(fes[0])
    assert len(fes) == 3 and len(fes | fes) == 2
    assert len(fes[0] | fes[0]) == 1 and len(fes[0] | fes[1]) == 2
    assert len(fes | fes[1]) == 2
    for bad in (lambda: fes[0] | fes, lambda: fes | 3, lambda: 3 | fes):
        with pytest.raises(TypeError, match="unsupported operand"):
            bad()
    assert repr(fes[-1]) == repr(fes[0])  # add_sub appended the first subspace again
    with raises(IndexError, "FiniteElementSpace index 3 out of range (len=3)"):
        fes[3]
    with raises(IndexError, "FiniteElementSpace index -4 out of range (len=3)"):
        fes[-4]
    for key in (1.0, "0", 2**70):
        with raises(TypeError, "FiniteElementSpace indices must be integers or slices"):
            fes[key]
    assert [s.element_type for s in fes[::-1]] == ["QUA4", "TRI3", "QUA4"]
    assert len(fes[3:1]) == 0 and isinstance(fes[3:1], q.FiniteElementSpace)
    with pytest.raises(ValueError):
        fes[::0]
    assert fes[True].element_type == "TRI3"
    assert fes[0] not in fes  # membership compares identity
    assert fes[1:2].unit().element_type == "TRI3"
    for f, n in ((fes[3:1], 0), (fes[:2], 2)):
        with raises(RuntimeError, f"expected a unitary FiniteElementSpace (exactly one subspace(s)), found {n}"):
            f.unit()
    with raises(TypeError, "argument 'sub': 'FiniteElementSpace' object is not an instance of 'SubFiniteElementSpace'"):
        fes.add_sub(fes)
    assert str(fes) == "FiniteElementSpace: 3 subspace(s)"


def test_mesh_round_trip(two_subs, tri):
    c, n, mesh = two_subs
    fes = q.FiniteElementSpace(mesh)
    assert repr(fes.mesh()) == repr(mesh)
    assert repr(fes[2:2].mesh()) == "Mesh { count: 0, items: [] }"
    twice = mesh[0:1]
    twice.add_sub(mesh[0])
    doubled = q.FiniteElementSpace(twice)
    assert len(doubled) == 2 and repr(doubled[0]) == repr(doubled[1])
    assert len(doubled.mesh()) == 1
    joined = q.FiniteElementSpace(mesh[0:1]) | fes[0]
    assert len(joined) == 2 and len(joined.mesh()) == 1
    with raises(RuntimeError, "mismatched Coords"):
        (fes | q.FiniteElementSpace(tri[2])).mesh()


def test_elements_lists_and_errors(tri):
    c, nodes, mesh = tri
    empty = q.Mesh(c, "TRI3")
    fes = q.FiniteElementSpace(mesh | empty)
    sub = fes[0]
    assert [e.index for e in sub] == [0] == [e.index for e in sub.elements()]
    assert fes.elements(1) == [] and len(fes[1]) == 0
    with raises(RuntimeError, "index 2 out of bounds (len=2)"):
        fes.element(2, 0)
    with raises(RuntimeError, "index 2 out of bounds (len=2)"):
        fes.elements(2)
    with raises(RuntimeError, "element index 1 out of range (cell_count=1)"):
        fes.element(0, 1)
    assert sub[-1].index == 0
    with raises(IndexError, "subspace element index 1 out of range (len=1)"):
        sub[len(sub)]
    with raises(IndexError, "subspace element index -2 out of range (len=1)"):
        sub[-2]
    with pytest.raises(TypeError, match=r"^argument 'idx': "):
        sub[0:1]
    with pytest.raises(OverflowError):
        sub[2**64]
    with raises(RuntimeError, "element index 1 out of range (cell_count=1)"):
        sub.element(len(sub))
    with pytest.raises(OverflowError):
        sub.element(-1)
    with pytest.raises(TypeError, match=r"^argument 'g': "):
        sub.gauss_weight(0.5)


def test_subspace_and_element_outlive_their_space(tri):
    fes = q.FiniteElementSpace(tri[2])
    sub, element = fes[0], fes[0][0]
    del fes
    gc.collect()
    assert sub.det_jacobian(0, 0) == 1.0
    assert element.det_jacobian(0) == 1.0
    del sub
    gc.collect()
    assert element.gauss_count == 3


# ---------------------------------------------------------------------------
# Element views

def test_element_matches_subspace_and_follows_node_moves(tri):
    c, nodes, mesh = tri
    sub = q.FiniteElementSpace(mesh)[0]
    e = sub[0]
    assert (e.index, e.gauss_count, e.ref_dim, e.space_dim, e.nodes_per_cell) == (0, 3, 2, 2, 3)
    for g in range(e.gauss_count):
        assert e.jacobian(g) == sub.jacobian(0, g)
        assert e.det_jacobian(g) == sub.det_jacobian(0, g)
        assert e.dn_dx(g) == sub.dn_dx(0, g)
        assert e.n_at_g(g) == sub.n_at_g(g)
        assert e.dn_at_g(g) == sub.dn_at_g(g)
        assert e.gauss_xi(g) == sub.gauss_xi(g)
        assert e.gauss_weight(g) == sub.gauss_weight(g)
    assert e.jacobian(1) == [1.0, 0.0, 0.0, 1.0] and e.det_jacobian(2) == 1.0
    nodes[1].set_coord([2, 0])
    assert e.det_jacobian(0) == 2.0
    assert e.jacobian(0) == [2.0, 0.0, 0.0, 1.0]
    with raises(RuntimeError, "SubFiniteElementSpace: gauss index 3 ≥ n_g 3"):
        e.gauss_xi(e.gauss_count)
    with pytest.raises(OverflowError):
        e.gauss_xi(-1)
    # A second configuration: the geometry follows the active one.
    c.select(c.add_config("moved"))
    nodes[2].set_coord([0, 3])
    assert e.det_jacobian(0) == 6.0
    c.select(0)
    assert e.det_jacobian(0) == 2.0


def test_element_cell_nodes_and_texts(tri, capsys):
    c, nodes, mesh = tri
    e = q.FiniteElementSpace(mesh)[0][0]
    assert e.cell().index == e.index
    before = [c.refcount(n.id) for n in nodes]
    got = e.nodes()
    assert [n.id for n in got] == [0, 1, 2]
    assert [c.refcount(n.id) for n in nodes] == [r + 1 for r in before]
    del got
    assert [c.refcount(n.id) for n in nodes] == before
    assert repr(e) == "Element { idx: 0 }"
    assert str(e) == "Element<TRI3> #0"
    e.cell().dump()
    cell_dump = capsys.readouterr().out
    e.dump()
    assert capsys.readouterr().out == "Element #0 (3 Gauss point(s))\n" + cell_dump
    assert cell_dump.startswith("Cell<TRI3> #0\nnode")


def test_det_jacobian_never_negative():
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([0, 0], [0, 1], [1, 0])]  # clockwise
    sub = q.FiniteElementSpace(make_mesh(c, "TRI3", [n]))[0]
    assert sub.jacobian(0, 0) == [0.0, 1.0, 1.0, 0.0]
    assert sub.det_jacobian(0, 0) == 1.0


def test_degenerate_cell(tri):
    c, nodes, mesh = tri
    sub = q.FiniteElementSpace(mesh)[0]
    nodes[2].set_coord([2, 0])  # collinear with the other two
    assert sub.det_jacobian(0, 0) == 0.0
    with raises(RuntimeError, "inverse_small: singular matrix"):
        sub.dn_dx(0, 0)


# ---------------------------------------------------------------------------
# Texts

def test_subspace_texts(tri, capsys):
    fes = q.FiniteElementSpace(tri[2])
    sub = fes[0]
    assert str(sub) == "SubFiniteElementSpace<TRI3, LAGRANGE1, GAUSS>: 3 Gauss point(s)"
    assert re.fullmatch(
        r"SubFiniteElementSpace \{ submesh: Handle<quenlith::containers::mesh::SubMesh>\{ idx: \d+, gen: \d+ \}, "
        r"interpolation: Lagrange1, quadrature: Gauss, space_dim: 2, n_g: 3 \}", repr(sub))
    assert repr(fes) == f"FiniteElementSpace {{ count: 1, items: [{repr(sub)}] }}"
    sub.dump(precision=1, max_rows=2)
    assert capsys.readouterr().out == (
        "SubFiniteElementSpace<TRI3, LAGRANGE1, GAUSS>: 3 Gauss point(s)\n"
        "g   ξ0   ξ1  weight\n"
        "0  0.5  0.0     0.2\n"
        "1  0.5  0.5     0.2\n"
        "⋮    ⋮    ⋮       ⋮\n"
        "… (1 ligne(s) de plus)\n\n")
    fes.dump(max_cols=1)
    assert capsys.readouterr().out == (
        "FiniteElementSpace: 1 subspace(s)\n"
        "── [0] ──\n"
        "  SubFiniteElementSpace<TRI3, LAGRANGE1, GAUSS>: 3 Gauss point(s)\n"
        "  g     ξ0  …\n"
        "  0  0.500  …\n"
        "  1  0.500  …\n"
        "  2  0.000  …\n"
        "  … (2 colonne(s) de plus)\n\n")
    fes[1:1].dump()
    assert capsys.readouterr().out == "FiniteElementSpace: 0 subspace(s)\n\n"


# ---------------------------------------------------------------------------
# Shape functions and quadrature through the public classes, against VTK's cells

# (type, interpolation, VTK cell class, reference dimension, box-like axes, exact degree of GAUSS)
CELLS = [
    ("SEG2", "LAGRANGE1", vtk.vtkLine, 1, True, 3),
    ("TRI3", "LAGRANGE1", vtk.vtkTriangle, 2, False, 2),
    ("QUA4", "LAGRANGE1", vtk.vtkQuad, 2, True, 3),
    ("TET4", "LAGRANGE1", vtk.vtkTetra, 3, False, 2),
    ("PENTA6", "LAGRANGE1", vtk.vtkWedge, 3, False, 2),
    ("HEX8", "LAGRANGE1", vtk.vtkHexahedron, 3, True, 3),
    ("SEG3", "LAGRANGE2", vtk.vtkQuadraticEdge, 1, True, 5),
    ("TRI6", "LAGRANGE2", vtk.vtkQuadraticTriangle, 2, False, 4),
    ("QUA8", "LAGRANGE2", vtk.vtkQuadraticQuad, 2, True, 5),
    ("TET10", "LAGRANGE2", vtk.vtkQuadraticTetra, 3, False, 4),
    ("PENTA15", "LAGRANGE2", vtk.vtkQuadraticWedge, 3, False, 4),
    ("HEX20", "LAGRANGE2", vtk.vtkQuadraticHexahedron, 3, True, 5),
    ("QUA9", "LAGRANGE2", vtk.vtkBiQuadraticQuad, 2, True, 5),
    ("HEX27", "LAGRANGE2", vtk.vtkTriQuadraticHexahedron, 3, True, 5),
]
CELL_IDS = [c[0] for c in CELLS]


def vtk_reference_nodes(cls, dim, box):
    """VTK's node positions in our reference coordinates ([-1, 1] boxes)."""
    cell = cls()
    pc = cell.GetParametricCoords()
    pts = np.array([[pc[3 * i + k] for k in range(dim)] for i in range(cell.GetNumberOfPoints())])
    return 2 * pts - 1 if box else pts


def to_vtk(xi, box):
    p = [0.0, 0.0, 0.0]
    for k, v in enumerate(xi):
        p[k] = (v + 1) / 2 if box else v
    return p


def space_on(nodes_xyz, element_type, interpolation, quadrature="GAUSS"):
    c = q.Coords(nodes_xyz.shape[1])
    nodes = [c.add_node(list(map(float, x))) for x in nodes_xyz]
    mesh = make_mesh(c, element_type, [nodes])
    return q.FiniteElementSpace(mesh, interpolation, quadrature)[0], nodes


@pytest.mark.parametrize("element_type, interpolation, cls, dim, box, degree", CELLS, ids=CELL_IDS)
def test_shape_functions_match_vtk_node_order(element_type, interpolation, cls, dim, box, degree):
    ref = vtk_reference_nodes(cls, dim, box)
    sub, _ = space_on(ref, element_type, interpolation)
    cell = cls()
    n = cell.GetNumberOfPoints()
    assert sub.nodes_per_cell == n and sub.ref_dim == dim
    for g in range(sub.gauss_count()):
        w = [0.0] * n
        cell.InterpolateFunctions(to_vtk(sub.gauss_xi(g), box), w)
        np.testing.assert_allclose(sub.n_at_g(g), w, rtol=0, atol=1e-14)
        # On the reference cell itself the map is the identity.
        np.testing.assert_allclose(sub.jacobian(0, g), np.eye(dim).ravel(), rtol=0, atol=1e-14)


def monomial_exponents(dim, degree):
    out = []
    for a in range(degree + 1):
        for b in range(degree + 1 - a if dim > 1 else 1):
            for c in range(degree + 1 - a - b if dim > 2 else 1):
                out.append((a, b, c)[:dim])
    return out


def exact_integral(element_type, exps, h):
    """The integral of prod x_k^e_k over the reference cell scaled by h (boxes first shifted to [0, 2])."""
    f = math.factorial
    if element_type.startswith(("SEG", "QUA", "HEX")):
        return math.prod((2 * h) ** (e + 1) / (e + 1) for e in exps)
    if element_type.startswith("PENTA"):
        a, b, c = exps
        return h ** (a + b + 2) * f(a) * f(b) / f(a + b + 2) * h ** (c + 1) / (c + 1)
    s = sum(exps)
    return h ** (s + len(exps)) * math.prod(f(e) for e in exps) / f(s + len(exps))


@pytest.mark.parametrize("element_type, interpolation, cls, dim, box, degree", CELLS, ids=CELL_IDS)
def test_gauss_rules_integrate_monomials_exactly(element_type, interpolation, cls, dim, box, degree):
    h = 1.5
    ref = vtk_reference_nodes(cls, dim, box)
    physical = (ref + 1) * h if box else ref * h
    for quadrature, exact_degree in (("GAUSS", degree), ("REDUCED", 1)):
        sub, _ = space_on(physical, element_type, interpolation, quadrature)
        points, weights = [], []
        for g in range(sub.gauss_count()):
            points.append(np.array(sub.n_at_g(g)) @ physical)
            weights.append(sub.gauss_weight(g) * sub.det_jacobian(0, g))
        points, weights = np.array(points), np.array(weights)
        for exps in monomial_exponents(dim, exact_degree):
            got = float(np.sum(weights * np.prod(points ** np.array(exps), axis=1)))
            assert got == pytest.approx(exact_integral(element_type, exps, h), rel=1e-13), (quadrature, exps)


@pytest.mark.parametrize("element_type, interpolation, cls, dim, box, degree", CELLS, ids=CELL_IDS)
def test_physical_derivatives_reproduce_linear_fields(element_type, interpolation, cls, dim, box, degree):
    # A distorted cell embedded in 3-D (rotated when its dimension is lower): the physical
    # derivatives must still reproduce any linear field (the tangent projector) and sum to zero.
    rng = np.random.default_rng(7)
    ref = vtk_reference_nodes(cls, dim, box)
    distorted = ref + 0.05 * rng.standard_normal(ref.shape)
    embedded = np.zeros((len(ref), 3))
    embedded[:, :dim] = distorted
    angle = 0.4
    rot = np.array([[math.cos(angle), 0, math.sin(angle)], [0, 1, 0], [-math.sin(angle), 0, math.cos(angle)]])
    xyz = embedded @ rot.T
    sub, _ = space_on(xyz, element_type, interpolation)
    assert sub.space_dim == 3
    for g in range(sub.gauss_count()):
        d = np.array(sub.dn_dx(0, g)).reshape(-1, 3)
        np.testing.assert_allclose(d.sum(axis=0), 0, atol=1e-11)
        grad = d.T @ xyz  # d x_b / d x_a: the projector on the cell's tangent space
        tangent = rot[:, :dim]
        np.testing.assert_allclose(grad, tangent @ tangent.T, atol=1e-11)


def test_area_of_a_plate_with_a_quadratic_edge():
    # One TRI6 whose edge 0-1 bulges along a parabola y = 4 b x (1 - x): the isoparametric
    # map follows it exactly, so the area is 1/2 - 2b/3.
    b = 0.2
    c = q.Coords(2)
    pts = [[0, 0], [1, 0], [0, 1], [0.5, b], [0.5, 0.5], [0, 0.5]]
    nodes = [c.add_node(p) for p in pts]
    sub = q.FiniteElementSpace(make_mesh(c, "TRI6", [nodes]), "LAGRANGE2")[0]
    area = sum(sub.gauss_weight(g) * sub.det_jacobian(0, g) for g in range(sub.gauss_count()))
    assert area == pytest.approx(0.5 - 2 * b / 3, rel=1e-14)


# ---------------------------------------------------------------------------
# Geometry follows the active coordinates, checked against numpy

def expected_geometry(xyz, d, r):
    """J (s x r), the measure and dN/dx (npc x s) from node coordinates and dN/dxi."""
    d = np.asarray(d).reshape(-1, r)
    j = xyz.T @ d
    g = j.T @ j
    det = np.linalg.det(g)
    return j, (math.sqrt(det) if det > 0 else 0.0), d @ np.linalg.inv(g) @ j.T


def test_geometry_follows_moves_and_configurations_against_numpy():
    c = q.Coords(3)
    start = np.array([[0.0, 0.0, 0.0], [2.0, 0.2, 0.1], [2.3, 1.7, -0.2], [-0.1, 1.2, 0.3]])
    nodes = [c.add_node(list(p)) for p in start]
    sub = q.FiniteElementSpace(make_mesh(c, "QUA4", [nodes]))[0]
    elements = sub.elements()  # views made before any change

    def check(xyz):
        for g in range(sub.gauss_count()):
            j, det, dn_dx = expected_geometry(xyz, sub.dn_at_g(g), 2)
            for got_j, got_det, got_d in ((sub.jacobian(0, g), sub.det_jacobian(0, g), sub.dn_dx(0, g)),
                                          (elements[0].jacobian(g), elements[0].det_jacobian(g),
                                           elements[0].dn_dx(g))):
                np.testing.assert_allclose(got_j, j.ravel(), rtol=1e-14, atol=1e-15)
                assert got_det == pytest.approx(det, rel=1e-14)
                np.testing.assert_allclose(got_d, dn_dx.ravel(), rtol=1e-13, atol=1e-14)

    check(start)
    moved = start.copy()
    moved[2] = [3.0, 2.5, 1.0]
    nodes[2].set_coord(list(moved[2]))
    check(moved)
    # A new configuration starts as a copy of the active one; edits there leave the first alone.
    c.select(c.add_config("deformed"))
    check(moved)
    deformed = moved * [1.5, 0.5, 2.0]
    for n, p in zip(nodes, deformed):
        n.set_coord(list(p))
    check(deformed)
    c.select(0)
    check(moved)
    c.select(1)
    check(deformed)


# ---------------------------------------------------------------------------
# Degenerate and non-finite cells

def degenerate_case(dim, element_type, points, repeat=None):
    c = q.Coords(dim)
    nodes = [c.add_node(p) for p in points]
    cell = [nodes[i] for i in repeat] if repeat else nodes
    return q.FiniteElementSpace(make_mesh(c, element_type, [cell]))[0]


@pytest.mark.parametrize(
    "dim, element_type, points, repeat",
    [
        (2, "TRI3", [[0, 0], [1, 1], [2, 2]], None),
        (2, "TRI3", [[0.5, 0.5]] * 3, None),
        (2, "TRI3", [[0, 0], [1, 0]], [0, 1, 0]),
        (3, "SEG2", [[1, 2, 3], [1, 2, 3]], None),
        (3, "TET4", [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], None),
        (2, "QUA4", [[0, 0], [2, 0]], [0, 1, 1, 0]),
    ],
    ids=["collinear", "zero-size", "repeated-node", "zero-length-seg-3d", "flat-tet", "collapsed-quad"],
)
def test_degenerate_cells_measure_zero_and_refuse_derivatives(dim, element_type, points, repeat):
    sub = degenerate_case(dim, element_type, points, repeat)
    e = sub[0]
    for g in range(sub.gauss_count()):
        assert sub.det_jacobian(0, g) == 0.0 == e.det_jacobian(g)
        for call in (lambda: sub.dn_dx(0, g), lambda: e.dn_dx(g)):
            with raises(RuntimeError, "inverse_small: singular matrix"):
                call()


def test_non_finite_coordinates_give_zero_measure_and_non_finite_derivatives(tri):
    _, nodes, mesh = tri
    sub = q.FiniteElementSpace(mesh)[0]
    for bad in (math.nan, math.inf):
        nodes[1].set_coord([bad, 0.0])
        assert sub.det_jacobian(0, 0) == 0.0  # a determinant that is not a positive number
        assert all(math.isnan(v) for v in sub.dn_dx(0, 0))  # no singular error: not a number
        j = sub.jacobian(0, 0)
        assert not math.isfinite(j[0]) and j[2:] == [0.0, 1.0]


@pytest.mark.parametrize("edge", [0.004, 1e-6])
def test_small_well_shaped_cells_are_not_singular(edge):
    # The singularity test is relative to the cell's own size: a small cube or triangle is regular.
    unit = [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]]
    hexa = degenerate_case(3, "HEX8", [[edge * v for v in p] for p in unit])
    for g in range(hexa.gauss_count()):
        np.testing.assert_allclose(hexa.dn_dx(0, g), np.array(hexa.dn_at_g(g)) / (edge / 2), rtol=1e-12)
        assert hexa.det_jacobian(0, g) == pytest.approx((edge / 2) ** 3, rel=1e-12)
    tria = degenerate_case(2, "TRI3", [[0, 0], [edge, 0], [0, edge]])
    np.testing.assert_allclose(tria.dn_dx(0, 0), np.array([-1, -1, 1, 0, 0, 1]) / edge, rtol=1e-12)


# ---------------------------------------------------------------------------
# Index arguments at the ends of their ranges

U64_MAX = 2**64 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1

INDEX_CASES = [
    # unsigned method arguments: out of range of u64 -> OverflowError; in range but too large -> RuntimeError
    (lambda f, s, e: s.element(U64_MAX), RuntimeError, f"element index {U64_MAX} out of range (cell_count=1)"),
    (lambda f, s, e: s.element(np.uint64(U64_MAX)), RuntimeError,
     f"element index {U64_MAX} out of range (cell_count=1)"),
    (lambda f, s, e: s.element(2**64), OverflowError, None),
    (lambda f, s, e: f.element(U64_MAX, 0), RuntimeError, f"index {U64_MAX} out of bounds (len=1)"),
    (lambda f, s, e: f.element(0, U64_MAX), RuntimeError, f"element index {U64_MAX} out of range (cell_count=1)"),
    (lambda f, s, e: f.element(0, -1), OverflowError, None),
    (lambda f, s, e: f.elements(U64_MAX), RuntimeError, f"index {U64_MAX} out of bounds (len=1)"),
    (lambda f, s, e: f.elements(-1), OverflowError, None),
    (lambda f, s, e: s.jacobian(U64_MAX, 0), RuntimeError,
     f"SubFiniteElementSpace: cell index {U64_MAX} ≥ cell_count 1"),
    (lambda f, s, e: s.dn_dx(U64_MAX, U64_MAX), RuntimeError, f"SubFiniteElementSpace: gauss index {U64_MAX} ≥ n_g 3"),
    (lambda f, s, e: s.det_jacobian(0, 2**64), OverflowError, None),
    (lambda f, s, e: s.gauss_weight(U64_MAX), RuntimeError, f"SubFiniteElementSpace: gauss index {U64_MAX} ≥ n_g 3"),
    (lambda f, s, e: s.dn_at_g(-1), OverflowError, None),
    (lambda f, s, e: e.dn_dx(U64_MAX), RuntimeError, f"SubFiniteElementSpace: gauss index {U64_MAX} ≥ n_g 3"),
    (lambda f, s, e: e.n_at_g(2**64), OverflowError, None),
    (lambda f, s, e: e.dump(max_rows=-1), OverflowError, None),
    (lambda f, s, e: s.dump(precision=2**64), OverflowError, None),
    (lambda f, s, e: f.dump(max_cols=-1), OverflowError, None),
    # subscripts of a subspace: signed 64-bit, negative from the end
    (lambda f, s, e: s[I64_MAX], IndexError, f"subspace element index {I64_MAX} out of range (len=1)"),
    (lambda f, s, e: s[I64_MIN], IndexError, f"subspace element index {I64_MIN} out of range (len=1)"),
    (lambda f, s, e: s[I64_MAX + 1], OverflowError, None),
    (lambda f, s, e: s[I64_MIN - 1], OverflowError, None),
    # subscripts of a space: any conversion failure is the class's TypeError
    (lambda f, s, e: f[I64_MAX], IndexError, f"FiniteElementSpace index {I64_MAX} out of range (len=1)"),
    (lambda f, s, e: f[I64_MIN], IndexError, f"FiniteElementSpace index {I64_MIN} out of range (len=1)"),
    (lambda f, s, e: f[I64_MAX + 1], TypeError, "FiniteElementSpace indices must be integers or slices"),
    (lambda f, s, e: f[None], TypeError, "FiniteElementSpace indices must be integers or slices"),
]


@pytest.mark.parametrize("call, exc, text", INDEX_CASES)
def test_index_arguments_at_their_limits(tri, call, exc, text):
    fes = q.FiniteElementSpace(tri[2])
    sub = fes[0]
    with (raises(exc, text) if text else pytest.raises(exc)):
        call(fes, sub, sub[0])


# ---------------------------------------------------------------------------
# Holds: a call that runs Python code while it holds an object refuses changes to it

def test_reentrant_changes_are_refused_by_holds(two_subs):
    c, n, mesh = two_subs
    fes = q.FiniteElementSpace(mesh)

    class GrowingIndex:
        def __index__(self):
            fes.add_sub(fes[0])  # runs while the slice holds `fes` shared
            return 0

    with raises(RuntimeError, "Already borrowed"):
        fes[GrowingIndex():]
    assert len(fes) == 2

    class GrowingChoices(collections.abc.Sequence):
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            mesh.add_sub(mesh[0])  # runs while with_choices holds `mesh` shared
            return ("LAGRANGE1", "GAUSS")

    with raises(RuntimeError, "Already borrowed"):
        q.FiniteElementSpace.with_choices(mesh, GrowingChoices())
    assert len(mesh) == 2


def test_union_declines_objects_of_other_classes(tri):
    c, nodes, mesh = tri
    fes = q.FiniteElementSpace(mesh)
    sub, element = fes[0], fes[0][0]
    pairs = [(fes, nodes[0]), (nodes[0], fes), (sub, nodes[0]), (fes, mesh), (mesh, fes), (sub, mesh[0]),
             (mesh[0], sub), (element, sub), (sub, element), (fes, element)]
    for left, right in pairs:
        with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for \|"):
            left | right
    assert fes[0] is not fes[0] and len(fes | sub) == 1  # each subscript makes a new view of one handle
