#pragma once
// The translation of MUMPS status codes into errors: the one place that knows
// what the library's INFOG(1) / INFOG(2) pairs mean. Plain integers cross this
// header, so it needs no MUMPS header.
#include <cstdint>

#include "base/error.hpp"

namespace quenlith::ops::solver {

// The library call that reported the status.
enum class MumpsPhase : std::uint8_t { Initialisation, Analysis, Factorisation, Solve };

// The error for a negative INFOG(1) (`status`) with its companion INFOG(2)
// (`detail`): "solve: sparse build failed: {}" for the initialisation, "solve: LU
// failed (singular?): {}" for the analysis and the factorisation, "solve:
// substitution failed: {}" for the solve; {} is the description of the status
// followed by the two codes.
Error mumps_error(MumpsPhase phase, int status, int detail);

// Whether a failed factorisation only lacked room in the library's own work arrays,
// so that running it again with a larger relaxation (ICNTL(14)) may succeed.
bool mumps_workspace_too_small(int status) noexcept;

}  // namespace quenlith::ops::solver
