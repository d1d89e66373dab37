// beam_deformation(field, fespace): the section strains a Timoshenko model's
// behaviour reads.
#include "py/beam_deformation.hpp"

#include "ops/field/beam_deformation.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

namespace {

using containers::element_field::ElementField;

constexpr Param beam_deformation_params[] = {{"field"}, {"fespace"}};

const Signature beam_deformation_sig{
    "beam_deformation", nullptr, Receiver::None, beam_deformation_params,
    "Section strains of a planar Timoshenko beam at the Gauss points of `fespace`,\n"
    "from a NodeField carrying the deflection \"w\" and the rotation \"theta\": per\n"
    "cell, the curvature kappa = dθ/dx and the shear strain gamma = dw/dx − θ̄ (θ̄ the\n"
    "average of the cell's nodal rotations), the derivatives taken at the cell's\n"
    "first Gauss point and the pair written at all of them. The space must be 1-D\n"
    "(a beam along x). The result feeds `integrate_behavior` of a Timoshenko model,\n"
    "which gives the section forces M = E·I·κ and V = G·A_s·γ."};

ElementField beam_deformation_body(const Borrowed<NodeFieldClass>& field,
                                   const Borrowed<FiniteElementSpaceClass>& fespace) {
  return ops::field::beam_deformation(*field, *fespace);
}

}  // namespace

PyMethodDef beam_deformation_def =
    function<beam_deformation_sig, beam_deformation_body, borrow<NodeFieldClass>, borrow<FiniteElementSpaceClass>>();

}  // namespace quenlith::py
