#pragma once
// Three-component vectors of the curve generators, with the operation orders they
// fix (no fused multiply-add: the build forbids contraction).
#include <array>
#include <cmath>
#include <span>

namespace quenlith::ops::mesher {

using Vec3 = std::array<double, 3>;

// The first min(3, size) values, the rest 0.
inline Vec3 to_vec3(std::span<const double> p) {
  Vec3 v{0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < p.size() && k < 3; ++k) v[k] = p[k];
  return v;
}

inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
// The square root of the sum of the squares, summed x, y, z.
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }
inline Vec3 scaled(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
inline Vec3 divided(const Vec3& a, double s) { return {a[0] / s, a[1] / s, a[2] / s}; }
// The right-handed cross product.
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// center + radius · (sin φ · e2 + cos φ · e1), component by component, written into
// the first out.size() (2 or 3) values of `out`.
inline void circle_point(const Vec3& center, double radius, const Vec3& e1, const Vec3& e2, double phi,
                         std::span<double> out) {
  const double s = std::sin(phi);
  const double c = std::cos(phi);
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = center[k] + radius * (s * e2[k] + c * e1[k]);
}

}  // namespace quenlith::ops::mesher
