// Bar and beam kernels against closed forms: the symmetric two-bar truss, cantilevers of
// the planar frame and of the Timoshenko beam (the N-element deflection of the
// one-point-shear element, and beam theory), the space-frame cantilever under torque
// and two transverse loads, local axes, masses and the first natural frequency. Global
// matrices are assembled here by hand from the kinds' element matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include <Eigen/Dense>
#include <fmt/format.h>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/matrix/sub_matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/model.hpp"
#include "models/frame/frame.hpp"
#include "models/frame3d/frame3d.hpp"
#include "models/kernel/block.hpp"
#include "models/timoshenko/timoshenko.hpp"
#include "models/truss/truss.hpp"
#include "ops/assemble/assembly.hpp"
#include "ops/build/material_field.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith;
using containers::element_field::SubElementField;
using containers::finite_element_space::Interpolation;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::matrix::OperatorKind;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using models::kernel::BlockCells;
using models::kernel::CellContext;
using models::kernel::SpaceHandle;
using quenlith::testing::error_text;

const BlockCells::Messages kMessages{"test: no FE subspace", "test: one submesh"};

// SEG2 cells (pairs of node ids) over `points` (dim values each), and their subspace.
SpaceHandle seg2_space(std::uint8_t dim, const std::vector<double>& points, const std::vector<NodeId>& cells) {
  store::Handle<Coords> coords = store::insert(Coords(dim));
  {
    store::WriteGuard<Coords> w = store::write(coords);
    for (std::size_t p = 0; p < points.size() / dim; ++p)
      w->decref(w->add_node(std::span<const double>(points.data() + p * dim, dim)));
  }
  SubMesh sub(ElementType::SEG2, coords);
  for (std::size_t c = 0; c < cells.size() / 2; ++c) sub.add_cell(std::span<const NodeId>(cells.data() + 2 * c, 2));
  const store::Handle<SubMesh> submesh = store::insert(std::move(sub));
  return store::insert(SubFiniteElementSpace::create(submesh, quenlith::testing::interpolation_of(ElementType::SEG2),
                                                     QuadratureRule::GAUSS));
}

// A straight chain of n cells from `origin` along `step` (dim values each).
SpaceHandle chain(std::uint8_t dim, std::size_t n, const std::vector<double>& origin, const std::vector<double>& step) {
  std::vector<double> points;
  std::vector<NodeId> cells;
  for (std::size_t p = 0; p <= n; ++p)
    for (std::size_t i = 0; i < dim; ++i) points.push_back(origin[i] + static_cast<double>(p) * step[i]);
  for (std::size_t c = 0; c < n; ++c) cells.insert(cells.end(), {static_cast<NodeId>(c), static_cast<NodeId>(c + 1)});
  return seg2_space(dim, points, cells);
}

store::Handle<SubElementField> uniform(const SpaceHandle& space, std::vector<std::string> names,
                                       std::vector<double> values) {
  return store::insert(SubElementField::from_uniform_per_component(space, std::move(names), values));
}

// The dense global matrix of one operator of a kind: every cell's element matrix,
// scattered by node id (node-major, the kind's primal variables within a node).
Eigen::MatrixXd assemble(const models::ModelKind& kind, OperatorKind op, const store::Handle<SubElementField>& mat,
                         const store::Handle<SubElementField>* state = nullptr) {
  // Operators without a layout of their own run on the stiffness layout's cells, so
  // that their kernel's error shows.
  const auto layout = kind.layout(op) ? kind.layout(op) : kind.stiffness_layout();
  BlockCells cells(layout->fespaces, kMessages);
  std::vector<CellContext> ctxs = cells.make_contexts();
  const std::size_t nv = layout->primal_vars.size();
  const std::size_t n = cells.nodes_per_cell() * nv;
  std::size_t max_node = 0;
  for (std::uint64_t c = 0; c < cells.cell_count(); ++c)
    for (NodeId id : cells.node_ids(c)) max_node = std::max<std::size_t>(max_node, id);
  Eigen::MatrixXd k = Eigen::MatrixXd::Zero((max_node + 1) * nv, (max_node + 1) * nv);
  store::ReadGuard<SubElementField> m = store::read(mat);
  std::optional<store::ReadGuard<SubElementField>> s;
  if (state) s.emplace(store::read(*state));
  for (std::uint64_t c = 0; c < cells.cell_count(); ++c) {
    for (CellContext& ctx : ctxs) ctx.set_cell(c);
    std::vector<double> out(n * n, 0.0);
    kind.element_operator(op, ctxs, &*m, s ? &**s : nullptr, out);
    const auto ids = cells.node_ids(c);
    for (std::size_t a = 0; a < n; ++a)
      for (std::size_t b = 0; b < n; ++b) k(ids[a / nv] * nv + a % nv, ids[b / nv] * nv + b % nv) += out[a * n + b];
  }
  return k;
}

// The element matrix of cell 0.
Eigen::MatrixXd element(const models::ModelKind& kind, OperatorKind op, const store::Handle<SubElementField>& mat,
                        const store::Handle<SubElementField>* state = nullptr) {
  return assemble(kind, op, mat, state);  // one-cell spaces: nodes 0 and 1
}

// Solves K u = f with the listed degrees of freedom held at zero.
Eigen::VectorXd solve_fixed(const Eigen::MatrixXd& k, const Eigen::VectorXd& f, const std::vector<int>& fixed) {
  std::vector<int> free;
  for (int i = 0; i < k.rows(); ++i)
    if (std::find(fixed.begin(), fixed.end(), i) == fixed.end()) free.push_back(i);
  Eigen::MatrixXd kf(free.size(), free.size());
  Eigen::VectorXd ff(free.size());
  for (std::size_t i = 0; i < free.size(); ++i) {
    ff[i] = f[free[i]];
    for (std::size_t j = 0; j < free.size(); ++j) kf(i, j) = k(free[i], free[j]);
  }
  const Eigen::VectorXd uf = kf.ldlt().solve(ff);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(k.rows());
  for (std::size_t i = 0; i < free.size(); ++i) u[free[i]] = uf[i];
  return u;
}

double rel(double a, double b) { return std::abs(a - b) / std::abs(b); }

// ---------------------------------------------------------------------------- truss

// Two bars at 45° from supports (±h, 0) to the apex (0, h), length L = h√2, load P
// down at the apex: each bar carries P/√2 in compression, the apex moves down P·L/(E·A).
TEST(Truss, SymmetricTwoBarTruss) {
  const double h = 2.0, e = 200.0, a = 0.5, p = 3.0, l = h * std::sqrt(2.0);
  const SpaceHandle space = seg2_space(2, {-h, 0.0, 0.0, h, h, 0.0}, {0, 1, 1, 2});
  const models::Truss kind = models::Truss::create(space);
  const auto mat = uniform(space, {"E", "A", "rho"}, {e, a, 1.5});
  const Eigen::MatrixXd k = assemble(kind, OperatorKind::Stiffness, mat);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(6);
  f[3] = -p;
  const Eigen::VectorXd u = solve_fixed(k, f, {0, 1, 4, 5});
  EXPECT_NEAR(u[2], 0.0, 1e-14);
  EXPECT_NEAR(u[3], -p * l / (e * a), 1e-12 * p * l / (e * a));

  // The axial force of either bar, and its nodal forces against K_e u_e.
  const double n = -p / std::sqrt(2.0);
  const auto stress = uniform(space, {"n"}, {n});
  BlockCells cells(std::span<const SpaceHandle>(&space, 1), kMessages);
  std::vector<CellContext> ctxs = cells.make_contexts();
  store::ReadGuard<SubElementField> m = store::read(mat);
  store::ReadGuard<SubElementField> st = store::read(stress);
  for (std::uint64_t c = 0; c < 2; ++c) {
    ctxs[0].set_cell(c);
    std::vector<double> ke(16, 0.0), fi(4, 0.0);
    kind.element_matrix(ctxs, &*m, ke);
    kind.element_internal_forces(ctxs, *st, fi);
    const auto ids = cells.node_ids(c);
    for (int r = 0; r < 4; ++r) {
      double ku = 0.0;
      for (int j = 0; j < 4; ++j) ku += ke[r * 4 + j] * u[ids[j / 2] * 2 + j % 2];
      EXPECT_NEAR(fi[r], ku, 1e-12 * p);
    }
  }

  // The point law: n = E·A·(e·ε·e) for the bar from (−h, 0) to (0, h).
  const auto eps = uniform(space, {"eps_xx", "eps_xy", "eps_yy"}, {0.01, 0.003, -0.002});
  store::ReadGuard<SubElementField> de = store::read(eps);
  ctxs[0].set_cell(0);
  double out[1] = {0.0};
  kind.gauss_point_law(ctxs[0], *de, nullptr, &*m, 1, std::nullopt, out);
  EXPECT_NEAR(out[0], e * a * 0.5 * (0.01 + 2 * 0.003 - 0.002), 1e-13);
  EXPECT_EQ(error_text([&] { kind.gauss_point_law(ctxs[0], *de, nullptr, nullptr, 0, std::nullopt, out); }),
            "Truss declares a material_fespace \u21d2 material is supplied");
}

// Stiffness, mass and geometric stiffness of one bar along x in 1-D, 2-D and 3-D.
TEST(Truss, AxisAlignedBarMatricesAndErrors) {
  const double e = 7.0, a = 2.0, rho = 3.0, l = 4.0, n = 5.0;
  for (std::uint8_t d = 1; d <= 3; ++d) {
    std::vector<double> pts(2 * d, 0.0);
    pts[d] = l;
    const SpaceHandle space = seg2_space(d, pts, {0, 1});
    const models::Truss kind = models::Truss::create(space);
    const auto mat = uniform(space, {"E", "A", "rho"}, {e, a, rho});
    const auto state = uniform(space, {"n"}, {n});
    const Eigen::MatrixXd k = element(kind, OperatorKind::Stiffness, mat);
    const Eigen::MatrixXd m = element(kind, OperatorKind::Mass, mat);
    const Eigen::MatrixXd g = element(kind, OperatorKind::Geometric, mat, &state);
    for (int i = 0; i < 2 * d; ++i)
      for (int j = 0; j < 2 * d; ++j) {
        const bool same_node = i / d == j / d;
        const int ci = i % d, cj = j % d;
        const double sign = same_node ? 1.0 : -1.0;
        EXPECT_DOUBLE_EQ(k(i, j), ci == 0 && cj == 0 ? sign * e * a / l : 0.0) << int(d) << i << j;
        EXPECT_DOUBLE_EQ(m(i, j), ci == cj ? rho * a * l / 6.0 * (same_node ? 2.0 : 1.0) : 0.0);
        EXPECT_DOUBLE_EQ(g(i, j), ci == cj && ci != 0 ? sign * n / l : 0.0);
      }
    // rho missing: the mass message whatever the underlying error; stiffness still works.
    const auto no_rho = uniform(space, {"E", "A"}, {e, a});
    EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Mass, no_rho); }),
              "Truss mass matrix: material component `rho` (density) is required");
    EXPECT_EQ(element(kind, OperatorKind::Stiffness, no_rho), k);
    EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Geometric, mat); }),
              "truss geometric stiffness requires the axial force `n`");
  }
}

// ----------------------------------------------------------------- planar frame

constexpr double kE = 210e3, kI = 2.0, kA = 30.0, kG = 80e3, kAs = 25.0, kRho = 7.8e-3;

// A cantilever of n planar-frame elements, length L, at `angle` to the x axis,
// clamped at node 0, with a tip load P across the axis.
double frame_tip_deflection(std::size_t n, double angle, double l, double p) {
  const double c = std::cos(angle), s = std::sin(angle), h = l / static_cast<double>(n);
  const SpaceHandle space = chain(2, n, {1.0, -2.0}, {h * c, h * s});
  const models::Frame kind = models::Frame::create(space);
  const auto mat = uniform(space, {"E", "A", "I", "G", "A_s"}, {kE, kA, kI, kG, kAs});
  const Eigen::MatrixXd k = assemble(kind, OperatorKind::Stiffness, mat);
  Eigen::VectorXd f = Eigen::VectorXd::Zero(k.rows());
  f[3 * n] = -p * s;
  f[3 * n + 1] = p * c;
  const Eigen::VectorXd u = solve_fixed(k, f, {0, 1, 2});
  const double across = -u[3 * n] * s + u[3 * n + 1] * c;
  EXPECT_NEAR(u[3 * n] * c + u[3 * n + 1] * s, 0.0, 1e-9 * std::abs(across));  // no axial motion
  return across;
}

// The one-point-shear element is the exact Timoshenko element with its shear
// flexibility reduced by h²/(12·EI): N elements give PL³/(3EI)(1 − 1/(4N²)) + PL/(GAs).
double n_element_deflection(std::size_t n, double l, double p, double ei, double gas) {
  const double nn = static_cast<double>(n);
  return p * l * l * l / (3.0 * ei) * (1.0 - 1.0 / (4.0 * nn * nn)) + p * l / gas;
}

class FrameCantilever : public ::testing::TestWithParam<double> {};

TEST_P(FrameCantilever, TipDeflectionClosedFormAndBeamTheory) {
  const double angle = GetParam(), l = 10.0, p = 4.0;
  for (std::size_t n : {1u, 2u, 5u, 20u})
    EXPECT_NEAR(frame_tip_deflection(n, angle, l, p), n_element_deflection(n, l, p, kE * kI, kG * kAs),
                1e-9 * n_element_deflection(n, l, p, kE * kI, kG * kAs))
        << n;
  const double theory = p * l * l * l / (3.0 * kE * kI) + p * l / (kG * kAs);
  EXPECT_LT(rel(frame_tip_deflection(20, angle, l, p), theory), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Angles, FrameCantilever, ::testing::Values(0.0, 0.6, std::numbers::pi / 2, 2.5));

// The local stiffness rotated: a vertical element moves the axial terms onto u_y and
// the shear terms onto u_x; the mass does not depend on the angle; N = 0 gives a zero
// geometric stiffness; each missing zone has its message.
TEST(Frame, RotationMassGeometricAndErrors) {
  const double l = 3.0;
  const SpaceHandle vertical = seg2_space(2, {0.0, 0.0, 0.0, l}, {0, 1});
  const SpaceHandle inclined = seg2_space(2, {0.0, 0.0, l * 0.6, l * 0.8}, {0, 1});
  const models::Frame kv = models::Frame::create(vertical);
  const models::Frame ki = models::Frame::create(inclined);
  const auto mv = uniform(vertical, {"E", "A", "I", "G", "A_s", "rho"}, {kE, kA, kI, kG, kAs, kRho});
  const auto mi = uniform(inclined, {"E", "A", "I", "G", "A_s", "rho"}, {kE, kA, kI, kG, kAs, kRho});
  const Eigen::MatrixXd k = element(kv, OperatorKind::Stiffness, mv);
  const Eigen::Matrix<double, 6, 6> local = models::frame_local_stiffness(kE * kA, kE * kI, kG * kAs, l);
  EXPECT_NEAR(k(1, 1), kE * kA / l, 1e-9);
  EXPECT_NEAR(k(0, 0), kG * kAs / l, 1e-9);
  EXPECT_NEAR(k(0, 2), -local(1, 2), 1e-9);  // w = −u_x for a vertical element
  EXPECT_NEAR(k(2, 2), local(2, 2), 1e-9);
  EXPECT_NEAR((k - k.transpose()).cwiseAbs().maxCoeff(), 0.0, 1e-9);

  const Eigen::MatrixXd m1 = element(kv, OperatorKind::Mass, mv);
  const Eigen::MatrixXd m2 = element(ki, OperatorKind::Mass, mi);
  EXPECT_LE((m1 - m2).cwiseAbs().maxCoeff(), 1e-15);
  EXPECT_DOUBLE_EQ(m1(2, 2), 2.0 * kRho * kI * l / 6.0);
  EXPECT_DOUBLE_EQ(m1(0, 3), kRho * kA * l / 6.0);

  const auto zero_n = uniform(inclined, {"N", "M", "V"}, {0.0, 1.0, 1.0});
  EXPECT_EQ(element(ki, OperatorKind::Geometric, mi, &zero_n).cwiseAbs().maxCoeff(), 0.0);
  const auto some_n = uniform(inclined, {"N"}, {6.0});
  const Eigen::MatrixXd g = element(ki, OperatorKind::Geometric, mi, &some_n);
  // Across the element (−0.8, 0.6): k_g = N/L on that direction only.
  EXPECT_NEAR(g(0, 0), 6.0 / l * 0.64, 1e-14);
  EXPECT_NEAR(g(0, 1), -6.0 / l * 0.48, 1e-14);
  EXPECT_NEAR(g(0, 4), 6.0 / l * 0.48, 1e-14);
  EXPECT_EQ(g.row(2).cwiseAbs().maxCoeff(), 0.0);

  EXPECT_EQ(error_text([&] { element(kv, OperatorKind::Mass, uniform(vertical, {"E"}, {1.0})); }),
            "Frame mass matrix: material component `rho` (density) is required");
  EXPECT_EQ(error_text([&] { element(kv, OperatorKind::Geometric, mv); }),
            "frame geometric stiffness requires the axial force `N`");
  EXPECT_EQ(error_text([&] { element(kv, OperatorKind::Tangent, mv); }),
            "Frame: no tangent kernel \u2014 element_tangent is undefined");

  // Internal forces: continuum stresses are refused by name; section forces keep the
  // continuum kernel's missing-component error.
  BlockCells cells(std::span<const SpaceHandle>(&vertical, 1), kMessages);
  const std::vector<CellContext> ctxs = cells.make_contexts();
  std::vector<double> out(6, 0.0);
  const auto sigma = uniform(vertical, {"sigma_xx", "sigma_yy", "sigma_xy"}, {1.0, 2.0, 3.0});
  const auto section = uniform(vertical, {"N", "M", "V"}, {1.0, 2.0, 3.0});
  EXPECT_EQ(error_text([&] { kv.element_internal_forces(ctxs, *store::read(sigma), out); }),
            "Frame: continuum stresses (sigma_xx) have no internal-force kernel on a beam, whose nodes carry "
            "rotations");
  EXPECT_EQ(error_text([&] { kv.element_internal_forces(ctxs, *store::read(section), out); }),
            "unknown component: sigma_xx");

  // The point law.
  const auto strains = uniform(vertical, {"eps", "kappa", "gamma"}, {1e-3, 2e-3, 3e-3});
  double forces[3] = {};
  kv.gauss_point_law(ctxs[0], *store::read(strains), nullptr, &*store::read(mv), 1, 0.5, forces);
  EXPECT_DOUBLE_EQ(forces[0], kE * kA * 1e-3);
  EXPECT_DOUBLE_EQ(forces[1], kE * kI * 2e-3);
  EXPECT_DOUBLE_EQ(forces[2], kG * kAs * 3e-3);
}

// First bending frequency of a slender cantilever of 20 planar-frame elements against
// 1.8751²·√(EI/(ρAL⁴)), from the hand-assembled stiffness and consistent mass.
TEST(Frame, CantileverFirstNaturalFrequency) {
  const double l = 10.0, e = 210e9, a = 1e-3, i = 1e-7, g = 80e9, as = 1e-3, rho = 7800.0;  // slender: L/r = 1000
  const std::size_t n = 20;
  const SpaceHandle space = chain(2, n, {0.0, 0.0}, {l / n * 0.8, l / n * 0.6});
  const models::Frame kind = models::Frame::create(space);
  const auto mat = uniform(space, {"E", "A", "I", "G", "A_s", "rho"}, {e, a, i, g, as, rho});
  const Eigen::MatrixXd k = assemble(kind, OperatorKind::Stiffness, mat).bottomRightCorner(3 * n, 3 * n);
  const Eigen::MatrixXd m = assemble(kind, OperatorKind::Mass, mat).bottomRightCorner(3 * n, 3 * n);
  const Eigen::GeneralizedSelfAdjointEigenSolver<Eigen::MatrixXd> eig(k, m);
  const double omega = std::sqrt(eig.eigenvalues()[0]);
  const double beta = 1.87510407;
  EXPECT_LT(rel(omega, beta * beta * std::sqrt(e * i / (rho * a * l * l * l * l))), 1e-3);
}

// ------------------------------------------------------------------- space frame

TEST(Frame3d, LocalAxes) {
  struct Case {
    Eigen::Vector3d d, e2, e3;
  };
  const Case cases[] = {
      {{2, 0, 0}, {0, 1, 0}, {0, 0, 1}},
      {{0, 3, 0}, {-1, 0, 0}, {0, 0, 1}},
      {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},
      {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
  };
  for (const Case& c : cases) {
    const Eigen::Matrix3d r = models::frame3d_local_axes(c.d);
    EXPECT_LE((r.row(0).transpose() - c.d.normalized()).norm(), 1e-15);
    EXPECT_LE((r.row(1).transpose() - c.e2).norm(), 1e-15);
    EXPECT_LE((r.row(2).transpose() - c.e3).norm(), 1e-15);
  }
  // Just below |e1_z| = 0.999 the Z reference holds (e2 horizontal); above it, Y.
  const Eigen::Vector3d at(std::sqrt(1.0 - 0.9989 * 0.9989), 0.0, 0.9989);
  EXPECT_EQ(models::frame3d_local_axes(at)(1, 2), 0.0);
  const Eigen::Vector3d above(std::sqrt(1.0 - 0.9991 * 0.9991), 0.0, 0.9991);
  EXPECT_NE(models::frame3d_local_axes(above)(1, 2), 0.0);
}

// One inclined element clamped at node 1: torque T and transverse loads P_y, P_z in
// local axes give the twist TL/(GJ) and the Timoshenko deflections in both planes, and
// the matching end rotations; with huge shear areas the slender-beam terms remain.
TEST(Frame3d, CantileverTwistAndBendingExactWithOneElement) {
  const double e = 200.0, a = 3.0, g = 77.0, j = 1.5, iy = 0.8, iz = 1.3, asy = 2.0, asz = 2.5, rho = 4.0;
  const Eigen::Vector3d d(1.0, 2.0, 2.0);  // L = 3
  const double l = 3.0;
  const SpaceHandle space = seg2_space(3, {0.5, 0.5, 0.5, 0.5 + d.x(), 0.5 + d.y(), 0.5 + d.z()}, {0, 1});
  const models::Frame3d kind = models::Frame3d::create(space);
  const auto mat = uniform(space, {"E", "A", "G", "J", "I_y", "I_z", "A_sy", "A_sz", "rho"},
                           {e, a, g, j, iy, iz, asy, asz, rho});
  const Eigen::MatrixXd k = element(kind, OperatorKind::Stiffness, mat);
  const Eigen::Matrix3d r = models::frame3d_local_axes(d);
  const double t = 2.0, py = 0.7, pz = -0.4, px = 5.0;
  Eigen::VectorXd f = Eigen::VectorXd::Zero(12);
  f.segment<3>(6) = r.transpose() * Eigen::Vector3d(px, py, pz);
  f.segment<3>(9) = r.transpose() * Eigen::Vector3d(t, 0.0, 0.0);
  const Eigen::VectorXd u = solve_fixed(k, f, {0, 1, 2, 3, 4, 5});
  const Eigen::Vector3d ul = r * u.segment<3>(6), rl = r * u.segment<3>(9);
  EXPECT_LT(rel(ul.x(), px * l / (e * a)), 1e-12);
  EXPECT_LT(rel(rl.x(), t * l / (g * j)), 1e-12);
  EXPECT_LT(rel(ul.y(), py * l * l * l / (3 * e * iz) + py * l / (g * asy)), 1e-12);
  EXPECT_LT(rel(ul.z(), pz * l * l * l / (3 * e * iy) + pz * l / (g * asz)), 1e-12);
  EXPECT_LT(rel(rl.z(), py * l * l / (2 * e * iz)), 1e-12);   // bending in x–y turns about z
  EXPECT_LT(rel(rl.y(), -pz * l * l / (2 * e * iy)), 1e-12);  // and in x–z about −y

  const models::Frame3dSection slender{e, a, g, j, iy, iz, 1e15, 1e15};
  const auto kl = models::frame3d_local_stiffness(slender, l);
  EXPECT_LT(rel(kl(1, 1), 12 * e * iz / (l * l * l)), 1e-12);
  EXPECT_LT(rel(kl(2, 4), -6 * e * iy / (l * l)), 1e-12);
  EXPECT_LT(rel(kl(5, 5), 4 * e * iz / l), 1e-12);
  EXPECT_LT(rel(kl(4, 10), 2 * e * iy / l), 1e-12);

  // Mass: rigid translation carries ρ·A·L per direction, a rigid twist ρ·(I_y + I_z)·L;
  // geometric stiffness only across the element.
  const Eigen::MatrixXd m = element(kind, OperatorKind::Mass, mat);
  for (int c = 0; c < 3; ++c) {
    Eigen::VectorXd v = Eigen::VectorXd::Zero(12);
    v[c] = v[c + 6] = 1.0;
    EXPECT_LT(rel(v.dot(m * v), rho * a * l), 1e-12);
  }
  Eigen::VectorXd twist = Eigen::VectorXd::Zero(12);
  twist.segment<3>(3) = twist.segment<3>(9) = r.row(0).transpose();
  EXPECT_LT(rel(twist.dot(m * twist), rho * (iy + iz) * l), 1e-12);
  const auto state = uniform(space, {"N"}, {9.0});
  const Eigen::MatrixXd kg = element(kind, OperatorKind::Geometric, mat, &state);
  Eigen::VectorXd along = Eigen::VectorXd::Zero(12), across = Eigen::VectorXd::Zero(12);
  along.segment<3>(6) = r.row(0).transpose();
  across.segment<3>(6) = r.row(2).transpose();
  EXPECT_NEAR(along.dot(kg * along), 0.0, 1e-13);
  EXPECT_LT(rel(across.dot(kg * across), 9.0 / l), 1e-12);
  EXPECT_EQ((kg.bottomRightCorner<3, 3>().cwiseAbs().maxCoeff()), 0.0);

  EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Mass, uniform(space, {"E", "A"}, {1.0, 1.0})); }),
            "Frame3d mass matrix: material component `rho` (density) is required");
  EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Geometric, mat); }),
            "frame3d geometric stiffness requires the axial force `N`");
  BlockCells cells(std::span<const SpaceHandle>(&space, 1), kMessages);
  const std::vector<CellContext> ctxs = cells.make_contexts();
  std::vector<double> out(12, 0.0);
  EXPECT_EQ(error_text([&] {
              kind.element_internal_forces(ctxs, *store::read(uniform(space, {"N", "sigma_yy"}, {1.0, 1.0})), out);
            }),
            "Frame3d: continuum stresses (sigma_yy) have no internal-force kernel on a beam, whose nodes carry "
            "rotations");
  const auto strains = uniform(space, {"eps", "kappa_y", "kappa_z", "torsion", "gamma_y", "gamma_z"},
                               {1.0, 2.0, 3.0, 4.0, 5.0, 6.0});
  double sf[6] = {};
  kind.gauss_point_law(ctxs[0], *store::read(strains), nullptr, &*store::read(mat), 0, std::nullopt, sf);
  const double expected[6] = {e * a, 2 * e * iy, 3 * e * iz, 4 * g * j, 5 * g * asy, 6 * g * asz};
  for (int c = 0; c < 6; ++c) EXPECT_DOUBLE_EQ(sf[c], expected[c]);
  // Section by section, the stiffness before its strain: with both of the second
  // section missing, the material name is the one reported.
  const auto partial = uniform(space, {"E", "G", "A"}, {1.0, 1.0, 1.0});
  const auto only_eps = uniform(space, {"eps"}, {1.0});
  EXPECT_EQ(error_text([&] {
              kind.gauss_point_law(ctxs[0], *store::read(only_eps), nullptr, &*store::read(partial), 0, std::nullopt,
                                   sf);
            }),
            "unknown component: I_y");
  EXPECT_EQ(error_text([&] {
              kind.gauss_point_law(ctxs[0], *store::read(only_eps), nullptr, &*store::read(mat), 0, std::nullopt, sf);
            }),
            "unknown component: kappa_y");
}

// ------------------------------------------------------------------- Timoshenko beam

// One element's stiffness is the closed form; N elements of a cantilever give the
// one-point-shear deflection exactly, within 0.1 % of beam theory at N = 20, and a very
// thin beam does not lock.
TEST(Timoshenko, ClosedFormCantileverAndNoLocking) {
  const double e = 100.0, i = 0.5, g = 40.0, as = 3.0, l = 2.0;
  {
    const SpaceHandle space = seg2_space(1, {1.0, 1.0 + l}, {0, 1});
    const models::Timoshenko kind = models::Timoshenko::create(space);
    const auto mat = uniform(space, {"E", "I", "G", "A_s", "A", "rho"}, {e, i, g, as, 2.0, 5.0});
    const Eigen::MatrixXd k = element(kind, OperatorKind::Stiffness, mat);
    const double ks = g * as / l, h = g * as / 2, kt = g * as * l / 4, kb = e * i / l;
    Eigen::Matrix4d expected;
    expected << ks, h, -ks, h, h, kt + kb, -h, kt - kb, -ks, -h, ks, -h, h, kt - kb, -h, kt + kb;
    EXPECT_LE((k - expected).cwiseAbs().maxCoeff(), 1e-13 * expected.cwiseAbs().maxCoeff());
    const Eigen::MatrixXd m = element(kind, OperatorKind::Mass, mat);
    Eigen::Matrix4d mass;
    const double mt = 5.0 * 2.0 * l / 6, mr = 5.0 * i * l / 6;
    mass << 2 * mt, 0, mt, 0, 0, 2 * mr, 0, mr, mt, 0, 2 * mt, 0, 0, mr, 0, 2 * mr;
    EXPECT_LE((m - mass).cwiseAbs().maxCoeff(), 1e-15);
    EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Mass, uniform(space, {"E", "I", "rho"}, {1.0, 1.0, 1.0})); }),
              "unknown component: A");
    EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Mass, uniform(space, {"A"}, {1.0})); }),
              "Timoshenko mass matrix: material component `rho` (density) is required");
    EXPECT_EQ(error_text([&] { element(kind, OperatorKind::Geometric, mat); }),
              "Timoshenko: no geometric-stiffness kernel \u2014 element_geometric is undefined");
  }
  for (double thin : {1.0, 1e-6}) {  // thin: E·I tiny against G·A_s
    const double ei = e * i * thin, total = 10.0, p = 1.5;
    for (std::size_t n : {1u, 3u, 20u}) {
      const SpaceHandle space = chain(1, n, {0.0}, {total / static_cast<double>(n)});
      const models::Timoshenko kind = models::Timoshenko::create(space);
      const auto mat = uniform(space, {"E", "I", "G", "A_s"}, {e * thin, i, g, as});
      const Eigen::MatrixXd k = assemble(kind, OperatorKind::Stiffness, mat);
      Eigen::VectorXd f = Eigen::VectorXd::Zero(k.rows());
      f[2 * n] = p;
      const double w = solve_fixed(k, f, {0, 1})[2 * n];
      // The thin beam's system is ill-conditioned (G·A_s·L²/(E·I) ~ 1e8): a looser bound.
      EXPECT_LT(rel(w, n_element_deflection(n, total, p, ei, g * as)), thin < 1.0 ? 1e-5 : 1e-9) << thin << " " << n;
      if (n == 20) {
        EXPECT_LT(rel(w, p * total * total * total / (3 * ei) + p * total / (g * as)), 1e-3);
      }
    }
  }
}

// Each sub-model builds its own one-point shear space on the bending space's
// submesh, whatever quadrature the bending space uses.
TEST(Timoshenko, EachSubModelBuildsItsOwnReducedShearSpace) {
  const SpaceHandle space = chain(1, 3, {0.0}, {0.5});
  const models::Timoshenko first = models::Timoshenko::create(space);
  const models::Timoshenko second = models::Timoshenko::create(space);
  EXPECT_FALSE(first.shear() == second.shear());
  EXPECT_TRUE(first.bending() == space && second.bending() == space);
  for (const models::Timoshenko* kind : {&first, &second}) {
    const store::ReadGuard<SubFiniteElementSpace> shear = store::read(kind->shear());
    EXPECT_TRUE(shear->submesh() == store::read(space)->submesh());
    EXPECT_EQ(shear->interpolation(), Interpolation::LAGRANGE1);
    EXPECT_EQ(shear->quadrature(), QuadratureRule::REDUCED);
    EXPECT_EQ(shear->gauss_count(), 1u);
  }
}

// Internal forces of the section forces of a displacement equal K·u on each element.
TEST(Timoshenko, InternalForcesMatchStiffness) {
  const double e = 100.0, i = 0.5, g = 40.0, as = 3.0, l = 2.0;
  const SpaceHandle space = seg2_space(1, {0.0, l}, {0, 1});
  const models::Timoshenko kind = models::Timoshenko::create(space);
  const auto mat = uniform(space, {"E", "I", "G", "A_s"}, {e, i, g, as});
  const Eigen::MatrixXd k = element(kind, OperatorKind::Stiffness, mat);
  const Eigen::Vector4d u(0.1, -0.3, 0.25, 0.05);
  // Constant κ = θ', and γ = w' − θ at the midpoint, the shear point.
  const double kappa = (u[3] - u[1]) / l, gamma = (u[2] - u[0]) / l - (u[1] + u[3]) / 2;
  const auto stress = uniform(space, {"M", "V"}, {e * i * kappa, g * as * gamma});
  const auto layout = kind.stiffness_layout();
  BlockCells cells(layout->fespaces, kMessages);
  const std::vector<CellContext> ctxs = cells.make_contexts();
  std::vector<double> out(4, 0.0);
  kind.element_internal_forces(ctxs, *store::read(stress), out);
  const Eigen::Vector4d ku = k * u;
  for (int r = 0; r < 4; ++r) EXPECT_NEAR(out[r], ku[r], 1e-13 * ku.cwiseAbs().maxCoeff());
  const auto strains = uniform(space, {"kappa", "gamma"}, {kappa, gamma});
  double sf[2] = {};
  kind.gauss_point_law(ctxs[0], *store::read(strains), nullptr, &*store::read(mat), 1, std::nullopt, sf);
  EXPECT_DOUBLE_EQ(sf[0], e * i * kappa);
  EXPECT_DOUBLE_EQ(sf[1], g * as * gamma);
  EXPECT_EQ(error_text([&] { kind.gauss_point_law(ctxs[0], *store::read(strains), nullptr, nullptr, 0, 0.1, sf); }),
            "Timoshenko declares a material_fespace \u21d2 material is supplied");
}

// ------------------------------------------------------------------- threads

// The stiffness blocks of each kind on a long, wavy chain: the same bits with one
// thread and with all of them.
TEST(LineKinds, StiffnessBitIdenticalForOneAndAllThreads) {
  const std::size_t n = 3000;
  const auto wavy = [&](std::uint8_t dim) {
    std::vector<double> points;
    std::vector<NodeId> cells;
    for (std::size_t p = 0; p <= n; ++p)
      for (std::uint8_t i = 0; i < dim; ++i) points.push_back(i == 0 ? 0.01 * p : std::sin(0.37 * p + i));
    for (std::size_t c = 0; c < n; ++c) cells.insert(cells.end(), {static_cast<NodeId>(c), static_cast<NodeId>(c + 1)});
    return seg2_space(dim, points, cells);
  };
  const auto values = [](const models::ModelKind& kind, const store::Handle<SubElementField>& mat) {
    const auto blocks = kind.build_stiffness_blocks(mat);
    const auto& v = blocks.at(0).coo().values;
    return std::vector<double>(v.begin(), v.end());
  };
  const auto check = [&](const models::ModelKind& kind, const store::Handle<SubElementField>& mat) {
    std::vector<double> one;
    {
      parallel::ThreadLimit limit(1);
      one = values(kind, mat);
    }
    const std::vector<double> all = values(kind, mat);
    ASSERT_EQ(one.size(), all.size()) << kind.name();
    EXPECT_EQ(std::memcmp(one.data(), all.data(), one.size() * sizeof(double)), 0) << kind.name();
  };
  const SpaceHandle s1 = wavy(1), s2 = wavy(2), s3 = wavy(3);
  const models::Truss truss = models::Truss::create(s3);
  check(truss, uniform(s3, {"E", "A"}, {2.0, 3.0}));
  const models::Frame frame = models::Frame::create(s2);
  check(frame, uniform(s2, {"E", "A", "I", "G", "A_s"}, {kE, kA, kI, kG, kAs}));
  const models::Frame3d frame3d = models::Frame3d::create(s3);
  check(frame3d, uniform(s3, {"E", "A", "G", "J", "I_y", "I_z", "A_sy", "A_sz"}, {1, 2, 3, 4, 5, 6, 7, 8}));
  const models::Timoshenko beam = models::Timoshenko::create(s1);
  check(beam, uniform(s1, {"E", "I", "G", "A_s"}, {1.0, 2.0, 3.0, 4.0}));
}

// A model whose second sub-model holds a zero-length bar: its recipes are refused
// after the first sub-model's block was stored, and the failed call leaves no block.
TEST(LineKinds, ZeroLengthBarFailsTheAssemblyAndStoresNothing) {
  const store::Handle<Coords> coords = store::insert(Coords(2));
  std::vector<NodeId> ids;
  {
    store::WriteGuard<Coords> w = store::write(coords);
    for (const double x : {0.0, 1.0, 2.0, 2.0}) {
      const double p[2] = {x, 0.5};
      ids.push_back(w->add_node(p));
    }
  }
  containers::mesh::Mesh mesh;
  for (std::size_t first : {0, 2}) {
    SubMesh sub(ElementType::SEG2, coords);
    const NodeId cell[2] = {ids[first], ids[first + 1]};
    sub.add_cell(cell);
    mesh.push_sub(store::insert(std::move(sub)));
  }
  const auto model = containers::model::Model::truss(containers::finite_element_space::FiniteElementSpace::lagrange1(mesh));
  const ops::build::MaterialPair pairs[] = {{"E", 2.0}, {"A", 3.0}, {"rho", 1.0}};
  const containers::element_field::ElementField materials(ops::build::material_field_for_model(model.subs(), pairs));
  auto& blocks = store::Store<containers::matrix::SubMatrix>::instance();
  const std::size_t live = blocks.n_entries() - blocks.n_free();
  for (const OperatorKind op : {OperatorKind::Stiffness, OperatorKind::Mass}) {
    EXPECT_EQ(error_text([&] { ops::assemble::assemble_operator(model, materials, op, nullptr, {}); }),
              fmt::format("Truss: cell 0 has zero length (nodes {} and {} coincide)", ids[2], ids[3]));
    EXPECT_EQ(blocks.n_entries() - blocks.n_free(), live);
  }
}

}  // namespace
