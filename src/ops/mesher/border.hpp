#pragma once
// border: the boundary of a surface mesh (TRI3, QUA4) as closed loops of SEG2 cells,
// one new submesh per loop.
//
// An edge used by exactly one cell (over all surface submeshes) is a boundary
// edge, directed as its cell runs through it, so with counter-clockwise cells the
// outer loop runs counter-clockwise and each hole clockwise. Loops are chained from
// the tails of the boundary edges in discovery order (submesh, cell, edge); at a
// node with several outgoing boundary edges the one found first is taken first.
// Purely topological: coordinates are never read. The loops use the input's
// nodes, coloured (180, 200, 230). The input is only read.
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// Errors in this order: "coords: mesh has no submeshes"; guard errors; "border:
// only surface meshes (TRI3/QUA4) are supported, got {}"; "border: mesh has no
// surface cells (TRI3/QUA4)"; "border: boundary is not a closed loop (open or
// non-manifold at node {})"; the errors of SubMesh::add_cell. A closed surface
// gives a mesh without submeshes. On failure nothing built is kept.
containers::mesh::Mesh border(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
