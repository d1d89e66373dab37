#pragma once
// skin: the boundary surface of a volume mesh (TET4, PENTA6, HEX8), split into flat
// faces.
//
// A facet of a volume cell used by exactly one cell (over all volume submeshes)
// lies on the boundary; it keeps the outward node order of its cell. Boundary
// facets are numbered in discovery order (submesh, cell, facet) and flooded into
// faces across shared edges while the unit normals of neighbouring facets have a
// dot product of at least the threshold (the cosine of the angle; a dot product
// that is not a number never passes). Faces are numbered as they are started; each
// face gives a TRI3 submesh of its triangles, then a QUA4 submesh of its
// quadrilaterals (either omitted when empty), coloured (180, 200, 230), on the
// input's nodes. The input is only read.
#include <optional>

#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// cos(1°), the default threshold.
inline constexpr double kSkinDefaultThreshold = 0.9998476951563913;

// Errors in this order: "coords: mesh has no submeshes"; guard errors; "skin: only
// 3-D volume meshes are supported, got dim={}"; "skin: only volume meshes
// (TET4/PENTA6/HEX8) are supported, got {}"; "skin: mesh has no volume cells
// (TET4/PENTA6/HEX8)"; "node {} not found or collected" (a boundary facet node);
// the errors of SubMesh::add_cell. On failure nothing built is kept.
containers::mesh::Mesh skin(const containers::mesh::Mesh& mesh, std::optional<double> angle_deg);

}  // namespace quenlith::ops::mesher
