#pragma once
// merge_nodes: welds the nodes of a mesh that lie within `tol` of each other.
//
// The distinct node ids the cells reference are taken in increasing order; each
// is compared with the representatives found so far (never with welded-away
// nodes, so welding is not transitive) and welded to the first one within `tol`,
// or becomes a representative itself. Candidates come from a hash grid of cell
// side h = tol (1 when tol is 0 or not a number) whose keys are floor(x_k / h),
// saturated to 64 bits with NaN as 0; the cells K + o are searched for the offsets
// o in {-1, 0, 1}^dim in lexicographic order (-1 first, first coordinate most
// significant, wrapping sums), and each cell's representatives in insertion order.
// The first match wins, not the nearest. In more than three dimensions the same
// order is followed over the cells that exist only (a trie of key prefixes), so
// the search never enumerates the 3^dim offsets.
//
// The result mirrors the input (one new unsealed submesh per input submesh, same
// type and colour) with every id replaced by its representative; a cell whose new
// node list repeats an id is dropped (an input cell that already repeats one too).
// No node is created, moved or removed; the input is only read.
#include "containers/mesh/mesh.hpp"

namespace quenlith::ops::mesher {

// Errors in this order: "merge_nodes: tol must be ≥ 0, got {}"; "coords: mesh has
// no submeshes"; guard errors; "node {} not found or collected"; the errors of
// SubMesh::add_cell. On failure nothing built is kept.
containers::mesh::Mesh merge_nodes(const containers::mesh::Mesh& mesh, double tol);

}  // namespace quenlith::ops::mesher
