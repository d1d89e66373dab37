#pragma once
// orient: harmonises the orientation of the cells of a mesh. Cells that share a
// facet end up running through it in opposite directions (surface normals on one
// side, segments head to tail, volume cells of one handedness); each connected
// component keeps the orientation of its lowest-numbered cell.
//
// Cells are numbered over the whole mesh (submesh order, then stored order, POI1
// cells included); only their corner nodes form facets. A facet shared by exactly
// two cells links them; a boundary or non-manifold facet links nothing. A breadth-
// first walk from each unvisited cell in number order decides, once per cell,
// whether to reverse it (with the inversion permutation). A component that cannot
// be oriented consistently is oriented as far as first visits reach, without error.
//
// The result has one new unsealed submesh per input submesh (type, colour and cell
// order kept) on the input's nodes; no node is created. The input is only read.
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// Errors: "coords: mesh has no submeshes"; guard errors of the submeshes; the
// errors of SubMesh::add_cell. On failure nothing built is kept.
containers::mesh::Mesh orient(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
