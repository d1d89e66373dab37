#include "ops/mesher/chain.hpp"

#include <array>

#include <fmt/format.h>

#include "ops/mesher/quadratic.hpp"
#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

std::uint64_t chain_node_count(std::uint64_t new_chain_nodes, std::uint64_t n_elems, ElementType type) {
  if (type != ElementType::SEG3) return new_chain_nodes;
  const std::uint64_t total = new_chain_nodes + n_elems;
  return total < new_chain_nodes ? UINT64_MAX : total;
}

void check_node_room(std::string_view op, std::string_view count, const store::Handle<Coords>& coords,
                     std::uint64_t new_nodes) {
  std::uint64_t used;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    used = guard->capacity();
  }
  const std::uint64_t room = Coords::kMaxCapacity - used;
  QUENLITH_VERIFY(new_nodes <= room, "{}: {} too large: it would add {} node(s) but the Coords has room for {} more",
                  op, count, new_nodes, room);
}

void check_node_room(std::string_view op, const store::Handle<Coords>& coords, std::uint64_t n_elems,
                     std::uint64_t new_nodes) {
  check_node_room(op, fmt::format("n_elems {}", n_elems), coords, new_nodes);
}

Mesh chain_mesh(std::span<const Node> chain, bool closed, ElementType type) {
  Mesh linear = Mesh::from_submesh(SubMesh(ElementType::SEG2, chain.front().handle()));
  const std::size_t n_cells = closed ? chain.size() : chain.size() - 1;
  for (std::size_t i = 0; i < n_cells; ++i) {
    const std::array<NodeId, 2> cell{chain[i].id(), chain[(i + 1) % chain.size()].id()};
    linear.add_cell(cell);
  }
  if (type != ElementType::SEG3) return linear;
  return to_quadratic(linear);  // the linear mesh goes when this returns
}

}  // namespace quenlith::ops::mesher
