#include "ops/solver/eliminate.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <unordered_map>
#include <utility>

#include "base/error.hpp"
#include "ops/solver/lu.hpp"
#include "store/guard.hpp"

namespace quenlith::ops::solver {

using containers::matrix::Csr;
using containers::matrix::CsrBuilder;
using containers::matrix::Dof;
using containers::matrix::Matrix;
using containers::matrix::Side;
using containers::model::Model;
using containers::model::SubModel;
using containers::node_field::NodeField;
using models::Relation;
using models::Sense;

namespace {

// The singular reduced system: a non-finite solution, or null pivots named after it.
constexpr std::string_view kReducedSingular = "solve: reduced LU failed (matrix is singular)";
// No index: a multiplier row or column in the physics maps, a slave in the free one.
constexpr std::uint64_t kNone = ~std::uint64_t{0};

using SubHandles = std::span<const store::Handle<SubModel>>;

bool has_constraint(SubHandles subs) {
  for (const auto& h : subs) {
    store::ReadGuard<SubModel> sub = store::read(h);
    if (sub->kind().constraint()) return true;
  }
  return false;
}

std::vector<Relation> equality_relations(SubHandles subs) {
  std::vector<Relation> out;
  for (const auto& h : subs) {
    store::ReadGuard<SubModel> sub = store::read(h);
    const models::MultiplierConstraint* c = sub->kind().constraint();
    if (!c) continue;
    for (Relation& r : c->relations()) {
      if (r.sense != Sense::Equal)
        throw Error::message("elimination: relation at multiplier node {} is unilateral ('{}') — solve it with "
                             "solve_unilateral",
                             r.multiplier_node, models::sense_text(r.sense));
      out.push_back(std::move(r));
    }
  }
  return out;
}

// The entries of a table whose node is no multiplier node, in table order.
std::vector<Dof> physics_part(const std::vector<Dof>& table,
                              const std::unordered_set<containers::mesh::NodeId>& multipliers,
                              std::vector<std::uint64_t>& physics_of) {
  std::vector<Dof> out;
  physics_of.assign(table.size(), kNone);
  for (std::size_t i = 0; i < table.size(); ++i)
    if (!multipliers.contains(table[i].node)) {
      physics_of[i] = out.size();
      out.push_back(table[i]);
    }
  return out;
}

// The entries of `a` whose row and column both have a physics index, re-indexed.
// Both maps keep the order of the indices, so each row's columns stay sorted.
Csr physics_block(const Csr& a, const std::vector<std::uint64_t>& row_of, const std::vector<std::uint64_t>& col_of,
                  std::uint64_t n) {
  CsrBuilder out(n, n, a.nnz());
  for (std::uint64_t r = 0; r < a.n_rows; ++r) {
    if (row_of[r] == kNone) continue;
    for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k)
      if (const std::uint64_t c = col_of[a.col(k)]; c != kNone) out.push(c, a.values[k]);
    out.end_row();
  }
  return out.finish();
}

struct Record {
  Elimination e;
  std::vector<std::pair<std::uint64_t, double>> masters;
};

}  // namespace

std::optional<std::size_t> pick_pivot(std::span<const PivotTerm> terms,
                                      const std::unordered_set<std::uint64_t>& slaves,
                                      const std::unordered_set<std::uint64_t>& masters) {
  std::optional<std::size_t> best;
  std::uint64_t best_magnitude = 0;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (slaves.contains(terms[i].index) || masters.contains(terms[i].index)) continue;
    const auto magnitude = std::bit_cast<std::uint64_t>(std::fabs(terms[i].coefficient));
    if (!best || magnitude >= best_magnitude) {
      best = i;
      best_magnitude = magnitude;
    }
  }
  return best;
}

std::shared_ptr<const Condensation> build_condensation(SubHandles subs, const Matrix& matrix,
                                                       const store::InterruptCheck& interrupt) {
  const std::vector<Relation> relations = equality_relations(subs);
  std::unordered_set<containers::mesh::NodeId> multiplier_nodes;
  for (const Relation& r : relations) multiplier_nodes.insert(r.multiplier_node);

  const std::vector<Dof> rows = matrix.dof_table(Side::Rows);
  const std::vector<Dof> cols = matrix.dof_table(Side::Cols);
  std::vector<std::uint64_t> row_of, col_of;
  const std::vector<Dof> physics_rows = physics_part(rows, multiplier_nodes, row_of);
  const std::vector<Dof> physics_cols = physics_part(cols, multiplier_nodes, col_of);
  if (physics_rows.size() != physics_cols.size())
    throw Error::message("elimination: physics block is not square ({} dual rows vs {} primal cols)",
                         physics_rows.size(), physics_cols.size());
  for (std::size_t i = 0; i < physics_rows.size(); ++i)
    if (physics_rows[i].node != physics_cols[i].node)
      throw Error::message(
          "elimination: physics row/column DOFs are not conjugate-aligned; this physics is unsupported by the "
          "elimination solver");
  if (!matrix.is_finalized()) throw Error::message("Matrix has not been finalized; call finalize() before solving");
  const std::uint64_t n = physics_cols.size();

  auto out = std::make_shared<Condensation>();
  out->k = physics_block(matrix.finalized()->csr, row_of, col_of, n);
  out->row_dofs = containers::matrix::dof_list(physics_rows);
  out->col_dofs = containers::matrix::dof_list(physics_cols);
  refuse_non_finite_matrix(out->k, SystemNames{"elimination", {}, out->row_dofs, out->col_dofs});

  std::unordered_map<Dof, std::uint64_t> column_index;
  column_index.reserve(n);
  for (std::uint64_t i = 0; i < n; ++i) column_index.emplace(physics_cols[i], i);

  std::unordered_set<std::uint64_t> slaves, masters;
  std::vector<Record> records;
  records.reserve(relations.size());
  std::vector<PivotTerm> terms;
  for (const Relation& r : relations) {
    terms.clear();
    for (const models::RelationTerm& t : r.terms) {
      const auto it = column_index.find(Dof{t.node, t.variable});
      if (it == column_index.end())
        throw Error::message("elimination: term {} is not a physics DOF of the matrix", dof_text(t.node, t.variable));
      // T holds the coefficients' ratios: a NaN or an infinity would reach the
      // factorisation through Tᵀ·K·T.
      if (!std::isfinite(t.coefficient))
        throw Error::message("elimination: relation at multiplier node {} has a non-finite coefficient at {}",
                             r.multiplier_node, dof_text(t.node, t.variable));
      terms.push_back(PivotTerm{it->second, t.coefficient});
    }
    const std::optional<std::size_t> pivot = pick_pivot(terms, slaves, masters);
    if (!pivot)
      throw Error::message("elimination: relation at multiplier node {} has no eliminable DOF — all its terms are "
                           "already constrained (chaining is out of scope, v1)",
                           r.multiplier_node);
    const models::RelationTerm& slave_term = r.terms[*pivot];
    const std::uint64_t s = terms[*pivot].index;
    const double c_s = terms[*pivot].coefficient;
    if (c_s == 0.0)
      throw Error::message("elimination: relation at multiplier node {} has no term with a nonzero coefficient",
                           r.multiplier_node);
    Record rec;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      if (i == *pivot) continue;
      // The slave named again would be its own master: T has no free column for it.
      if (terms[i].index == s)
        throw Error::message("elimination: relation at multiplier node {} names its slave DOF {} more than once — "
                             "merge those terms into one",
                             r.multiplier_node, dof_text(slave_term.node, slave_term.variable));
      if (slaves.contains(terms[i].index))
        throw Error::message("elimination: master DOF {} is a slave of another relation — chaining is out of scope "
                             "(v1)",
                             dof_text(r.terms[i].node, r.terms[i].variable));
      rec.masters.emplace_back(terms[i].index, terms[i].coefficient);
    }
    slaves.insert(s);
    for (const auto& [m, c] : rec.masters) masters.insert(m);
    rec.e = Elimination{slave_term.target_dual, r.imposed_value, s, c_s, slave_term.node, r.multiplier_node};
    records.push_back(std::move(rec));
  }

  // Free numbering: physics indices in order, slaves skipped.
  std::vector<std::uint64_t> free_of(n, kNone);
  std::uint64_t n_r = 0;
  for (std::uint64_t j = 0; j < n; ++j)
    if (!slaves.contains(j)) free_of[j] = n_r++;
  std::vector<const Record*> record_of(n, nullptr);
  for (const Record& rec : records) record_of[rec.e.slave_index] = &rec;
  CsrBuilder t(n, n_r, n);
  std::vector<std::pair<std::uint64_t, double>> row;
  for (std::uint64_t j = 0; j < n; ++j) {
    row.clear();
    if (const Record* rec = record_of[j]) {
      // A master named twice in one relation adds up.
      for (const auto& [m, c] : rec->masters) row.emplace_back(free_of[m], -c / rec->e.slave_coefficient);
    } else {
      row.emplace_back(free_of[j], 1.0);
    }
    t.push_row(row);
  }
  out->t = t.finish();
  out->t_transpose = containers::matrix::csr_transpose(out->t);
  const Csr kr = containers::matrix::csr_product(containers::matrix::csr_product(out->t_transpose, out->k), out->t);
  // The reduced system's rows and unknowns: the physics DOFs that are no slave.
  containers::field::DofList free_rows, free_cols;
  free_rows.reserve(n_r);
  free_cols.reserve(n_r);
  for (std::uint64_t j = 0; j < n; ++j)
    if (free_of[j] != kNone) {
      free_rows.push(physics_rows[j].node, physics_rows[j].var);
      free_cols.push(physics_cols[j].node, physics_cols[j].var);
    }
  out->lu = lu_factorize(kr, SystemNames{"elimination", kReducedSingular, free_rows, free_cols}, interrupt);

  out->slaves.reserve(records.size());
  for (Record& rec : records) {
    out->imposed_dofs.push(rec.e.multiplier_node, rec.e.imposed_value);
    out->slaves.push_back(std::move(rec.e));
  }
  return out;
}

NodeField solve_eliminate(const Model& model, const Matrix& matrix, const NodeField& rhs, bool cache,
                          const store::InterruptCheck& interrupt) {
  interrupt();
  if (!has_constraint(model.subs())) return solve(matrix, rhs, cache, interrupt);
  std::shared_ptr<const Condensation> c = cache ? matrix.solver_cache().get_as<Condensation>() : nullptr;
  if (!c) {
    c = build_condensation(model.subs(), matrix, interrupt);
    if (cache) matrix.solver_cache().set(c);
  }
  interrupt();
  const std::vector<double> g = rhs.dof_values(c->imposed_dofs);
  refuse_non_finite_rhs(g, c->imposed_dofs, "elimination");
  const std::uint64_t n = c->k.n_rows;
  std::vector<double> u0(n, 0.0);
  for (std::size_t i = 0; i < c->slaves.size(); ++i)
    u0[c->slaves[i].slave_index] = g[i] / c->slaves[i].slave_coefficient;
  const std::vector<double> f = rhs.dof_values(c->row_dofs);
  refuse_non_finite_rhs(f, c->row_dofs, "elimination");
  std::vector<double> f_eff = c->k.mul_dense(u0);
  for (std::uint64_t i = 0; i < n; ++i) f_eff[i] = f[i] - f_eff[i];
  std::vector<double> u_r = c->t_transpose.mul_dense(f_eff);
  interrupt();
  lu_solve(*c->lu, u_r);
  for (double v : u_r)
    if (!std::isfinite(v)) throw Error::message("{}", kReducedSingular);
  std::vector<double> u = c->t.mul_dense(u_r);
  for (std::uint64_t i = 0; i < n; ++i) u[i] += u0[i];
  interrupt();
  const std::vector<double> ku = c->k.mul_dense(u);

  containers::field::DofList dofs = c->col_dofs;
  std::vector<double> values = std::move(u);
  values.reserve(n + c->slaves.size());
  for (const Elimination& e : c->slaves) {
    dofs.push(e.slave_node, e.slave_dual);
    values.push_back(f[e.slave_index] - ku[e.slave_index]);
  }
  return NodeField::from_dof_values(rhs.coords(), dofs, std::move(values));
}

}  // namespace quenlith::ops::solver
