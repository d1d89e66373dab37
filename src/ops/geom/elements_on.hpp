#pragma once
// The cells of a mesh that rest on the node set of another mesh.
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::geom {

// A new Mesh mirroring `mesh` submesh by submesh (same type, Coords and colour,
// unsealed, possibly empty) with the cells whose nodes all lie (strict) or of
// which at least one lies (not strict) in the set of node ids that the cells of
// `points` reference; kept cells keep their node lists and order. When both meshes
// have submeshes they must share one Coords, else "elements_on: mesh and points
// are not attached to the same Coords". Guard errors are thrown.
containers::mesh::Mesh elements_on(const containers::mesh::Mesh& mesh, const containers::mesh::Mesh& points,
                                   bool strict);

}  // namespace quenlith::ops::geom
