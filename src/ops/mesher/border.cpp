#include "ops/mesher/border.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "ops/mesher/facet_key.hpp"
#include "ops/mesher/flat_map.hpp"
#include "ops/mesher/submesh_copy.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;

namespace {

bool is_surface(ElementType t) { return t == ElementType::TRI3 || t == ElementType::QUA4; }

// Calls edge(tail, head) for every directed edge of every surface cell, in
// submesh, cell and edge order; POI1 submeshes are passed over. Returns whether a
// surface submesh was met. Any other type stops it with the "only surface meshes"
// error, at the first such submesh.
template <class Edge>
bool for_each_surface_edge(const Mesh& mesh, Edge&& edge) {
  bool any_surface = false;
  for (const auto& h : mesh.subs()) {
    const SubMeshCopy sub = copy_submesh(h);
    if (sub.element_type == ElementType::POI1) continue;
    QUENLITH_VERIFY(is_surface(sub.element_type), "border: only surface meshes (TRI3/QUA4) are supported, got {}",
                    sub.element_type);
    any_surface = true;
    const std::uint64_t cells = sub.cell_count();
    for (std::uint64_t c = 0; c < cells; ++c) {
      const auto cell = sub.cell(c);
      for (std::size_t i = 0; i < cell.size(); ++i) edge(cell[i], cell[(i + 1) % cell.size()]);
    }
  }
  return any_surface;
}

// The heads of the boundary edges leaving one node, consumed from the front.
struct Successors {
  std::vector<NodeId> heads;
  std::size_t next = 0;
  bool empty() const noexcept { return next == heads.size(); }
};

}  // namespace

Mesh border(const Mesh& mesh) {
  const store::Handle<containers::mesh::Coords> coords = mesh.coords();

  FlatMap<std::uint64_t, std::uint32_t, WordHash> uses;
  const bool any_surface = for_each_surface_edge(mesh, [&](NodeId a, NodeId b) {
    std::uint32_t& count = *uses.try_emplace(edge_key(a, b)).first;
    if (count != UINT32_MAX) ++count;
  });
  QUENLITH_VERIFY(any_surface, "border: mesh has no surface cells (TRI3/QUA4)");

  std::unordered_map<NodeId, Successors> successors;
  std::vector<NodeId> starts;
  for_each_surface_edge(mesh, [&](NodeId tail, NodeId head) {
    const std::uint32_t* count = uses.find(edge_key(tail, head));
    // An edge missing from the count comes from a cell added since the first pass.
    if (!count || *count != 1) return;
    successors[tail].heads.push_back(head);
    starts.push_back(tail);
  });
  uses = FlatMap<std::uint64_t, std::uint32_t, WordHash>();

  Mesh result;
  std::vector<NodeId> loop;
  for (const NodeId start : starts) {
    const auto at_start = successors.find(start);
    if (at_start == successors.end() || at_start->second.empty()) continue;
    loop.clear();
    NodeId c = start;
    NodeId s;
    do {
      const auto it = successors.find(c);
      QUENLITH_VERIFY(it != successors.end() && !it->second.empty(),
                      "border: boundary is not a closed loop (open or non-manifold at node {})", c);
      s = it->second.heads[it->second.next++];
      loop.push_back(c);
      c = s;
    } while (s != start);

    containers::mesh::SubMesh sub = new_submesh(ElementType::SEG2, coords);
    const std::size_t k = loop.size();
    for (std::size_t i = 0; i < k; ++i) {
      const NodeId cell[2] = {loop[i], loop[(i + 1) % k]};
      sub.add_cell(cell);
    }
    result.push_sub(store::insert(std::move(sub)));
  }
  return result;
}

}  // namespace quenlith::ops::mesher
