#include "ops/solver/mumps_status.hpp"

#include <string_view>

namespace quenlith::ops::solver {
namespace {

std::string_view describe(int status) noexcept {
  switch (status) {
    case -1: return "error on another process";
    case -2: return "number of entries out of range";
    case -3: return "invalid job sequence";
    case -5: return "not enough memory for the analysis (real workspace)";
    case -6: return "matrix is singular in structure";
    case -7: return "not enough memory for the analysis (integer workspace)";
    case -8: return "integer work array too small for the factorisation";
    case -9: return "real work array too small for the factorisation";
    case -10: return "numerically singular matrix";
    case -11: return "real work array too small for the solution";
    case -13: return "memory allocation failed";
    case -14: return "integer work array too small for the solution";
    case -16: return "order of the matrix out of range";
    case -17: return "internal send buffer too small";
    case -19: return "working memory limit too small";
    case -20: return "internal reception buffer too small";
    case -40: return "matrix declared positive definite has a negative or null pivot";
    case -50: return "the fill-reducing ordering failed";
    case -53: return "internal error";
    default: return "solver error";
  }
}

}  // namespace

Error mumps_error(MumpsPhase phase, int status, int detail) {
  std::string_view what = "solve: LU failed (singular?): {} [MUMPS INFOG(1)={}, INFOG(2)={}]";
  if (phase == MumpsPhase::Initialisation) what = "solve: sparse build failed: {} [MUMPS INFOG(1)={}, INFOG(2)={}]";
  if (phase == MumpsPhase::Solve) what = "solve: substitution failed: {} [MUMPS INFOG(1)={}, INFOG(2)={}]";
  return Error::message(fmt::format(fmt::runtime(what), describe(status), status, detail));
}

bool mumps_workspace_too_small(int status) noexcept {
  return status == -8 || status == -9 || status == -17 || status == -20;
}

}  // namespace quenlith::ops::solver
