#pragma once
// What the curve generators (line, arc, circle) share: the bound on the nodes they
// may add, and the SEG2 chain over their nodes, promoted to SEG3 on request.
#include <cstdint>
#include <span>
#include <string_view>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/node.hpp"
#include "store/handle.hpp"

namespace quenlith::ops::mesher {

// The number of nodes a chain of n_elems cells adds: `new_chain_nodes` new nodes on
// the chain itself, plus one mid node per cell for SEG3. Saturates instead of wrapping.
std::uint64_t chain_node_count(std::uint64_t new_chain_nodes, std::uint64_t n_elems,
                               containers::mesh::ElementType type);

// Refuses, before any node is made, an operation that would add `new_nodes` nodes to
// a Coords without that many free ids (ids are 32-bit and never reused), so that node
// ids can never wrap: "{op}: {count} too large: it would add {} node(s) but the Coords
// has room for {} more", where `count` names the request ("n_elems 7", "n_layers 3").
// Guard errors thrown.
void check_node_room(std::string_view op, std::string_view count,
                     const store::Handle<containers::mesh::Coords>& coords, std::uint64_t new_nodes);
// The same with `count` = "n_elems {n_elems}" (the curve generators).
void check_node_room(std::string_view op, const store::Handle<containers::mesh::Coords>& coords,
                     std::uint64_t n_elems, std::uint64_t new_nodes);

// The chain of SEG2 cells (chain[i], chain[i + 1]), and (chain[last], chain[0]) when
// `closed`, in one new submesh on the chain's Coords; promoted to SEG3 when `type` is
// SEG3 (the SEG2 mesh is then dropped). `chain` holds at least two nodes of one Coords.
containers::mesh::Mesh chain_mesh(std::span<const containers::mesh::Node> chain, bool closed,
                                  containers::mesh::ElementType type);

}  // namespace quenlith::ops::mesher
