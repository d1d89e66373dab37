#include "models/mod/constraint.hpp"

#include <algorithm>
#include <unordered_set>

#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "models/mod/domain.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"

namespace quenlith::models {

void write_mesh_list(store::RecordWriter& w, std::span<const MeshHandle> meshes) {
  w.write_list(meshes, [](store::RecordWriter& out, const MeshHandle& h) { out.write_handle(h); });
}

MeshList read_mesh_list(store::RecordReader& r) {
  return r.read_list([](store::RecordReader& in) { return in.read_handle<containers::mesh::SubMesh>(); });
}

const MeshHandle& mesh_at(std::span<const MeshHandle> meshes, std::size_t i) {
  QUENLITH_VERIFY(i < meshes.size(), "index {} out of bounds (len={})", i, meshes.size());
  return meshes[i];
}

std::uint64_t total_cell_count(std::span<const MeshHandle> meshes) {
  std::uint64_t n = 0;
  for (const MeshHandle& h : meshes) n += store::read(h)->cell_count();
  return n;
}

std::vector<NodeId> submesh_node_ids(const MeshHandle& submesh) {
  store::ReadGuard<containers::mesh::SubMesh> guard = store::read(submesh);
  const std::span<const NodeId> ids = guard->connectivity();
  return std::vector<NodeId>(ids.begin(), ids.end());
}

std::vector<NodeId> node_cloud_of(std::span<const MeshHandle> submeshes) {
  std::vector<NodeId> out;
  std::unordered_set<NodeId> taken;
  for (const MeshHandle& h : submeshes) {
    store::ReadGuard<containers::mesh::SubMesh> guard = store::read(h);
    for (const NodeId id : guard->connectivity())
      if (taken.insert(id).second) out.push_back(id);
  }
  return out;
}

NodeId poi1_node_at(std::span<const MeshHandle> mesh, std::size_t i) {
  store::ReadGuard<containers::mesh::SubMesh> guard = store::read(mesh_at(mesh, 0));
  return node_at(guard->connectivity(), i);
}

std::pair<std::uint64_t, std::uint64_t> constraint_block_pair(const MeshHandle& multiplier_mesh,
                                                              const MeshHandle& constrained, std::string_view variable,
                                                              std::string_view target_dual, double coefficient,
                                                              std::string_view multiplier,
                                                              std::string_view imposed_value, LiteralBlocks& out) {
  SubMatrix c = SubMatrix::new_(multiplier_mesh, constrained, {std::string(imposed_value)}, {std::string(variable)},
                                Ordering::NodesThenVars, false);
  SubMatrix ct = SubMatrix::new_(constrained, multiplier_mesh, {std::string(target_dual)},
                                 {std::string(multiplier)}, Ordering::NodesThenVars, false);
  // The blocks copied each support's nodes as they sealed it: these are the lists.
  const std::span<const NodeId> m = c.row_nodes();
  const std::span<const NodeId> k = c.col_nodes();
  const std::size_t n = std::min(m.size(), k.size());
  for (std::size_t i = 0; i < n; ++i) {
    c.add_entry(m[i], imposed_value, k[i], variable, coefficient);
    ct.add_entry(k[i], target_dual, m[i], multiplier, coefficient);
  }
  out.reserve(out.size() + 2);
  out.push_back(std::move(c));
  out.push_back(std::move(ct));
  return {m.size(), k.size()};
}

std::vector<NodeId> first_poi1_nodes(std::span<const MeshHandle> list) {
  return submesh_node_ids(mesh_at(list, 0));
}

NodeId node_at(std::span<const NodeId> ids, std::size_t i) {
  QUENLITH_VERIFY(i < ids.size(), "index {} out of bounds (len={})", i, ids.size());
  return ids[i];
}

std::vector<NodeId> extend_with_new_nodes(std::vector<NodeId> first,
                                          std::span<const std::vector<NodeId>* const> more) {
  std::unordered_set<NodeId> taken(first.begin(), first.end());
  for (const std::vector<NodeId>* list : more)
    for (const NodeId id : *list)
      if (taken.insert(id).second) first.push_back(id);
  return first;
}

std::span<const Physics> ConstraintKind::physics() const noexcept { return physics_list(Physics::Constraint); }

std::vector<Relation> ConstraintKind::relations() const {
  throw Error::message("{}: its relations are not built yet", name());
}

}  // namespace quenlith::models
