#pragma once
// ValueBand: an interval of doubles with at most one lower and at most one upper
// bound, each inclusive or strict. Masks and field comparisons test values with it.
//
// Invariants once built by `value_band`: at least one bound is present, and when
// both are, the upper one is not below the lower one (a NaN bound passes that
// test). A strict flag is false when its bound is absent.
#include <optional>

namespace quenlith::containers::field {

struct ValueBand {
  std::optional<double> lower;
  std::optional<double> upper;
  bool lower_strict = false;
  bool upper_strict = false;

  // IEEE comparisons: a NaN value is never inside, and a NaN bound lets nothing
  // pass on its side.
  bool contains(double v) const noexcept {
    const bool above = !lower || (lower_strict ? *lower < v : *lower <= v);
    const bool below = !upper || (upper_strict ? v < *upper : v <= *upper);
    return above && below;
  }
};

// The band of the keywords ge (inclusive lower), gt (strict lower), le (inclusive
// upper) and lt (strict upper). Errors, checked in this order:
//   "value band: give at most one lower bound (`ge` or `gt`, not both)"
//   "value band: at least one bound (`ge`/`gt`/`le`/`lt`) must be given"
//   "value band: give at most one upper bound (`le` or `lt`, not both)"
//   "value band: lower bound ({}) is greater than upper bound ({})"
// Equal bounds are accepted, strict sides included (a band nothing passes).
ValueBand value_band(std::optional<double> ge, std::optional<double> gt, std::optional<double> le,
                     std::optional<double> lt);

// The one-bound bands of the comparisons `v < x`, `v <= x`, `v > x`, `v >= x`.
enum class Comparison { Less, LessEqual, Greater, GreaterEqual };
ValueBand comparison_band(Comparison op, double x) noexcept;

}  // namespace quenlith::containers::field
