#include "ops/assemble/assembly.hpp"

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/matrix/computed_recipe.hpp"
#include "containers/model/sub_model.hpp"
#include "models/kernel/block.hpp"
#include "ops/assemble/scatter.hpp"
#include "parallel/pool.hpp"
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

std::vector<std::uint64_t> to_global(const std::vector<Dof>& local, const DofMap& map) {
  std::vector<std::uint64_t> out(local.size());
  for (std::size_t i = 0; i < local.size(); ++i) out[i] = map.at(local[i]);
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

// (global row, global column) pairs of one block, literal: one per entry; computed:
// one list per cell.
using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

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
  std::vector<std::vector<std::uint64_t>> row_cols(n_rows);
  // Per block: the recorded pairs (literal: one list; computed: one per cell).
  std::vector<std::variant<Pairs, std::vector<Pairs>>> records;
  for (const Matrix::Block& h : matrix.subs()) {
    const store::ReadGuard<SubMatrix> b = store::read(h);
    const std::vector<std::uint64_t> grow = to_global(b->row_dofs(), row_map);
    const std::vector<std::uint64_t> gcol = to_global(b->col_dofs(), col_map);
    if (!b->is_computed()) {
      const auto& coo = b->coo();
      Pairs pairs(coo.size());
      for (std::uint64_t k = 0; k < coo.size(); ++k) {
        pairs[k] = {grow[coo.rows[k]], gcol[coo.cols[k]]};
        row_cols[pairs[k].first].push_back(pairs[k].second);
      }
      records.emplace_back(std::move(pairs));
      continue;
    }
    const BlockCells cells(std::span(b->recipe()->fespaces).first(std::min<std::size_t>(1, b->recipe()->fespaces.size())),
                           kCellMessages);
    const BlockPlacement placement(std::vector<NodeId>(b->row_nodes().begin(), b->row_nodes().end()),
                                   std::vector<NodeId>(b->col_nodes().begin(), b->col_nodes().end()),
                                   b->dual_vars().size(), b->primal_vars().size(), b->ordering());
    const std::uint64_t n_cells = cells.cell_count(), npc = cells.nodes_per_cell();
    std::vector<Pairs> per_cell(n_cells, Pairs(placement.block_len(npc)));
    parallel::for_chunks(n_cells, min_cells_per_task(npc), [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index c = begin; c < end; ++c) {
        models::kernel::element_block_pattern(cells.node_ids(c), placement, per_cell[c]);
        for (auto& [r, col] : per_cell[c]) {
          r = grow[r];
          col = gcol[col];
        }
      }
    });
    for (const Pairs& cell : per_cell)
      for (const auto& [r, c] : cell) row_cols[r].push_back(c);
    records.emplace_back(std::move(per_cell));
  }
  parallel::for_chunks(n_rows, 64, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index r = begin; r < end; ++r) {
      auto& v = row_cols[r];
      std::sort(v.begin(), v.end());
      v.erase(std::unique(v.begin(), v.end()), v.end());
    }
  });
  Csr& csr = p.csr;
  csr = Csr::empty(n_rows, p.col_dofs.size());
  std::uint64_t nnz = 0;
  for (const auto& v : row_cols) nnz += v.size();
  csr.offsets = containers::matrix::PodArray<std::uint64_t>(n_rows + 1);
  csr.offsets[0] = 0;
  const bool narrow = Csr::narrow_columns(csr.n_cols);
  containers::matrix::PodArray<std::uint32_t> cols32(narrow ? nnz : 0);
  containers::matrix::PodArray<std::uint64_t> cols64(narrow ? 0 : nnz);
  std::uint64_t at = 0;
  for (std::uint64_t r = 0; r < n_rows; ++r) {
    for (std::uint64_t c : row_cols[r]) {
      if (narrow)
        cols32[at++] = static_cast<std::uint32_t>(c);
      else
        cols64[at++] = c;
    }
    csr.offsets[r + 1] = at;
    std::vector<std::uint64_t>().swap(row_cols[r]);
  }
  if (narrow)
    csr.cols = std::move(cols32);
  else
    csr.cols = std::move(cols64);
  p.blocks.resize(records.size());
  parallel::for_chunks(records.size(), 1, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index m = begin; m < end; ++m) {
      if (const Pairs* pairs = std::get_if<Pairs>(&records[m])) {
        ScatterPattern::Literal pos(pairs->size());
        for (std::size_t k = 0; k < pairs->size(); ++k) pos[k] = containers::matrix::csr_position(csr, (*pairs)[k].first, (*pairs)[k].second);
        p.blocks[m] = std::move(pos);
      } else {
        const auto& per_cell = std::get<std::vector<Pairs>>(records[m]);
        ScatterPattern::Computed pos(per_cell.size());
        for (std::size_t c = 0; c < per_cell.size(); ++c) {
          pos[c].resize(per_cell[c].size());
          for (std::size_t k = 0; k < per_cell[c].size(); ++k)
            pos[c][k] = containers::matrix::csr_position(csr, per_cell[c][k].first, per_cell[c][k].second);
        }
        p.blocks[m] = std::move(pos);
      }
    }
  });
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
    models::kernel::for_each_element_block(
        cells, b->dual_vars().size(), b->primal_vars().size(),
        [&](std::span<const models::CellContext> ctxs, std::span<double> out) {
          kind.element_operator(op, ctxs, mat, st, out);
        },
        [&](std::uint64_t cell, std::span<const double> block) {
          if (cell >= pos->size()) return;
          const std::vector<std::uint64_t>& at = (*pos)[cell];
          const std::size_t n = std::min(at.size(), block.size());
          for (std::size_t k = 0; k < n; ++k) values[at[k]] += block[k] * factor;
        },
        &interrupt);
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
