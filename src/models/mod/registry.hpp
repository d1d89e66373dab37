#pragma once
// The 13 kinds by variant index (also the order of their swap records):
// 0 HeatConduction, 1 Convection, 2 Dirichlet, 3 Mpc, 4 Embedded, 5 Contact,
// 6 Truss, 7 Elasticity, 8 Plasticity, 9 Mazars, 10 Timoshenko, 11 Frame,
// 12 Frame3d.
#include <cstdint>
#include <memory>

#include "models/mod/kind.hpp"

namespace quenlith::models {

inline constexpr std::uint32_t kKindCount = 13;

// Reads a variant index (13 or more: "invalid value: integer `{}`, expected variant
// index 0 <= i < 13") and that kind's record.
std::unique_ptr<ModelKind> decode_kind(store::RecordReader& r);

}  // namespace quenlith::models
