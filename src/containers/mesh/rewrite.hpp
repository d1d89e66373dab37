#pragma once
// The walk shared by the operations that derive a mesh from a mesh cell by cell
// (promotion, inversion, conversion): one output submesh per input submesh, in
// order, on the input's Coords, with the input's face colour, unsealed.
//
// Each input submesh is copied under its read guard, which is released before the
// output is built; the output submesh is private to the call until it is stored and
// appended with Mesh::push_sub. An error drops the partial output (its cells give
// their node references back); the input is never changed.
#include <span>
#include <utility>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {

// What the walk copies out of one input submesh.
struct SubMeshSnapshot {
  containers::mesh::ElementType element_type;
  std::vector<containers::mesh::NodeId> connectivity;
  containers::mesh::RgbColor face_color;

  std::uint64_t cell_count() const noexcept {
    return connectivity.size() / containers::mesh::nodes_per_cell(element_type);
  }
  std::span<const containers::mesh::NodeId> cell(std::uint64_t c) const noexcept {
    const std::uint64_t k = containers::mesh::nodes_per_cell(element_type);
    return std::span<const containers::mesh::NodeId>(connectivity).subspan(c * k, k);
  }
};

// Copies the element type, connectivity and face colour under a read guard.
SubMeshSnapshot snapshot(const store::Handle<containers::mesh::SubMesh>& sub);

// For each submesh of `mesh`, in order: `build(snapshot, coords)` returns the filled
// output submesh (made on a clone of `coords`), which gets the input's face colour, is
// stored and appended. "coords: mesh has no submeshes" for an empty mesh; every error
// of `build` or of the store is thrown after the partial output is dropped.
template <class Build>
containers::mesh::Mesh rewrite_submeshes(const containers::mesh::Mesh& mesh, Build&& build) {
  const store::Handle<containers::mesh::Coords> coords = mesh.coords();
  containers::mesh::Mesh out;
  for (const auto& sub : mesh.subs()) {
    const SubMeshSnapshot snap = snapshot(sub);
    containers::mesh::SubMesh result = build(snap, coords);
    result.set_face_color(snap.face_color);
    out.push_sub(store::insert(std::move(result)));
  }
  return out;
}

}  // namespace quenlith::containers::mesh
