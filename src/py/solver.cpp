// solve(matrix, rhs, method=None, cache=True): the sparse direct solve of a
// finalized matrix. The call keeps its thread attached to the interpreter; the
// interruption check is polled between the solver's phases.
#include "py/solver.hpp"

#include <fmt/format.h>

#include "containers/matrix/matrix.hpp"
#include "containers/node_field/node_field.hpp"
#include "ops/solver/lu.hpp"
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
    "Ctrl+C is honoured at the solver's phase boundaries (before and after the\n"
    "analysis, the factorisation and the substitution); the factorisation itself is\n"
    "one uninterruptible call."};

NodeField solve(const Borrowed<MatrixClass>& matrix, const Borrowed<NodeFieldClass>& rhs,
                const std::optional<std::string>& method, const std::optional<bool>& cache) {
  parse_solver_method(method);
  return ops::solver::solve(*matrix, *rhs, cache.value_or(true), interrupt_check());
}

}  // namespace

void parse_solver_method(const std::optional<std::string>& method) {
  if (method && *method != "lu" && *method != "LU")
    raise_value_error(fmt::format("unknown solver method '{}' (expected 'lu')", *method));
}

PyMethodDef solve_def =
    function<solve_sig, solve, borrow<MatrixClass>, borrow<NodeFieldClass>, opt<to_str>, opt<to_bool>>();

}  // namespace quenlith::py
