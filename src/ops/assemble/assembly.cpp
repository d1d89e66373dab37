#include "ops/assemble/assembly.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/matrix/computed_recipe.hpp"
#include "containers/model/sub_model.hpp"
#include "models/kernel/block.hpp"
#include "ops/assemble/scatter.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"
#include "store/store.hpp"
#include "store/guard.hpp"

namespace quenlith::ops::assemble {

namespace {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::matrix::SubMatrix;
using containers::model::Model;
using containers::model::SubModel;
using models::kernel::BlockCells;
using models::kernel::BlockPlacement;
using containers::mesh::NodeId;

struct DofHash {
  std::size_t operator()(const Dof& d) const noexcept {
    return std::hash<std::string>{}(d.var) * 1000003u ^ std::hash<std::uint64_t>{}(d.node);
  }
};
using DofMap = std::unordered_map<Dof, std::uint64_t, DofHash>;

DofMap index_of(const std::vector<Dof>& table) {
  DofMap map;
  map.reserve(table.size());
  for (std::uint64_t i = 0; i < table.size(); ++i) map.emplace(table[i], i);
  return map;
}

// The global index of every local degree of freedom; each item on its own, so the
// lookups run in parallel (and the first one missing is the one reported).
std::vector<std::uint64_t> to_global(const std::vector<Dof>& local, const DofMap& map) {
  std::vector<std::uint64_t> out(local.size());
  parallel::for_chunks(local.size(), 1024, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index i = begin; i < end; ++i) out[i] = map.at(local[i]);
  });
  return out;
}

const BlockCells::Messages kCellMessages{
    "element_block_triplets_per_cell: no FE subspace",
    "element_block_triplets_per_cell: all FE subspaces of a block must share one submesh"};

// A recipe's zone under a read guard (absent when the recipe has none).
std::optional<store::ReadGuard<SubElementField>> read_zone(const std::optional<containers::matrix::ErasedHandle>& h) {
  if (!h) return std::nullopt;
  const auto* typed = h->as<SubElementField>();
  QUENLITH_VERIFY(typed != nullptr, "scatter_parallel: recipe zone is not a SubElementField ({})", h->type_path());
  return store::read(*typed);
}

// (global row, global column) pairs of a literal block, one per entry.
using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Rows per chunk of the loops over compressed rows and over literal entries.
constexpr parallel::Index kRowChunk = 4096;

// The global rows and columns of every cell's element block (cell c: rows at
// [c * n_rows, (c + 1) * n_rows), element order; columns likewise).
struct CellGlobals {
  std::uint64_t n_rows = 0;
  std::uint64_t n_cols = 0;
  std::vector<std::uint64_t> rows;
  std::vector<std::uint64_t> cols;
};

// A computed block's cells (its first subspace, under read guards) and where their
// element entries go in the block.
struct ComputedCells {
  const BlockCells& cells;
  const BlockPlacement& placement;
  std::uint64_t npc;
};

void for_each_cell_pattern(const SubMatrix& b, parallel::FunctionRef<void(const ComputedCells&)> f) {
  const auto& spaces = b.recipe()->fespaces;
  const std::span<const models::kernel::SpaceHandle> first =
      std::span(spaces).first(std::min<std::size_t>(1, spaces.size()));
  const BlockCells cells(first, kCellMessages);
  const BlockPlacement placement(std::vector<NodeId>(b.row_nodes().begin(), b.row_nodes().end()),
                                 std::vector<NodeId>(b.col_nodes().begin(), b.col_nodes().end()),
                                 b.dual_vars().size(), b.primal_vars().size(), b.ordering());
  f(ComputedCells{cells, placement, cells.nodes_per_cell()});
}

// The positions of a computed block's element entries in `csr`, cell by cell (each
// cell writes its own slice). The columns of a cell are sorted once; each of its rows
// is then walked once beside them, unless the previous row's layout fits it.
ScatterPattern::Computed computed_positions(const Csr& csr, const CellGlobals& g) {
  ScatterPattern::Computed out;
  out.stride = g.n_rows * g.n_cols;
  const std::uint64_t n_cells = g.n_rows ? g.rows.size() / g.n_rows : 0;
  if (csr.offsets[csr.n_rows] > std::numeric_limits<std::uint32_t>::max())
    out.positions = std::vector<std::uint64_t>(n_cells * out.stride);
  else
    out.positions = std::vector<std::uint32_t>(n_cells * out.stride);
  std::visit(
      [&](const auto& cols, auto& positions) {
        using P = typename std::remove_reference_t<decltype(positions)>::value_type;
        parallel::for_chunks(n_cells, min_cells_per_task(g.n_cols), [&](parallel::Index begin, parallel::Index end) {
          std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted(g.n_cols);  // (column, element column)
          for (parallel::Index c = begin; c < end; ++c) {
            for (std::uint64_t e = 0; e < g.n_cols; ++e) sorted[e] = {g.cols[c * g.n_cols + e], e};
            std::sort(sorted.begin(), sorted.end());
            P* pos = positions.data() + c * out.stride;
            for (std::uint64_t er = 0; er < g.n_rows; ++er) {
              const std::uint64_t r = g.rows[c * g.n_rows + er];
              const std::uint64_t first = csr.offsets[r], last = csr.offsets[r + 1];
              P* row = pos + er * g.n_cols;
              // Rows of one node usually hold the same columns: the previous row's
              // offsets are tried first, each checked.
              if (er > 0) {
                const P* prev = row - g.n_cols;
                const std::uint64_t prev_first = csr.offsets[g.rows[c * g.n_rows + er - 1]];
                bool same = true;
                for (std::uint64_t e = 0; e < g.n_cols && same; ++e) {
                  const std::uint64_t q = first + (prev[e] - prev_first);
                  same = q < last && cols[q] == g.cols[c * g.n_cols + e];
                  row[e] = static_cast<P>(q);
                }
                if (same) continue;
              }
              std::uint64_t q = first;
              for (const auto& [col, e] : sorted) {
                while (q < last && cols[q] < col) ++q;
                if (q == last || cols[q] != col)
                  throw Error::message("scatter: entry ({}, {}) absent from the CSR pattern", r, col);
                row[e] = static_cast<P>(q);
              }
            }
          }
        });
      },
      csr.cols, out.positions);
  return out;
}

}  // namespace

ScatterPattern build_scatter_pattern(const Matrix& matrix) {
  ScatterPattern p;
  if (const auto& f = matrix.finalized()) {
    p.row_dofs = f->row_dofs;
    p.col_dofs = f->col_dofs;
  } else {
    p.row_dofs = matrix.build_dof_table(containers::matrix::Side::Rows);
    p.col_dofs = matrix.build_dof_table(containers::matrix::Side::Cols);
  }
  const DofMap row_map = index_of(p.row_dofs), col_map = index_of(p.col_dofs);
  const std::uint64_t n_rows = p.row_dofs.size();
  // The columns of every row, repeats included; sorted and made unique below, so the
  // order in which they arrive does not matter.
  std::vector<std::vector<std::uint64_t>> row_cols(n_rows);
  // Per block: a literal one's pairs; a computed one's global rows and columns.
  std::vector<std::variant<Pairs, CellGlobals>> records;
  for (const Matrix::Block& h : matrix.subs()) {
    const store::ReadGuard<SubMatrix> b = store::read(h);
    if (!b->is_computed()) {
      const std::vector<std::uint64_t> grow = to_global(b->row_dofs(), row_map);
      const std::vector<std::uint64_t> gcol = to_global(b->col_dofs(), col_map);
      const auto& coo = b->coo();
      Pairs pairs(coo.size());
      for (std::uint64_t k = 0; k < coo.size(); ++k) {
        pairs[k] = {grow[coo.rows[k]], gcol[coo.cols[k]]};
        row_cols[pairs[k].first].push_back(pairs[k].second);
      }
      records.emplace_back(std::move(pairs));
      continue;
    }
    const std::vector<std::uint64_t> grow = to_global(b->row_dofs(), row_map);
    const std::vector<std::uint64_t> gcol = to_global(b->col_dofs(), col_map);
    CellGlobals g;
    for_each_cell_pattern(*b, [&](const ComputedCells& cc) {
      const BlockPlacement& place = cc.placement;
      const std::uint64_t n_cells = cc.cells.cell_count(), npc = cc.npc;
      const std::uint64_t n_dual = place.n_dual(), n_primal = place.n_primal();
      g.n_rows = npc * n_dual;
      g.n_cols = npc * n_primal;
      g.rows.resize(n_cells * g.n_rows);
      g.cols.resize(n_cells * g.n_cols);
      // The support positions of every cell's nodes and its global rows and columns,
      // cells in order on fixed chunks: a node missing from a support is reported for
      // the lowest cell.
      std::vector<std::uint32_t> row_pos(n_cells * npc), col_pos(n_cells * npc);
      parallel::for_chunks(n_cells, min_cells_per_task(npc), [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index c = begin; c < end; ++c) {
          const std::span<std::uint32_t> rp(&row_pos[c * npc], npc), cp(&col_pos[c * npc], npc);
          place.locate(cc.cells.node_ids(c), "element_block_pattern", rp, cp);
          for (std::uint64_t a = 0; a < npc; ++a) {
            for (std::uint64_t k = 0; k < n_dual; ++k)
              g.rows[c * g.n_rows + a * n_dual + k] = grow[place.row(rp[a], k)];
            for (std::uint64_t j = 0; j < n_primal; ++j)
              g.cols[c * g.n_cols + a * n_primal + j] = gcol[place.col(cp[a], j)];
          }
        }
      });
      // Node by node first: the column positions each row position meets, gathered
      // colour group by colour group (cells of one colour share no node, so each
      // appends to lists of its own), then sorted and made unique.
      std::vector<std::vector<std::uint64_t>> node_cols(place.row_nodes().size());
      for_each_colored_run(cc.cells.coloring(), min_cells_per_task(npc), [&](std::span<const std::uint64_t> run) {
        for (std::uint64_t c : run)
          for (std::uint64_t a = 0; a < npc; ++a) {
            std::vector<std::uint64_t>& list = node_cols[row_pos[c * npc + a]];
            list.insert(list.end(), &col_pos[c * npc], &col_pos[c * npc] + npc);
          }
      });
      parallel::par_sort_dedup_rows(node_cols);
      // Then every row of a row position gets every column of the positions it met;
      // rows of distinct positions are distinct.
      parallel::for_chunks(node_cols.size(), 64, [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index a = begin; a < end; ++a)
          for (std::uint64_t k = 0; k < n_dual; ++k) {
            std::vector<std::uint64_t>& row = row_cols[grow[place.row(static_cast<std::uint32_t>(a), k)]];
            row.reserve(row.size() + node_cols[a].size() * n_primal);
            for (std::uint64_t q : node_cols[a])
              for (std::uint64_t j = 0; j < n_primal; ++j)
                row.push_back(gcol[place.col(static_cast<std::uint32_t>(q), j)]);
          }
      });
    });
    records.emplace_back(std::move(g));
  }
  parallel::par_sort_dedup_rows(row_cols);
  Csr& csr = p.csr;
  csr = Csr::empty(n_rows, p.col_dofs.size());
  csr.offsets = containers::matrix::PodArray<std::uint64_t>(n_rows + 1);
  csr.offsets[0] = 0;
  for (std::uint64_t r = 0; r < n_rows; ++r) csr.offsets[r + 1] = csr.offsets[r] + row_cols[r].size();
  const std::uint64_t nnz = csr.offsets[n_rows];
  auto fill = [&](auto& cols) {
    parallel::for_chunks(n_rows, kRowChunk, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index r = begin; r < end; ++r) {
        std::copy(row_cols[r].begin(), row_cols[r].end(), cols.begin() + csr.offsets[r]);
        std::vector<std::uint64_t>().swap(row_cols[r]);
      }
    });
  };
  if (Csr::narrow_columns(csr.n_cols)) {
    containers::matrix::PodArray<std::uint32_t> cols(nnz);
    fill(cols);
    csr.cols = std::move(cols);
  } else {
    containers::matrix::PodArray<std::uint64_t> cols(nnz);
    fill(cols);
    csr.cols = std::move(cols);
  }
  p.blocks.resize(records.size());
  for (std::size_t m = 0; m < records.size(); ++m) {
    if (const Pairs* pairs = std::get_if<Pairs>(&records[m])) {
      ScatterPattern::Literal pos(pairs->size());
      parallel::for_chunks(pairs->size(), kRowChunk, [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index k = begin; k < end; ++k)
          pos[k] = containers::matrix::csr_position(csr, (*pairs)[k].first, (*pairs)[k].second);
      });
      p.blocks[m] = std::move(pos);
      continue;
    }
    p.blocks[m] = computed_positions(csr, std::get<CellGlobals>(records[m]));
  }
  return p;
}

Csr scatter_parallel(const Matrix& matrix, const ScatterPattern& pattern, const store::InterruptCheck& interrupt) {
  Csr csr = pattern.csr;
  csr.values = containers::matrix::PodArray<double>(csr.offsets[csr.n_rows]);
  std::fill(csr.values.begin(), csr.values.end(), 0.0);
  const std::span<double> values(csr.values.data(), csr.values.size());
  const auto subs = matrix.subs();
  for (std::size_t m = 0; m < subs.size(); ++m) {
    interrupt();
    const store::ReadGuard<SubMatrix> b = store::read(subs[m]);
    const double factor = b->factor();
    if (!b->is_computed()) {
      const auto* pos = m < pattern.blocks.size() ? std::get_if<ScatterPattern::Literal>(&pattern.blocks[m]) : nullptr;
      if (!pos) throw Error::message("scatter_parallel: pattern/block kind mismatch (literal block)");
      const auto& coo = b->coo();
      const std::uint64_t n = std::min<std::uint64_t>(coo.size(), pos->size());
      for (std::uint64_t k = 0; k < n; ++k) values[(*pos)[k]] += coo.values[k] * factor;
      continue;
    }
    const containers::matrix::ComputedRecipe& recipe = *b->recipe();
    const auto* sub_handle = recipe.submodel.as<SubModel>();
    QUENLITH_VERIFY(sub_handle != nullptr, "scatter_parallel: recipe sub-model is not a SubModel ({})",
                    recipe.submodel.type_path());
    const store::ReadGuard<SubModel> sub = store::read(*sub_handle);
    const auto material = read_zone(recipe.material);
    const auto state = read_zone(recipe.state);
    const SubElementField* mat = material ? &material->get() : nullptr;
    const SubElementField* st = state ? &state->get() : nullptr;
    const models::ModelKind& kind = sub->kind();
    const BlockCells cells(recipe.fespaces, kCellMessages);
    const auto* pos = m < pattern.blocks.size() ? std::get_if<ScatterPattern::Computed>(&pattern.blocks[m]) : nullptr;
    if (!pos) throw Error::message("scatter_parallel: pattern/block kind mismatch (computed block)");
    const OperatorKind op = recipe.kind;
    // Cells of one colour share no node, hence no compressed entry: each adds into
    // the shared values without a lock.
    std::visit(
        [&](const auto& positions) {
          models::kernel::for_each_element_block(
              cells, b->dual_vars().size(), b->primal_vars().size(),
              [&](std::span<const models::CellContext> ctxs, std::span<double> out) {
                kind.element_operator(op, ctxs, mat, st, out);
              },
              [&](std::uint64_t cell, std::span<const double> block) {
                const std::uint64_t first = cell * pos->stride;
                if (first >= positions.size()) return;
                const auto* at = positions.data() + first;
                const std::size_t n = std::min<std::uint64_t>(pos->stride, block.size());
                for (std::size_t k = 0; k < n; ++k) values[at[k]] += block[k] * factor;
              },
              &interrupt);
        },
        pos->positions);
  }
  if (auto bad = csr.invalid()) throw Error::message(fmt::format("scatter_parallel: invalid CSR: {}", *bad));
  return csr;
}

void assemble(Matrix& matrix, const store::InterruptCheck& interrupt) {
  ScatterPattern pattern = build_scatter_pattern(matrix);
  Csr csr = scatter_parallel(matrix, pattern, interrupt);
  matrix.install(std::move(pattern.row_dofs), std::move(pattern.col_dofs), std::move(csr));
}

Matrix assemble_operator(const Model& model, const ElementField& materials, OperatorKind kind,
                         const ElementField* extra, const store::InterruptCheck& interrupt) {
  Matrix matrix;
  for (const store::Handle<SubModel>& sub_handle : model.subs()) {
    std::vector<SubMatrix> made;
    std::optional<models::ZoneHandle> material, extra_zone;
    {
      const store::ReadGuard<SubModel> sub = store::read(sub_handle);
      const models::ModelKind& k = sub->kind();
      if (const models::Behaviour* beh = k.behaviour()) {
        const models::SpaceHandle space = beh->material_fespace();
        const auto required_views = beh->material_components();
        if (!required_views.empty()) {
          const std::vector<std::string> required(required_views.begin(), required_views.end());
          material = materials.sub_for_fespace_components(space, required);
        } else {
          material = materials.sub_for_fespace(space);
        }
        if (extra) extra_zone = extra->sub_for_fespace(space);
      }
      for (models::BlockRecipe& recipe : k.block_recipes(kind, material)) {
        std::vector<SubMatrix> blocks;
        if (auto* layout = std::get_if<models::BlockLayout>(&recipe)) {
          containers::matrix::ComputedRecipe r{containers::matrix::ErasedHandle(sub_handle), layout->fespaces,
                                               material ? std::optional(containers::matrix::ErasedHandle(*material))
                                                        : std::nullopt,
                                               kind,
                                               extra_zone
                                                   ? std::optional(containers::matrix::ErasedHandle(*extra_zone))
                                                   : std::nullopt};
          blocks.push_back(SubMatrix::computed(layout->support, layout->support, layout->dual_vars,
                                               layout->primal_vars, layout->ordering, layout->symmetric,
                                               std::move(r)));
        } else {
          blocks = std::move(std::get<models::LiteralBlocks>(recipe));
        }
        const auto physics = k.physics();
        for (SubMatrix& b : blocks) {
          b.set_physics(std::vector<containers::matrix::Physics>(physics.begin(), physics.end()));
          made.push_back(std::move(b));
        }
      }
    }
    for (SubMatrix& b : made) matrix.push_sub(store::insert(std::move(b)));
  }
  Model::Pattern pattern = model.scatter_pattern(
      kind, [&]() -> Model::Pattern { return std::make_shared<const ScatterPattern>(build_scatter_pattern(matrix)); });
  Csr csr = scatter_parallel(matrix, *pattern, interrupt);
  matrix.install(pattern->row_dofs, pattern->col_dofs, std::move(csr));
  return matrix;
}

}  // namespace quenlith::ops::assemble

