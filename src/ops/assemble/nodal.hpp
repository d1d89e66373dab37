#pragma once
// Consistent nodal vectors from Gauss-point quantities: the internal forces of a
// model or of a plain continuum stress field, and the nodal loads of a distributed
// flux. Every cell vector goes through the kernels' node scatter (colour by colour).
#include <optional>
#include <variant>
#include <string>

#include "containers/element_field/element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "models/model/model.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::assemble {

// ∫Bᵀσ dΩ of every sub-model with a behaviour, one zone each, in model order.
containers::node_field::NodeField internal_forces(const containers::model::Model& model,
                                                  const containers::element_field::ElementField& stresses);
// ∫Bᵀσ dΩ of a continuum stress field over every subspace of `fespace`.
containers::node_field::NodeField internal_forces_continuum(
    const containers::element_field::ElementField& stresses,
    const containers::finite_element_space::FiniteElementSpace& fespace);

// The density of `flux`: a uniform value or a one-component zone read by (cell,
// Gauss point) position.
using FluxSource = std::variant<double, store::Handle<containers::element_field::SubElementField>>;
// ∫ρ N_a dΓ over the cells of one subspace, as one zone named `component`.
containers::node_field::NodeField flux(const store::Handle<containers::finite_element_space::SubFiniteElementSpace>& fespace,
                                       const FluxSource& density, const std::string& component);

}  // namespace quenlith::ops::assemble
