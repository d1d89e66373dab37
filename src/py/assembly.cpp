// stiffness, mass, geometric and tangent assemble a model's operator into a new
// finalized Matrix; assemble(matrix) re-assembles a matrix from its blocks alone.
#include "py/assembly.hpp"

#include "containers/element_field/element_field.hpp"
#include "containers/matrix/matrix.hpp"
#include "models/model/model.hpp"
#include "ops/assemble/assembly.hpp"
#include "ops/assemble/nodal.hpp"
#include "py/bind/class.hpp"
#include "py/bind/hold.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::matrix::Matrix;
using containers::matrix::OperatorKind;
using containers::node_field::NodeField;

namespace {

constexpr Param operator_params[] = {{"model"}, {"materials"}};
constexpr Param geometric_params[] = {{"model"}, {"materials"}, {"stress"}};
constexpr Param tangent_params[] = {{"model"}, {"materials"}, {"state"}};
constexpr Param assemble_params[] = {{"matrix"}};
constexpr Param internal_forces_params[] = {{"model"}, {"stresses"}};
constexpr Param continuum_params[] = {{"stresses"}, {"fespace"}};
constexpr Param flux_params[] = {{"fespace"}, {"density"}, {"component"}};

const Signature stiffness_sig{
    "stiffness", nullptr, Receiver::None, operator_params,
    "Assemble the stiffness matrix `K` of `model` as a new finalized `Matrix`. Every\n"
    "sub-model that needs material data picks the `SubElementField` of `materials`\n"
    "whose finite-element subspace is its own; constraints add their blocks as they are."};
const Signature mass_sig{
    "mass", nullptr, Receiver::None, operator_params,
    "Assemble the consistent mass matrix `M` of `model` (the heat-capacity matrix `C`\n"
    "of a thermal model) as a new finalized `Matrix`."};
const Signature assemble_sig{
    "assemble", nullptr, Receiver::None, assemble_params,
    "Re-assemble `matrix` in place from its blocks alone, without a model: for matrices\n"
    "composed by `*`, `/`, `|`, `add_sub` or `filter` that carry computed blocks (which\n"
    "`finalize` refuses), as in `(m / dt) | k` before a solve. Returns None."};
const Signature geometric_sig{
    "geometric", nullptr, Receiver::None, geometric_params,
    "Assemble the geometric (initial-stress) stiffness `K_g` of `model` from the\n"
    "current stress field `stress` as a new finalized `Matrix`."};
const Signature tangent_sig{
    "tangent", nullptr, Receiver::None, tangent_params,
    "Assemble the consistent tangent `K_t = ∫ Bᵀ D_alg B` of `model` from the behaviour\n"
    "state `state` as a new finalized `Matrix`."};

const Signature flux_sig{
    "flux", nullptr, Receiver::None, flux_params,
    "Consistent nodal loads ∫ density·N dΓ of a distributed density over one subspace, as a\n"
    "`NodeField` of one zone named `component`. `density` is a number or a one-component\n"
    "`SubElementField` read by (cell, Gauss point) position."};
const Signature internal_forces_sig{
    "internal_forces", nullptr, Receiver::None, internal_forces_params,
    "The internal forces f = ∫ Bᵀσ dΩ of every sub-model of `model` that has a behaviour, each\n"
    "reading its zone of `stresses` (the state `integrate_behavior` computes): one zone per\n"
    "such sub-model, named by its dual variables. For the heat kinds it is the nodal heat flow\n"
    "∫ ∇N·φ dΩ of a flux state (HeatConduction) or ∫ N·φ dΓ of a film flux (Convection)."};
const Signature internal_forces_continuum_sig{
    "internal_forces_continuum", nullptr, Receiver::None, continuum_params,
    "The internal forces f = ∫ Bᵀσ dΩ of a continuum stress field (sigma_xx, sigma_xy, ...)\n"
    "over every subspace of `fespace`, without a model: zones named f_x, f_y, f_z."};

NodeField internal_forces(const Borrowed<ModelClass>& model, const Borrowed<ElementFieldClass>& stresses) {
  return ops::assemble::internal_forces(*model, *stresses);
}

NodeField internal_forces_continuum(const Borrowed<ElementFieldClass>& stresses,
                                    const Borrowed<FiniteElementSpaceClass>& fespace) {
  return ops::assemble::internal_forces_continuum(*stresses, *fespace);
}

// A number when it converts to a float, else a SubElementField.
ops::assemble::FluxSource to_density(PyObject* obj) {
  if (is_instance<SubElementFieldClass>(obj)) return *Borrowed<SubElementFieldClass>(obj);
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise_value_error("flux: `density` doit être un float ou un SubElementField");
  }
  return v;
}

Ref flux(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(flux_sig, args, nargsf, kwnames);
  const Borrowed<SubFiniteElementSpaceClass> fespace = arg(flux_sig, bound, 0, borrow<SubFiniteElementSpaceClass>);
  const std::string component = arg(flux_sig, bound, 2, to_str);
  const ops::assemble::FluxSource density = to_density(bound[1]);
  return to_python(ops::assemble::flux(*fespace, density, component));
}

template <OperatorKind K>
Matrix operator_of(const Borrowed<ModelClass>& model, const Borrowed<ElementFieldClass>& materials) {
  return ops::assemble::assemble_operator(*model, *materials, K, nullptr, interrupt_check());
}

template <OperatorKind K>
Matrix operator_with(const Borrowed<ModelClass>& model, const Borrowed<ElementFieldClass>& materials,
                     const Borrowed<ElementFieldClass>& extra) {
  return ops::assemble::assemble_operator(*model, *materials, K, &*extra, interrupt_check());
}

// The matrix is edited in place: its hold is exclusive for the whole call.
Ref assemble(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const BoundArgs bound = match(assemble_sig, args, nargsf, kwnames);
  Object<Matrix>* o = arg(assemble_sig, bound, 0,
                          [](PyObject* x) { return instance<Matrix>(x, MatrixClass::type, MatrixClass::kName); });
  ExclusiveHold hold(o);
  ops::assemble::assemble(o->payload, interrupt_check());
  return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef stiffness_def = function<stiffness_sig, operator_of<OperatorKind::Stiffness>, borrow<ModelClass>,
                                     borrow<ElementFieldClass>>();
PyMethodDef mass_def =
    function<mass_sig, operator_of<OperatorKind::Mass>, borrow<ModelClass>, borrow<ElementFieldClass>>();
PyMethodDef assemble_def = method_def<assemble>("assemble", assemble_sig.doc());
PyMethodDef flux_def = method_def<flux>("flux", flux_sig.doc());
PyMethodDef internal_forces_def =
    function<internal_forces_sig, internal_forces, borrow<ModelClass>, borrow<ElementFieldClass>>();
PyMethodDef internal_forces_continuum_def = function<internal_forces_continuum_sig, internal_forces_continuum,
                                                     borrow<ElementFieldClass>, borrow<FiniteElementSpaceClass>>();
PyMethodDef geometric_def = function<geometric_sig, operator_with<OperatorKind::Geometric>, borrow<ModelClass>,
                                     borrow<ElementFieldClass>, borrow<ElementFieldClass>>();
PyMethodDef tangent_def = function<tangent_sig, operator_with<OperatorKind::Tangent>, borrow<ModelClass>,
                                   borrow<ElementFieldClass>, borrow<ElementFieldClass>>();

}  // namespace quenlith::py
