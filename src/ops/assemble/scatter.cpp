#include "ops/assemble/scatter.hpp"

#include <algorithm>

#include "parallel/pool.hpp"

namespace quenlith::ops::assemble {

std::uint64_t min_cells_per_task(std::uint64_t nodes_per_cell) noexcept {
  return std::max<std::uint64_t>(1, 256 / std::max<std::uint64_t>(1, nodes_per_cell));
}

void for_each_colored_run(const CellColoring& coloring, std::uint64_t min_len,
                          parallel::FunctionRef<void(std::span<const std::uint64_t> cells)> run,
                          const store::InterruptCheck* interrupt) {
  for (const std::vector<std::uint64_t>& group : coloring.colors) {
    if (interrupt) (*interrupt)();
    const std::span<const std::uint64_t> cells(group);
    parallel::for_chunks(cells.size(), std::max<std::uint64_t>(min_len, 1),
                         [&](parallel::Index begin, parallel::Index end) { run(cells.subspan(begin, end - begin)); });
  }
}

std::vector<double> scatter_colored(
    std::uint64_t n, const CellColoring& coloring, std::uint64_t min_len, std::uint64_t scratch_len,
    parallel::FunctionRef<void(std::uint64_t cell, std::span<double> scratch, std::span<double> result)> cell_action) {
  std::vector<double> result(n, 0.0);
  const std::span<double> shared(result);
  for_each_colored_run(coloring, min_len, [&](std::span<const std::uint64_t> cells) {
    std::vector<double> scratch(scratch_len);
    for (std::uint64_t cell : cells) {
      std::fill(scratch.begin(), scratch.end(), 0.0);
      cell_action(cell, scratch, shared);
    }
  });
  return result;
}

}  // namespace quenlith::ops::assemble
