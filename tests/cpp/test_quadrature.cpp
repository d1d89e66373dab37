// Quadrature rules: stored literals, point orders, exactness on monomials.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "base/error.hpp"
#include "containers/finite_element_space/quadrature.hpp"

namespace {

using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::all_element_types;
using quenlith::containers::mesh::ref_dim;
using namespace quenlith::containers::finite_element_space;

constexpr double g2 = 0.5773502691896258;
constexpr double g3 = 0.7745966692414834;

// |a - b| in units in the last place of b.
double ulp_distance(double a, double b) {
  return std::abs(a - b) / (std::nextafter(std::abs(b), INFINITY) - std::abs(b));
}

// numpy.polynomial.legendre.leggauss(2) and (3), pasted from gen_vtk_reference.py.
// Our stored literals are the doubles nearest to the closed forms; numpy's own
// computation lands within one unit in the last place of them.
TEST(Quadrature, GaussLegendreAgainstNumpy) {
  const double np2_x[] = {-0.5773502691896257, 0.5773502691896257};
  const double np3_x[] = {-0.7745966692414834, 0.0, 0.7745966692414834};
  const double np3_w[] = {0.5555555555555557, 0.8888888888888888, 0.5555555555555557};
  const auto seg2 = quadrature(QuadratureRule::GAUSS, ElementType::SEG2);
  const auto seg3 = quadrature(QuadratureRule::GAUSS, ElementType::SEG3);
  ASSERT_EQ(seg2.size(), 2u);
  ASSERT_EQ(seg3.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_LE(ulp_distance(seg2.points[i], np2_x[i]), 1.0);
    EXPECT_EQ(seg2.weights[i], 1.0);
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_LE(std::abs(seg3.points[i] - np3_x[i]), 1e-16);
    EXPECT_LE(ulp_distance(seg3.weights[i], np3_w[i]), 1.0);
  }
  // And the closed forms.
  EXPECT_EQ(g2, 1.0 / std::sqrt(3.0));
  EXPECT_EQ(g3, std::sqrt(3.0 / 5.0));
}

TEST(Quadrature, ReducedRules) {
  struct Case {
    ElementType t;
    std::vector<double> point;
    double weight;
  };
  const Case cases[] = {
      {ElementType::SEG2, {0}, 2},
      {ElementType::SEG3, {0}, 2},
      {ElementType::TRI3, {0.3333333333333333, 0.3333333333333333}, 0.5},
      {ElementType::TRI6, {0.3333333333333333, 0.3333333333333333}, 0.5},
      {ElementType::QUA4, {0, 0}, 4},
      {ElementType::QUA8, {0, 0}, 4},
      {ElementType::QUA9, {0, 0}, 4},
      {ElementType::TET4, {0.25, 0.25, 0.25}, 0.16666666666666666},
      {ElementType::TET10, {0.25, 0.25, 0.25}, 0.16666666666666666},
      {ElementType::PENTA6, {0.3333333333333333, 0.3333333333333333, 0.5}, 0.5},
      {ElementType::PENTA15, {0.3333333333333333, 0.3333333333333333, 0.5}, 0.5},
      {ElementType::HEX8, {0, 0, 0}, 8},
      {ElementType::HEX20, {0, 0, 0}, 8},
      {ElementType::HEX27, {0, 0, 0}, 8},
  };
  for (const Case& c : cases) {
    const auto q = quadrature(QuadratureRule::REDUCED, c.t);
    EXPECT_EQ(q.points, c.point) << name(c.t);
    EXPECT_EQ(q.weights, std::vector<double>{c.weight}) << name(c.t);
  }
}

TEST(Quadrature, PointOrdersAndLiterals) {
  const auto qua4 = quadrature(QuadratureRule::GAUSS, ElementType::QUA4);
  EXPECT_EQ(qua4.points, (std::vector<double>{-g2, -g2, g2, -g2, g2, g2, -g2, g2}));
  const auto hex8 = quadrature(QuadratureRule::GAUSS, ElementType::HEX8);
  ASSERT_EQ(hex8.size(), 8u);
  EXPECT_EQ(std::vector<double>(hex8.points.begin() + 6, hex8.points.begin() + 9), (std::vector<double>{-g2, g2, -g2}));
  EXPECT_EQ(std::vector<double>(hex8.points.begin() + 21, hex8.points.end()), (std::vector<double>{g2, g2, g2}));

  const auto tri3 = quadrature(QuadratureRule::GAUSS, ElementType::TRI3);
  EXPECT_EQ(tri3.points, (std::vector<double>{0.5, 0, 0.5, 0.5, 0, 0.5}));
  EXPECT_EQ(tri3.weights, std::vector<double>(3, 0.16666666666666666));

  const auto tri6 = triangle_six_point_rule();
  EXPECT_EQ(tri6.points, (std::vector<double>{0.445948490915965, 0.445948490915965, 0.10810301816807,
                                              0.445948490915965, 0.445948490915965, 0.10810301816807,
                                              0.091576213509771, 0.091576213509771, 0.816847572980458,
                                              0.091576213509771, 0.091576213509771, 0.816847572980458}));
  EXPECT_EQ(std::accumulate(tri6.weights.begin(), tri6.weights.end(), 0.0), 0.4999999999999995);
  EXPECT_EQ(quadrature(QuadratureRule::GAUSS, ElementType::TRI6).points, tri6.points);

  const auto qua8 = quadrature(QuadratureRule::GAUSS, ElementType::QUA8);
  EXPECT_EQ(qua8.weights, (std::vector<double>{0.308641975308642, 0.49382716049382713, 0.308641975308642,
                                               0.49382716049382713, 0.7901234567901234, 0.49382716049382713,
                                               0.308641975308642, 0.49382716049382713, 0.308641975308642}));
  EXPECT_EQ(std::vector<double>(qua8.points.begin(), qua8.points.begin() + 4), (std::vector<double>{-g3, -g3, 0, -g3}));
  const auto qua9 = quadrature(QuadratureRule::GAUSS, ElementType::QUA9);
  EXPECT_EQ(qua9.points, qua8.points);
  EXPECT_EQ(qua9.weights, qua8.weights);

  const auto tet4 = quadrature(QuadratureRule::GAUSS, ElementType::TET4);
  EXPECT_EQ(tet4.points[3], 0.5854101966249685);
  EXPECT_EQ(tet4.points[0], 0.1381966011250105);
  EXPECT_EQ(tet4.weights, std::vector<double>(4, 0.041666666666666664));

  const auto tet10 = quadrature(QuadratureRule::GAUSS, ElementType::TET10);
  ASSERT_EQ(tet10.size(), 11u);
  EXPECT_EQ(tet10.weights[0], -0.013155555555555556);
  EXPECT_EQ(std::accumulate(tet10.weights.begin(), tet10.weights.end(), 0.0), 0.16666666666666666);
  EXPECT_EQ(std::vector<double>(tet10.points.begin() + 24, tet10.points.begin() + 27),
            (std::vector<double>{0.399403576166799, 0.399403576166799, 0.100596423833201}));

  const auto penta6 = quadrature(QuadratureRule::GAUSS, ElementType::PENTA6);
  EXPECT_EQ(penta6.points, (std::vector<double>{0.5, 0, 0.21132486540518708, 0.5, 0, 0.7886751345948129, 0.5,
                                                0.5, 0.21132486540518708, 0.5, 0.5, 0.7886751345948129, 0,
                                                0.5, 0.21132486540518708, 0, 0.5, 0.7886751345948129}));
  EXPECT_EQ(penta6.weights, std::vector<double>(6, 0.08333333333333333));

  const auto penta15 = quadrature(QuadratureRule::GAUSS, ElementType::PENTA15);
  ASSERT_EQ(penta15.size(), 18u);
  EXPECT_EQ(std::vector<double>(penta15.points.begin() + 3, penta15.points.begin() + 6),
            (std::vector<double>{0.445948490915965, 0.445948490915965, 0.5}));
  EXPECT_EQ(penta15.weights[1], 0.04964035326178022);
  EXPECT_EQ(penta15.points[2], 0.1127016653792583);
  EXPECT_EQ(penta15.points[8], 0.8872983346207417);
  EXPECT_EQ(std::accumulate(penta15.weights.begin(), penta15.weights.end(), 0.0), 0.4999999999999994);

  const auto hex20 = quadrature(QuadratureRule::GAUSS, ElementType::HEX20);
  const auto hex27 = quadrature(QuadratureRule::GAUSS, ElementType::HEX27);
  ASSERT_EQ(hex20.size(), 27u);
  EXPECT_EQ(hex20.points, hex27.points);
  EXPECT_EQ(hex20.weights, hex27.weights);
  // Point index = i + 3 j + 9 k with xi fastest; the product order shows in the last bit.
  EXPECT_EQ(hex20.weights[1 + 3 * 1 + 9 * 0], 0.438957475994513);    // (0, 0, -g3)
  EXPECT_EQ(hex20.weights[1 + 3 * 0 + 9 * 1], 0.43895747599451296);  // (0, -g3, 0)
  EXPECT_EQ(hex20.weights[13], 0.7023319615912208);
  EXPECT_EQ(hex20.weights[0], 0.1714677640603567);
  EXPECT_EQ(std::vector<double>(hex20.points.begin() + 3, hex20.points.begin() + 6), (std::vector<double>{0, -g3, -g3}));
}

TEST(Quadrature, Poi1HasNoRule) {
  for (auto rule : {QuadratureRule::GAUSS, QuadratureRule::REDUCED}) {
    try {
      quadrature(rule, ElementType::POI1);
      FAIL() << "expected an error";
    } catch (const quenlith::Error& e) {
      EXPECT_EQ(e.kind(), quenlith::Error::Kind::Message);
      EXPECT_EQ(e.text(), rule == QuadratureRule::GAUSS ? "quadrature GAUSS is not defined for POI1"
                                                        : "quadrature REDUCED is not defined for POI1");
    }
  }
}

double factorial(int n) { return n <= 1 ? 1.0 : n * factorial(n - 1); }

double segment_monomial(int a) { return a % 2 ? 0.0 : 2.0 / (a + 1); }

enum class Shape { Segment, Square, Cube, Triangle, Tetrahedron, Prism };

Shape shape_of(ElementType t) {
  switch (t) {
    case ElementType::SEG2:
    case ElementType::SEG3: return Shape::Segment;
    case ElementType::QUA4:
    case ElementType::QUA8:
    case ElementType::QUA9: return Shape::Square;
    case ElementType::HEX8:
    case ElementType::HEX20:
    case ElementType::HEX27: return Shape::Cube;
    case ElementType::TRI3:
    case ElementType::TRI6: return Shape::Triangle;
    case ElementType::TET4:
    case ElementType::TET10: return Shape::Tetrahedron;
    default: return Shape::Prism;
  }
}

// Exact integral of xi^a eta^b zeta^c over the reference cell.
double exact_monomial(Shape s, int a, int b, int c) {
  switch (s) {
    case Shape::Segment: return segment_monomial(a);
    case Shape::Square: return segment_monomial(a) * segment_monomial(b);
    case Shape::Cube: return segment_monomial(a) * segment_monomial(b) * segment_monomial(c);
    case Shape::Triangle: return factorial(a) * factorial(b) / factorial(a + b + 2);
    case Shape::Tetrahedron: return factorial(a) * factorial(b) * factorial(c) / factorial(a + b + c + 3);
    case Shape::Prism: return factorial(a) * factorial(b) / factorial(a + b + 2) / (c + 1);
  }
  return 0;
}

struct ExactnessCase {
  ElementType type;
  QuadratureRule rule;
  int degree;  // total degree on simplices, in the triangle and in zeta on prisms, per variable on boxes
  int zeta_degree;  // prisms only
};

class QuadratureExactness : public ::testing::TestWithParam<ExactnessCase> {};

TEST_P(QuadratureExactness, IntegratesMonomials) {
  const auto [t, rule, degree, zeta_degree] = GetParam();
  const auto q = quadrature(rule, t);
  const std::size_t d = ref_dim(t);
  ASSERT_EQ(q.points.size(), q.size() * d);
  const Shape s = shape_of(t);
  const int amax = degree;
  const int bmax = d >= 2 ? degree : 0;
  const int cmax = d >= 3 ? (s == Shape::Prism ? zeta_degree : degree) : 0;
  int checked = 0;
  for (int a = 0; a <= amax; ++a)
    for (int b = 0; b <= bmax; ++b)
      for (int c = 0; c <= cmax; ++c) {
        if (s == Shape::Triangle || s == Shape::Prism) {
          if (a + b > degree) continue;
        } else if (s == Shape::Tetrahedron && a + b + c > degree) {
          continue;
        }
        double sum = 0.0;
        for (std::size_t g = 0; g < q.size(); ++g) {
          double m = std::pow(q.points[g * d], a);
          if (d >= 2) m *= std::pow(q.points[g * d + 1], b);
          if (d >= 3) m *= std::pow(q.points[g * d + 2], c);
          sum += q.weights[g] * m;
        }
        EXPECT_NEAR(sum, exact_monomial(s, a, b, c), 2e-14) << name(t) << " a=" << a << " b=" << b << " c=" << c;
        ++checked;
      }
  EXPECT_GT(checked, 0);
}

const ExactnessCase kExactness[] = {
    {ElementType::SEG2, QuadratureRule::GAUSS, 3, 0},    {ElementType::SEG3, QuadratureRule::GAUSS, 5, 0},
    {ElementType::TRI3, QuadratureRule::GAUSS, 2, 0},    {ElementType::TRI6, QuadratureRule::GAUSS, 4, 0},
    {ElementType::QUA4, QuadratureRule::GAUSS, 3, 0},    {ElementType::QUA8, QuadratureRule::GAUSS, 5, 0},
    {ElementType::QUA9, QuadratureRule::GAUSS, 5, 0},    {ElementType::TET4, QuadratureRule::GAUSS, 2, 0},
    {ElementType::TET10, QuadratureRule::GAUSS, 4, 0},   {ElementType::PENTA6, QuadratureRule::GAUSS, 2, 3},
    {ElementType::PENTA15, QuadratureRule::GAUSS, 4, 5}, {ElementType::HEX8, QuadratureRule::GAUSS, 3, 0},
    {ElementType::HEX20, QuadratureRule::GAUSS, 5, 0},   {ElementType::HEX27, QuadratureRule::GAUSS, 5, 0},
    {ElementType::SEG3, QuadratureRule::REDUCED, 1, 0},  {ElementType::TRI6, QuadratureRule::REDUCED, 1, 0},
    {ElementType::QUA9, QuadratureRule::REDUCED, 1, 0},  {ElementType::TET10, QuadratureRule::REDUCED, 1, 0},
    {ElementType::PENTA6, QuadratureRule::REDUCED, 1, 1}, {ElementType::HEX20, QuadratureRule::REDUCED, 1, 0},
};

INSTANTIATE_TEST_SUITE_P(AllRules, QuadratureExactness, ::testing::ValuesIn(kExactness),
                         [](const auto& info) {
                           return std::string(name(info.param.type)) + "_" + std::string(name(info.param.rule));
                         });

double reference_measure(Shape s) {
  switch (s) {
    case Shape::Segment: return 2;
    case Shape::Square: return 4;
    case Shape::Cube: return 8;
    case Shape::Tetrahedron: return 1.0 / 6;
    default: return 0.5;
  }
}

TEST(Quadrature, WeightsSumToReferenceMeasure) {
  for (ElementType t : all_element_types()) {
    if (t == ElementType::POI1) continue;
    for (auto rule : {QuadratureRule::GAUSS, QuadratureRule::REDUCED}) {
      const auto q = quadrature(rule, t);
      EXPECT_NEAR(std::accumulate(q.weights.begin(), q.weights.end(), 0.0), reference_measure(shape_of(t)), 4e-15)
          << name(t);
    }
  }
}

}  // namespace
