#pragma once
// The module functions of the linear solvers, and what their bindings share.
#include <Python.h>

#include <optional>
#include <string>

namespace quenlith::py {

extern PyMethodDef solve_def;
extern PyMethodDef solve_eliminate_def;
extern PyMethodDef solve_unilateral_def;

// The `method` argument of every solver: None, "lu" or "LU" (there is one
// back-end, so an accepted value changes nothing); any other text raises
// ValueError "unknown solver method '{}' (expected 'lu')". Checked after every
// argument is converted.
void parse_solver_method(const std::optional<std::string>& method);

}  // namespace quenlith::py
