#pragma once
// The cells of each physical group, collected while a gmsh file is turned into
// meshes, and the meshes made of them at the end.
//
// One builder per group name, in order of creation; each holds one unsealed,
// unstored SubMesh per element type, in order of the type's first cell. Until
// `finish` stores them, the submeshes live here: a failed read drops them, which
// gives their node references back.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/handle.hpp"

namespace quenlith::ops::mesher::gmsh {

class GmshGroupBuilders {
 public:
  // The submeshes are made on copies of `coords`, which is kept for that.
  explicit GmshGroupBuilders(store::Handle<containers::mesh::Coords> coords) noexcept : coords_(std::move(coords)) {}

  // The index of the builder of `name`, made (empty) on first use.
  std::size_t group(const std::string& name);
  // Appends a cell to the group's submesh of `type` (SubMesh::add_cell, one
  // reference per node); its errors are thrown.
  void add_cell(std::size_t group, containers::mesh::ElementType type, std::span<const containers::mesh::NodeId> ids);
  // Stores every submesh and returns one Mesh per group, in order of creation, each
  // with its submeshes in order of first cell. The builders are left empty.
  std::vector<std::pair<std::string, containers::mesh::Mesh>> finish();

 private:
  struct Builder {
    std::string name;
    std::vector<containers::mesh::ElementType> types;
    std::array<std::optional<containers::mesh::SubMesh>, containers::mesh::kElementTypeCount> submeshes;
  };

  store::Handle<containers::mesh::Coords> coords_;
  std::vector<Builder> builders_;
  std::unordered_map<std::string, std::size_t> index_;  // name -> position in builders_
};

}  // namespace quenlith::ops::mesher::gmsh
