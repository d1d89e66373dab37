#pragma once
// The cells of each physical group, collected while a gmsh file is turned into
// meshes, and the meshes made of them at the end.
//
// One builder per group name, in order of creation; each holds one connectivity
// list per element type, in order of the type's first cell. Every entry of a list
// stands for one reference its caller holds on the node (taken when the nodes
// were made with their counts): `finish` hands them over to one submesh per list
// (SubMesh::from_cells_taking) and stores it.
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

namespace quenlith::ops::io::gmsh {

class GmshGroupBuilders {
 public:
  // The submeshes are made on copies of `coords`, which is kept for that.
  explicit GmshGroupBuilders(store::Handle<containers::mesh::Coords> coords) noexcept : coords_(std::move(coords)) {}

  // The index of the builder of `name`, made (empty) on first use.
  std::size_t group(const std::string& name);
  // The connectivity list of the group's cells of `type`, made empty (and the type
  // noted) on first use; the caller appends whole cells of node ids to it. Lent
  // until the next call.
  std::vector<containers::mesh::NodeId>& cells(std::size_t group, containers::mesh::ElementType type);
  // Adds `shift` to every id collected (ids taken before the nodes were made, when
  // the Coords handed out others), makes and stores one submesh per list, and
  // returns one Mesh per group, in order of creation, each with its submeshes in
  // order of first cell. The builders are left empty. On an error (those of
  // SubMesh::from_cells_taking and of storing) every reference not yet handed over
  // is given back, the submeshes made so far are dropped, and the error thrown.
  std::vector<std::pair<std::string, containers::mesh::Mesh>> finish(containers::mesh::NodeId shift);

 private:
  struct Builder {
    std::string name;
    std::vector<containers::mesh::ElementType> types;
    std::array<std::vector<containers::mesh::NodeId>, containers::mesh::kElementTypeCount> cells;
  };

  store::Handle<containers::mesh::Coords> coords_;
  std::vector<Builder> builders_;
  std::unordered_map<std::string, std::size_t> index_;  // name -> position in builders_
};

}  // namespace quenlith::ops::io::gmsh
