#include "ops/assemble/coloring.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "containers/mesh/submesh.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::assemble {

using containers::mesh::NodeId;

CellColoring color_cells(std::uint64_t n_cells, std::uint64_t nodes_per_cell, std::span<const NodeId> connectivity) {
  CellColoring out;
  if (n_cells == 0) return out;
  if (nodes_per_cell == 0) {
    out.colors.emplace_back(n_cells);
    for (std::uint64_t c = 0; c < n_cells; ++c) out.colors[0][c] = c;
    return out;
  }
  const std::size_t n_entries = static_cast<std::size_t>(n_cells * nodes_per_cell);
  const std::span<const NodeId> conn = connectivity.first(n_entries);

  // Node -> cells (CSR), cells in increasing order within each node: the conflicts of
  // a cell are the earlier cells listed under its nodes.
  const std::size_t n_nodes = std::size_t{*std::max_element(conn.begin(), conn.end())} + 1;
  std::vector<std::uint64_t> offsets(n_nodes + 1, 0);
  for (NodeId id : conn) ++offsets[std::size_t{id} + 1];
  for (std::size_t n = 0; n < n_nodes; ++n) offsets[n + 1] += offsets[n];
  std::vector<std::uint64_t> cells(n_entries);
  {
    std::vector<std::uint64_t> fill(offsets.begin(), offsets.end() - 1);
    for (std::uint64_t c = 0; c < n_cells; ++c)
      for (std::uint64_t m = 0; m < nodes_per_cell; ++m) cells[fill[conn[c * nodes_per_cell + m]]++] = c;
  }

  constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint32_t> color(n_cells, 0);
  // forbidden[k] == c: colour k is taken by a neighbour of cell c.
  std::vector<std::uint64_t> forbidden;
  for (std::uint64_t c = 0; c < n_cells; ++c) {
    for (std::uint64_t m = 0; m < nodes_per_cell; ++m) {
      const NodeId id = conn[c * nodes_per_cell + m];
      for (std::uint64_t p = offsets[id]; p < offsets[std::size_t{id} + 1]; ++p) {
        const std::uint64_t d = cells[p];
        if (d >= c) break;  // the list is sorted: the rest are this cell or later ones
        forbidden[color[d]] = c;
      }
    }
    std::uint32_t k = 0;
    while (k < forbidden.size() && forbidden[k] == c) ++k;
    if (k == forbidden.size()) forbidden.push_back(kNone);
    color[c] = k;
  }
  out.colors.resize(forbidden.size());
  std::vector<std::uint64_t> sizes(forbidden.size(), 0);
  for (std::uint32_t k : color) ++sizes[k];
  for (std::size_t k = 0; k < sizes.size(); ++k) out.colors[k].reserve(sizes[k]);
  for (std::uint64_t c = 0; c < n_cells; ++c) out.colors[color[c]].push_back(c);
  return out;
}

const CellColoring& cell_coloring(const containers::finite_element_space::SubFiniteElementSpace& space) {
  return space.coloring([&] {
    store::ReadGuard<containers::mesh::SubMesh> guard = store::read(space.submesh());
    return color_cells(guard->cell_count(), guard->nodes_per_cell(), guard->connectivity());
  });
}

}  // namespace quenlith::ops::assemble
