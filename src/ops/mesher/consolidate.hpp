#pragma once
// consolidate_mesh: one submesh per element type, without repeated cells.
//
// Types come in order of first appearance among the input's submeshes; each
// result submesh takes the colour of the first input submesh of its type and the
// cells of that type's submeshes, submesh by submesh and cell by cell, each node
// list kept the first time it occurs. Only equal lists in stored order repeat: a
// rotated or reversed cell is another cell. A type whose submeshes are empty still
// gets its empty submesh. The result's submeshes are unsealed, on the input's
// nodes; the input is only read.
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// Errors: "coords: mesh has no submeshes"; guard errors; the errors of
// SubMesh::add_cell. On failure nothing built is kept.
containers::mesh::Mesh consolidate_mesh(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
