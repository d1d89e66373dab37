#include "ops/mesher/gmsh/group_builder.hpp"

#include "store/store.hpp"

namespace quenlith::ops::mesher::gmsh {

using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

std::size_t GmshGroupBuilders::group(const std::string& name) {
  const auto [it, inserted] = index_.try_emplace(name, builders_.size());
  if (inserted) builders_.push_back(Builder{name, {}, {}});
  return it->second;
}

void GmshGroupBuilders::add_cell(std::size_t group, ElementType type, std::span<const NodeId> ids) {
  Builder& b = builders_[group];
  auto& slot = b.submeshes[static_cast<std::size_t>(type)];
  if (!slot) {
    slot.emplace(type, coords_);
    b.types.push_back(type);
  }
  slot->add_cell(ids);
}

std::vector<std::pair<std::string, Mesh>> GmshGroupBuilders::finish() {
  std::vector<std::pair<std::string, Mesh>> out;
  out.reserve(builders_.size());
  for (Builder& b : builders_) {
    Mesh mesh;
    for (const ElementType type : b.types) {
      auto& slot = b.submeshes[static_cast<std::size_t>(type)];
      mesh.push_sub(store::insert(std::move(*slot)));
      slot.reset();
    }
    out.emplace_back(std::move(b.name), std::move(mesh));
  }
  builders_.clear();
  index_.clear();
  return out;
}

}  // namespace quenlith::ops::mesher::gmsh
