// Element geometry: Jacobians, measures and physical derivatives.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/error.hpp"
#include "containers/finite_element_space/geometry.hpp"
#include "containers/finite_element_space/interpolation.hpp"
#include "containers/finite_element_space/quadrature.hpp"
#include "test_support.hpp"

namespace {

using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::nodes_per_cell;
using quenlith::containers::mesh::ref_dim;
using quenlith::containers::mesh::reference_nodes;
using namespace quenlith::containers::finite_element_space;

using quenlith::testing::interpolation_of;

// Node coordinates of a cell of type t whose nodes are the images of its reference
// nodes under `map` (reference point -> s physical coordinates).
template <class Map>
std::vector<double> mapped_nodes(ElementType t, std::size_t s, Map map) {
  const std::size_t d = ref_dim(t);
  const auto ref = reference_nodes(t);
  std::vector<double> x;
  for (std::size_t m = 0; m < nodes_per_cell(t); ++m) {
    const std::vector<double> p = map(std::vector<double>(ref.begin() + m * d, ref.begin() + (m + 1) * d));
    EXPECT_EQ(p.size(), s);
    x.insert(x.end(), p.begin(), p.end());
  }
  return x;
}

// Sum over the Gauss points of weight * measure.
double integrated_measure(ElementType t, const std::vector<double>& x, std::size_t s) {
  const std::size_t r = ref_dim(t), npc = nodes_per_cell(t);
  const auto q = quadrature(QuadratureRule::GAUSS, t);
  double total = 0.0;
  for (std::size_t g = 0; g < q.size(); ++g) {
    const auto d = dshape_dxi(interpolation_of(t), t, std::span<const double>(q.points).subspan(g * r, r));
    const auto j = jacobian_from_nodes(x, d, s, r, npc);
    total += q.weights[g] * measure_from_jacobian(j, s, r);
  }
  return total;
}

std::string error_text(auto&& call) {
  try {
    call();
  } catch (const quenlith::Error& e) {
    return e.text();
  }
  return "<no error>";
}

TEST(Geometry, Seg2EmbeddedIn3d) {
  const std::vector<double> x = {0, 0, 0, 2, 0, 0};
  const std::vector<double> d = {-0.5, 0.5};
  const auto j = jacobian_from_nodes(x, d, 3, 1, 2);
  EXPECT_EQ(j, (std::vector<double>{1, 0, 0}));
  EXPECT_EQ(gram_matrix(j, 3, 1), std::vector<double>{1});
  EXPECT_EQ(measure_from_jacobian(j, 3, 1), 1.0);
  EXPECT_EQ(dn_dx_from_jacobian(j, d, 3, 1, 2), (std::vector<double>{-0.5, 0, 0, 0.5, 0, 0}));
}

TEST(Geometry, Tri3InPlaneOf3d) {
  const std::vector<double> x = {0, 0, 5, 1, 0, 5, 0, 1, 5};
  const double pts[][2] = {{0.2, 0.3}, {0.5, 0.5}, {0.0, 0.0}};
  for (const auto& p : pts) {
    const auto d = dshape_dxi(Interpolation::LAGRANGE1, ElementType::TRI3, p);
    const auto j = jacobian_from_nodes(x, d, 3, 2, 3);
    EXPECT_EQ(measure_from_jacobian(j, 3, 2), 1.0);
    EXPECT_EQ(dn_dx_from_jacobian(j, d, 3, 2, 3), (std::vector<double>{-1, -1, 0, 1, 0, 0, 0, 1, 0}));
  }
}

TEST(Geometry, OrientationDoesNotChangeMeasure) {
  const std::vector<double> ccw = {0, 0, 2, 0, 2.5, 1.5, -0.5, 1};
  const std::vector<double> cw = {0, 0, -0.5, 1, 2.5, 1.5, 2, 0};
  // Reversing the node order swaps xi and eta: the same physical point sits at (eta, xi).
  const double xi[] = {0.3, -0.2};
  const double swapped[] = {-0.2, 0.3};
  const auto d = dshape_dxi(Interpolation::LAGRANGE1, ElementType::QUA4, xi);
  const auto d_swapped = dshape_dxi(Interpolation::LAGRANGE1, ElementType::QUA4, swapped);
  const double a = measure_from_jacobian(jacobian_from_nodes(ccw, d, 2, 2, 4), 2, 2);
  const double b = measure_from_jacobian(jacobian_from_nodes(cw, d_swapped, 2, 2, 4), 2, 2);
  EXPECT_GT(a, 0.0);
  EXPECT_DOUBLE_EQ(a, b);
  EXPECT_NEAR(integrated_measure(ElementType::QUA4, ccw, 2), integrated_measure(ElementType::QUA4, cw, 2), 1e-14);
}

TEST(Geometry, SmallWellShapedCellsAreNotSingular) {
  // A cube of edge h has J = (h / 2) I: dN/dx = D / (h / 2) at every size, however small
  // the cell is in the model's length unit.
  const double xi[] = {0.1, -0.3, 0.6};
  const auto d = dshape_dxi(Interpolation::LAGRANGE1, ElementType::HEX8, xi);
  for (double h : {0.004, 0.006, 1e-6, 1.0, 1e4}) {
    const auto x = mapped_nodes(ElementType::HEX8, 3, [h](std::vector<double> p) {
      for (double& v : p) v *= h / 2;
      return p;
    });
    const auto j = jacobian_from_nodes(x, d, 3, 3, 8);
    const auto dn = dn_dx_from_jacobian(j, d, 3, 3, 8);
    for (std::size_t i = 0; i < dn.size(); ++i) EXPECT_NEAR(dn[i], d[i] / (h / 2), 1e-12 * std::abs(d[i] / (h / 2))) << h;
  }
  // The exact case of an edge of 0.004: J = 0.002 I.
  const std::vector<double> j = {0.002, 0, 0, 0, 0.002, 0, 0, 0, 0.002};
  const auto dn = dn_dx_from_jacobian(j, d, 3, 3, 8);
  for (std::size_t i = 0; i < dn.size(); ++i) EXPECT_NEAR(dn[i], d[i] / 0.002, 1e-13 * std::abs(d[i] / 0.002));
  // A thin 1e-9 segment in 2-D is fine too.
  const std::vector<double> seg = {1e-9, 1e-9};
  const std::vector<double> dseg = {-0.5, 0.5};
  EXPECT_EQ(dn_dx_from_jacobian(seg, dseg, 2, 1, 2).size(), 4u);
}

TEST(Geometry, DegenerateCellsAreSingular) {
  // Collinear triangle.
  const std::vector<double> tri = {0, 0, 1, 1, 2, 2};
  const double p[] = {0.3, 0.3};
  const auto d = dshape_dxi(Interpolation::LAGRANGE1, ElementType::TRI3, p);
  const auto j = jacobian_from_nodes(tri, d, 2, 2, 3);
  EXPECT_EQ(measure_from_jacobian(j, 2, 2), 0.0);
  EXPECT_EQ(error_text([&] { dn_dx_from_jacobian(j, d, 2, 2, 3); }), "inverse_small: singular matrix");
  // Flat tetrahedron, all four nodes in z = 0.
  const std::vector<double> tet = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0.3, 0.3, 0};
  const double q[] = {0.2, 0.2, 0.2};
  const auto dt = dshape_dxi(Interpolation::LAGRANGE1, ElementType::TET4, q);
  const auto jt = jacobian_from_nodes(tet, dt, 3, 3, 4);
  EXPECT_EQ(measure_from_jacobian(jt, 3, 3), 0.0);
  EXPECT_EQ(error_text([&] { dn_dx_from_jacobian(jt, dt, 3, 3, 4); }), "inverse_small: singular matrix");
  // A nearly flat one, thinner than the scale test tolerates (ratio ~1e-20).
  const std::vector<double> sliver = {1, 0, 0, 0, 1, 0, 0, 0, 1e-10};
  EXPECT_EQ(error_text([&] { dn_dx_from_jacobian(sliver, dt, 3, 3, 4); }), "inverse_small: singular matrix");
  // All nodes at one point: J = 0 (zero scale) is singular, not a division by zero.
  const std::vector<double> zero(9, 0.0);
  EXPECT_EQ(error_text([&] { dn_dx_from_jacobian(zero, dt, 3, 3, 4); }), "inverse_small: singular matrix");
  EXPECT_EQ(measure_from_jacobian(zero, 3, 3), 0.0);
  // A zero-length segment.
  const std::vector<double> seg0 = {0, 0};
  const std::vector<double> dseg = {-0.5, 0.5};
  EXPECT_EQ(error_text([&] { dn_dx_from_jacobian(seg0, dseg, 2, 1, 2); }), "inverse_small: singular matrix");
}

TEST(Geometry, NanJacobianIsNotReportedSingular) {
  const std::vector<double> j = {NAN, 0, 0, 1};
  const std::vector<double> d = {-1, -1, 1, 0, 0, 1};
  const auto dn = dn_dx_from_jacobian(j, d, 2, 2, 3);
  EXPECT_TRUE(std::isnan(dn[0]));
  EXPECT_EQ(measure_from_jacobian(j, 2, 2), 0.0);
}

TEST(Geometry, DetSmall) {
  EXPECT_EQ(det_small(std::vector<double>{3}, 1), 3.0);
  EXPECT_EQ(det_small(std::vector<double>{1, 2, 3, 4}, 2), -2.0);
  EXPECT_EQ(det_small(std::vector<double>{2, 0, 1, 1, 3, 2, 1, 1, 2}, 3), 6.0);
  EXPECT_EQ(error_text([] { det_small(std::vector<double>(16, 1.0), 4); }), "det_small: only n ∈ {1,2,3} supported");
  EXPECT_EQ(jacobian_from_nodes({}, {}, 2, 2, 0), std::vector<double>(4, 0.0));
  double out[4];
  EXPECT_EQ(error_text([&] { inverse_small(std::vector<double>{1, 2, 2, 4}, 2, out); }),
            "inverse_small: singular matrix");
}

TEST(Geometry, InverseTimesMatrixIsIdentity) {
  const std::vector<double> g = {4, 1, 0.5, 1, 3, 0.25, 0.5, 0.25, 2};
  double inv[9];
  EXPECT_EQ(inverse_small(g, 3, inv), det_small(g, 3));
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) {
      double sum = 0;
      for (int l = 0; l < 3; ++l) sum += g[i * 3 + l] * inv[l * 3 + k];
      EXPECT_NEAR(sum, i == k ? 1.0 : 0.0, 1e-15);
    }
}

// Doubling the coordinates multiplies an area by 4 and halves the derivatives.
TEST(Geometry, ScalingACell) {
  const std::vector<double> x = {0, 0, 2, 0.2, 2.3, 1.7, -0.4, 1.2};
  std::vector<double> x2 = x;
  for (double& v : x2) v *= 2;
  const double xi[] = {0.3, -0.6};
  const auto d = dshape_dxi(Interpolation::LAGRANGE1, ElementType::QUA4, xi);
  const auto j = jacobian_from_nodes(x, d, 2, 2, 4);
  const auto j2 = jacobian_from_nodes(x2, d, 2, 2, 4);
  EXPECT_NEAR(measure_from_jacobian(j2, 2, 2), 4 * measure_from_jacobian(j, 2, 2), 1e-14);
  const auto dn = dn_dx_from_jacobian(j, d, 2, 2, 4);
  const auto dn2 = dn_dx_from_jacobian(j2, d, 2, 2, 4);
  for (std::size_t i = 0; i < dn.size(); ++i) EXPECT_NEAR(dn2[i], dn[i] / 2, 1e-15);
}

// Physical derivatives reproduce the gradient of a linear field for every family on a
// distorted (affinely mapped, then bent where the family allows) cell.
TEST(Geometry, GradientOfLinearFieldOnAffineCells) {
  for (ElementType t : {ElementType::SEG2, ElementType::TRI3, ElementType::QUA4, ElementType::TET4, ElementType::PENTA6,
                        ElementType::HEX8, ElementType::SEG3, ElementType::TRI6, ElementType::QUA8, ElementType::TET10,
                        ElementType::PENTA15, ElementType::HEX20, ElementType::QUA9, ElementType::HEX27}) {
    const std::size_t r = ref_dim(t), npc = nodes_per_cell(t), s = 3;
    const double a[3][3] = {{1.3, 0.2, -0.1}, {0.4, 0.9, 0.3}, {-0.2, 0.1, 1.1}};
    const auto x = mapped_nodes(t, s, [&](const std::vector<double>& p) {
      std::vector<double> y(3, 0.5);
      for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t k = 0; k < r; ++k) y[i] += a[i][k] * p[k];
      return y;
    });
    // u(x) = 2 x - y + 3 z at every node.
    std::vector<double> u(npc);
    for (std::size_t m = 0; m < npc; ++m) u[m] = 2 * x[m * 3] - x[m * 3 + 1] + 3 * x[m * 3 + 2];
    const auto q = quadrature(QuadratureRule::GAUSS, t);
    for (std::size_t g = 0; g < q.size(); ++g) {
      const auto d = dshape_dxi(interpolation_of(t), t, std::span<const double>(q.points).subspan(g * r, r));
      const auto j = jacobian_from_nodes(x, d, s, r, npc);
      const auto dn = dn_dx_from_jacobian(j, d, s, r, npc);
      // Tangential gradient: the projection of (2, -1, 3) on the cell's tangent space,
      // checked through its action on the tangents, the columns of J.
      double grad[3] = {0, 0, 0};
      for (std::size_t m = 0; m < npc; ++m)
        for (std::size_t c = 0; c < 3; ++c) grad[c] += dn[m * 3 + c] * u[m];
      for (std::size_t k = 0; k < r; ++k) {
        double along = 0, expected = 0;
        for (std::size_t c = 0; c < 3; ++c) {
          along += grad[c] * j[c * r + k];
          expected += (c == 0 ? 2.0 : c == 1 ? -1.0 : 3.0) * j[c * r + k];
        }
        EXPECT_NEAR(along, expected, 1e-12) << name(t) << " g=" << g;
      }
    }
  }
}

// Sums of weight * measure over the Gauss points give exact lengths, areas and volumes
// of distorted cells.
TEST(Geometry, IntegratedMeasuresOfDistortedCells) {
  // Straight SEG3 in 2-D with an off-centre middle node: length 3 sqrt(2).
  EXPECT_NEAR(integrated_measure(ElementType::SEG3, {0, 0, 3, 3, 1.2, 1.2}, 2), 3 * std::sqrt(2.0), 1e-14);
  EXPECT_NEAR(integrated_measure(ElementType::SEG2, {1, 2, 3, 4, 3, 8}, 3), std::sqrt(9 + 1 + 25.0), 1e-14);

  // General quadrilateral: shoelace area.
  const std::vector<double> quad = {0, 0, 2, 0, 3, 2, -0.5, 1.5};
  double shoelace = 0;
  for (int i = 0; i < 4; ++i) {
    const int k = (i + 1) % 4;
    shoelace += quad[2 * i] * quad[2 * k + 1] - quad[2 * k] * quad[2 * i + 1];
  }
  shoelace = std::abs(shoelace) / 2;
  EXPECT_NEAR(integrated_measure(ElementType::QUA4, quad, 2), shoelace, 1e-14);
  // The same quadrilateral with straight quadratic edges, bilinearly placed nodes.
  const auto bilinear = [&](const std::vector<double>& p) {
    const double n[4] = {(1 - p[0]) * (1 - p[1]) / 4, (1 + p[0]) * (1 - p[1]) / 4, (1 + p[0]) * (1 + p[1]) / 4,
                         (1 - p[0]) * (1 + p[1]) / 4};
    std::vector<double> y(2, 0.0);
    for (int i = 0; i < 4; ++i) {
      y[0] += n[i] * quad[2 * i];
      y[1] += n[i] * quad[2 * i + 1];
    }
    return y;
  };
  EXPECT_NEAR(integrated_measure(ElementType::QUA8, mapped_nodes(ElementType::QUA8, 2, bilinear), 2), shoelace, 1e-14);
  EXPECT_NEAR(integrated_measure(ElementType::QUA9, mapped_nodes(ElementType::QUA9, 2, bilinear), 2), shoelace, 1e-14);

  // TRI6 with edge 1-2 bent outwards by delta along the normal: area 2 + 8 delta / 3.
  const double delta = 0.3;
  const std::vector<double> tri6 = {0, 0, 2, 0, 0, 2, 1, 0, 1 + delta, 1 + delta, 0, 1};
  EXPECT_NEAR(integrated_measure(ElementType::TRI6, tri6, 2), 2 + 8 * delta / 3, 1e-14);
  EXPECT_NEAR(integrated_measure(ElementType::TRI3, {0, 0, 2, 0.5, 0.7, 3}, 2), std::abs(2 * 3 - 0.5 * 0.7) / 2, 1e-14);

  // Tetrahedron: |det| / 6.
  const std::vector<double> tet = {0.1, 0, 0, 2, 0.3, 0, 0.4, 1.5, 0.2, 0.3, 0.2, 1.7};
  const double e[3][3] = {{tet[3] - tet[0], tet[4] - tet[1], tet[5] - tet[2]},
                          {tet[6] - tet[0], tet[7] - tet[1], tet[8] - tet[2]},
                          {tet[9] - tet[0], tet[10] - tet[1], tet[11] - tet[2]}};
  const double vol = std::abs(e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) -
                              e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
                              e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0])) / 6;
  EXPECT_NEAR(integrated_measure(ElementType::TET4, tet, 3), vol, 1e-14);
  const auto tet_affine = [&](const std::vector<double>& p) {
    std::vector<double> y = {tet[0], tet[1], tet[2]};
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) y[c] += e[k][c] * p[k];
    return y;
  };
  EXPECT_NEAR(integrated_measure(ElementType::TET10, mapped_nodes(ElementType::TET10, 3, tet_affine), 3), vol, 1e-14);

  // Oblique prism: triangle of area 1.5 at z = 0, top shifted by (0.4, 0.3), height 2.
  const auto prism = [](const std::vector<double>& p) {
    return std::vector<double>{3 * p[0] + 0.4 * p[2], 1 * p[1] + 0.3 * p[2] + 0.5 * p[0], 2 * p[2]};
  };
  EXPECT_NEAR(integrated_measure(ElementType::PENTA6, mapped_nodes(ElementType::PENTA6, 3, prism), 3), 3.0, 1e-14);
  EXPECT_NEAR(integrated_measure(ElementType::PENTA15, mapped_nodes(ElementType::PENTA15, 3, prism), 3), 3.0, 1e-14);

  // Oblique frustum: square of side 2 at z = 0, side 1 at z = 1, top shifted by
  // (0.3, 0.2). Volume h (A1 + A2 + sqrt(A1 A2)) / 3 = 7 / 3.
  const auto frustum = [](const std::vector<double>& p) {
    const double z = (p[2] + 1) / 2;
    const double half = 1 - z / 2;
    return std::vector<double>{p[0] * half + 0.3 * z, p[1] * half + 0.2 * z, z};
  };
  for (ElementType t : {ElementType::HEX8, ElementType::HEX20, ElementType::HEX27})
    EXPECT_NEAR(integrated_measure(t, mapped_nodes(t, 3, frustum), 3), 7.0 / 3, 1e-14) << name(t);
}

}  // namespace
