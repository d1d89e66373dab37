// The meshers' robust predicates against exact integer arithmetic: on integer
// coordinates large enough that the plain double formulas round, near exactly
// degenerate configurations (collinear, cocircular, coplanar, cospherical points
// nudged by one unit) must get the exact sign, and exact degeneracies exactly 0.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "ops/mesher/predicates.hpp"

namespace {

using quenlith::ops::mesher::incircle;
using quenlith::ops::mesher::insphere;
using quenlith::ops::mesher::orient2d;
using quenlith::ops::mesher::orient3d;
using quenlith::ops::mesher::Point2;
using quenlith::ops::mesher::Point3;
using i128 = __int128;

int sign(i128 v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }
int sign(double v) { return v > 0.0 ? 1 : (v < 0.0 ? -1 : 0); }
i128 I(double x) { return static_cast<i128>(static_cast<std::int64_t>(x)); }

i128 ref_orient2d(const Point2& a, const Point2& b, const Point2& c) {
  return (I(b[0]) - I(a[0])) * (I(c[1]) - I(a[1])) - (I(b[1]) - I(a[1])) * (I(c[0]) - I(a[0]));
}

i128 det3(const i128 m[3][3]) {
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
         m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

i128 ref_orient3d(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  i128 m[3][3];
  const Point3* rows[3] = {&b, &c, &d};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) m[r][k] = I((*rows[r])[k]) - I(a[k]);
  return det3(m);
}

i128 ref_incircle(const Point2& a, const Point2& b, const Point2& c, const Point2& d) {
  i128 m[3][3];
  const Point2* rows[3] = {&a, &b, &c};
  for (int r = 0; r < 3; ++r) {
    const i128 x = I((*rows[r])[0]) - I(d[0]), y = I((*rows[r])[1]) - I(d[1]);
    m[r][0] = x;
    m[r][1] = y;
    m[r][2] = x * x + y * y;
  }
  return det3(m);
}

// det [p - e, |p - e|^2] over the rows a, b, c, d (Laplace along the lift column).
i128 lifted_det4(const Point3& a, const Point3& b, const Point3& c, const Point3& d, const Point3& e) {
  i128 m[4][4];
  const Point3* rows[4] = {&a, &b, &c, &d};
  for (int r = 0; r < 4; ++r) {
    i128 lift = 0;
    for (int k = 0; k < 3; ++k) {
      m[r][k] = I((*rows[r])[k]) - I(e[k]);
      lift += m[r][k] * m[r][k];
    }
    m[r][3] = lift;
  }
  i128 det = 0;
  for (int skip = 0; skip < 4; ++skip) {
    i128 minor[3][3];
    for (int r = 0, rr = 0; r < 4; ++r) {
      if (r == skip) continue;
      for (int k = 0; k < 3; ++k) minor[rr][k] = m[r][k];
      ++rr;
    }
    const i128 term = m[skip][3] * det3(minor);
    det += ((skip + 3) % 2 == 0) ? term : -term;
  }
  return det;
}

// The sign convention of insphere, fixed by the unit tetrahedron and its
// circumcentre rather than by the implementation.
int insphere_convention() {
  const Point3 a{0, 0, 0}, b{2, 0, 0}, c{0, 2, 0}, d{0, 0, 2}, e{1, 1, 1};
  return sign(lifted_det4(a, b, c, d, e));
}

TEST(Predicates, ReferenceConventions) {
  EXPECT_GT(orient2d({0, 0}, {1, 0}, {0, 1}), 0.0);
  EXPECT_EQ(orient3d({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}), 1.0);
  EXPECT_GT(incircle({0, 0}, {2, 0}, {0, 2}, {1, 1}), 0.0);
  EXPECT_LT(incircle({0, 0}, {2, 0}, {0, 2}, {5, 5}), 0.0);
  EXPECT_GT(insphere({0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {1, 1, 1}), 0.0);
  EXPECT_LT(insphere({0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 2}, {9, 9, 9}), 0.0);
  // Swapping two corners turns the tetrahedron over and flips the answer.
  EXPECT_LT(insphere({2, 0, 0}, {0, 0, 0}, {0, 2, 0}, {0, 0, 2}, {1, 1, 1}), 0.0);
}

TEST(Predicates, NearCollinearPointsGetTheExactOrientation) {
  // The classic failure of the plain formula: a grid of points one ulp apart
  // around (0.5, 0.5) against the line through (12, 12) and (24, 24). Every
  // coordinate is a multiple of 2^-53, so 2^53 times it is an exact integer.
  auto scaled = [](const Point2& p) { return Point2{std::ldexp(p[0], 53), std::ldexp(p[1], 53)}; };
  const double ulp = std::ldexp(1.0, -53);
  const Point2 q{12, 12}, r{24, 24};
  int disagreements_of_plain_formula = 0;
  for (int i = 0; i < 64; ++i) {
    for (int j = 0; j < 64; ++j) {
      const Point2 p{0.5 + i * ulp, 0.5 + j * ulp};
      const int expected = sign(ref_orient2d(scaled(p), scaled(q), scaled(r)));
      ASSERT_EQ(sign(orient2d(p, q, r)), expected) << i << " " << j;
      ASSERT_EQ(sign(orient2d(q, r, p)), expected) << i << " " << j;
      ASSERT_EQ(sign(orient2d(r, p, q)), expected) << i << " " << j;
      ASSERT_EQ(sign(orient2d(q, p, r)), -expected) << i << " " << j;
      const double plain = (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0]);
      disagreements_of_plain_formula += sign(plain) != expected;
    }
  }
  // The cases are hard enough for the plain formula to fail.
  EXPECT_GT(disagreements_of_plain_formula, 0);
}

TEST(Predicates, FarNearCollinearPointsGetTheExactOrientation) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::int64_t> big(-(std::int64_t{1} << 49), std::int64_t{1} << 49);
  std::uniform_int_distribution<std::int64_t> step(-(std::int64_t{1} << 20), std::int64_t{1} << 20);
  std::uniform_int_distribution<int> nudge(-1, 1);
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t ax = big(rng), ay = big(rng), dx = step(rng), dy = step(rng);
    const std::int64_t s = step(rng) / 16, t = step(rng) / 16;
    const Point2 a{double(ax), double(ay)}, b{double(ax + s * dx), double(ay + s * dy)};
    const Point2 c{double(ax + t * dx + nudge(rng)), double(ay + t * dy + nudge(rng))};
    ASSERT_EQ(sign(orient2d(a, b, c)), sign(ref_orient2d(a, b, c))) << i;
  }
}

TEST(Predicates, NearCoplanarPointsGetTheExactOrientation) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<std::int64_t> big(-(std::int64_t{1} << 31), std::int64_t{1} << 31);
  std::uniform_int_distribution<std::int64_t> small(-(1 << 10), 1 << 10);
  std::uniform_int_distribution<int> nudge(-1, 1);
  for (int i = 0; i < 20000; ++i) {
    const Point3 a{double(big(rng)), double(big(rng)), double(big(rng))};
    std::int64_t u[3], v[3];
    for (int k = 0; k < 3; ++k) u[k] = small(rng), v[k] = small(rng);
    const std::int64_t s1 = small(rng), t1 = small(rng), s2 = small(rng), t2 = small(rng), s3 = small(rng),
                       t3 = small(rng);
    Point3 b, c, d;
    for (int k = 0; k < 3; ++k) {
      b[k] = a[k] + double(s1 * u[k] + t1 * v[k]);
      c[k] = a[k] + double(s2 * u[k] + t2 * v[k]);
      d[k] = a[k] + double(s3 * u[k] + t3 * v[k] + nudge(rng));
    }
    ASSERT_EQ(sign(orient3d(a, b, c, d)), sign(ref_orient3d(a, b, c, d))) << i;
  }
}

TEST(Predicates, NearCocircularPointsGetTheExactInCircleSign) {
  // Points of the circle x^2 + y^2 = (5k)^2 around a far centre, the last nudged.
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<std::int64_t> centre(-(1 << 22), 1 << 22);
  std::uniform_int_distribution<std::int64_t> scale(1 << 18, 1 << 20);
  std::uniform_int_distribution<int> nudge(-1, 1), pick(0, 11);
  const int circle[12][2] = {{3, 4}, {4, 3}, {5, 0}, {4, -3}, {3, -4}, {0, -5},
                             {-3, -4}, {-4, -3}, {-5, 0}, {-4, 3}, {-3, 4}, {0, 5}};
  int zeros = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t cx = centre(rng), cy = centre(rng), k = scale(rng);
    Point2 p[4];
    for (auto& q : p) {
      const auto& o = circle[pick(rng)];
      q = {double(cx + k * o[0]), double(cy + k * o[1])};
    }
    p[3][0] += nudge(rng);
    p[3][1] += nudge(rng);
    const int expected = sign(ref_incircle(p[0], p[1], p[2], p[3]));
    const double got = incircle(p[0], p[1], p[2], p[3]);
    ASSERT_EQ(sign(got), expected) << i;
    zeros += expected == 0;
  }
  EXPECT_GT(zeros, 0);
}

TEST(Predicates, NearCosphericalPointsGetTheExactInSphereSign) {
  // Integer points of the sphere of radius 3k (permutations and signs of (3,0,0)
  // and (2,2,1)), the last nudged.
  std::vector<std::array<int, 3>> sphere;
  const int bases[2][3] = {{3, 0, 0}, {2, 2, 1}};
  for (const auto& base : bases) {
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& pm : perms)
      for (int sg = 0; sg < 8; ++sg) {
        std::array<int, 3> q;
        for (int k = 0; k < 3; ++k) q[k] = base[pm[k]] * ((sg >> k) & 1 ? -1 : 1);
        sphere.push_back(q);
      }
  }
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<std::int64_t> centre(-(1 << 17), 1 << 17);
  std::uniform_int_distribution<std::int64_t> scale(1 << 14, 1 << 16);
  std::uniform_int_distribution<int> nudge(-1, 1);
  std::uniform_int_distribution<std::size_t> pick(0, sphere.size() - 1);
  const int convention = insphere_convention();
  int zeros = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t cx = centre(rng), cy = centre(rng), cz = centre(rng), k = scale(rng);
    Point3 p[5];
    for (auto& q : p) {
      const auto& o = sphere[pick(rng)];
      q = {double(cx + k * o[0]), double(cy + k * o[1]), double(cz + k * o[2])};
    }
    for (int c = 0; c < 3; ++c) p[4][c] += nudge(rng);
    const int expected = convention * sign(lifted_det4(p[0], p[1], p[2], p[3], p[4]));
    ASSERT_EQ(sign(insphere(p[0], p[1], p[2], p[3], p[4])), expected) << i;
    zeros += expected == 0;
  }
  EXPECT_GT(zeros, 0);
}

}  // namespace
