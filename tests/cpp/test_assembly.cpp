// The scatter pattern of an operator assembly: every element entry points at its own
// (row, column) in the compressed rows, the rows hold exactly the columns some entry
// brings, and pattern and values are the same bit for bit with one thread and with
// all of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/model.hpp"
#include "models/kernel/block.hpp"
#include "ops/assemble/assembly.hpp"
#include "ops/build/material_field.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith;
using containers::element_field::ElementField;
using containers::matrix::Csr;
using containers::matrix::Matrix;
using containers::matrix::OperatorKind;
using containers::matrix::SubMatrix;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using containers::model::Model;
using ops::assemble::ScatterPattern;

Mesh one_sub(SubMesh s) {
  Mesh m;
  m.push_sub(store::insert(std::move(s)));
  return m;
}

// n×n×n HEX8 cells, nodes slightly moved off the grid, numbered in a scrambled order
// (so that a cell's rows lie far apart); the face x = 0 held along x and z by
// multipliers.
struct Problem {
  Model model;
  ElementField materials;
};

Problem hex_problem(int n) {
  const int p = n + 1;
  const int total = p * p * p;
  const auto handle = store::insert(containers::mesh::Coords(3));
  std::vector<NodeId> id(total);
  {
    store::WriteGuard<containers::mesh::Coords> w = store::write(handle);
    std::vector<int> order(total);
    for (int q = 0; q < total; ++q) order[q] = int((std::int64_t(q) * 7919) % total);  // 7919 prime: a permutation
    std::vector<std::vector<double>> xyz(total);
    for (int q = 0; q < total; ++q) {
      const int i = q % p, j = (q / p) % p, k = q / (p * p);
      xyz[q] = {i + 0.1 * ((i * 3 + j * 5 + k) % 7) / 7.0, j + 0.1 * ((i + k * 3) % 5) / 5.0, double(k)};
    }
    for (int q : order) id[q] = w->add_node(xyz[q]);
  }
  const auto node = [&](int i, int j, int k) { return id[(k * p + j) * p + i]; };
  SubMesh body(ElementType::HEX8, handle);
  const int off[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        NodeId v[8];
        for (int a = 0; a < 8; ++a) v[a] = node(i + off[a][0], j + off[a][1], k + off[a][2]);
        body.add_cell(v);
      }
  const auto fes = containers::finite_element_space::FiniteElementSpace::lagrange1(one_sub(std::move(body)));
  Problem out{Model::elasticity(fes, models::ContinuumModel::Solid), {}};
  std::vector<NodeId> face;
  for (int k = 0; k < p; ++k)
    for (int j = 0; j < p; ++j) face.push_back(node(0, j, k));
  for (const char* var : {"u_x", "u_z"}) {
    SubMesh imposed(ElementType::POI1, handle), mult(ElementType::POI1, handle);
    imposed.add_cells(face);
    std::vector<NodeId> ids;
    {
      store::WriteGuard<containers::mesh::Coords> w = store::write(handle);
      for (std::size_t q = 0; q < face.size(); ++q) {
        const double x[3] = {-1.0, double(q), var[2] == 'x' ? 0.0 : 1.0};
        ids.push_back(w->add_node(x));
      }
    }
    mult.add_cells(ids);
    const char* dual = var[2] == 'x' ? "f_x" : "f_z";
    const Model held = Model::dirichlet(var, dual, one_sub(std::move(imposed)), one_sub(std::move(mult)), std::nullopt,
                                        std::nullopt, models::Sense::Equal);
    out.model = Model::union_(out.model, held);
  }
  const ops::build::MaterialPair pairs[] = {{"E", 2.5}, {"nu", 0.28}};
  out.materials = ElementField(ops::build::material_field_for_model(out.model.subs(), pairs));
  return out;
}

std::vector<std::uint64_t> columns(const Csr& csr) {
  std::vector<std::uint64_t> out(csr.nnz());
  for (std::uint64_t q = 0; q < csr.nnz(); ++q) out[q] = csr.col(q);
  return out;
}

bool same_bits(const containers::matrix::PodArray<double>& a, const containers::matrix::PodArray<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(ScatterPattern, EveryEntryPointsAtItsRowAndColumnAndRowsHoldOnlyThose) {
  const Problem pr = hex_problem(6);
  const Matrix k = ops::assemble::assemble_operator(pr.model, pr.materials, OperatorKind::Stiffness, nullptr, {});
  const ScatterPattern pat = ops::assemble::build_scatter_pattern(k);
  const Csr& csr = pat.csr;
  ASSERT_FALSE(k.finalized()->csr.invalid().has_value());  // the pattern itself carries no values
  // The (row, column) every position must hold, from the blocks' own local tables.
  std::vector<std::set<std::uint64_t>> expected(csr.n_rows);
  auto global = [](const std::vector<containers::matrix::Dof>& table, const containers::matrix::Dof& d) {
    return std::uint64_t(std::find(table.begin(), table.end(), d) - table.begin());
  };
  const auto subs = k.subs();
  ASSERT_EQ(pat.blocks.size(), subs.size());
  for (std::size_t m = 0; m < subs.size(); ++m) {
    const store::ReadGuard<SubMatrix> b = store::read(subs[m]);
    std::vector<std::uint64_t> grow, gcol;
    for (const auto& d : b->row_dofs()) grow.push_back(global(pat.row_dofs, d));
    for (const auto& d : b->col_dofs()) gcol.push_back(global(pat.col_dofs, d));
    auto check = [&](std::uint64_t pos, std::uint64_t r, std::uint64_t c) {
      ASSERT_LT(r, csr.n_rows);
      ASSERT_GE(pos, csr.row_begin(r));
      ASSERT_LT(pos, csr.row_end(r));
      ASSERT_EQ(csr.col(pos), c);
      expected[r].insert(c);
    };
    if (!b->is_computed()) {
      const auto& lit = std::get<ScatterPattern::Literal>(pat.blocks[m]);
      const auto& coo = b->coo();
      ASSERT_EQ(lit.size(), coo.size());
      for (std::uint64_t q = 0; q < coo.size(); ++q) check(lit[q], grow[coo.rows[q]], gcol[coo.cols[q]]);
      continue;
    }
    const auto& comp = std::get<ScatterPattern::Computed>(pat.blocks[m]);
    const models::kernel::BlockCells cells(std::span(b->recipe()->fespaces).first(1), {"", ""});
    const models::kernel::BlockPlacement place(std::vector<NodeId>(b->row_nodes().begin(), b->row_nodes().end()),
                                               std::vector<NodeId>(b->col_nodes().begin(), b->col_nodes().end()),
                                               b->dual_vars().size(), b->primal_vars().size(), b->ordering());
    ASSERT_EQ(comp.stride(), place.block_len(cells.nodes_per_cell()));
    ASSERT_EQ(comp.n_cells, cells.cell_count());
    // The stiffness rows hold their node's neighbours as one run each, the multiplier
    // columns after them: the compact form.
    EXPECT_TRUE(std::holds_alternative<ScatterPattern::Computed::Slots>(comp.where));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs(comp.stride());
    std::vector<std::uint64_t> positions(comp.stride());
    for (std::uint64_t c = 0; c < cells.cell_count(); ++c) {
      models::kernel::element_block_pattern(cells.node_ids(c), place, pairs);
      comp.positions(c, cells.node_ids(c), positions);
      for (std::uint64_t e = 0; e < comp.stride(); ++e) check(positions[e], grow[pairs[e].first], gcol[pairs[e].second]);
    }
  }
  // Strictly increasing columns, and nothing but what some entry brings.
  for (std::uint64_t r = 0; r < csr.n_rows; ++r) {
    const std::vector<std::uint64_t> row(expected[r].begin(), expected[r].end());
    std::vector<std::uint64_t> got;
    for (std::uint64_t q = csr.row_begin(r); q < csr.row_end(r); ++q) got.push_back(csr.col(q));
    ASSERT_EQ(got, row) << "row " << r;
  }
}

TEST(ScatterPattern, SameWithOneThreadAndWithAll) {
  ASSERT_GT(parallel::max_threads(), 1u) << "needs more than one thread to mean anything";
  const Problem pr = hex_problem(14);  // 2744 cells: many colour groups, many tasks each
  auto build = [&](bool one) {
    std::optional<parallel::ThreadLimit> limit;
    if (one) limit.emplace(1);
    const Model fresh = pr.model;  // a copy starts without a cached pattern
    Matrix k = ops::assemble::assemble_operator(fresh, pr.materials, OperatorKind::Stiffness, nullptr, {});
    return std::pair(ops::assemble::build_scatter_pattern(k), std::move(k));
  };
  const auto [p1, k1] = build(true);
  const auto [pn, kn] = build(false);
  EXPECT_EQ(p1.row_dofs, pn.row_dofs);
  EXPECT_EQ(p1.col_dofs, pn.col_dofs);
  EXPECT_TRUE(std::equal(p1.csr.offsets.begin(), p1.csr.offsets.end(), pn.csr.offsets.begin(), pn.csr.offsets.end()));
  EXPECT_EQ(columns(p1.csr), columns(pn.csr));
  ASSERT_EQ(p1.blocks.size(), pn.blocks.size());
  for (std::size_t m = 0; m < p1.blocks.size(); ++m) {
    if (const auto* lit = std::get_if<ScatterPattern::Literal>(&p1.blocks[m])) {
      EXPECT_EQ(*lit, std::get<ScatterPattern::Literal>(pn.blocks[m]));
    } else {
      const auto& a = std::get<ScatterPattern::Computed>(p1.blocks[m]);
      const auto& b = std::get<ScatterPattern::Computed>(pn.blocks[m]);
      ASSERT_EQ(a.stride(), b.stride());
      ASSERT_EQ(a.n_cells, b.n_cells);
      const store::ReadGuard<SubMatrix> block = store::read(k1.subs()[m]);
      const models::kernel::BlockCells cells(std::span(block->recipe()->fespaces).first(1), {"", ""});
      std::vector<std::uint64_t> pa(a.stride()), pb(b.stride());
      for (std::uint64_t c = 0; c < a.n_cells; ++c) {
        a.positions(c, cells.node_ids(c), pa);
        b.positions(c, cells.node_ids(c), pb);
        ASSERT_EQ(pa, pb) << "cell " << c;
      }
    }
  }
  EXPECT_TRUE(same_bits(k1.finalized()->csr.values, kn.finalized()->csr.values));
}

}  // namespace
