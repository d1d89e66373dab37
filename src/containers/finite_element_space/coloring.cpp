#include "containers/finite_element_space/coloring.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "containers/mesh/submesh.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::finite_element_space {

using containers::mesh::NodeId;

namespace {

// Greedy first-fit over the runs in order, with the colours taken by earlier runs
// kept as one bit per colour on every node: the colours a run may not take are the
// union of its nodes' bits. False (the colouring unfinished) when a run finds all 64
// colours taken.
bool color_by_masks(std::span<const NodeId> conn, std::size_t n_nodes, std::uint64_t n_runs,
                    std::uint64_t entries_per_run, std::vector<std::uint32_t>& color, std::uint32_t& n_colors) {
  std::vector<std::uint64_t> taken(n_nodes, 0);
  n_colors = 0;
  for (std::uint64_t q = 0; q < n_runs; ++q) {
    const std::size_t begin = q * entries_per_run, end = std::min<std::size_t>(begin + entries_per_run, conn.size());
    std::uint64_t used = 0;
    for (std::size_t e = begin; e < end; ++e) used |= taken[conn[e]];
    if (~used == 0) return false;
    const std::uint32_t k = static_cast<std::uint32_t>(std::countr_one(used));
    for (std::size_t e = begin; e < end; ++e) taken[conn[e]] |= std::uint64_t{1} << k;
    color[q] = k;
    n_colors = std::max(n_colors, k + 1);
  }
  return true;
}

// The same greedy for any number of colours, the earlier runs of a run found
// through a node -> runs index (runs ascending under each node, each once).
void color_by_lists(std::span<const NodeId> conn, std::size_t n_nodes, std::uint64_t n_runs,
                    std::uint64_t entries_per_run, std::vector<std::uint32_t>& color, std::uint32_t& n_colors) {
  constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
  // Calls f(id, q) once per node id and run q that holds it, runs in order.
  const auto walk = [&](auto&& f) {
    std::vector<std::uint64_t> last(n_nodes, kNone);  // the last run seen on a node
    for (std::uint64_t q = 0; q < n_runs; ++q) {
      const std::size_t begin = q * entries_per_run, end = std::min<std::size_t>(begin + entries_per_run, conn.size());
      for (std::size_t e = begin; e < end; ++e)
        if (last[conn[e]] != q) {
          last[conn[e]] = q;
          f(conn[e], q);
        }
    }
  };
  std::vector<std::uint64_t> offsets(n_nodes + 1, 0);
  walk([&](NodeId id, std::uint64_t) { ++offsets[std::size_t{id} + 1]; });
  for (std::size_t n = 0; n < n_nodes; ++n) offsets[n + 1] += offsets[n];
  std::vector<std::uint64_t> runs(offsets[n_nodes]);
  std::vector<std::uint64_t> fill(offsets.begin(), offsets.end() - 1);
  walk([&](NodeId id, std::uint64_t q) { runs[fill[id]++] = q; });
  // forbidden[k] == q: colour k is taken by a neighbour of run q.
  std::vector<std::uint64_t> forbidden;
  for (std::uint64_t q = 0; q < n_runs; ++q) {
    const std::size_t begin = q * entries_per_run, end = std::min<std::size_t>(begin + entries_per_run, conn.size());
    for (std::size_t e = begin; e < end; ++e)
      for (std::uint64_t p = offsets[conn[e]]; p < offsets[std::size_t{conn[e]} + 1] && runs[p] < q; ++p)
        forbidden[color[runs[p]]] = q;
    std::uint32_t k = 0;
    while (k < forbidden.size() && forbidden[k] == q) ++k;
    if (k == forbidden.size()) forbidden.push_back(kNone);
    color[q] = k;
  }
  n_colors = static_cast<std::uint32_t>(forbidden.size());
}

}  // namespace

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
  const std::size_t n_nodes = std::size_t{*std::max_element(conn.begin(), conn.end())} + 1;
  std::vector<std::uint32_t> color(n_runs, 0);
  std::uint32_t n_colors = 0;
  if (!color_by_masks(conn, n_nodes, n_runs, entries_per_run, color, n_colors))
    color_by_lists(conn, n_nodes, n_runs, entries_per_run, color, n_colors);
  out.colors.resize(n_colors);
  std::vector<std::uint64_t> sizes(n_colors, 0);
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

}  // namespace quenlith::containers::finite_element_space
