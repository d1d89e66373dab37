#pragma once
// Robust geometric predicates of the meshers, and their deterministic point
// perturbation.
//
// Each predicate returns a double whose SIGN is the sign of the exact value of its
// determinant over the given doubles (as if every product and sum were made in
// unbounded precision). The magnitude is the plain floating-point value when a
// forward error bound proves its sign, else an approximation of the exact value:
// callers may compare magnitudes (point location picks the most negative edge)
// but only the sign is exact.
//
// Method: a floating-point evaluation with a static error bound proportional to
// the permanent of the determinant filters the common case; when the bound does
// not prove the sign, the determinant is re-evaluated exactly with floating-point
// expansions (sums of non-overlapping doubles built from error-free sums and
// products). Non-finite inputs give a non-finite or meaningless result, never a
// crash. Results need round-to-nearest double arithmetic without contraction
// (the build sets -ffp-contract=off).
#include <array>
#include <cmath>
#include <cstdint>
#include <span>

namespace quenlith::ops::mesher {

using Point2 = std::array<double, 2>;
using Point3 = std::array<double, 3>;

namespace detail {
double orient2d_exact(const Point2& a, const Point2& b, const Point2& c);
inline constexpr double kOrient2dBound = (3.0 + 16.0 * 0x1p-53) * 0x1p-53;
}  // namespace detail

// (b - a) x (c - a): positive when c lies left of the directed line a -> b.
// The filter is inline (the meshers call this in their inner loops); the exact
// evaluation is not.
inline double orient2d(const Point2& a, const Point2& b, const Point2& c) {
  const double left = (b[0] - a[0]) * (c[1] - a[1]);
  const double right = (b[1] - a[1]) * (c[0] - a[0]);
  const double det = left - right;
  const double bound = detail::kOrient2dBound * ((left < 0.0 ? -left : left) + (right < 0.0 ? -right : right));
  if (det > bound || -det > bound) return det;
  return detail::orient2d_exact(a, b, c);
}
// orient2d(a, b, c) > 0, for loops that only need that: the filter's absolute
// values are taken without branches (their signs are as good as random), and
// the exact evaluation runs where the filter cannot decide.
inline bool orient2d_positive(const Point2& a, const Point2& b, const Point2& c) {
  const double left = (b[0] - a[0]) * (c[1] - a[1]);
  const double right = (b[1] - a[1]) * (c[0] - a[0]);
  const double det = left - right;
  const double bound = detail::kOrient2dBound * (std::fabs(left) + std::fabs(right));
  if (det > bound) return true;
  if (-det > bound) return false;
  return detail::orient2d_exact(a, b, c) > 0.0;
}
// Positive when d lies strictly inside the circle through a, b, c given
// counter-clockwise (negative inside when they are clockwise), zero on it.
double incircle(const Point2& a, const Point2& b, const Point2& c, const Point2& d);
// (d - a) . ((b - a) x (c - a)): positive when d lies on the side of the plane
// (a, b, c) towards which (b - a) x (c - a) points; the unit tetrahedron
// ((0,0,0), (1,0,0), (0,1,0), (0,0,1)) gives +1.
double orient3d(const Point3& a, const Point3& b, const Point3& c, const Point3& d);
// Positive when e lies strictly inside the sphere through a, b, c, d with
// orient3d(a, b, c, d) > 0 (the sign flips with the orientation), zero on it.
double insphere(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e);
// The sum over k of weights[k] * orient3d(quads[k]), with its exact sign; the
// weights must be small integers (their products with expansion components
// are then exact). Always evaluated exactly: meant for the rare ties.
double orient3d_sum(std::span<const std::array<const Point3*, 4>> quads, std::span<const double> weights);

// The deterministic perturbation of mesher points: a double in [-0.5, 0.5) from a
// point index and a per-axis salt (a multiplicative hash, no random source).
inline double hash_jitter(std::uint64_t k, std::uint64_t salt) noexcept {
  const std::uint64_t h = k * 0x9e3779b97f4a7c15ull;
  const std::uint64_t s = (h >> 11) ^ salt;
  return static_cast<double>(s) * 0x1p-53 - 0.5;
}
inline constexpr std::uint64_t kJitterSaltX = 0xc657c;
inline constexpr std::uint64_t kJitterSaltY = 0x18caf9;
inline constexpr std::uint64_t kJitterSaltZ = 0x253076;

}  // namespace quenlith::ops::mesher
