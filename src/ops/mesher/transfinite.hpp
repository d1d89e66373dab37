#pragma once
// The transfinite patch (Coons patch) inside a closed contour of four SEG2 lines.
//
// The contour runs side1 -> side2 -> side3 -> side4 -> side1, each side's last chain
// node being the next side's first (the same id). With M the cell count of side1
// (and side3) and N that of side2 (and side4), grid node (i, j), i = 0..M along
// side1, j = 0..N along side2, is node i of side1 for j = 0, else node M - i of side3
// for j = N, else node N - j of side4 for i = 0, else node j of side2 for i = M, else
// a new node at the Coons point of u = i / M, v = j / N:
//
//   S = ((B (1 - v) + T v) + L (1 - u)) + R u
//   C = ((P00 ((1 - v)(1 - u)) + P10 ((1 - v) u)) + P01 (v (1 - u))) + P11 (v u)
//   point = S - C
//
// with B, T, L, R the nodes i of side1, M - i of side3, N - j of side4 and j of side2
// and P00, P10, P11, P01 the corners. New nodes are made for i = 1..M-1 (outer),
// j = 1..N-1 (inner); cell i·N + j is (node (i, j), (i+1, j), (i+1, j+1), (i, j+1)).
// The QUA4 patch is then converted like a sweep's (convert_patch).
#include <cstdint>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "store/handle.hpp"

namespace quenlith::ops::mesher {

// What the patch keeps of one side.
struct TransfiniteSide {
  std::vector<containers::mesh::NodeId> chain;
  std::vector<double> points;  // dim values per chain node, in chain order
  store::Handle<containers::mesh::Coords> coords;
  std::size_t dim = 0;

  std::uint64_t cell_count() const noexcept { return chain.empty() ? 0 : chain.size() - 1; }
};

// Errors, in order: "transfinite: {name} must have exactly one submesh"; guard
// errors; "transfinite: {name} must be a SEG2 mesh"; "node {} not found or
// collected"; "transfinite: node {} has a non-finite coordinate".
TransfiniteSide transfinite_read_side(const containers::mesh::Mesh& mesh, std::string_view name);

// Errors, in order: those of reading side1 .. side4; "transfinite: side1 and {}
// belong to different Coords"; "transfinite: every side must have at least 1
// element"; "transfinite: side1 has {} elements but side3 (opposite) has {}";
// "transfinite: side2 has {} elements but side4 (opposite) has {}"; "transfinite:
// last node of side{k} must equal first node of side{k+1}" for the first open corner;
// the room refusal "transfinite: {M}×{N} cells too large: it would add {} node(s) but
// the Coords has room for {} more" (conversion nodes included); then, once the patch
// is built,
// "transfinite: unsupported element type {} (expected QUA4, TRI3, QUA8, QUA9, TRI6)".
containers::mesh::Mesh transfinite(const containers::mesh::Mesh& side1, const containers::mesh::Mesh& side2,
                                   const containers::mesh::Mesh& side3, const containers::mesh::Mesh& side4,
                                   containers::mesh::ElementType type);

}  // namespace quenlith::ops::mesher
