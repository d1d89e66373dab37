// gradient, deformation, interp_to_gauss and thermal_strain: new ElementFields of one
// zone per subspace of the given space.
#include "py/gauss_point.hpp"

#include "ops/field/gauss_point.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::element_field::ElementField;

namespace {

constexpr Param field_space_params[] = {{"field"}, {"fespace"}};
constexpr Param deformation_params[] = {{"u"}, {"fespace"}};
constexpr Param thermal_strain_params[] = {{"temperature"}, {"materials"}, {"fespace"}, {"t_ref"}};

const Signature gradient_sig{
    "gradient", nullptr, Receiver::None, field_space_params,
    "Spatial gradient of every component of the node field `field` at the Gauss\n"
    "points of `fespace`: one zone per subspace with, for each component c and each\n"
    "axis a up to the space dimension, \"grad_{c}_{a}\" = Σ_i f(n_i, c) ∂N_i/∂x_a\n"
    "(component-major: grad_T_x, grad_T_y, ... for a temperature). The usual input of\n"
    "`integrate_behavior` for heat conduction. Spaces of more than 3 dimensions are\n"
    "refused."};
const Signature deformation_sig{
    "deformation", nullptr, Receiver::None, deformation_params,
    "Small-strain tensor of the displacement field `u` at the Gauss points of\n"
    "`fespace`: ε_ab = ½(∂u_a/∂x_b + ∂u_b/∂x_a), u_a being the a-th component of `u`\n"
    "(exactly one per axis). Components eps_xx, eps_xy, eps_yy in 2-D and eps_xx,\n"
    "eps_xy, eps_xz, eps_yy, eps_yz, eps_zz in 3-D (upper triangle row by row), with\n"
    "tensor shears, half the engineering ones. The usual input of `integrate_behavior`\n"
    "for the mechanical kinds; `deformation(u, fespace) - thermal_strain(...)` is the\n"
    "mechanical strain."};
const Signature interp_to_gauss_sig{
    "interp_to_gauss", nullptr, Receiver::None, field_space_params,
    "Values of the node field `field` interpolated at the Gauss points of `fespace`:\n"
    "one zone per subspace carrying every component of `field` under its own name,\n"
    "v(g) = Σ_i N_i(ξ_g) f(n_i). The usual input of `integrate_behavior` for\n"
    "convection (a temperature \"T\")."};
const Signature thermal_strain_sig{
    "thermal_strain", nullptr, Receiver::None, thermal_strain_params,
    "Free thermal strain at the Gauss points of `fespace`: (T − t_ref)·alpha on\n"
    "eps_xx, eps_yy (, eps_zz) and 0 on the shears, in the components of\n"
    "`deformation`. T is read from the one zone of the Gauss-point field\n"
    "`temperature` on each subspace (component \"T\"), alpha from the one zone of\n"
    "`materials` there that carries \"alpha\", both at every Gauss point.\n"
    "\n"
    "In 2-D there is no out-of-plane term: right for plane stress, but in plane strain\n"
    "the free expansion along z is held, and the in-plane thermal stresses come out\n"
    "(1 + \u03bd) times too small unless \"alpha\" is given as \u03b1\u00b7(1 + \u03bd)."};

ElementField gradient_body(const Borrowed<NodeFieldClass>& field, const Borrowed<FiniteElementSpaceClass>& fespace) {
  return ops::field::gradient(*field, *fespace);
}
ElementField deformation_body(const Borrowed<NodeFieldClass>& u, const Borrowed<FiniteElementSpaceClass>& fespace) {
  return ops::field::deformation(*u, *fespace);
}
ElementField interp_to_gauss_body(const Borrowed<NodeFieldClass>& field,
                                  const Borrowed<FiniteElementSpaceClass>& fespace) {
  return ops::field::interp_to_gauss(*field, *fespace);
}
ElementField thermal_strain_body(const Borrowed<ElementFieldClass>& temperature,
                                 const Borrowed<ElementFieldClass>& materials,
                                 const Borrowed<FiniteElementSpaceClass>& fespace, double t_ref) {
  return ops::field::thermal_strain(*temperature, *materials, *fespace, t_ref);
}

}  // namespace

PyMethodDef gradient_def =
    function<gradient_sig, gradient_body, borrow<NodeFieldClass>, borrow<FiniteElementSpaceClass>>();
PyMethodDef deformation_def =
    function<deformation_sig, deformation_body, borrow<NodeFieldClass>, borrow<FiniteElementSpaceClass>>();
PyMethodDef interp_to_gauss_def =
    function<interp_to_gauss_sig, interp_to_gauss_body, borrow<NodeFieldClass>, borrow<FiniteElementSpaceClass>>();
PyMethodDef thermal_strain_def = function<thermal_strain_sig, thermal_strain_body, borrow<ElementFieldClass>,
                                          borrow<ElementFieldClass>, borrow<FiniteElementSpaceClass>, to_f64>();

}  // namespace quenlith::py
