// Lagrange shape functions: interpolation, partition of unity, derivatives, errors.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/error.hpp"
#include "containers/finite_element_space/interpolation.hpp"
#include "test_support.hpp"

namespace {

using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::all_element_types;
using quenlith::containers::mesh::nodes_per_cell;
using quenlith::containers::mesh::ref_dim;
using quenlith::containers::mesh::reference_nodes;
using namespace quenlith::containers::finite_element_space;

using quenlith::testing::interpolation_of;

std::vector<ElementType> lagrange_types() {
  std::vector<ElementType> v;
  for (ElementType t : all_element_types())
    if (t != ElementType::POI1) v.push_back(t);
  return v;
}

// A few points inside, on the border of and outside each reference cell.
std::vector<std::vector<double>> probe_points(std::size_t d) {
  switch (d) {
    case 1: return {{-0.7}, {0.1}, {1.0}, {2.5}};
    case 2: return {{0.2, 0.3}, {-0.6, 0.45}, {0.1, 0.05}, {1.7, -1.3}};
    default: return {{0.2, 0.3, 0.1}, {-0.6, 0.45, 0.7}, {0.1, 0.05, 0.3}, {1.7, -1.3, 0.4}};
  }
}

class ShapeFamily : public ::testing::TestWithParam<ElementType> {};

TEST_P(ShapeFamily, KroneckerAtNodes) {
  const ElementType t = GetParam();
  const std::size_t n = nodes_per_cell(t), d = ref_dim(t);
  const auto nodes = reference_nodes(t);
  for (std::size_t j = 0; j < n; ++j) {
    const auto values = shape(interpolation_of(t), t, nodes.subspan(j * d, d));
    ASSERT_EQ(values.size(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(values[i], i == j ? 1.0 : 0.0, 1e-15) << "N" << i << " at node " << j;
  }
}

TEST_P(ShapeFamily, PartitionOfUnityAndZeroDerivativeSum) {
  const ElementType t = GetParam();
  const std::size_t n = nodes_per_cell(t), d = ref_dim(t);
  for (const auto& xi : probe_points(d)) {
    const auto values = shape(interpolation_of(t), t, xi);
    const auto derivs = dshape_dxi(interpolation_of(t), t, xi);
    ASSERT_EQ(derivs.size(), n * d);
    double sum = 0.0;
    for (double v : values) sum += v;
    EXPECT_NEAR(sum, 1.0, 1e-14);
    for (std::size_t k = 0; k < d; ++k) {
      double dsum = 0.0;
      for (std::size_t i = 0; i < n; ++i) dsum += derivs[i * d + k];
      EXPECT_NEAR(dsum, 0.0, 1e-13) << "direction " << k;
    }
  }
}

// Each family reproduces the coordinates themselves: sum_i N_i x_i = x (isoparametric
// consistency, which the geometry relies on for straight-sided cells).
TEST_P(ShapeFamily, ReproducesLinearFields) {
  const ElementType t = GetParam();
  const std::size_t n = nodes_per_cell(t), d = ref_dim(t);
  const auto nodes = reference_nodes(t);
  for (const auto& xi : probe_points(d)) {
    const auto values = shape(interpolation_of(t), t, xi);
    const auto derivs = dshape_dxi(interpolation_of(t), t, xi);
    for (std::size_t k = 0; k < d; ++k) {
      double x = 0.0;
      for (std::size_t i = 0; i < n; ++i) x += values[i] * nodes[i * d + k];
      EXPECT_NEAR(x, xi[k], 1e-13);
      for (std::size_t l = 0; l < d; ++l) {
        double dx = 0.0;
        for (std::size_t i = 0; i < n; ++i) dx += derivs[i * d + l] * nodes[i * d + k];
        EXPECT_NEAR(dx, k == l ? 1.0 : 0.0, 1e-13);
      }
    }
  }
}

TEST_P(ShapeFamily, DerivativesMatchCentralDifferences) {
  const ElementType t = GetParam();
  const std::size_t n = nodes_per_cell(t), d = ref_dim(t);
  const double h = 1e-6;
  for (const auto& xi : probe_points(d)) {
    const auto derivs = dshape_dxi(interpolation_of(t), t, xi);
    for (std::size_t k = 0; k < d; ++k) {
      auto plus = xi, minus = xi;
      plus[k] += h;
      minus[k] -= h;
      const auto np = shape(interpolation_of(t), t, plus);
      const auto nm = shape(interpolation_of(t), t, minus);
      for (std::size_t i = 0; i < n; ++i)
        EXPECT_NEAR(derivs[i * d + k], (np[i] - nm[i]) / (2 * h), 2e-9) << "dN" << i << "/dxi" << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, ShapeFamily, ::testing::ValuesIn(lagrange_types()),
                         [](const auto& info) { return std::string(name(info.param)); });

TEST(Shape, KnownValues) {
  const double tri_pt[] = {0.2, 0.3};
  const auto tri6 = shape(Interpolation::LAGRANGE2, ElementType::TRI6, tri_pt);
  const double tri6_expected[] = {0, -0.12, -0.12, 0.4, 0.24, 0.6};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(tri6[i], tri6_expected[i], 1e-15) << i;

  const double s[] = {0.1};
  const auto seg3 = shape(Interpolation::LAGRANGE2, ElementType::SEG3, s);
  EXPECT_NEAR(seg3[0], -0.045, 1e-16);
  EXPECT_NEAR(seg3[1], 0.055, 1e-16);
  EXPECT_NEAR(seg3[2], 0.99, 1e-16);
  EXPECT_EQ(dshape_dxi(Interpolation::LAGRANGE2, ElementType::SEG3, s), (std::vector<double>{0.1 - 0.5, 0.1 + 0.5, -0.2}));

  const double outside[] = {3.0};
  EXPECT_EQ(shape(Interpolation::LAGRANGE1, ElementType::SEG2, outside), (std::vector<double>{-1.0, 2.0}));
  EXPECT_EQ(dshape_dxi(Interpolation::LAGRANGE1, ElementType::SEG2, outside), (std::vector<double>{-0.5, 0.5}));

  const double p[] = {0.7, 0.1};
  EXPECT_EQ(dshape_dxi(Interpolation::LAGRANGE1, ElementType::TRI3, p), (std::vector<double>{-1, -1, 1, 0, 0, 1}));
  const double q[] = {0.7, 0.1, 0.05};
  EXPECT_EQ(dshape_dxi(Interpolation::LAGRANGE1, ElementType::TET4, q),
            (std::vector<double>{-1, -1, -1, 1, 0, 0, 0, 1, 0, 0, 0, 1}));

  const double tet_edge[] = {0.5, 0, 0};
  const auto tet10 = shape(Interpolation::LAGRANGE2, ElementType::TET10, tet_edge);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(tet10[i], i == 4 ? 1.0 : 0.0) << i;
}

std::string error_text(auto&& call) {
  try {
    call();
  } catch (const quenlith::Error& e) {
    EXPECT_EQ(e.kind(), quenlith::Error::Kind::Message);
    return e.text();
  }
  return "<no error>";
}

TEST(Shape, ErrorsInCheckOrder) {
  const double one[] = {0.1};
  const double two[] = {0.1, 0.2};
  EXPECT_EQ(error_text([&] { shape(Interpolation::LAGRANGE2, ElementType::SEG2, one); }),
            "interpolation LAGRANGE2 is not defined for SEG2");
  EXPECT_EQ(error_text([&] { dshape_dxi(Interpolation::LAGRANGE1, ElementType::SEG3, one); }),
            "interpolation LAGRANGE1 is not defined for SEG3");
  EXPECT_EQ(error_text([&] { shape(Interpolation::LAGRANGE1, ElementType::TRI3, one); }),
            "xi has length 1, expected 2 for TRI3");
  EXPECT_EQ(error_text([&] { dshape_dxi(Interpolation::LAGRANGE2, ElementType::HEX27, two); }),
            "xi has length 2, expected 3 for HEX27");
  // Constant-derivative families still check the length of xi.
  EXPECT_EQ(error_text([&] { dshape_dxi(Interpolation::LAGRANGE1, ElementType::TET4, two); }),
            "xi has length 2, expected 3 for TET4");
  // POI1 fails on the interpolation before xi is looked at.
  for (auto i : {Interpolation::LAGRANGE1, Interpolation::LAGRANGE2}) {
    EXPECT_EQ(error_text([&] { shape(i, ElementType::POI1, two); }),
              std::string("interpolation ") + std::string(name(i)) + " is not defined for POI1");
    EXPECT_EQ(error_text([&] { dshape_dxi(i, ElementType::POI1, {}); }),
              std::string("interpolation ") + std::string(name(i)) + " is not defined for POI1");
  }
}

}  // namespace
