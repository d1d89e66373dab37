#pragma once
// The colour-by-colour parallel loop over the cells of a subspace, and the node
// vector it scatters.
//
// Every driver that adds cell contributions into an array shared by all cells (node
// vectors, the values of a compressed-row matrix) runs its cells through this loop:
// colour groups one after the other, each group one parallel loop. Cells of a group
// share no node, so two workers never add into the same entry, and every entry gets
// its contributions in colour order whatever the number of threads: the sums are
// bit-identical for 1 and for all threads, with no lock or atomic operation.
#include <cstdint>
#include <span>
#include <vector>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "parallel/function_ref.hpp"
#include "store/interrupt.hpp"

namespace quenlith::containers::finite_element_space {

using containers::finite_element_space::CellColoring;

// The shortest run of cells a task takes for cells of `nodes_per_cell` nodes:
// max(1, 256 / max(1, npc)).
std::uint64_t min_cells_per_task(std::uint64_t nodes_per_cell) noexcept;

// For each colour group in colour order, one parallel loop over the group's runs of
// consecutive cells, handing each run to `run` as its cell range [begin, end); a run
// is the unit of exclusivity: its cells are handled one after the other on one
// thread. A task takes whole runs, at least `min_len` cells' worth unless the group
// is shorter. The first failure (the run with the smallest start within the group)
// is thrown once the group's loop ends; later groups do not run. `interrupt`, when
// given, is polled on the calling thread before each group.
void for_each_colored_run(const CellColoring& coloring, std::uint64_t min_len,
                          parallel::FunctionRef<void(std::uint64_t begin, std::uint64_t end)> run,
                          const store::InterruptCheck* interrupt = nullptr);

// A vector of `n` zeros into which `cell_action` adds each cell's contributions,
// colour by colour as above. The action gets the cell, a scratch vector of
// `scratch_len` zeros (one per run, zeroed again before each cell) and the shared
// vector; it may throw, which ends the call.
std::vector<double> scatter_colored(
    std::uint64_t n, const CellColoring& coloring, std::uint64_t min_len, std::uint64_t scratch_len,
    parallel::FunctionRef<void(std::uint64_t cell, std::span<double> scratch, std::span<double> result)> cell_action);

}  // namespace quenlith::containers::finite_element_space
