#pragma once
// Section strains of a planar (w, θ) beam at the Gauss points of a space, the input
// of a Timoshenko model's behaviour (M = E·I·κ, V = G·A_s·γ).
#include "containers/element_field/element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

// One new stored zone per subspace of `space`, in its order, with the components
// "kappa", "gamma": per cell, with D the derivatives dN_i/dx at the cell's first
// Gauss point, κ = Σ D_i θ_i and γ = Σ D_i w_i − (Σ θ_i) / m over its m nodes, the
// same pair written at every Gauss point of the cell. Node values are matched by
// node id alone.
//
// Errors, in order: "beam_deformation: the field must carry a '{}' component (has:
// [{}])" for "w", then "theta"; per subspace its guard errors, then "beam_deformation:
// the FE space is {}-D; beam section strains need a 1-D configuration (a beam along
// the x axis)" (the derivatives along one axis are the whole gradient only there);
// per cell "no subfield defines (node {}, component {})" for every "w" before any
// "theta", then "node {} not found or collected", "beam_deformation: cell {} has
// zero length (nodes {} and {} coincide)" for a line cell whose end nodes coincide,
// and "inverse_small: singular matrix" for another degenerate cell; the lowest
// failing cell is named. The zones of earlier subspaces go with the failed call.
containers::element_field::ElementField beam_deformation(
    const containers::node_field::NodeField& field, const containers::finite_element_space::FiniteElementSpace& space);

}  // namespace quenlith::ops::field
