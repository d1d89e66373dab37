#pragma once
// The plain sparse direct solve of a finalized square matrix, its factorisation
// cached in the matrix's solver slot, and the factorise / substitute pair that the
// other solvers build on.
#include <memory>
#include <span>
#include <vector>

#include "containers/field/dof.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/node_field/node_field.hpp"
#include "ops/solver/sparse_direct.hpp"
#include "ops/solver/system_check.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::solver {

// The payload `solve` keeps in a matrix's solver cache: the factors of the matrix
// as it was when factorised, with a copy of its row table (where the right-hand
// side is read). Immutable; shared by the cache slot and every call solving with it.
class LuFactors final : public containers::matrix::SolverPayload {
 public:
  LuFactors(std::shared_ptr<const SparseFactors> lu, containers::field::DofList row_dofs)
      : lu_(std::move(lu)), row_dofs_(std::move(row_dofs)) {}
  const SparseFactors& lu() const noexcept { return *lu_; }
  const containers::field::DofList& row_dofs() const noexcept { return row_dofs_; }

 private:
  std::shared_ptr<const SparseFactors> lu_;
  containers::field::DofList row_dofs_;
};

// Factorises a square compressed matrix of order >= 1: L·D·Lᵀ of its upper triangle
// when it is symmetric to rounding (every (r, c) within 1e-14 of (c, r), relative to
// the geometric mean of the largest entries of rows r and c; an absent entry counts
// as 0.0), L·U otherwise. Errors, in order: "solve: matrix
// is empty" (no row); "solve: matrix must be square; got {}×{}"; "{operation}: the
// matrix holds a non-finite value at row {}, column {}" (nothing is factorised);
// then those of factorize_sparse (the interruption check is polled between analysis
// and factorisation); "{singular}: no pivot for {}…" when the factorisation met null
// pivots (system_check.hpp, `names` naming rows and unknowns).
std::shared_ptr<const SparseFactors> lu_factorize(const containers::matrix::Csr& a, const SystemNames& names,
                                                  const store::InterruptCheck& interrupt);

// How `solve` names its system: "solve: …" and "solve: LU failed (matrix is
// singular): no pivot for …".
SystemNames solve_names(const containers::field::DofList& rows, const containers::field::DofList& cols);

// The factors of a matrix with its row table. Errors, in order: a block that
// cannot be read while a table of an unfinalized matrix is built; "solve: matrix
// must be square; got {}×{}" (row count × column count); "Matrix has not been
// finalized; call finalize() before solving"; those of lu_factorize under
// solve_names.
std::shared_ptr<const LuFactors> lu_factorize_matrix(const containers::matrix::Matrix& m,
                                                     const store::InterruptCheck& interrupt);

// x with A·x = b, for b of the factors' order (in place).
void lu_solve(const SparseFactors& lu, std::span<double> b);

// Solves A·x = b, b read from `rhs` at every row degree of freedom (0.0 where no
// zone defines one), x returned over the column degrees of freedom, one zone per
// column support group. With `cache`, the factors in the matrix's slot are reused,
// or new ones stored there before the right-hand side is read; without, the slot
// is neither read nor written. The check is polled before the factors are
// obtained, after them and after the substitution. A NaN or infinity in b fails
// with "solve: the right-hand side holds a non-finite value at {}" (the first row
// DOF holding one); a non-finite x with "solve: LU failed (matrix is singular)".
containers::node_field::NodeField solve(const containers::matrix::Matrix& m, const containers::node_field::NodeField& rhs,
                                        bool cache, const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::solver
