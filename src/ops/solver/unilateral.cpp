#include "ops/solver/unilateral.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/error.hpp"
#include "ops/solver/lu.hpp"
#include "parallel/pool.hpp"
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
using models::Sense;

namespace {

// Rows per chunk of the parallel loops over one vector.
constexpr parallel::Index kRowChunk = 4096;
// Base columns solved together in one pass over the factors.
constexpr std::uint64_t kColumnBatch = 64;

// A status system that cannot be solved: its non-finite solution, or its null
// pivots named after this text.
constexpr std::string_view kSingularStatus =
    "solve_unilateral: LU failed (matrix is singular — check that the structure is supported when every unilateral "
    "relation releases)";

Error not_converged(std::uint64_t iterations) {
  return Error::message(
      "solve_unilateral: the active set did not converge in {} iterations (cycling — try a looser tol, or check the "
      "model)",
      iterations);
}

bool all_finite(std::span<const double> x) {
  for (double v : x)
    if (!std::isfinite(v)) return false;
  return true;
}

// b with the rows of the released relations set to 0: their unit rows then fix the
// multipliers at 0.
std::vector<double> status_rhs(std::span<const double> b, std::span<const UnilateralRelation> relations,
                               const Status& status) {
  std::vector<double> out(b.begin(), b.end());
  for (std::size_t k = 0; k < relations.size(); ++k)
    if (!status[k]) out[relations[k].row] = 0.0;
  return out;
}

double relation_value(const UnilateralRelation& r, std::span<const double> x) {
  double sum = 0.0;
  for (const auto& [column, coefficient] : r.terms) sum += coefficient * x[column];
  return sum;
}

}  // namespace

std::shared_ptr<const UnilateralSetup> solve_unilateral_prepare(const Model& model, const Matrix& matrix) {
  const std::vector<Dof> rows = matrix.dof_table(Side::Rows);
  const std::vector<Dof> cols = matrix.dof_table(Side::Cols);
  if (rows.size() != cols.size())
    throw Error::message("solve_unilateral: matrix must be square; got {}×{}", rows.size(), cols.size());
  std::unordered_map<Dof, std::uint64_t> row_index, col_index;
  row_index.reserve(rows.size());
  col_index.reserve(cols.size());
  for (std::uint64_t i = 0; i < rows.size(); ++i) row_index.emplace(rows[i], i);
  for (std::uint64_t i = 0; i < cols.size(); ++i) col_index.emplace(cols[i], i);

  std::vector<UnilateralRelation> relations;
  for (const auto& h : model.subs()) {
    store::ReadGuard<SubModel> sub = store::read(h);
    const models::ModelKind& kind = sub->kind();
    const models::MultiplierConstraint* constraint = kind.constraint();
    if (!constraint) continue;
    const std::vector<std::string> primal = kind.primal_vars();
    const std::vector<std::string> dual = kind.dual_vars();
    for (const models::Relation& r : constraint->relations()) {
      if (r.sense == Sense::Equal) continue;
      UnilateralRelation u;
      u.sense = r.sense;
      const auto row = row_index.find(Dof{r.multiplier_node, r.imposed_value});
      if (row == row_index.end())
        throw Error::message("solve_unilateral: constraint row {} is not a row of the matrix — was it assembled from "
                             "this model?",
                             dof_text(r.multiplier_node, r.imposed_value));
      u.row = row->second;
      const auto j = std::find(dual.begin(), dual.end(), r.imposed_value);
      if (j == dual.end() || static_cast<std::size_t>(j - dual.begin()) >= primal.size())
        throw Error::message("solve_unilateral: '{}' is not a dual variable of {}", r.imposed_value, kind.name());
      const std::string& multiplier = primal[static_cast<std::size_t>(j - dual.begin())];
      const auto m = col_index.find(Dof{r.multiplier_node, multiplier});
      if (m == col_index.end())
        throw Error::message("solve_unilateral: multiplier DOF {} is not a column of the matrix",
                             dof_text(r.multiplier_node, multiplier));
      u.multiplier_column = m->second;
      for (const models::RelationTerm& t : r.terms) {
        const auto c = col_index.find(Dof{t.node, t.variable});
        if (c == col_index.end())
          throw Error::message("solve_unilateral: term {} is not a column of the matrix", dof_text(t.node, t.variable));
        u.terms.emplace_back(c->second, t.coefficient);
      }
      relations.push_back(std::move(u));
    }
  }
  return std::make_shared<UnilateralSetup>(containers::matrix::dof_list(rows), containers::matrix::dof_list(cols),
                                           std::move(relations));
}

SystemNames UnilateralSetup::names() const {
  return SystemNames{"solve_unilateral", kSingularStatus, row_dofs, col_dofs};
}

bool update_status(std::span<const UnilateralRelation> relations, Status& status, std::span<const double> x,
                   std::span<const double> b, double tol) {
  bool changed = false;
  for (std::size_t k = 0; k < relations.size(); ++k) {
    const UnilateralRelation& r = relations[k];
    const bool ge = r.sense == Sense::GreaterEqual;
    if (status[k]) {
      const double lambda = x[r.multiplier_column];
      if (ge ? lambda > tol : lambda < -tol) {
        status[k] = 0;
        changed = true;
      }
    } else {
      const double gap = relation_value(r, x) - b[r.row];
      if (ge ? gap < -tol : gap > tol) {
        status[k] = 1;
        changed = true;
      }
    }
  }
  return changed;
}

Csr status_matrix(const Csr& a, std::span<const UnilateralRelation> relations, const Status& status) {
  // Released rows: their unit entries, in relation order, summed on equal columns.
  std::unordered_map<std::uint64_t, std::vector<std::pair<std::uint64_t, double>>> unit_rows;
  for (std::size_t k = 0; k < relations.size(); ++k)
    if (!status[k]) unit_rows[relations[k].row].emplace_back(relations[k].multiplier_column, 1.0);
  CsrBuilder out(a.n_rows, a.n_cols, a.nnz() + unit_rows.size());
  for (std::uint64_t r = 0; r < a.n_rows; ++r) {
    const auto unit = unit_rows.find(r);
    if (unit == unit_rows.end()) {
      for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) out.push(a.col(k), a.values[k]);
      out.end_row();
    } else {
      out.push_row(unit->second);
    }
  }
  return out.finish();
}

std::shared_ptr<const SparseFactors> solve_unilateral_build_lu(const Csr& a, const UnilateralSetup& setup,
                                                               const Status& status,
                                                               const store::InterruptCheck& interrupt) {
  const Csr system = status_matrix(a, setup.relations, status);
  try {
    return lu_factorize(system, setup.names(), interrupt);
  } catch (const Error& e) {
    // The factorisation speaks for `solve`; these failures are this solver's.
    constexpr std::string_view prefix = "solve: ";
    if (e.kind() == Error::Kind::Message && e.payload().starts_with(prefix))
      throw Error::message("solve_unilateral: {}", e.payload().substr(prefix.size()));
    throw;
  }
}

std::vector<double> solve_unilateral_refactorize(const UnilateralSetup& setup, const Csr& a, std::span<const double> b,
                                                 const UnilateralOptions& options,
                                                 const store::InterruptCheck& interrupt) {
  const std::span<const UnilateralRelation> relations = setup.relations;
  Status status(relations.size(), 1);
  std::shared_ptr<const SparseFactors> factors;
  {
    std::lock_guard lock(setup.refactorize_mutex);
    if (setup.refactorize_state.status) {
      status = *setup.refactorize_state.status;
      factors = setup.refactorize_state.factors;
    }
  }
  if (options.max_iter == 0) throw not_converged(0);
  for (std::uint64_t i = 0;;) {
    interrupt();
    if (!factors) factors = solve_unilateral_build_lu(a, setup, status, interrupt);
    std::vector<double> x = status_rhs(b, relations, status);
    lu_solve(*factors, x);
    ++i;
    if (!all_finite(x)) throw Error::message("{}", kSingularStatus);
    interrupt();
    if (update_status(relations, status, x, b, options.tol)) {
      factors.reset();
      if (i == options.max_iter) throw not_converged(options.max_iter);
      continue;
    }
    if (options.cache) {
      std::lock_guard lock(setup.refactorize_mutex);
      setup.refactorize_state = UnilateralSetup::RefactorizeState{std::move(status), std::move(factors)};
    }
    return x;
  }
}

namespace {

// Builds and checks the base: its factors, or nothing when it cannot be factorised
// or fails the acceptance test (the base times the vector of ones, solved back,
// must give ones to 1e-6).
std::shared_ptr<const SparseFactors> accepted_base(const Csr& a, const UnilateralSetup& setup,
                                                   const store::InterruptCheck& interrupt) {
  const std::span<const UnilateralRelation> relations = setup.relations;
  std::shared_ptr<const SparseFactors> base;
  try {
    base = solve_unilateral_build_lu(a, setup, Status(relations.size(), 0), interrupt);
  } catch (const Error& e) {
    if (e.kind() == Error::Kind::Interrupted) throw;
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  std::vector<double> w(a.n_rows, 0.0);
  for (std::uint64_t r = 0; r < a.n_rows; ++r)
    for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) w[r] += a.values[k];
  for (const UnilateralRelation& r : relations) w[r.row] = 1.0;
  try {
    base->solve(w);
  } catch (const Error&) {
    return nullptr;
  }
  for (double v : w)
    if (!std::isfinite(v) || !(std::fabs(v - 1.0) < 1e-6)) return nullptr;
  return base;
}

// Solves the base for the unit right-hand sides at `rows` (none of them cached yet)
// and caches the columns. False when a column is not finite or memory runs out.
bool add_columns(UnilateralSetup::SchurState& st, std::span<const std::uint64_t> rows, std::uint64_t n) {
  try {
    std::vector<double> block;
    for (std::size_t first = 0; first < rows.size(); first += kColumnBatch) {
      const std::size_t count = std::min<std::size_t>(kColumnBatch, rows.size() - first);
      block.assign(count * n, 0.0);
      for (std::size_t j = 0; j < count; ++j) block[j * n + rows[first + j]] = 1.0;
      st.base->solve_columns(block, count);
      if (!all_finite(block)) return false;
      for (std::size_t j = 0; j < count; ++j) {
        const auto begin = block.begin() + static_cast<std::ptrdiff_t>(j * n);
        st.columns.emplace(rows[first + j],
                           std::make_shared<const std::vector<double>>(begin, begin + static_cast<std::ptrdiff_t>(n)));
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<double>> solve_unilateral_schur(const UnilateralSetup& setup, const Csr& a,
                                                          std::span<const double> b, const UnilateralOptions& options,
                                                          const store::InterruptCheck& interrupt) {
  std::lock_guard lock(setup.schur_mutex);
  UnilateralSetup::SchurState& st = setup.schur_state;
  const std::span<const UnilateralRelation> relations = setup.relations;
  const std::uint64_t n = a.n_rows;
  if (st.phase == UnilateralSetup::SchurPhase::Singular) return std::nullopt;
  if (st.phase == UnilateralSetup::SchurPhase::Untried) {
    st.base = accepted_base(a, setup, interrupt);
    if (!st.base) {
      st.phase = UnilateralSetup::SchurPhase::Singular;
      return std::nullopt;
    }
    st.phase = UnilateralSetup::SchurPhase::Ready;
  }
  Status status = st.status.value_or(Status(relations.size(), 1));
  if (options.max_iter == 0) throw not_converged(0);

  std::vector<std::size_t> active;
  std::vector<std::uint64_t> missing;
  std::vector<const std::vector<double>*> w;
  for (std::uint64_t i = 0;;) {
    interrupt();
    std::vector<double> x = status_rhs(b, relations, status);
    st.base->solve(x);
    ++i;
    if (!all_finite(x)) return std::nullopt;
    active.clear();
    for (std::size_t k = 0; k < relations.size(); ++k)
      if (status[k]) active.push_back(k);
    const std::size_t m = active.size();
    if (m != 0) {
      missing.clear();
      std::unordered_set<std::uint64_t> asked;
      for (std::size_t k : active)
        if (!st.columns.contains(relations[k].row) && asked.insert(relations[k].row).second)
          missing.push_back(relations[k].row);
      // The budget: every cached column, the new ones and the dense system.
      const long double bytes = (static_cast<long double>(st.columns.size() + missing.size()) * n +
                                 static_cast<long double>(m) * m) *
                                sizeof(double);
      if (bytes > static_cast<long double>(options.schur_budget_bytes)) return std::nullopt;
      if (!add_columns(st, missing, n)) return std::nullopt;
      w.clear();
      for (std::size_t k : active) w.push_back(st.columns.at(relations[k].row).get());

      Eigen::MatrixXd s(static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(m));
      Eigen::VectorXd d(static_cast<Eigen::Index>(m));
      parallel::for_chunks(m, 16, [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index row = begin; row < end; ++row) {
          const UnilateralRelation& p = relations[active[row]];
          for (std::size_t c = 0; c < m; ++c) {
            const std::vector<double>& wq = *w[c];
            s(static_cast<Eigen::Index>(row), static_cast<Eigen::Index>(c)) =
                (row == c ? 1.0 : 0.0) + relation_value(p, wq) - wq[p.multiplier_column];
          }
          d(static_cast<Eigen::Index>(row)) = relation_value(p, x) - x[p.multiplier_column];
        }
      });
      const Eigen::PartialPivLU<Eigen::MatrixXd> lu(s);
      // Eigen goes on past an exactly zero pivot and leaves it on the diagonal.
      if ((lu.matrixLU().diagonal().array() == 0.0).any()) return std::nullopt;
      const Eigen::VectorXd y = lu.solve(d);
      if (!y.allFinite()) return std::nullopt;
      parallel::for_chunks(n, kRowChunk, [&](parallel::Index begin, parallel::Index end) {
        for (std::size_t c = 0; c < m; ++c) {
          const double yc = y(static_cast<Eigen::Index>(c));
          const double* wc = w[c]->data();
          for (parallel::Index r = begin; r < end; ++r) x[r] -= yc * wc[r];
        }
      });
    }
    interrupt();
    if (update_status(relations, status, x, b, options.tol)) {
      if (i == options.max_iter) throw not_converged(options.max_iter);
      continue;
    }
    if (options.cache) st.status = std::move(status);
    return x;
  }
}

NodeField solve_unilateral(const Model& model, const Matrix& matrix, const NodeField& rhs,
                           const UnilateralOptions& options, const store::InterruptCheck& interrupt) {
  interrupt();
  std::shared_ptr<const UnilateralSetup> setup =
      options.cache ? matrix.solver_cache().get_as<UnilateralSetup>() : nullptr;
  if (!setup) {
    setup = solve_unilateral_prepare(model, matrix);
    if (options.cache) matrix.solver_cache().set(setup);
  }
  if (setup->relations.empty()) return solve(matrix, rhs, options.cache, interrupt);
  interrupt();
  const std::vector<double> b = rhs.dof_values(setup->row_dofs);
  if (!matrix.is_finalized()) throw Error::message("Matrix has not been finalized; call finalize() before solving");
  refuse_non_finite_rhs(b, setup->row_dofs, "solve_unilateral");
  const Csr& a = matrix.finalized()->csr;
  // Both paths factorise status systems made from A, and a released relation's row
  // leaves them: A is checked whole, once.
  refuse_non_finite_matrix(a, setup->names());
  std::optional<std::vector<double>> x;
  if (!options.refactorize) x = solve_unilateral_schur(*setup, a, b, options, interrupt);
  if (!x) x = solve_unilateral_refactorize(*setup, a, b, options, interrupt);
  return matrix.field_from_values(*x, Side::Cols);
}

}  // namespace quenlith::ops::solver
