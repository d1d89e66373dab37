// stiffness, mass, geometric and tangent assemble a model's operator into a new
// finalized Matrix; assemble(matrix) re-assembles a matrix from its blocks alone.
#include "py/assembly.hpp"

#include "containers/element_field/element_field.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/model/model.hpp"
#include "ops/assemble/assembly.hpp"
#include "py/bind/class.hpp"
#include "py/bind/hold.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::matrix::Matrix;
using containers::matrix::OperatorKind;

namespace {

constexpr Param operator_params[] = {{"model"}, {"materials"}};
constexpr Param geometric_params[] = {{"model"}, {"materials"}, {"stress"}};
constexpr Param tangent_params[] = {{"model"}, {"materials"}, {"state"}};
constexpr Param assemble_params[] = {{"matrix"}};

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
PyMethodDef geometric_def = function<geometric_sig, operator_with<OperatorKind::Geometric>, borrow<ModelClass>,
                                     borrow<ElementFieldClass>, borrow<ElementFieldClass>>();
PyMethodDef tangent_def = function<tangent_sig, operator_with<OperatorKind::Tangent>, borrow<ModelClass>,
                                   borrow<ElementFieldClass>, borrow<ElementFieldClass>>();

}  // namespace quenlith::py
