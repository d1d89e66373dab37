#include "models/kernel/block.hpp"

#include <algorithm>

#include "base/error.hpp"
#include "containers/finite_element_space/coloring.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "parallel/pool.hpp"
#include "store/store.hpp"

namespace quenlith::models::kernel {

namespace fes = containers::finite_element_space;
using containers::node_field::IdIndex;

BlockCells::BlockCells(std::span<const SpaceHandle> fespaces, Messages messages) {
  if (fespaces.empty()) throw Error::message(std::string(messages.no_space));
  spaces_.reserve(fespaces.size());
  geometries_.reserve(fespaces.size());
  spaces_.push_back(store::read(fespaces.front()));
  geometries_.push_back(std::make_unique<fes::CellGeometry>(*spaces_.front()));
  for (std::size_t k = 1; k < fespaces.size(); ++k) {
    store::ReadGuard<fes::SubFiniteElementSpace> space = store::read(fespaces[k]);
    if (!(space->submesh() == spaces_.front()->submesh())) throw Error::message(std::string(messages.one_submesh));
    geometries_.push_back(std::make_unique<fes::CellGeometry>(*space));
    spaces_.push_back(std::move(space));
  }
}

BlockCells::~BlockCells() {
  // The geometries hold guards on the submesh and its Coords: they go before the
  // guards on the subspaces.
  geometries_.clear();
}

const fes::CellColoring& BlockCells::coloring() const { return containers::finite_element_space::cell_coloring(*spaces_.front()); }

std::vector<CellContext> BlockCells::make_contexts() const {
  std::vector<CellContext> ctxs;
  ctxs.reserve(spaces_.size());
  for (std::size_t k = 0; k < spaces_.size(); ++k) ctxs.emplace_back(*spaces_[k], *geometries_[k], 0);
  return ctxs;
}

std::vector<NodeId> support_nodes(const SupportHandle& support) {
  store::ReadGuard<containers::mesh::SubMesh> guard = store::read(support);
  const std::span<const NodeId> ids = guard->connectivity();
  return std::vector<NodeId>(ids.begin(), ids.end());
}

namespace {
IdIndex first_positions(std::span<const NodeId> nodes) {
  IdIndex index = IdIndex::for_ids(nodes);
  for (std::size_t p = 0; p < nodes.size(); ++p) index.try_insert(nodes[p], static_cast<std::uint32_t>(p));
  return index;
}
}  // namespace

BlockPlacement::BlockPlacement(std::vector<NodeId> row_nodes, std::vector<NodeId> col_nodes, std::uint64_t n_dual,
                               std::uint64_t n_primal, Ordering ordering)
    : row_nodes_(std::move(row_nodes)),
      col_nodes_(std::move(col_nodes)),
      row_index_(first_positions(row_nodes_)),
      // Rows and columns usually list the same nodes (one support for both).
      col_index_(col_nodes_ == row_nodes_ ? row_index_ : first_positions(col_nodes_)),
      n_dual_(n_dual),
      n_primal_(n_primal),
      ordering_(ordering) {}

void BlockPlacement::locate(std::span<const NodeId> cell_nodes, std::string_view who, std::span<std::uint32_t> row_pos,
                            std::span<std::uint32_t> col_pos) const {
  for (std::size_t a = 0; a < cell_nodes.size(); ++a) {
    const NodeId id = cell_nodes[a];
    const auto r = row_index_.find(id);
    if (!r) throw Error::message("{}: node {} not in row support", who, id);
    const auto c = col_index_.find(id);
    if (!c) throw Error::message("{}: node {} not in col support", who, id);
    row_pos[a] = *r;
    col_pos[a] = *c;
  }
}

namespace {

// Visits the entries of one cell's element block in element order (a, k, i, j).
template <class F>
void for_each_entry(const BlockPlacement& p, std::span<const std::uint32_t> row_pos,
                    std::span<const std::uint32_t> col_pos, F&& f) {
  const std::uint64_t npc = row_pos.size(), nd = p.n_dual(), np = p.n_primal();
  std::uint64_t e = 0;
  for (std::uint64_t a = 0; a < npc; ++a)
    for (std::uint64_t k = 0; k < nd; ++k) {
      const std::uint64_t row = p.row(row_pos[a], k);
      for (std::uint64_t i = 0; i < npc; ++i)
        for (std::uint64_t j = 0; j < np; ++j) f(e++, row, p.col(col_pos[i], j));
    }
}

constexpr std::size_t kMaxNodesPerCell = 27;

}  // namespace

void element_block_pattern(std::span<const NodeId> cell_nodes, const BlockPlacement& placement,
                           std::span<std::pair<std::uint64_t, std::uint64_t>> out) {
  std::uint32_t row_pos[kMaxNodesPerCell], col_pos[kMaxNodesPerCell];
  const std::size_t npc = cell_nodes.size();
  placement.locate(cell_nodes, "element_block_pattern", std::span(row_pos, npc), std::span(col_pos, npc));
  for_each_entry(placement, std::span<const std::uint32_t>(row_pos, npc), std::span<const std::uint32_t>(col_pos, npc),
                 [&](std::uint64_t e, std::uint64_t row, std::uint64_t col) { out[e] = {row, col}; });
}

void for_each_element_block(const BlockCells& cells, std::uint64_t n_dual, std::uint64_t n_primal, CellRoutine kernel,
                            parallel::FunctionRef<void(std::uint64_t cell, std::span<const double> block)> sink,
                            const store::InterruptCheck* interrupt, const PreparedKernel* prepared) {
  const std::uint64_t npc = cells.nodes_per_cell();
  const std::uint64_t len = npc * n_dual * npc * n_primal;
  containers::finite_element_space::for_each_colored_run(
      cells.coloring(), containers::finite_element_space::min_cells_per_task(npc), [&](std::uint64_t begin, std::uint64_t end) {
        std::vector<CellContext> ctxs;  // made when a cell first needs them
        std::vector<double> blocks(2 * len);
        const std::span<double> one(blocks.data(), len), two(blocks.data() + len, len);
        // The kind's own kernel on a cell its prepared kernel declined.
        const auto by_kind = [&](std::uint64_t c, std::span<double> block) {
          std::fill(block.begin(), block.end(), 0.0);
          if (prepared && prepared->add_cell(c, block)) return;
          if (ctxs.empty()) ctxs = cells.make_contexts();
          for (CellContext& ctx : ctxs) ctx.set_cell(c);
          std::fill(block.begin(), block.end(), 0.0);
          kernel(ctxs, block);
        };
        std::uint64_t c = begin;
        // Cells two by two where the prepared kernel takes pairs; each block is still
        // handed over in cell order.
        for (; prepared && c + 1 < end; c += 2) {
          std::fill(blocks.begin(), blocks.end(), 0.0);
          if (!prepared->add_pair(c, c + 1, one, two)) {
            by_kind(c, one);
            by_kind(c + 1, two);
          }
          sink(c, one);
          sink(c + 1, two);
        }
        for (; c < end; ++c) {
          by_kind(c, one);
          sink(c, one);
        }
      },
      interrupt);
}

containers::matrix::SubMatrix assemble_block(std::span<const SpaceHandle> fespaces, const SupportHandle& row_support,
                                             const SupportHandle& col_support, std::vector<std::string> dual_vars,
                                             std::vector<std::string> primal_vars, Ordering ordering, bool symmetric,
                                             CellRoutine kernel) {
  containers::matrix::CooMatrix coo;
  {
    const BlockCells cells(fespaces, {"element_block_triplets_per_cell: no FE subspace",
                                      "element_block_triplets_per_cell: all FE subspaces of a block must share one "
                                      "submesh"});
    const BlockPlacement placement(support_nodes(row_support), support_nodes(col_support), dual_vars.size(),
                                   primal_vars.size(), ordering);
    const std::uint64_t n_cells = cells.cell_count(), npc = cells.nodes_per_cell();
    const std::uint64_t len = placement.block_len(npc);
    coo.nrows = placement.n_rows();
    coo.ncols = placement.n_cols();
    QUENLITH_VERIFY(coo.nrows <= containers::matrix::CooMatrix::kMaxSide &&
                        coo.ncols <= containers::matrix::CooMatrix::kMaxSide,
                    "assemble_block: invalid COO: {}×{} is beyond 2^32 rows or columns", coo.nrows, coo.ncols);
    coo.rows.resize(n_cells * len);
    coo.cols.resize(n_cells * len);
    coo.values.resize(n_cells * len);
    // Each cell writes its own slice: cells run in any order and on any thread.
    parallel::for_chunks(n_cells, containers::finite_element_space::min_cells_per_task(npc), [&](parallel::Index begin,
                                                                             parallel::Index end) {
      std::vector<CellContext> ctxs = cells.make_contexts();
      std::vector<double> block(len);
      std::uint32_t row_pos[kMaxNodesPerCell], col_pos[kMaxNodesPerCell];
      for (std::uint64_t c = begin; c < end; ++c) {
        for (CellContext& ctx : ctxs) ctx.set_cell(c);
        std::fill(block.begin(), block.end(), 0.0);
        kernel(ctxs, block);
        placement.locate(cells.node_ids(c), "element_block_triplets", std::span(row_pos, npc), std::span(col_pos, npc));
        const std::uint64_t base = c * len;
        for_each_entry(placement, std::span<const std::uint32_t>(row_pos, npc),
                       std::span<const std::uint32_t>(col_pos, npc),
                       [&](std::uint64_t e, std::uint64_t row, std::uint64_t col) {
                         coo.rows[base + e] = static_cast<std::uint32_t>(row);
                         coo.cols[base + e] = static_cast<std::uint32_t>(col);
                         coo.values[base + e] = block[e];
                       });
      }
    });
  }
  return containers::matrix::SubMatrix::from_coo(row_support, col_support, std::move(dual_vars),
                                                 std::move(primal_vars), ordering, symmetric, std::move(coo));
}

}  // namespace quenlith::models::kernel
