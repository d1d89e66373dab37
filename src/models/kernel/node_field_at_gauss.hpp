#pragma once
// Node values at Gauss points: a node field interpolated, differentiated or turned
// into the small-strain tensor at every Gauss point of one subspace, into a new
// zone; and the per-cell quadrature of an element zone.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/node_field/node_field.hpp"
#include "models/kernel/block.hpp"
#include "models/kernel/cell_context.hpp"

namespace quenlith::models::kernel {

// An axis pair (i, j) of a strain component, 0 = x, 1 = y, 2 = z.
using AxisPair = std::array<std::uint8_t, 2>;

// What is computed at a Gauss point from the values f(p, name) of the cell's nodes p
// (the node field's value at node id p: the first zone holding p and carrying name).
//
// Interpolation: per name k, Σ_i N_i f(p_i, name_k); one output per name.
struct GaussInterpolation {
  std::span<const std::string> names;
};
// Gradient: per name k and axis d < space_dim, Σ_i f(p_i, name_k) ∂N_i/∂x_d, at
// output k * space_dim + d.
struct GaussGradient {
  std::span<const std::string> names;
};
// Deformation: per pair (i, j), ½(∂u_i/∂x_j + ∂u_j/∂x_i) with u_a the node values of
// displacements[a]: the tensor component (half the engineering shear).
struct GaussDeformation {
  std::span<const AxisPair> pairs;
  std::span<const std::string> displacements;
};
using GaussStep = std::variant<GaussInterpolation, GaussGradient, GaussDeformation>;

// A new zone on `fespace` (a clone of the handle) with `components`, not stored: the
// step at every Gauss point of every cell, cells in parallel. The caller's view
// holds the node field's guards; read guards on the subspace, its submesh and its
// Coords are held for the call. The node values a cell needs are looked up name by
// name, node by node, so a cell fails at its first missing value: "no subfield defines
// (node {}, component {})". Other errors: those of SubElementField::create (no
// component, a name twice), the guards', "node {} not found or collected" and
// "inverse_small: singular matrix" (gradient and deformation only: interpolation reads
// no geometry). The output count must match the step (an internal error otherwise).
containers::element_field::SubElementField node_field_at_gauss(const SpaceHandle& fespace,
                                                               const containers::node_field::NodeFieldView& view,
                                                               std::vector<std::string> components,
                                                               const GaussStep& step);

}  // namespace quenlith::models::kernel
