#pragma once
// The per-value work of a mask, shared by node and element zones: which
// components of a zone are tested, and the 0/1 rewrite of a value array.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "containers/field/value_band.hpp"

namespace quenlith::containers::field {

// One flag per component of a zone with `names`: every one without a list; with a
// list, the position of each listed name the zone carries (none when it carries
// none of them; an empty list tests nothing).
std::vector<std::uint8_t> tested_components(std::span<const std::string> names,
                                            const std::optional<std::vector<std::string>>& listed);

// out[k] for the value in[k] of component k mod ncomp: 1.0 when that component is
// not tested, else 1.0 inside the band and 0.0 outside (NaN included). `in` and
// `out` have the same length, a multiple of ncomp = tested.size() >= 1; they may be
// the same array.
void mask_values(std::span<const double> in, std::span<double> out, std::span<const std::uint8_t> tested,
                 const ValueBand& band);

}  // namespace quenlith::containers::field
