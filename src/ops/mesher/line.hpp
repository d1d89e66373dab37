#pragma once
// The straight chain of n_elems equal SEG2 or SEG3 cells from node a to node b.
//
// a and b are the chain's end nodes (reused); the n_elems - 1 interior nodes are new
// nodes of their common Coords, made in order along the chain, at
// (b - a) * (i / n_elems) + a. SEG3 cells come from promoting the SEG2 chain, so their
// mid nodes are made after all chain nodes, in cell order.
#include <cstdint>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"

namespace quenlith::ops::mesher {

// A new mesh of one new unsealed submesh. Errors, in this order, all before any node
// is made: "line: unsupported element type {} (expected SEG2 or SEG3)"; "line: n_elems
// must be ≥ 1"; "line: nodes belong to different Coords"; "node {} not found or
// collected"; "line: nodes have incompatible dimensions"; the node-room refusal.
containers::mesh::Mesh line(const containers::mesh::Node& a, const containers::mesh::Node& b,
                            std::uint64_t n_elems, containers::mesh::ElementType type);

}  // namespace quenlith::ops::mesher
