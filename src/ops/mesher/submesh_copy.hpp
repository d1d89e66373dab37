#pragma once
// What the mesh-to-mesh operations copy out of an input submesh, and the empty
// output submesh they fill.
//
// An input submesh is read under its own read guard, copied, and the guard dropped
// at once: no guard on an input is held while cells are added to an output (each
// add_cell takes a write guard on the Coords, and a submesh is locked before its
// Coords).
#include <cstdint>
#include <span>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/handle.hpp"

namespace quenlith::ops::mesher {

struct SubMeshCopy {
  containers::mesh::ElementType element_type;
  containers::mesh::RgbColor face_color;
  // nodes_per_cell() ids per cell, cell after cell.
  std::vector<containers::mesh::NodeId> connectivity;

  std::uint64_t nodes_per_cell() const { return containers::mesh::nodes_per_cell(element_type); }
  std::uint64_t cell_count() const { return connectivity.size() / nodes_per_cell(); }
  std::span<const containers::mesh::NodeId> cell(std::uint64_t c) const {
    const std::uint64_t k = nodes_per_cell();
    return std::span<const containers::mesh::NodeId>(connectivity).subspan(c * k, k);
  }
};

// Type, colour and connectivity of the submesh, under one read guard. Guard errors
// (stale handle, swap-in failure) are thrown.
SubMeshCopy copy_submesh(const store::Handle<containers::mesh::SubMesh>& handle);

// An empty, unsealed submesh of type `t` and colour `color` on a new handle to
// `coords`.
containers::mesh::SubMesh new_submesh(containers::mesh::ElementType t,
                                      const store::Handle<containers::mesh::Coords>& coords,
                                      containers::mesh::RgbColor color = {});

}  // namespace quenlith::ops::mesher
