#pragma once
// The unilateral (active-set) solve of a saddle-point system whose constraints
// include inequality relations. Each inequality is active (enforced as an equality,
// its multiplier free) or released (its row replaced by a unit row that fixes its
// multiplier at 0); the system of the current status is solved, the status corrected
// from the solution, until no status changes.
//
// Two ways to solve a status. The refactorize path factorises the status system
// after every change. The Schur path factorises once the base (every inequality
// released) and corrects its solution for the m active relations through an m×m
// dense system (Sherman–Morrison–Woodbury), caching the base solutions for the unit
// right-hand sides at the relations' rows; it hands over to the refactorize path
// when the base is singular or inaccurate, or when a correction cannot be made.
//
// What later calls reuse (the collected relations, the base with its columns, the
// last converged status of each path) lives in a UnilateralSetup in the matrix's
// solver cache, dropped with it when the matrix changes.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "containers/field/dof.hpp"
#include "containers/matrix/csr.hpp"
#include "containers/matrix/matrix.hpp"
#include "models/model/model.hpp"
#include "containers/node_field/node_field.hpp"
#include "models/mod/kind.hpp"
#include "ops/solver/sparse_direct.hpp"
#include "ops/solver/system_check.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::solver {

// The most bytes the Schur path spends on cached base columns (n values each) and
// its dense m×m system together. A correction that would need more refuses, and the
// refactorize path solves the status instead: the columns never grow without bound,
// and an allocation that fails for them never escapes. 1 GiB holds the columns of
// 1 000 active relations on a system of 130 000 unknowns.
inline constexpr std::uint64_t kSchurBudgetBytes = std::uint64_t{1} << 30;

struct UnilateralOptions {
  std::uint64_t max_iter = 100;
  double tol = 1e-10;
  bool refactorize = false;  // false: the Schur path first
  bool cache = true;
  std::uint64_t schur_budget_bytes = kSchurBudgetBytes;
};

// One collected inequality Σ coef·x[column] (sense) b[row].
struct UnilateralRelation {
  std::vector<std::pair<std::uint64_t, double>> terms;  // (column, coefficient), term order
  std::uint64_t row;                // constraint row: (multiplier node, imposed value)
  std::uint64_t multiplier_column;  // (multiplier node, multiplier variable)
  models::Sense sense;              // GreaterEqual or LessEqual
};

// Status bytes, one per relation: 1 active, 0 released.
using Status = std::vector<std::uint8_t>;

class UnilateralSetup final : public containers::matrix::SolverPayload {
 public:
  UnilateralSetup(containers::field::DofList row_dofs, containers::field::DofList col_dofs,
                  std::vector<UnilateralRelation> relations)
      : row_dofs(std::move(row_dofs)), col_dofs(std::move(col_dofs)), relations(std::move(relations)) {}

  // The matrix's tables when the setup was built: b is read at the rows, and errors
  // name rows and unknowns by them.
  const containers::field::DofList row_dofs;
  const containers::field::DofList col_dofs;
  const std::vector<UnilateralRelation> relations;

  // How this solver names the system in errors ("solve_unilateral: the matrix holds
  // …", "solve_unilateral: LU failed (matrix is singular — …): no pivot for …").
  SystemNames names() const;

  // The refactorize path's warm start: the last converged status and the factors of
  // its system.
  struct RefactorizeState {
    std::optional<Status> status;
    std::shared_ptr<const SparseFactors> factors;
  };
  enum class SchurPhase : std::uint8_t { Untried, Singular, Ready };
  struct SchurState {
    SchurPhase phase = SchurPhase::Untried;
    std::optional<Status> status;
    std::shared_ptr<const SparseFactors> base;
    // Row index → solution of the base system for the unit right-hand side there.
    std::unordered_map<std::uint64_t, std::shared_ptr<const std::vector<double>>> columns;
  };

  // The setup is shared read-only through the cache; these two change under their
  // own locks, never held together.
  mutable std::mutex refactorize_mutex;
  mutable RefactorizeState refactorize_state;
  mutable std::mutex schur_mutex;
  mutable SchurState schur_state;
};

// Collects the inequality relations of `model` against the matrix's tables. Errors,
// in order: a DOF table of an unfinalized matrix; "solve_unilateral: matrix must be
// square; got {}×{}"; a sub-model that cannot be read; a kind's relations; then per
// relation "solve_unilateral: constraint row ({}, '{}') is not a row of the matrix —
// was it assembled from this model?", "solve_unilateral: '{}' is not a dual variable
// of {}", "solve_unilateral: multiplier DOF ({}, '{}') is not a column of the
// matrix", "solve_unilateral: term ({}, '{}') is not a column of the matrix" (nodes
// as NodeId(n)).
std::shared_ptr<const UnilateralSetup> solve_unilateral_prepare(const containers::model::Model& model,
                                                                const containers::matrix::Matrix& matrix);

// One pass over the relations: an active one releases when its multiplier has the
// wrong sign beyond tol, a released one activates when its gap Σ coef·x − b[row] is
// violated beyond tol (strict comparisons; NaN changes nothing). True when a byte
// changed.
bool update_status(std::span<const UnilateralRelation> relations, Status& status, std::span<const double> x,
                   std::span<const double> b, double tol);

// The status system: A with the row of every released relation replaced by a unit
// row at its multiplier column.
containers::matrix::Csr status_matrix(const containers::matrix::Csr& a, std::span<const UnilateralRelation> relations,
                                      const Status& status);

// The factors of the status system; "solve_unilateral: sparse build failed: {}",
// "solve_unilateral: LU failed (singular?): {}", "solve_unilateral: LU failed
// (matrix is singular — check that the structure is supported when every
// unilateral relation releases): no pivot for {}…" when it has null pivots.
std::shared_ptr<const SparseFactors> solve_unilateral_build_lu(const containers::matrix::Csr& a,
                                                               const UnilateralSetup& setup, const Status& status,
                                                               const store::InterruptCheck& interrupt);

// The two paths over the values: x over the column table, or an error. The Schur
// path answers nothing when it refuses.
std::vector<double> solve_unilateral_refactorize(const UnilateralSetup& setup, const containers::matrix::Csr& a,
                                                 std::span<const double> b, const UnilateralOptions& options,
                                                 const store::InterruptCheck& interrupt);
std::optional<std::vector<double>> solve_unilateral_schur(const UnilateralSetup& setup,
                                                          const containers::matrix::Csr& a, std::span<const double> b,
                                                          const UnilateralOptions& options,
                                                          const store::InterruptCheck& interrupt);

// The driver. A model without inequality takes the plain solve (with `cache`). The
// result covers every column DOF, multipliers included (0 for released relations).
// Before either path: "solve_unilateral: the right-hand side holds a non-finite
// value at {}", then "solve_unilateral: the matrix holds a non-finite value at row
// {}, column {}" (the first NaN or infinity of each).
containers::node_field::NodeField solve_unilateral(const containers::model::Model& model,
                                                   const containers::matrix::Matrix& matrix,
                                                   const containers::node_field::NodeField& rhs,
                                                   const UnilateralOptions& options,
                                                   const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::solver
