"""Models: the physics kinds built on spaces, their variables, tags, spaces and texts;
the container protocol of Model (indexing, slicing, unions, unit, add_sub, filter);
the multi-point constraint."""
import inspect

import pytest

import _quenlith as q
from helpers import raises


def coords_line(dim, n):
    c = q.Coords(dim)
    return c, [c.add_node([float(i)] + [0.0] * (dim - 1)) for i in range(n)]


def bars(dim, n_cells=2):
    c, nodes = coords_line(dim, n_cells + 1)
    m = q.Mesh(c, "SEG2")
    for i in range(n_cells):
        m[0].add_cell([nodes[i], nodes[i + 1]])
    return q.FiniteElementSpace(m)


def triangles():
    c = q.Coords(2)
    n = [c.add_node(p) for p in ([0, 0], [1, 0], [0, 1], [1, 1])]
    m = q.Mesh(c, "TRI3")
    m[0].add_cell([n[0], n[1], n[2]])
    m[0].add_cell([n[1], n[3], n[2]])
    return q.FiniteElementSpace(m)


def tetrahedra():
    c = q.Coords(3)
    n = [c.add_node(p) for p in ([0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 1])]
    m = q.Mesh(c, "TET4")
    m[0].add_cell([n[0], n[1], n[2], n[3]])
    m[0].add_cell([n[1], n[2], n[3], n[4]])
    return q.FiniteElementSpace(m)


def three_subspaces():
    c, nodes = coords_line(2, 4)
    meshes = []
    for i in range(3):
        m = q.Mesh(c, "SEG2")
        m[0].add_cell([nodes[i], nodes[i + 1]])
        meshes.append(m)
    return q.FiniteElementSpace(meshes[0] | meshes[1] | meshes[2])


U2 = (["u_x", "u_y"], ["f_x", "f_y"])
U3 = (["u_x", "u_y", "u_z"], ["f_x", "f_y", "f_z"])

# (class method, space, extra args, kind, primal, dual, tag, material components, describe title)
KINDS = [
    ("heat_conduction", triangles, (), "HeatConduction", ["T"], ["q"], "thermal", ["k"], "HeatConduction"),
    ("convection", lambda: bars(2), (), "Convection", ["T"], ["q"], "thermal", ["h"], "Convection"),
    ("truss", lambda: bars(3), (), "Truss", *U3, "mechanical", ["E", "A"], "Truss"),
    ("truss", lambda: bars(1), (), "Truss", ["u_x"], ["f_x"], "mechanical", ["E", "A"], "Truss"),
    ("elasticity", triangles, ("plane_stress",), "Elasticity", *U2, "mechanical", ["E", "nu"],
     "Elasticity(PlaneStress)"),
    ("elasticity", tetrahedra, ("solid",), "Elasticity", *U3, "mechanical", ["E", "nu"], "Elasticity(Solid)"),
    ("plasticity", triangles, ("plane_strain",), "Plasticity", *U2, "mechanical", ["E", "nu", "sigma_y"],
     "Plasticity(PlaneStrain)"),
    ("mazars", tetrahedra, ("solid",), "Mazars", *U3, "mechanical",
     ["E", "nu", "eps_d0", "A_t", "B_t", "A_c", "B_c"], "Mazars(Solid)"),
    ("timoshenko", lambda: bars(1), (), "Timoshenko", ["w", "theta"], ["f_w", "m_theta"], "mechanical",
     ["E", "I", "G", "A_s"], "Timoshenko"),
    ("frame", lambda: bars(2), (), "Frame", ["u_x", "u_y", "rz"], ["f_x", "f_y", "m_z"], "mechanical",
     ["E", "A", "I", "G", "A_s"], "Frame"),
    ("frame3d", lambda: bars(3), (), "Frame3d", ["u_x", "u_y", "u_z", "r_x", "r_y", "r_z"],
     ["f_x", "f_y", "f_z", "m_x", "m_y", "m_z"], "mechanical", ["E", "A", "I_y", "I_z", "J", "G", "A_sy", "A_sz"],
     "Frame3d"),
]


@pytest.mark.parametrize("method, make_space, args, kind, primal, dual, tag, materials, title", KINDS,
                         ids=[f"{k[0]}-{i}" for i, k in enumerate(KINDS)])
def test_every_physics_kind_answers_its_queries_and_texts(method, make_space, args, kind, primal, dual, tag,
                                                          materials, title, capsys):
    fes = make_space()
    model = getattr(q.Model, method)(fes, *args)
    assert type(model) is q.Model and len(model) == 1
    sub = model[0]
    assert type(sub) is q.SubModel
    assert sub.primal_vars() == primal and sub.dual_vars() == dual
    assert model.primal_vars() == primal and model.dual_vars() == dual
    assert sub.physics() == [tag]
    assert sub.has_behavior() is True
    assert sub.material_components() == materials
    assert repr(sub.fespace()) == repr(fes[0])  # the subspace it was built on (bending for Timoshenko)
    assert str(sub) == f"SubModel<{kind}>"
    assert repr(sub) == f'SubModel {{ kind: "{kind}", physics: [{tag.capitalize()}] }}'
    n_nodes = fes[0].cell_count() + 1 if fes[0].element_type == "SEG2" else {"TRI3": 4, "TET4": 5}[
        fes[0].element_type]
    describe = (f"SubModel<{title}>\n  primal var(s): {', '.join(primal)}\n  dual var(s):   {', '.join(dual)}\n"
                f"  support: {n_nodes} node(s)")
    if kind == "Timoshenko":
        describe += " (bending: full Gauss, shear: reduced)"
    assert sub.dump() is None
    assert capsys.readouterr().out == describe + "\n"
    model.dump(precision=1)
    assert capsys.readouterr().out == "Model: 1 sub-model(s)\n── [0] ──\n" + "".join(
        "  " + line + "\n" for line in describe.split("\n")) + "\n"
    assert model.dual_of(primal[-1]) == dual[-1]
    assert repr(model.fespace()) == repr(fes)


@pytest.mark.parametrize("call, exc, text", [
    (lambda: q.Model.elasticity(tetrahedra(), "plane_strain"), RuntimeError,
     "Elasticity: model PlaneStrain is incompatible with a 3-D space (2-D ⇒ plane_stress|plane_strain, 3-D ⇒ solid)"),
    (lambda: q.Model.plasticity(bars(1), "plane_stress"), RuntimeError,
     "Plasticity: model PlaneStress is incompatible with a 1-D space (2-D ⇒ plane_stress|plane_strain, 3-D ⇒ solid)"),
    (lambda: q.Model.mazars(triangles(), "solid"), RuntimeError,
     "Mazars: model Solid is incompatible with a 2-D space (2-D ⇒ plane_stress|plane_strain, 3-D ⇒ solid)"),
    (lambda: q.Model.elasticity(triangles(), "Solid"), ValueError,
     "elasticity: unknown model 'Solid' (expected plane_stress|plane_strain|solid)"),
    (lambda: q.Model.plasticity(q.FiniteElementSpace(q.Mesh(q.Coords(2), "TRI3"))[0:0], "3d"), ValueError,
     "plasticity: unknown model '3d' (expected plane_stress|plane_strain|solid)"),
    (lambda: q.Model.mazars(triangles(), ""), ValueError,
     "mazars: unknown model '' (expected plane_stress|plane_strain|solid)"),
    (lambda: q.Model.timoshenko(triangles()), RuntimeError, "Timoshenko: expected SEG2 elements, got TRI3"),
    (lambda: q.Model.timoshenko(bars(2)), RuntimeError,
     "Timoshenko: pure planar (w, θ) beam requires a 1-D configuration, got 2-D"),
    (lambda: q.Model.frame(triangles()), RuntimeError, "Frame: expected SEG2 elements, got TRI3"),
    (lambda: q.Model.frame(bars(3)), RuntimeError, "Frame: planar frame requires a 2-D configuration, got 3-D"),
    (lambda: q.Model.frame3d(bars(2)), RuntimeError, "Frame3d: space frame requires a 3-D configuration, got 2-D"),
    (lambda: q.Model.truss(triangles()), RuntimeError, "Truss: expected SEG2 elements, got TRI3"),
    (lambda: q.Model.truss(bars(4)), RuntimeError, "Truss: a bar needs a 1-D, 2-D or 3-D configuration, got 4-D"),
    (lambda: q.Model.heat_conduction(triangles()[0]), TypeError,
     "argument 'fespace': 'SubFiniteElementSpace' object is not an instance of 'FiniteElementSpace'"),
    (lambda: q.Model.elasticity(triangles(), 3), TypeError, None),
    (lambda: q.Model.frame(None), TypeError, "argument 'fespace': 'None' is not an instance of 'FiniteElementSpace'"),
])
def test_construction_errors(call, exc, text):
    if text is None:
        with pytest.raises(exc, match="^argument 'model'"):
            call()
    else:
        with raises(exc, text):
            call()


def test_construction_follows_the_subspaces():
    fes = three_subspaces()
    model = q.Model.heat_conduction(fes)
    assert len(model) == 3
    assert [repr(model[i].fespace()) for i in range(3)] == [repr(fes[i]) for i in range(3)]
    assert len(q.Model.heat_conduction(fes[0:0])) == 0
    # Every subspace valid but for the last: the call fails as a whole.
    mixed = bars(2) | triangles()
    with raises(RuntimeError, "Frame: expected SEG2 elements, got TRI3"):
        q.Model.frame(mixed)


def test_empty_model_protocol():
    m = q.Model()
    assert len(m) == 0
    assert str(m) == "Model: 0 sub-model(s)"
    assert repr(m) == "Model { count: 0, items: [] }"
    with raises(RuntimeError, "expected a unitary Model (exactly one sub-model(s)), found 0"):
        m.unit()
    with raises(IndexError, "Model index 0 out of range (len=0)"):
        m[0]
    assert type(m[:]) is q.Model and len(m[:]) == 0
    assert m.primal_vars() == [] and m.dual_vars() == [] and m.dual_of("T") is None
    with raises(RuntimeError, "Model::fespace: model has no domain sub-model to integrate on"):
        m.fespace()


def test_indexing_and_slicing():
    m = q.Model.frame(three_subspaces())
    items = [repr(m[i].fespace()) for i in range(3)]
    assert repr(m[-1].fespace()) == items[2]
    with raises(IndexError, "Model index -4 out of range (len=3)"):
        m[-4]
    for key in (1.0, "1", 2 ** 70):
        with raises(TypeError, "Model indices must be integers or slices"):
            m[key]
    rev = m[::-1]
    assert [repr(s.fespace()) for s in rev] == items[::-1]
    assert len(m[1:1]) == 0
    with pytest.raises(ValueError):
        m[::0]
    assert repr(m) == "Model { count: 3, items: [" + ", ".join(
        ['SubModel { kind: "Frame", physics: [Mechanical] }'] * 3) + "] }"
    with raises(RuntimeError, "expected a unitary Model (exactly one sub-model(s)), found 3"):
        m.unit()
    assert repr(m[1:2].unit().fespace()) == items[1]


def test_unions_and_add_sub():
    fes = triangles()
    e = q.Model.elasticity(fes, "plane_stress")
    h = q.Model.heat_conduction(fes)
    s = e.unit()
    u = e | h
    assert [x.physics() for x in u] == [["mechanical"], ["thermal"]]
    assert len(u | u) == 2 and len(u | s) == 2
    assert len(h | s) == 2 and (h | s)[1].physics() == ["mechanical"]
    assert len(s | s) == 1 and len(s | h.unit()) == 2
    with pytest.raises(TypeError):
        s | u
    with pytest.raises(TypeError):
        u | 1
    grown = q.Model()
    assert grown.add_sub(s) is None
    grown.add_sub(s)
    assert len(grown) == 2
    assert len(grown | q.Model()) == 1
    assert len(e) == 1  # operands unchanged
    with pytest.raises(TypeError):
        grown.add_sub(e)


def test_queries_over_several_sub_models():
    fes = triangles()
    m = q.Model.elasticity(fes, "plane_stress") | q.Model.heat_conduction(fes)
    m.add_sub(q.Model.elasticity(fes, "plane_strain").unit())
    assert m.primal_vars() == ["u_x", "u_y", "T"]
    assert m.dual_vars() == ["f_x", "f_y", "q"]
    assert m.dual_of("u_y") == "f_y" and m.dual_of("U_y") is None
    space = m.fespace()
    assert len(space) == 3 and all(repr(space[i]) == repr(fes[0]) for i in range(3))
    assert len(m.filter("thermal")) == 1
    assert len(m.filter("mechanical")) == 2
    assert len(m.filter("other")) == 0
    assert len(q.Model.frame(bars(2)).filter("thermal")) == 0
    with raises(ValueError, "filter: unknown physics 'Thermal' (expected mechanical|thermal|constraint|other)"):
        m.filter("Thermal")


def mpc_meshes():
    c = q.Coords(2)
    nodes = [c.add_node([float(i), 0.0]) for i in range(6)]

    def poi(ids):
        m = q.Mesh(c, "POI1")
        for i in ids:
            m[0].add_cell([nodes[i]])
        return m
    return poi([0, 1]), poi([2, 3]), poi([4, 5])


def test_mpc_builds_one_constraint_sub_model(capsys):
    mult, a, b = mpc_meshes()
    m = q.Model.mpc([(a, "u_x", "f_x", 1), (b, "u_y", "f_y", -0.25)], mult, sense="≥")
    assert len(m) == 1
    s = m.unit()
    assert s.primal_vars() == ["lambda_mpc"] and s.dual_vars() == ["mpc_rhs"]
    assert s.physics() == ["constraint"]
    assert s.has_behavior() is False and s.fespace() is None and s.material_components() is None
    assert str(s) == "SubModel<Mpc>: 2 relation(s), 2 term(s) each"
    assert repr(s) == 'SubModel { kind: "Mpc", physics: [Constraint] }'
    s.dump()
    assert capsys.readouterr().out == (
        "SubModel<Mpc>\n  primal var(s): lambda_mpc (multiplier)\n  dual var(s):   mpc_rhs (imposed value / g)\n"
        "  sense: >=\n  relations: 2\n  terms:\n    +1 · u_x (dual f_x)\n    -0.25 · u_y (dual f_y)\n")
    named = q.Model.mpc([(a, "T", "q", 2.0)], mult, multiplier="mu", imposed_value="g")
    assert named.primal_vars() == ["mu"] and named.dual_vars() == ["g"]
    with raises(RuntimeError, "Model::fespace: model has no domain sub-model to integrate on"):
        named.fespace()
    both = named | q.Model.heat_conduction(triangles())
    assert both.primal_vars() == ["mu", "T"]
    assert len(both.filter("constraint")) == 1


def test_mpc_argument_and_construction_errors():
    mult, a, _ = mpc_meshes()
    with raises(RuntimeError, "unknown relation sense '=>' (expected '=', '>=' or '<=')"):
        q.Model.mpc([(a, "u_x", "f_x", 1.0)], mult, sense="=>")
    # The sense is read after every argument converts.
    with raises(TypeError, "argument 'multiplier_mesh': 'SubMesh' object is not an instance of 'Mesh'"):
        q.Model.mpc([(a, "u_x", "f_x", 1.0)], mult[0], sense="=>")
    with raises(ValueError, "expected tuple of length 4, but got tuple of length 3"):
        q.Model.mpc([(a, "u_x", "f_x")], mult)
    with pytest.raises(TypeError, match="^argument 'terms'"):
        q.Model.mpc([[a, "u_x", "f_x", 1.0]], mult)
    with pytest.raises(TypeError, match="^argument 'terms'"):
        q.Model.mpc("terms", mult)
    with raises(RuntimeError, "Mpc: at least one term is required"):
        q.Model.mpc([], mult)
    c = q.Coords(2)
    lone = q.Mesh(c, "POI1")
    lone[0].add_cell([c.add_node([0.0, 0.0])])
    with raises(RuntimeError, "Mpc: term 0 mesh and multiplier_mesh must share a Coords"):
        q.Model.mpc([(lone, "u_x", "f_x", 1.0)], mult)


def test_constructor_class_and_docs():
    assert inspect.signature(q.Model.elasticity) == inspect.Signature(
        [inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD) for n in ("fespace", "model")])
    assert q.Model.mpc.__text_signature__ == "($cls, terms, multiplier_mesh, multiplier=None, imposed_value=None, sense=None)"
    assert q.Model.__text_signature__ == "()"
    with pytest.raises(TypeError):
        q.SubModel()
    with pytest.raises(TypeError):
        class Derived(q.Model):
            pass


def test_dump_options_are_checked():
    s = q.Model.frame(bars(2)).unit()
    with pytest.raises(OverflowError):
        s.dump(precision=-1)
    with pytest.raises(OverflowError):
        q.Model().dump(max_rows=-1)
