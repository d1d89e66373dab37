#include "containers/finite_element_space/scatter.hpp"

#include <algorithm>

#include "parallel/pool.hpp"

namespace quenlith::containers::finite_element_space {

std::uint64_t min_cells_per_task(std::uint64_t nodes_per_cell) noexcept {
  return std::max<std::uint64_t>(1, 256 / std::max<std::uint64_t>(1, nodes_per_cell));
}

void for_each_colored_run(const CellColoring& coloring, std::uint64_t min_len,
                          parallel::FunctionRef<void(std::uint64_t begin, std::uint64_t end)> run,
                          const store::InterruptCheck* interrupt) {
  const std::uint64_t runs_per_task = std::max<std::uint64_t>(1, min_len / coloring.run_length);
  for (const std::vector<std::uint64_t>& group : coloring.colors) {
    if (interrupt) (*interrupt)();
    parallel::for_chunks(group.size(), runs_per_task, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index q = begin; q < end; ++q) run(coloring.run_begin(group[q]), coloring.run_end(group[q]));
    });
  }
}

std::vector<double> scatter_colored(
    std::uint64_t n, const CellColoring& coloring, std::uint64_t min_len, std::uint64_t scratch_len,
    parallel::FunctionRef<void(std::uint64_t cell, std::span<double> scratch, std::span<double> result)> cell_action) {
  std::vector<double> result(n, 0.0);
  const std::span<double> shared(result);
  for_each_colored_run(coloring, min_len, [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<double> scratch(scratch_len);
    for (std::uint64_t cell = begin; cell < end; ++cell) {
      std::fill(scratch.begin(), scratch.end(), 0.0);
      cell_action(cell, scratch, shared);
    }
  });
  return result;
}

}  // namespace quenlith::containers::finite_element_space
