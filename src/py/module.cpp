// The module's entry: multi-phase initialisation, and registration of every
// function and class in one fixed order (the order of `__all__`).
#include <Python.h>

#include "py/assembly.hpp"
#include "py/beam_deformation.hpp"
#include "py/behavior.hpp"
#include "py/bind/entry.hpp"
#include "py/bind/ref.hpp"
#include "py/bind/type.hpp"
#include "py/classes.hpp"
#include "py/export_vtk.hpp"
#include "py/field_ops.hpp"
#include "py/gauss_point.hpp"
#include "py/geom.hpp"
#include "py/gmsh.hpp"
#include "py/material_field.hpp"
#include "py/matrix.hpp"
#include "py/mesher.hpp"
#include "py/solver.hpp"
#include "py/structured.hpp"
#include "py/swap_dir.hpp"
#include "py/topology.hpp"
#include "py/triangulate_surface.hpp"
#include "py/volume.hpp"

namespace quenlith::py {
namespace {

// Module functions, in registration order.
PyMethodDef* const kFunctions[] = {
    &set_swap_dir_def,
    &swap_dir_def,
    &solve_def,
    &solve_eliminate_def,
    &solve_unilateral_def,
    &from_live_nodes_def,
    &poi1_from_nodes_def,
    &line_def,
    &circle_def,
    &arc_def,
    &sweep_def,
    &transfinite_def,
    &sweep_solid_def,
    &extrude_def,
    &translate_def,
    &rotate_def,
    &to_quadratic_def,
    &convert_def,
    &triangulate_surface_def,
    &volume_def,
    &to_poi1_def,
    &barycenter_def,
    &border_def,
    &skin_def,
    &orient_def,
    &invert_def,
    &merge_nodes_def,
    &elements_on_def,
    &read_gmsh_def,
    &read_gmsh_str_def,
    &export_vtk_def,
    &consolidate_def,
    &coordinates_def,
    &set_coordinates_def,
    &displace_def,
    &restrict_def,
    &restrict_like_def,
    &select_def,
    &mask_def,
    &filter_components_def,
    &rename_component_def,
    &merge_def,
    &gradient_def,
    &deformation_def,
    &interp_to_gauss_def,
    &thermal_strain_def,
    &beam_deformation_def,
    &divergence_def,
    &integral_def,
    &xty_def,
    &xtx_def,
    &psca_def,
    &abs_def,
    &sqrt_def,
    &exp_def,
    &log_def,
    &log10_def,
    &cos_def,
    &sin_def,
    &tan_def,
    &sinh_def,
    &cosh_def,
    &tanh_def,
    &stiffness_def,
    &mass_def,
    &assemble_def,
    &lump_def,
    &geometric_def,
    &tangent_def,
    &flux_def,
    &internal_forces_def,
    &internal_forces_continuum_def,
    &integrate_behavior_def,
    &sub_material_field_def,
    &material_field_def,
    &material_field_per_sub_model_def,
};

struct ClassEntry {
  const char* name;
  TypeCache& cache;
};
// Classes, in registration order.
const ClassEntry kClasses[] = {
    {CoordsClass::kName, CoordsClass::type},
    {NodeClass::kName, NodeClass::type},
    {SubMeshClass::kName, SubMeshClass::type},
    {MeshClass::kName, MeshClass::type},
    {CellClass::kName, CellClass::type},
    {ElementClass::kName, ElementClass::type},
    {SubNodeFieldClass::kName, SubNodeFieldClass::type},
    {NodeFieldClass::kName, NodeFieldClass::type},
    {SubFiniteElementSpaceClass::kName, SubFiniteElementSpaceClass::type},
    {FiniteElementSpaceClass::kName, FiniteElementSpaceClass::type},
    {SubElementFieldClass::kName, SubElementFieldClass::type},
    {ElementFieldClass::kName, ElementFieldClass::type},
    {SubMatrixClass::kName, SubMatrixClass::type},
    {MatrixClass::kName, MatrixClass::type},
    {SubModelClass::kName, SubModelClass::type},
    {ModelClass::kName, ModelClass::type},
    {SubEvolutionClass::kName, SubEvolutionClass::type},
    {EvolutionClass::kName, EvolutionClass::type},
};

// Appends `name` to __all__ (made on first use) and sets the attribute.
void add_name(PyObject* module, PyObject* name, PyObject* value) {
  Ref all = Ref::steal_or_null(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    check(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  check(PyList_Append(all.get(), name));
  check(PyObject_SetAttr(module, name, value));
}

void init_module(PyObject* module) {
  {
    Ref name = Ref::steal(PyUnicode_FromString("__version__"));
    Ref version = Ref::steal(PyUnicode_FromString("0.1.0"));
    add_name(module, name.get(), version.get());
  }
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  for (PyMethodDef* def : kFunctions) {
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    add_name(module, name.get(), function.get());
  }
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = entry.cache.get();
    Ref name = Ref::steal(PyUnicode_FromString(entry.name));
    add_name(module, name.get(), reinterpret_cast<PyObject*>(type));
  }
}

int module_exec(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_quenlith: exec step expects a module object");
    return -1;
  }
  return guarded_status([&] { init_module(module); });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    // Our classes are process-wide (each type is built once and kept), so the
    // module cannot be shared between sub-interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    // The store's guards, not the interpreter lock, protect our data.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_quenlith",
    "The private native extension module _quenlith of quenlith, a finite-element library.\n\n"
    "The public package quenlith re-exports it whole (from ._quenlith import *) and builds\n"
    "its pure-Python high-level layer on it.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quenlith::py

PyMODINIT_FUNC PyInit__quenlith(void) { return PyModuleDef_Init(&quenlith::py::kModule); }
