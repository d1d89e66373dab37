#pragma once
// Cell inversion: every cell's nodes permuted so that its orientation is reversed
// (a segment's sense, a face's winding, a volume's handedness); POI1 cells unchanged.
//
// The per-type permutation lives in inversion.hpp, shared with `orient`.
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// One output submesh per input submesh, in order: the permuted cells on the same
// nodes (no node is made), the input's face colours, unsealed. "coords: mesh has no
// submeshes", and the cell and guard errors.
containers::mesh::Mesh invert(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
