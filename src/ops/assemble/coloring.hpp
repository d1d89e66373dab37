#pragma once
// Cell colouring: cells grouped so that no two cells of one colour share a node.
//
// Assembly scatters element contributions into arrays indexed by node: cells of one
// colour touch disjoint nodes, so one colour runs as one parallel loop without atomics
// and with a summation order that does not depend on the number of threads (colour
// by colour, each node receiving at most one contribution per colour).
//
// The colouring is greedy and deterministic: cells are taken in index order and each
// gets the smallest colour that no earlier cell sharing one of its nodes has. It
// depends only on the connectivity.
#include <cstdint>
#include <span>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"

namespace quenlith::ops::assemble {

using containers::finite_element_space::CellColoring;

// The colouring of `n_cells` cells of `nodes_per_cell` ids each, `connectivity`
// holding n_cells * nodes_per_cell ids (cell-major). A node repeated inside one cell
// does not conflict with itself. Never fails; nodes_per_cell == 0 puts every cell in
// colour 0.
CellColoring color_cells(std::uint64_t n_cells, std::uint64_t nodes_per_cell,
                         std::span<const containers::mesh::NodeId> connectivity);

// The subspace's colouring, computed once (from its submesh, read under a read guard)
// and cached in the subspace; later calls return the cached one. The caller holds a
// read guard on the subspace, and the reference is lent for as long as it does.
const CellColoring& cell_coloring(const containers::finite_element_space::SubFiniteElementSpace& space);

}  // namespace quenlith::ops::assemble
