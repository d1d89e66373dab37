#include "ops/assemble/coloring.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "containers/mesh/submesh.hpp"
#include "ops/assemble/scatter.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::assemble {

using containers::mesh::NodeId;

CellColoring color_cells(std::uint64_t n_cells, std::uint64_t nodes_per_cell, std::span<const NodeId> connectivity,
                         std::uint64_t run_length) {
  CellColoring out;
  out.n_cells = n_cells;
  out.run_length = std::max<std::uint64_t>(run_length, 1);
  if (n_cells == 0) return out;
  const std::uint64_t n_runs = (n_cells + out.run_length - 1) / out.run_length;
  if (nodes_per_cell == 0) {
    out.colors.emplace_back(n_runs);
    for (std::uint64_t q = 0; q < n_runs; ++q) out.colors[0][q] = q;
    return out;
  }
  const std::size_t n_entries = static_cast<std::size_t>(n_cells * nodes_per_cell);
  const std::span<const NodeId> conn = connectivity.first(n_entries);
  const std::uint64_t entries_per_run = out.run_length * nodes_per_cell;
  const auto run_of = [&](std::size_t entry) { return entry / entries_per_run; };

  // Node -> runs (CSR), each run once, runs in increasing order within each node: the
  // conflicts of a run are the earlier runs listed under its nodes.
  const std::size_t n_nodes = std::size_t{*std::max_element(conn.begin(), conn.end())} + 1;
  constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> last(n_nodes, kNone);  // the last run listed under a node
  std::vector<std::uint64_t> offsets(n_nodes + 1, 0);
  for (std::size_t e = 0; e < n_entries; ++e) {
    const NodeId id = conn[e];
    if (last[id] != run_of(e)) {
      last[id] = run_of(e);
      ++offsets[std::size_t{id} + 1];
    }
  }
  for (std::size_t n = 0; n < n_nodes; ++n) offsets[n + 1] += offsets[n];
  std::vector<std::uint64_t> runs(offsets[n_nodes]);
  {
    std::fill(last.begin(), last.end(), kNone);
    std::vector<std::uint64_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::size_t e = 0; e < n_entries; ++e) {
      const NodeId id = conn[e];
      if (last[id] != run_of(e)) {
        last[id] = run_of(e);
        runs[fill[id]++] = run_of(e);
      }
    }
  }

  std::vector<std::uint32_t> color(n_runs, 0);
  // forbidden[k] == q: colour k is taken by a neighbour of run q.
  std::vector<std::uint64_t> forbidden;
  for (std::uint64_t q = 0; q < n_runs; ++q) {
    const std::size_t end = std::min<std::size_t>((q + 1) * entries_per_run, n_entries);
    for (std::size_t e = q * entries_per_run; e < end; ++e) {
      const NodeId id = conn[e];
      for (std::uint64_t p = offsets[id]; p < offsets[std::size_t{id} + 1]; ++p) {
        const std::uint64_t d = runs[p];
        if (d >= q) break;  // the list is sorted: the rest are this run or later ones
        forbidden[color[d]] = q;
      }
    }
    std::uint32_t k = 0;
    while (k < forbidden.size() && forbidden[k] == q) ++k;
    if (k == forbidden.size()) forbidden.push_back(kNone);
    color[q] = k;
  }
  out.colors.resize(forbidden.size());
  std::vector<std::uint64_t> sizes(forbidden.size(), 0);
  for (std::uint32_t k : color) ++sizes[k];
  for (std::size_t k = 0; k < sizes.size(); ++k) out.colors[k].reserve(sizes[k]);
  for (std::uint64_t q = 0; q < n_runs; ++q) out.colors[color[q]].push_back(q);
  return out;
}

const CellColoring& cell_coloring(const containers::finite_element_space::SubFiniteElementSpace& space) {
  return space.coloring([&] {
    store::ReadGuard<containers::mesh::SubMesh> guard = store::read(space.submesh());
    return color_cells(guard->cell_count(), guard->nodes_per_cell(), guard->connectivity(),
                       min_cells_per_task(guard->nodes_per_cell()));
  });
}

}  // namespace quenlith::ops::assemble
