"""Module start-up: version, registration order, signatures."""
import inspect
import subprocess
import sys

import pytest

import _quenlith as q


def test_version():
    assert q.__version__ == "0.1.0"
    assert q.__all__[0] == "__version__"


def test_all_lists_every_added_name_in_order():
    names = [n for n in q.__all__]
    assert len(names) == len(set(names))
    for n in names:
        assert hasattr(q, n)
    assert names[:3] == ["__version__", "set_swap_dir", "swap_dir"]


def test_no_exception_types():
    for name in dir(q):
        obj = getattr(q, name)
        assert not (isinstance(obj, type) and issubclass(obj, BaseException)), name


def test_functions_belong_to_the_module():
    assert q.swap_dir.__module__ == "_quenlith"
    assert q.set_swap_dir.__self__ is q


@pytest.mark.parametrize(
    "func, text",
    [(q.set_swap_dir, "(path)"), (q.swap_dir, "()")],
    ids=["set_swap_dir", "swap_dir"],
)
def test_signatures(func, text):
    assert str(inspect.signature(func)) == text
    assert "--" not in func.__doc__


def test_doc_text():
    assert q.swap_dir.__doc__ == "Return the effective swap directory (creating it if necessary)."
    assert "re-exports" in q.__doc__


def test_import_in_fresh_process_with_free_threading_flag():
    # The module declares it needs no interpreter lock and refuses sub-interpreters.
    code = "import _quenlith; print(_quenlith.__version__)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0.1.0"


def test_subinterpreter_refused():
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        result = interpreters.run_string(interp, "import _quenlith")
        assert result is not None  # the import failed inside the sub-interpreter
    finally:
        interpreters.destroy(interp)


# Every function the module may register, in registration order, with its signature line.
FUNCTIONS = [
    ("set_swap_dir", "(path)"),
    ("swap_dir", "()"),
    ("solve", "(matrix, rhs, method=None, cache=True)"),
    ("solve_eliminate", "(model, matrix, rhs, method=None, cache=True)"),
    ("solve_unilateral", "(model, matrix, rhs, method=None, active_set=None, cache=True, max_iter=100, tol=1e-10)"),
    ("from_live_nodes", "(coords)"),
    ("poi1_from_nodes", "(nodes)"),
    ("line", "(a, b, n_elems, element_type='SEG2')"),
    ("circle", "(center, normal, radius, n_elems, element_type='SEG2')"),
    ("arc", "(a, center, b, n_elems, element_type='SEG2')"),
    ("sweep", "(mesh_a, mesh_b, n_layers, element_type='QUA4')"),
    ("transfinite", "(side1, side2, side3, side4, element_type='QUA4')"),
    ("sweep_solid", "(mesh_a, mesh_b, n_layers)"),
    ("extrude", "(mesh, direction, n_layers)"),
    ("translate", "(mesh, vector)"),
    ("rotate", "(mesh, angle, center, axis=None)"),
    ("to_quadratic", "(mesh)"),
    ("convert", "(mesh, element_type)"),
    ("triangulate_surface", "(contour, element_type, size=None)"),
    ("volume", "(envelope, size=None)"),
    ("to_poi1", "(mesh)"),
    ("barycenter", "(mesh)"),
    ("border", "(mesh)"),
    ("skin", "(mesh, angle_deg=None)"),
    ("orient", "(mesh)"),
    ("invert", "(mesh)"),
    ("merge_nodes", "(mesh, tol)"),
    ("elements_on", "(mesh, points, strict=True)"),
    ("read_gmsh", "(coords, path)"),
    ("read_gmsh_str", "(coords, text)"),
    ("export_vtk", "(mesh, path, field=None)"),
    ("consolidate", "(obj)"),
    ("coordinates", "(mesh, components=None)"),
    ("set_coordinates", "(field, components=None)"),
    ("displace", "(field, components=None)"),
    ("restrict", "(field, mesh)"),
    ("restrict_like", "(field, target)"),
    ("select", "(field, ge=None, gt=None, le=None, lt=None, components=None)"),
    ("mask", "(field, ge=None, gt=None, le=None, lt=None, components=None)"),
    ("filter_components", "(field, components)"),
    ("rename_component", "(field, old, new)"),
    ("merge", "(a, b)"),
    ("gradient", "(field, fespace)"),
    ("deformation", "(u, fespace)"),
    ("interp_to_gauss", "(field, fespace)"),
    ("thermal_strain", "(temperature, materials, fespace, t_ref)"),
    ("beam_deformation", "(field, fespace)"),
    ("divergence", "(field)"),
    ("integral", "(field, component, fespace=None)"),
    ("xty", "(x, y)"),
    ("xtx", "(x, components=None)"),
    ("psca", "(x, y)"),
    ("abs", "(field)"),
    ("sqrt", "(field)"),
    ("exp", "(field)"),
    ("log", "(field)"),
    ("log10", "(field)"),
    ("cos", "(field)"),
    ("sin", "(field)"),
    ("tan", "(field)"),
    ("sinh", "(field)"),
    ("cosh", "(field)"),
    ("tanh", "(field)"),
    ("stiffness", "(model, materials)"),
    ("mass", "(model, materials)"),
    ("assemble", "(matrix)"),
    ("lump", "(matrix)"),
    ("geometric", "(model, materials, stress)"),
    ("tangent", "(model, materials, state)"),
    ("flux", "(fespace, density, component)"),
    ("internal_forces", "(model, stresses)"),
    ("internal_forces_continuum", "(stresses, fespace)"),
    ("integrate_behavior", "(model, deformation, materials, prev=None, dt=None)"),
    ("sub_material_field", "(sub_model, components_and_values)"),
    ("material_field", "(model, components_and_values)"),
    ("material_field_per_sub_model", "(model, components_and_values_per_sub_model)"),
]

# Every class, in registration order, with its constructor's signature (None: no constructor).
CLASSES = [
    ("Coords", "(dim)"),
    ("Node", None),
    ("SubMesh", None),
    ("Mesh", "(coords, element_type=None)"),
    ("Cell", None),
    ("Element", None),
    ("SubNodeField", None),
    ("NodeField", "(support, components)"),
    ("SubFiniteElementSpace", None),
    ("FiniteElementSpace", "(mesh, interpolation='LAGRANGE1', quadrature='GAUSS')"),
    ("SubElementField", None),
    ("ElementField", "(fespace, components)"),
    ("SubMatrix", None),
    ("Matrix", "()"),
    ("SubModel", None),
    ("Model", "()"),
    ("SubEvolution", "(samples, out_of_range='error', abscissa_type=None, ordinate_type=None)"),
    ("Evolution", "(steps, out_of_range='error', abscissa_type=None, ordinate_type=None)"),
]


def test_all_follows_the_registration_order_exactly():
    # Functions come first, then classes, each in table order; nothing else is public.
    names = q.__all__
    assert isinstance(names, list) and names[0] == "__version__"
    order = [n for n, _ in FUNCTIONS] + [n for n, _ in CLASSES]
    assert names[1:] == order
    public = {n for n in dir(q) if not n.startswith("_")}
    assert public == set(names[1:])
    assert len(order) == 94


def test_registered_functions_match_their_signature_lines():
    table = dict(FUNCTIONS)
    for name in table:
        func = getattr(q, name)
        assert func.__name__ == name and func.__module__ == "_quenlith" and func.__self__ is q
        assert str(inspect.signature(func)) == table[name], name


def test_registered_classes_match_their_constructor_lines():
    table = dict(CLASSES)
    for name in table:
        cls = getattr(q, name)
        assert isinstance(cls, type) and cls.__name__ == name and cls.__module__ == "_quenlith", name
        assert cls.__doc__ and not cls.__doc__.startswith(name + "("), name
        if table[name] is None:
            assert cls.__text_signature__ is None, name
            with pytest.raises(TypeError, match=f"^cannot create '_quenlith.{name}' instances$"):
                cls()
        else:
            assert str(inspect.signature(cls)) == table[name], name
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})


def test_second_exec_readds_the_same_types():
    # Re-running the exec step on a fresh module object gives back the cached classes.
    import importlib.util

    spec = importlib.util.find_spec("_quenlith")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    for name, _ in CLASSES:
        if hasattr(q, name):
            assert getattr(again, name) is getattr(q, name)
    assert again.__all__ == q.__all__
