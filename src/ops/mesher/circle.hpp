#pragma once
// The closed ring of n_elems SEG2 or SEG3 cells of a given radius about node center,
// in the plane normal to a 3-component vector.
//
// Every ring node is new (center belongs to no cell). The plane basis e1, e2 comes
// from `circle_plane_basis`; node i sits at center + r (sin φ e2 + cos φ e1) with
// φ = (i · 2π) / n_elems, so the ring turns counter-clockwise seen from the normal's
// tip. Cell i is (node i, node (i + 1) mod n_elems).
#include <array>
#include <cstdint>
#include <span>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"

namespace quenlith::ops::mesher {

struct PlaneBasis {
  std::array<double, 3> e1;
  std::array<double, 3> e2;
};

// From the unit normal n: t is the axis of the smallest |n_k| (x wins ties, then y),
// e1 = (t - (t·n) n) normalised, e2 = n × e1. `unit_normal` has length 1.
PlaneBasis circle_plane_basis(const std::array<double, 3>& unit_normal);

// A new mesh of one new unsealed submesh. Errors, in this order, all before any node
// is made: "circle: unsupported element type {} (expected SEG2 or SEG3)"; "circle:
// n_elems must be ≥ 3"; "circle: radius must be > 0" (NaN included); "circle: normal
// must have exactly 3 components"; "node {} not found or collected"; "circle: node
// dimension must be 2 or 3"; "circle: normal vector must not be zero"; the node-room
// refusal.
containers::mesh::Mesh circle(const containers::mesh::Node& center, std::span<const double> normal, double radius,
                              std::uint64_t n_elems, containers::mesh::ElementType type);

}  // namespace quenlith::ops::mesher
