#pragma once
// Fields at Gauss points: node values interpolated with the shape functions, their
// spatial gradients, the small-strain tensor of a displacement, and the free
// thermal strain of a Gauss-point temperature. One new zone per subspace of the
// given space, in its order, stored; the inputs are left as they were.
//
// Strains name their components "eps_{}{}" over the upper triangle row by row
// (eps_xx, eps_xy, eps_yy in 2-D; eps_xx, eps_xy, eps_xz, eps_yy, eps_yz, eps_zz in
// 3-D) and carry tensor shears, half the engineering ones. Axes are named x, y, z:
// gradient, deformation and thermal_strain refuse a space of more dimensions,
// "{function}: the FE space is {}-D — axes are named x, y, z only (at most 3-D)".
#include "containers/element_field/element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

// Per component c of the field, Σ_i N_i f(n_i, c), under the same names.
containers::element_field::ElementField interp_to_gauss(const containers::node_field::NodeField& field,
                                                        const containers::finite_element_space::FiniteElementSpace& fespace);

// Per component c and axis a, ∂c/∂x_a as "grad_{c}_{a}", component-major.
containers::element_field::ElementField gradient(const containers::node_field::NodeField& field,
                                                 const containers::finite_element_space::FiniteElementSpace& fespace);

// ε_ab = ½(∂u_a/∂x_b + ∂u_b/∂x_a), u_a the field's a-th component whatever its name.
// Per subspace: "deformation: the displacement field carries {} component(s) but the
// FE space is {}-D — expected exactly one displacement component per axis".
containers::element_field::ElementField deformation(const containers::node_field::NodeField& u,
                                                    const containers::finite_element_space::FiniteElementSpace& fespace);

// (T − t_ref) α on the diagonal of the strain tensor, zero off it, from the one zone
// of `temperature` on each subspace and the one zone of `materials` there carrying
// "alpha", both read at every Gauss point. The lookups' messages, then
// "thermal_strain: the temperature field carries no 'T' component".
containers::element_field::ElementField thermal_strain(const containers::element_field::ElementField& temperature,
                                                       const containers::element_field::ElementField& materials,
                                                       const containers::finite_element_space::FiniteElementSpace& fespace,
                                                       double t_ref);

}  // namespace quenlith::ops::field
