#pragma once
// The per-type node permutation that reverses a cell's orientation: the traversal
// sense of a segment, the winding of a face, the handedness of a volume cell.
//
// A reversed cell lists at position k the node the original has at position
// perm[k] (new[k] = old[perm[k]]). Each permutation is its own inverse; mid-edge
// nodes follow their edges, QUA9/HEX27 centres stay last and HEX27 face centres
// follow their faces. POI1 is the identity.
#include <cstdint>
#include <span>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"

namespace quenlith::ops::mesher {

// nodes_per_cell(t) entries, static storage.
std::span<const std::uint8_t> inversion_permutation(containers::mesh::ElementType t);

// Writes the reversed node list of `cell` (nodes_per_cell(t) ids) into `out` (same size).
void invert_cell(containers::mesh::ElementType t, std::span<const containers::mesh::NodeId> cell,
                 std::span<containers::mesh::NodeId> out);

}  // namespace quenlith::ops::mesher
