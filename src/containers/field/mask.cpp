#include "containers/field/mask.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "containers/field/components.hpp"

namespace quenlith::containers::field {

std::vector<std::uint8_t> tested_components(std::span<const std::string> names,
                                            const std::optional<std::vector<std::string>>& listed) {
  if (!listed) return std::vector<std::uint8_t>(names.size(), 1);
  std::vector<std::uint8_t> tested(names.size(), 0);
  for (const std::string& name : *listed) {
    // A listed name the zone lacks is left out; a zone carrying none is untested.
    if (const auto c = find_component(names, name)) tested[*c] = 1;
  }
  return tested;
}

namespace {

// The band's test as straight arithmetic on both sides, so that the loop below has
// no branch per value: an absent bound is an infinite one, which every value but
// NaN passes, and NaN fails any side that exists. Two values at a time as vectors
// (the compiler's generic vectors, the width of the baseline x86-64 registers): a
// lane's comparison is all ones or all zeros, and the bits of 1.0 kept or cleared
// by it.
template <bool LowerStrict, bool UpperStrict>
void mask_band(const double* in, double* out, std::size_t n, double lo, double hi) {
  using Values = double __attribute__((vector_size(16)));
  using Bits = std::int64_t __attribute__((vector_size(16)));
  const Values los = {lo, lo}, his = {hi, hi};
  const std::int64_t one_bits = std::bit_cast<std::int64_t>(1.0);
  const Bits ones = {one_bits, one_bits};
  std::size_t k = 0;
  for (; k + 2 <= n; k += 2) {
    Values v;
    std::memcpy(&v, in + k, sizeof v);
    const Bits above = LowerStrict ? los < v : los <= v;
    const Bits below = UpperStrict ? v < his : v <= his;
    const Values r = reinterpret_cast<Values>(above & below & ones);
    std::memcpy(out + k, &r, sizeof r);
  }
  for (; k < n; ++k) {
    const double v = in[k];
    const bool above = LowerStrict ? lo < v : lo <= v;
    const bool below = UpperStrict ? v < hi : v <= hi;
    out[k] = (above & below) ? 1.0 : 0.0;
  }
}

}  // namespace

void mask_values(std::span<const double> in, std::span<double> out, std::span<const std::uint8_t> tested,
                 const ValueBand& band) {
  const std::size_t nc = tested.size();
  const std::size_t n = in.size();
  bool all = true;
  for (std::uint8_t t : tested) all &= t != 0;
  if (all) {
    // Every component tested: one pass over the values. A missing side is an
    // infinite bound taken inclusively; NaN still fails it, and is out of any band.
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double lo = band.lower ? *band.lower : -inf;
    const double hi = band.upper ? *band.upper : inf;
    const bool ls = band.lower && band.lower_strict, us = band.upper && band.upper_strict;
    if (ls && us) mask_band<true, true>(in.data(), out.data(), n, lo, hi);
    else if (ls) mask_band<true, false>(in.data(), out.data(), n, lo, hi);
    else if (us) mask_band<false, true>(in.data(), out.data(), n, lo, hi);
    else mask_band<false, false>(in.data(), out.data(), n, lo, hi);
    return;
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = tested[k % nc] ? (band.contains(in[k]) ? 1.0 : 0.0) : 1.0;
}

}  // namespace quenlith::containers::field
