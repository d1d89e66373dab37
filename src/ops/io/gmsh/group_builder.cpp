#include "ops/io/gmsh/group_builder.hpp"

#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::io::gmsh {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

std::size_t GmshGroupBuilders::group(const std::string& name) {
  const auto [it, inserted] = index_.try_emplace(name, builders_.size());
  if (inserted) builders_.push_back(Builder{name, {}, {}});
  return it->second;
}

std::vector<NodeId>& GmshGroupBuilders::cells(std::size_t group, ElementType type) {
  Builder& b = builders_[group];
  const auto t = static_cast<std::size_t>(type);
  bool seen = false;
  for (const ElementType known : b.types) seen |= known == type;
  if (!seen) b.types.push_back(type);
  return b.cells[t];
}

std::vector<std::pair<std::string, Mesh>> GmshGroupBuilders::finish(NodeId shift) {
  std::vector<std::pair<std::string, Mesh>> out;
  out.reserve(builders_.size());
  for (Builder& b : builders_)
    for (const ElementType type : b.types)
      if (shift != 0)
        for (NodeId& id : b.cells[static_cast<std::size_t>(type)]) id += shift;
  try {
    for (Builder& b : builders_) {
      Mesh mesh;
      for (const ElementType type : b.types) {
        std::vector<NodeId>& ids = b.cells[static_cast<std::size_t>(type)];
        SubMesh sub = SubMesh::from_cells_taking(type, coords_, std::move(ids));
        ids.clear();  // handed over: the submesh gives them back when it goes
        mesh.push_sub(store::insert(std::move(sub)));
      }
      out.emplace_back(std::move(b.name), std::move(mesh));
    }
  } catch (...) {
    // The references of the lists not handed over go back; the submeshes made
    // give theirs back as they are dropped.
    try {
      store::WriteGuard<containers::mesh::Coords> guard = store::write(coords_);
      for (Builder& b : builders_)
        for (const ElementType type : b.types) guard->release_all(b.cells[static_cast<std::size_t>(type)]);
    } catch (...) {
    }
    builders_.clear();
    index_.clear();
    throw;
  }
  builders_.clear();
  index_.clear();
  return out;
}

}  // namespace quenlith::ops::io::gmsh
