#pragma once
// Centroid meshes: one fresh node per cell at the plain mean of its nodes.
#include "containers/mesh/mesh.hpp"

namespace quenlith::containers::geom {

// One POI1 submesh per input submesh, in order, on its Coords, coloured
// (180, 200, 230), unsealed. Cell i of result submesh k holds the new node made for
// cell i of input submesh k, at (0 + x1 + ... + xc) / c in the active configuration
// (every node of the cell weighs alike, mid-side nodes included); the new ids
// increase along the result's cell order and each new node's one reference belongs
// to its cell. A POI1 input is thus copied onto colocated fresh nodes, two cells on
// one node giving two nodes. All centroids of a submesh are computed before any of
// its nodes is added. "node {} not found or collected" for a cell on a dead node;
// guard and add_node errors thrown, the partial result released (its new nodes left
// unreferenced). An empty mesh gives an empty mesh; the input is never changed.
containers::mesh::Mesh barycenter(const containers::mesh::Mesh& mesh);

}  // namespace quenlith::containers::geom
