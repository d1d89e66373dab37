#pragma once
// The per-value work of masks and selections, shared by node and element zones:
// which components of a zone are tested, the band's test as straight arithmetic,
// and the 0/1 rewrite of a value array.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <emmintrin.h>

#include "containers/field/value_band.hpp"
#include "parallel/row_ops.hpp"

namespace quenlith::containers::field {

// A band's test without a branch per value. A side the band lacks is not tested:
// an absent bound is an infinite one taken inclusively, which every value but NaN
// passes, and NaN already fails the side that exists. (A band without either side
// tests both infinities, so that NaN still fails.) The answers are those of
// ValueBand::contains. On a Double2 it gives one lane mask per value (all ones
// inside, all zeros outside), as the baseline x86-64 comparisons make it: the
// compiler's own vector comparisons, combined, come out as a choice made lane by
// lane.
enum class BandSide { Absent, Inclusive, Strict };

template <BandSide Lower, BandSide Upper>
struct BandTest {
  double lo, hi;
  bool operator()(double v) const noexcept {
    const bool above = Lower == BandSide::Absent || (Lower == BandSide::Strict ? lo < v : lo <= v);
    const bool below = Upper == BandSide::Absent || (Upper == BandSide::Strict ? v < hi : v <= hi);
    return above & below;
  }
  __m128d operator()(parallel::Double2 v) const noexcept {
    const __m128d x = v;
    const auto above = [&] {
      const __m128d los = _mm_set1_pd(lo);
      return Lower == BandSide::Strict ? _mm_cmplt_pd(los, x) : _mm_cmple_pd(los, x);
    };
    const auto below = [&] {
      const __m128d his = _mm_set1_pd(hi);
      return Upper == BandSide::Strict ? _mm_cmplt_pd(x, his) : _mm_cmple_pd(x, his);
    };
    if constexpr (Lower == BandSide::Absent)
      return below();
    else if constexpr (Upper == BandSide::Absent)
      return above();
    else
      return _mm_and_pd(above(), below());
  }
};

// Calls body(test) with the BandTest of `band`.
template <class Body>
decltype(auto) with_band_test(const ValueBand& band, Body&& body) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  using S = BandSide;
  // One side given, the other absent: the common case of `ge`, `lt`, `v < x`...
  if (band.lower && !band.upper)
    return band.lower_strict ? body(BandTest<S::Strict, S::Absent>{*band.lower, inf})
                             : body(BandTest<S::Inclusive, S::Absent>{*band.lower, inf});
  if (band.upper && !band.lower)
    return band.upper_strict ? body(BandTest<S::Absent, S::Strict>{-inf, *band.upper})
                             : body(BandTest<S::Absent, S::Inclusive>{-inf, *band.upper});
  const double lo = band.lower ? *band.lower : -inf;
  const double hi = band.upper ? *band.upper : inf;
  const bool ls = band.lower && band.lower_strict, us = band.upper && band.upper_strict;
  if (ls && us) return body(BandTest<S::Strict, S::Strict>{lo, hi});
  if (ls) return body(BandTest<S::Strict, S::Inclusive>{lo, hi});
  if (us) return body(BandTest<S::Inclusive, S::Strict>{lo, hi});
  return body(BandTest<S::Inclusive, S::Inclusive>{lo, hi});
}

// One flag per component of a zone with `names`: every one without a list; with a
// list, the position of each listed name the zone carries (none when it carries
// none of them; an empty list tests nothing).
std::vector<std::uint8_t> tested_components(std::span<const std::string> names,
                                            const std::optional<std::vector<std::string>>& listed);

// out[k] for the value in[k] of component k mod ncomp: 1.0 when that component is
// not tested, else 1.0 inside the band and 0.0 outside (NaN included). `in` and
// `out` have the same length, a multiple of ncomp = tested.size() >= 1; they may be
// the same array. Runs in parallel chunks; every value is written once.
void mask_values(std::span<const double> in, std::span<double> out, std::span<const std::uint8_t> tested,
                 const ValueBand& band);

// The items of `rows_per_item` consecutive rows (of `ncomp` values each) whose
// values at every position of `tested`, in every row of the item, lie in the band,
// as bits (parallel::ItemBits); every item passes when `tested` is empty. The
// values hold a whole number of items. Parallel chunks of whole words of bits.
parallel::ItemBits items_in_band(std::span<const double> values, std::size_t ncomp, std::size_t rows_per_item,
                                 std::span<const std::size_t> tested, const ValueBand& band);

}  // namespace quenlith::containers::field
