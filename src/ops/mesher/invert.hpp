#pragma once
// Cell inversion: every cell's nodes permuted so that its orientation is reversed
// (a segment's sense, a face's winding, a volume's handedness); POI1 cells unchanged.
//
// The permutation of a type: the new cell has at position k the node the old cell
// has at perm[k]. Ends swap; a face keeps its first vertex and reverses the others;
// prisms and hexahedra reverse their bottom and top faces alike; mid-edge nodes
// follow their edges and face centres their faces. Each permutation is its own
// inverse. Shared with the orientation of single cells.
#include <cstdint>
#include <span>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// nodes_per_cell(t) local numbers; static storage.
std::span<const std::uint8_t> inversion_permutation(containers::mesh::ElementType t);

// One output submesh per input submesh, in order: the permuted cells on the same
// nodes (no node is made), the input's face colours, unsealed. "coords: mesh has no
// submeshes", and the cell and guard errors.
containers::mesh::Mesh invert(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::ops::mesher
