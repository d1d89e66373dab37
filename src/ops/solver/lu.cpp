#include "ops/solver/lu.hpp"

#include <atomic>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace quenlith::ops::solver {

using containers::matrix::Csr;
using containers::matrix::Dof;
using containers::matrix::Matrix;
using containers::matrix::Side;
using containers::node_field::NodeField;

namespace {

constexpr parallel::Index kRowChunk = 4096;

// How far apart (r, c) and (c, r) may be, relative to the geometric mean of the
// largest entries of rows r and c, for the matrix to count as symmetric. Assembled
// finite-element matrices differ from their transpose by rounding alone: the element
// kernels add the products of (i, j) and of (j, i) in different orders (measured on
// HEX8 and TET4 elasticity: at most 2e-16 of the rows' scale). Solving with one
// triangle mirrored then perturbs A by no more than the factorisation's own rounding,
// and the symmetric factorisation takes half the memory and 0.75 of the time.
constexpr double kSymmetryTolerance = 1e-14;

// Whether every stored (r, c) has a (c, r) within the tolerance, an absent entry
// counting as 0.0. A declared symmetry is not trusted: a symmetric factorisation
// reads one triangle only and would silently solve another system. The values are
// finite (the caller checked).
bool symmetric_to_rounding(const Csr& a) {
  std::vector<double> root_scale(a.n_rows, 0.0);  // sqrt of each row's largest magnitude
  parallel::for_chunks(a.n_rows, kRowChunk, [&](parallel::Index b, parallel::Index e) {
    for (parallel::Index r = b; r < e; ++r) {
      double m = 0.0;
      for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) m = std::max(m, std::fabs(a.values[k]));
      root_scale[r] = std::sqrt(m);
    }
  });
  std::atomic<bool> mismatch{false};
  parallel::for_chunks(a.n_rows, kRowChunk, [&](parallel::Index b, parallel::Index e) {
    for (parallel::Index r = b; r < e && !mismatch.load(std::memory_order_relaxed); ++r)
      for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) {
        const std::uint64_t c = a.col(k);
        if (c == r) continue;
        const double mirror = a.find(c, r).value_or(0.0);
        if (!(std::fabs(a.values[k] - mirror) <= kSymmetryTolerance * root_scale[r] * root_scale[c])) {
          mismatch.store(true, std::memory_order_relaxed);
          return;
        }
      }
  });
  return !mismatch.load();
}

}  // namespace

std::shared_ptr<const SparseFactors> lu_factorize(const Csr& a, const SystemNames& names,
                                                  const store::InterruptCheck& interrupt) {
  QUENLITH_VERIFY(a.n_rows != 0, "solve: matrix is empty");
  QUENLITH_VERIFY(a.n_cols == a.n_rows, "solve: matrix must be square; got {}×{}", a.n_rows, a.n_cols);
  refuse_non_finite_matrix(a, names);
  SparseDirectOptions options;
  options.structure = symmetric_to_rounding(a) ? Structure::Symmetric : Structure::General;
  std::shared_ptr<const SparseFactors> lu = factorize_sparse(a, options, interrupt);
  refuse_null_pivots(*lu, names);
  return lu;
}

SystemNames solve_names(const containers::field::DofList& rows, const containers::field::DofList& cols) {
  return SystemNames{"solve", "solve: LU failed (matrix is singular)", rows, cols};
}

std::shared_ptr<const LuFactors> lu_factorize_matrix(const Matrix& m, const store::InterruptCheck& interrupt) {
  if (!m.is_finalized()) {
    // The shape is checked from the blocks first.
    const std::uint64_t n_rows = m.build_dof_table(Side::Rows).size();
    const std::uint64_t n_cols = m.build_dof_table(Side::Cols).size();
    QUENLITH_VERIFY(n_rows == n_cols, "solve: matrix must be square; got {}×{}", n_rows, n_cols);
    throw Error::message("Matrix has not been finalized; call finalize() before solving");
  }
  const containers::matrix::Finalized& f = *m.finalized();
  QUENLITH_VERIFY(f.row_dofs.size() == f.col_dofs.size(), "solve: matrix must be square; got {}×{}",
                  f.row_dofs.size(), f.col_dofs.size());
  containers::field::DofList rows = containers::matrix::dof_list(f.row_dofs);
  std::shared_ptr<const SparseFactors> lu =
      lu_factorize(f.csr, solve_names(rows, containers::matrix::dof_list(f.col_dofs)), interrupt);
  return std::make_shared<const LuFactors>(std::move(lu), std::move(rows));
}

void lu_solve(const SparseFactors& lu, std::span<double> b) { lu.solve(b); }

NodeField solve(const Matrix& m, const NodeField& rhs, bool cache, const store::InterruptCheck& interrupt) {
  interrupt();
  std::shared_ptr<const LuFactors> factors = cache ? m.solver_cache().get_as<LuFactors>() : nullptr;
  if (!factors) {
    factors = lu_factorize_matrix(m, interrupt);
    if (cache) m.solver_cache().set(factors);
  }
  interrupt();
  std::vector<double> x = rhs.dof_values(factors->row_dofs());
  refuse_non_finite_rhs(x, factors->row_dofs(), "solve");
  lu_solve(factors->lu(), x);
  for (double v : x)
    if (!std::isfinite(v)) throw Error::message("solve: LU failed (matrix is singular)");
  interrupt();
  return m.field_from_values(x, Side::Cols);
}

}  // namespace quenlith::ops::solver
