#pragma once
// Gmsh's numbering turned into ours: element type numbers and node orders.
#include <cstdint>
#include <span>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"

namespace quenlith::ops::io::gmsh {

using containers::mesh::ElementType;

// The element type of a gmsh type number; "gmsh: unsupported element type {}
// (supported: ...)" for the numbers without one (7, 13, 14, 0, 19 and beyond).
ElementType gmsh_element_type(std::uint64_t number);

// The node permutation from gmsh's order to ours, for TET10, PENTA15, HEX20 and
// HEX27: stored node i is file node p[i]. Empty for every other type (kept as is).
std::span<const std::uint8_t> gmsh_permutation(ElementType type) noexcept;

// `ids` (in gmsh order) in our node order; a list whose length is not the
// permutation's is returned unchanged. `out` receives the result (same length).
void gmsh_permute_nodes(std::span<const containers::mesh::NodeId> ids, std::span<const std::uint8_t> permutation,
                        std::span<containers::mesh::NodeId> out) noexcept;

}  // namespace quenlith::ops::io::gmsh
