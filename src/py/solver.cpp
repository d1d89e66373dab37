// The linear solvers: solve(matrix, rhs, ...), the sparse direct solve of a
// finalized matrix; solve_eliminate(model, matrix, rhs, ...), the master/slave
// elimination of its linear constraints; solve_unilateral(model, matrix, rhs, ...),
// the active-set solve of its inequality constraints. Each call keeps its thread
// attached to the interpreter; the interruption check is polled between phases.
#include "py/solver.hpp"

#include <fmt/format.h>

#include "containers/matrix/matrix.hpp"
#include "containers/node_field/node_field.hpp"
#include "ops/solver/eliminate.hpp"
#include "ops/solver/lu.hpp"
#include "ops/solver/unilateral.hpp"
#include "py/bind/class.hpp"
#include "py/classes.hpp"

namespace quenlith::py {

using containers::node_field::NodeField;

namespace {

constexpr Param solve_params[] = {{"matrix"}, {"rhs"}, {"method", "None"}, {"cache", "True"}};
const Signature solve_sig{
    "solve", nullptr, Receiver::None, solve_params,
    "Solve `matrix · x = rhs` by a sparse direct factorisation and return `x` as a new\n"
    "`NodeField` over the matrix's column degrees of freedom (multipliers included).\n"
    "\n"
    "`matrix` must be finalized and square. `rhs` is read at every row degree of\n"
    "freedom (0.0 where no zone defines one). `method` is None, \"lu\" or \"LU\". With\n"
    "`cache=True` the factorisation is kept in the matrix and reused by the next\n"
    "solves, which then only run the substitution; any change of the matrix drops it.\n"
    "\n"
    "A NaN or an infinity in the matrix or in `rhs` is refused before anything is\n"
    "factorised, naming its place; a singular matrix is refused naming (up to three of)\n"
    "the unknowns left without a pivot. The same matrix gives the same bits on every\n"
    "solve with the same number of threads.\n"
    "\n"
    "Ctrl+C is honoured at the solver's phase boundaries (before and after the\n"
    "analysis, the factorisation and the substitution); the factorisation itself is\n"
    "one uninterruptible call."};

NodeField solve(const Borrowed<MatrixClass>& matrix, const Borrowed<NodeFieldClass>& rhs,
                const std::optional<std::string>& method, const std::optional<bool>& cache) {
  parse_solver_method(method);
  return ops::solver::solve(*matrix, *rhs, cache.value_or(true), interrupt_check());
}

constexpr Param eliminate_params[] = {{"model"}, {"matrix"}, {"rhs"}, {"method", "None"}, {"cache", "True"}};
const Signature eliminate_sig{
    "solve_eliminate", nullptr, Receiver::None, eliminate_params,
    "Solve the constrained system of `model` by master/slave elimination instead of\n"
    "Lagrange multipliers, and return a new `NodeField`.\n"
    "\n"
    "`matrix` is the model's assembled (saddle-point) matrix, of which only the physics\n"
    "block is used; `rhs` holds the loads and, at each relation's multiplier node, its\n"
    "imposed value. Every linear relation picks one slave degree of freedom (its term of\n"
    "largest coefficient not yet constrained, the later one on a tie) and expresses it\n"
    "through the others; the reduced matrix Tᵀ·K·T is factorised. Inequalities and\n"
    "chained relations (a slave used again) are refused.\n"
    "\n"
    "The result holds the primal values at every physics degree of freedom and, at each\n"
    "slave's node under its dual variable, the reaction f_s − (K·u)_s. A model without\n"
    "constraint falls back to `solve`. `method` is None, \"lu\" or \"LU\". With\n"
    "`cache=True` the condensation is kept in the matrix and reused by the next calls\n"
    "(whatever model they pass) until the matrix changes. Ctrl+C is honoured between\n"
    "phases; the factorisation itself is one uninterruptible call."};

constexpr Param unilateral_params[] = {{"model"},          {"matrix"},        {"rhs"},
                                       {"method", "None"}, {"active_set", "None"}, {"cache", "True"},
                                       {"max_iter", "100"}, {"tol", "1e-10"}};
const Signature unilateral_sig{
    "solve_unilateral", nullptr, Receiver::None, unilateral_params,
    "Solve the saddle-point system of `model`, whose constraints include inequalities\n"
    "(relations of sense \">=\" or \"<=\"), by the active-set method, and return the\n"
    "solution as a new `NodeField` over the matrix's columns (multipliers included).\n"
    "\n"
    "Each inequality is either active (enforced as an equality) or released (its\n"
    "multiplier fixed at 0, so inactive relations report λ = 0); the status system is\n"
    "solved, an active relation whose multiplier has the wrong sign beyond `tol` is\n"
    "released and a released one whose gap is violated beyond `tol` activated, until\n"
    "no status changes, at most `max_iter` times. A model without inequality falls\n"
    "back to `solve`.\n"
    "\n"
    "`active_set` chooses how a status is solved: None, \"schur\" or \"Schur\" factorise\n"
    "once the system with every inequality released and correct its solutions for\n"
    "the active ones through a small dense system (falling back to refactorizing when\n"
    "that system is singular or too large); \"refactorize\" or \"Refactorize\"\n"
    "factorise the status system after every change. With `cache=True` the collected\n"
    "relations, the factors and the last converged status are kept in the matrix: a\n"
    "later call starts from that status (a warm start, one iteration when nothing\n"
    "changed); any change of the matrix clears them. `method` is None, \"lu\" or \"LU\".\n"
    "Ctrl+C is honoured at each iteration boundary."};

NodeField solve_eliminate(const Borrowed<ModelClass>& model, const Borrowed<MatrixClass>& matrix,
                          const Borrowed<NodeFieldClass>& rhs, const std::optional<std::string>& method,
                          const std::optional<bool>& cache) {
  parse_solver_method(method);
  return ops::solver::solve_eliminate(*model, *matrix, *rhs, cache.value_or(true), interrupt_check());
}

NodeField solve_unilateral(const Borrowed<ModelClass>& model, const Borrowed<MatrixClass>& matrix,
                           const Borrowed<NodeFieldClass>& rhs, const std::optional<std::string>& method,
                           const std::optional<std::string>& active_set, const std::optional<bool>& cache,
                           const std::optional<std::uint64_t>& max_iter, const std::optional<double>& tol) {
  parse_solver_method(method);
  ops::solver::UnilateralOptions options;
  if (active_set && *active_set != "schur" && *active_set != "Schur") {
    if (*active_set != "refactorize" && *active_set != "Refactorize")
      raise_value_error(
          fmt::format("unknown active-set method '{}' (expected 'schur' or 'refactorize')", *active_set));
    options.refactorize = true;
  }
  options.cache = cache.value_or(true);
  options.max_iter = max_iter.value_or(100);
  options.tol = tol.value_or(1e-10);
  return ops::solver::solve_unilateral(*model, *matrix, *rhs, options, interrupt_check());
}

}  // namespace

void parse_solver_method(const std::optional<std::string>& method) {
  if (method && *method != "lu" && *method != "LU")
    raise_value_error(fmt::format("unknown solver method '{}' (expected 'lu')", *method));
}

PyMethodDef solve_def =
    function<solve_sig, solve, borrow<MatrixClass>, borrow<NodeFieldClass>, opt<to_str>, opt<to_bool>>();

PyMethodDef solve_eliminate_def =
    function<eliminate_sig, solve_eliminate, borrow<ModelClass>, borrow<MatrixClass>, borrow<NodeFieldClass>,
             opt<to_str>, opt<to_bool>>();

PyMethodDef solve_unilateral_def =
    function<unilateral_sig, solve_unilateral, borrow<ModelClass>, borrow<MatrixClass>, borrow<NodeFieldClass>,
             opt<to_str>, opt<to_str>, opt<to_bool>, opt<to_u64>, opt<to_f64>>();

}  // namespace quenlith::py
