#pragma once
// Cell colouring: runs of consecutive cells grouped so that no two runs of one
// colour share a node.
//
// Assembly scatters element contributions into arrays indexed by node: runs of one
// colour touch disjoint nodes, so one colour runs as one parallel loop without atomics
// and with a summation order that does not depend on the number of threads (colour
// by colour, each run's cells in order, each node receiving at most one run's
// contributions per colour). Runs rather than single cells keep each worker on
// neighbouring cells, whose nodes, material values and matrix entries lie close
// together in memory: a colour of single cells is spread over the whole mesh, and
// walking it touches every cache line of the shared arrays once per colour.
//
// The colouring is greedy and deterministic: runs are taken in index order and each
// gets the smallest colour that no earlier run sharing one of its nodes has. It
// depends only on the connectivity and the run length.
#include <cstdint>
#include <span>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"

namespace quenlith::containers::finite_element_space {

using containers::finite_element_space::CellColoring;

// The colouring of `n_cells` cells of `nodes_per_cell` ids each, `connectivity`
// holding n_cells * nodes_per_cell ids (cell-major), cut into runs of `run_length`
// cells (1: every cell its own run, the plain greedy cell colouring). A node repeated
// inside one run does not conflict with itself. Never fails; nodes_per_cell == 0
// puts every run in colour 0.
CellColoring color_cells(std::uint64_t n_cells, std::uint64_t nodes_per_cell,
                         std::span<const containers::mesh::NodeId> connectivity, std::uint64_t run_length = 1);

// The subspace's colouring, in runs of min_cells_per_task(nodes per cell) cells (the
// shortest run of cells a task takes anyway), computed once (from its submesh, read
// under a read guard) and cached in the subspace; later calls return the cached one.
// The caller holds a read guard on the subspace, and the reference is lent for as
// long as it does.
const CellColoring& cell_coloring(const containers::finite_element_space::SubFiniteElementSpace& space);

}  // namespace quenlith::containers::finite_element_space
