#pragma once
// The shorter circular arc of n_elems SEG2 or SEG3 cells from node a to node b about
// node center.
//
// a and b are the chain's end nodes (reused); center only fixes the geometry. With
// r_a = a - center, r_b = b - center (3 components, z = 0 in 2-D), e1 = r_a / |r_a|,
// n = (r_a × r_b) / |r_a × r_b|, e2 = n × e1 and θ = arccos of the clamped cosine,
// interior node i is center + |r_a| (sin φ e2 + cos φ e1), φ = (i / n_elems) θ: the
// radius is a's. SEG3 mid nodes are chord midpoints (promotion), not circle points.
#include <cstdint>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"

namespace quenlith::ops::mesher {

// A new mesh of one new unsealed submesh. Errors, in this order, all before any node
// is made: "arc: unsupported element type {} (expected SEG2 or SEG3)"; "arc: n_elems
// must be ≥ 1"; "arc: nodeA, center and nodeB belong to different Coords"; "node {} not
// found or collected"; "arc: nodes have incompatible dimensions"; "arc: node dimension
// must be 2 or 3"; "arc: nodeA and nodeB must not coincide with center"; "arc: nodeA
// and nodeB are not equidistant from center (radii {} and {})"; "arc: nodeA, center and
// nodeB are colinear (arc plane is undefined)"; the node-room refusal.
containers::mesh::Mesh arc(const containers::mesh::Node& a, const containers::mesh::Node& center,
                           const containers::mesh::Node& b, std::uint64_t n_elems,
                           containers::mesh::ElementType type);

}  // namespace quenlith::ops::mesher
