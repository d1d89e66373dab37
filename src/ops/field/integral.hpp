#pragma once
// Integrals over finite-element subspaces: the weak divergence of a per-element
// vector field as nodal values, and the total of one component of a field.
#include <string_view>

#include "containers/element_field/element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/node_field/node_field.hpp"

namespace quenlith::ops::field {

// Per zone, on the node cloud of its submesh, the component "div": at node i the sum
// over the cells holding it of ∫ ∇N_i · F dΩ, the zone's k-th component being F
// along axis k. "divergence: the field carries {} component(s) but the FE space is
// {}-D — expected one vector component per axis".
containers::node_field::NodeField divergence(const containers::element_field::ElementField& field);

// The sum over the zones carrying `component` of ∫ v dΩ by the subspaces'
// quadrature. "integral: no sub-field defines component {}".
double integral(const containers::element_field::ElementField& field, std::string_view component);

// The sum over the subspaces of `space` of ∫ Σ_j f(n_j) N_j dΩ, with f the field's
// value at each node of the subspace: "no subfield defines (node {}, component {})".
double integral(const containers::node_field::NodeField& field, std::string_view component,
                const containers::finite_element_space::FiniteElementSpace& space);

}  // namespace quenlith::ops::field
