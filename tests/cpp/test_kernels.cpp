// Element kernels: the cell context, small-strain continuum matrices against closed
// forms and rigid-body null spaces, block placement, and the colour-by-colour scatter.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include <Eigen/Dense>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/kernel/block.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/elasticity/small_strain.hpp"
#include "models/kernel/scatter_to_nodes.hpp"
#include "models/model/sub_model.hpp"
#include "models/convection/convection.hpp"
#include "models/elasticity/elasticity.hpp"
#include "models/heat_conduction/heat_conduction.hpp"
#include "models/plasticity/plasticity.hpp"
#include "ops/build/material_field.hpp"
#include "containers/finite_element_space/coloring.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith;
using containers::element_field::SubElementField;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::matrix::OperatorKind;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using models::kernel::BlockCells;
using models::kernel::CellContext;
using models::kernel::ContinuumModel;
using models::kernel::SpaceHandle;
using models::kernel::SupportHandle;
using quenlith::testing::error_text;

const BlockCells::Messages kMessages{"test: no FE subspace", "test: one submesh"};

// A mesh of `cells` (node-major ids) over `points` (dim values each), and its subspace.
struct Space {
  store::Handle<Coords> coords;
  store::Handle<SubMesh> submesh;
  SpaceHandle space;
};

Space make_space(ElementType t, std::uint8_t dim, const std::vector<double>& points,
                 const std::vector<NodeId>& cells, QuadratureRule rule = QuadratureRule::GAUSS) {
  Space s;
  s.coords = store::insert(Coords(dim));
  {
    store::WriteGuard<Coords> w = store::write(s.coords);
    for (std::size_t p = 0; p < points.size() / dim; ++p)
      w->decref(w->add_node(std::span<const double>(points.data() + p * dim, dim)));
  }
  SubMesh sub(t, s.coords);
  const std::size_t npc = containers::mesh::nodes_per_cell(t);
  for (std::size_t c = 0; c < cells.size() / npc; ++c) sub.add_cell(std::span<const NodeId>(cells.data() + c * npc, npc));
  s.submesh = store::insert(std::move(sub));
  s.space = store::insert(SubFiniteElementSpace::create(s.submesh, quenlith::testing::interpolation_of(t), rule));
  return s;
}

// One cell of type t, its reference nodes mapped by x = A xi + b (A d x d, row-major).
Space one_cell(ElementType t, const std::vector<double>& a, const std::vector<double>& b) {
  const std::size_t d = containers::mesh::ref_dim(t);
  const std::span<const double> ref = containers::mesh::reference_nodes(t);
  const std::size_t npc = containers::mesh::nodes_per_cell(t);
  std::vector<double> points(npc * d);
  for (std::size_t m = 0; m < npc; ++m)
    for (std::size_t i = 0; i < d; ++i) {
      double x = b[i];
      for (std::size_t k = 0; k < d; ++k) x += a[i * d + k] * ref[m * d + k];
      points[m * d + i] = x;
    }
  std::vector<NodeId> ids(npc);
  for (std::size_t m = 0; m < npc; ++m) ids[m] = static_cast<NodeId>(m);
  return make_space(t, static_cast<std::uint8_t>(d), points, ids);
}

SubElementField uniform(const SpaceHandle& space, std::vector<std::string> names, std::vector<double> values) {
  return SubElementField::from_uniform_per_component(space, std::move(names), values);
}

// The element matrix of `kernel` on cell 0 of the space.
template <class K>
Eigen::MatrixXd element_matrix(const SpaceHandle& space, K&& kernel) {
  BlockCells cells(std::span<const SpaceHandle>(&space, 1), kMessages);
  const std::vector<CellContext> ctxs = cells.make_contexts();
  const std::uint64_t n = cells.nodes_per_cell() * cells.space_dim();
  std::vector<double> out(n * n, 0.0);
  kernel(ctxs.front(), std::span<double>(out));
  Eigen::MatrixXd m(n, n);
  for (std::uint64_t r = 0; r < n; ++r)
    for (std::uint64_t c = 0; c < n; ++c) m(r, c) = out[r * n + c];
  return m;
}

// Reference volume (area) of each catalogue cell.
double reference_measure(ElementType t) {
  switch (t) {
    case ElementType::TRI3: case ElementType::TRI6: return 0.5;
    case ElementType::QUA4: case ElementType::QUA8: case ElementType::QUA9: return 4.0;
    case ElementType::TET4: case ElementType::TET10: return 1.0 / 6.0;
    case ElementType::PENTA6: case ElementType::PENTA15: return 0.5;
    default: return 8.0;
  }
}

// A distorting affine map (positive determinant) in d dimensions, and its offset.
std::vector<double> affine(std::size_t d) {
  return d == 2 ? std::vector<double>{1.3, 0.4, -0.2, 0.9} : std::vector<double>{1.2, 0.3, -0.1, 0.2, 0.8, 0.25, -0.3, 0.1, 1.1};
}
std::vector<double> offset(std::size_t d) { return d == 2 ? std::vector<double>{0.5, -1.0} : std::vector<double>{0.5, -1.0, 2.0}; }

double det(const std::vector<double>& a, std::size_t d) {
  Eigen::MatrixXd m(d, d);
  for (std::size_t i = 0; i < d; ++i)
    for (std::size_t k = 0; k < d; ++k) m(i, k) = a[i * d + k];
  return m.determinant();
}

// The rigid-body modes of the cell's nodes: translations, then rotations.
Eigen::MatrixXd rigid_modes(const SpaceHandle& space) {
  store::ReadGuard<SubFiniteElementSpace> s = store::read(space);
  store::ReadGuard<SubMesh> sub = store::read(s->submesh());
  store::ReadGuard<Coords> coords = store::read(sub->coords());
  const std::size_t d = coords->dim(), npc = sub->nodes_per_cell();
  const std::size_t n_modes = d == 2 ? 3 : 6;
  Eigen::MatrixXd r = Eigen::MatrixXd::Zero(npc * d, n_modes);
  for (std::size_t m = 0; m < npc; ++m) {
    const std::span<const double> x = coords->active_buffer().subspan(std::size_t{sub->connectivity()[m]} * d, d);
    for (std::size_t i = 0; i < d; ++i) r(m * d + i, i) = 1.0;
    if (d == 2) {
      r(m * 2, 2) = -x[1];
      r(m * 2 + 1, 2) = x[0];
    } else {
      // about z, x, y
      r(m * 3, 3) = -x[1], r(m * 3 + 1, 3) = x[0];
      r(m * 3 + 1, 4) = -x[2], r(m * 3 + 2, 4) = x[1];
      r(m * 3 + 2, 5) = -x[0], r(m * 3, 5) = x[2];
    }
  }
  return r;
}

struct ContinuumCase {
  ElementType type;
  ContinuumModel model;
};

class ContinuumCell : public ::testing::TestWithParam<ContinuumCase> {};

// Symmetric, positive on the deformations, exactly the rigid-body null space; the mass
// sums to rho times the volume on each component and couples no two components.
TEST_P(ContinuumCell, StiffnessNullSpaceAndMassTotals) {
  const auto [t, model] = GetParam();
  const std::size_t d = containers::mesh::ref_dim(t);
  const Space s = one_cell(t, affine(d), offset(d));
  const SubElementField mat = uniform(s.space, {"E", "nu", "rho"}, {210.0, 0.3, 7.8});
  const Eigen::MatrixXd k = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::elasticity_stiffness(ctx, mat, model, out);
  });
  const double scale = k.cwiseAbs().maxCoeff();
  EXPECT_LE((k - k.transpose()).cwiseAbs().maxCoeff(), 1e-13 * scale);

  const Eigen::MatrixXd r = rigid_modes(s.space);
  EXPECT_LE((k * r).cwiseAbs().maxCoeff(), 1e-11 * scale * r.cwiseAbs().maxCoeff());
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(0.5 * (k + k.transpose()));
  const Eigen::VectorXd lambda = eig.eigenvalues();
  std::size_t zeros = 0;
  for (Eigen::Index i = 0; i < lambda.size(); ++i) {
    EXPECT_GT(lambda[i], -1e-10 * scale);
    if (lambda[i] < 1e-9 * lambda.maxCoeff()) ++zeros;
  }
  EXPECT_EQ(zeros, d == 2 ? 3u : 6u);

  const Eigen::MatrixXd m = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::elasticity_mass(ctx, mat, out);
  });
  const double volume = reference_measure(t) * det(affine(d), d);
  const std::size_t npc = containers::mesh::nodes_per_cell(t);
  for (std::size_t c = 0; c < d; ++c) {
    double total = 0.0;
    for (std::size_t a = 0; a < npc; ++a)
      for (std::size_t b = 0; b < npc; ++b) {
        total += m(a * d + c, b * d + c);
        for (std::size_t e = 0; e < d; ++e)
          if (e != c) EXPECT_EQ(m(a * d + c, b * d + e), 0.0);
      }
    EXPECT_NEAR(total, 7.8 * volume, 1e-12 * 7.8 * volume);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryContinuumType, ContinuumCell,
    ::testing::Values(ContinuumCase{ElementType::TRI3, ContinuumModel::PlaneStress},
                      ContinuumCase{ElementType::QUA4, ContinuumModel::PlaneStrain},
                      ContinuumCase{ElementType::TRI6, ContinuumModel::PlaneStrain},
                      ContinuumCase{ElementType::QUA8, ContinuumModel::PlaneStress},
                      ContinuumCase{ElementType::QUA9, ContinuumModel::PlaneStrain},
                      ContinuumCase{ElementType::TET4, ContinuumModel::Solid},
                      ContinuumCase{ElementType::PENTA6, ContinuumModel::Solid},
                      ContinuumCase{ElementType::HEX8, ContinuumModel::Solid},
                      ContinuumCase{ElementType::TET10, ContinuumModel::Solid},
                      ContinuumCase{ElementType::PENTA15, ContinuumModel::Solid},
                      ContinuumCase{ElementType::HEX20, ContinuumModel::Solid},
                      ContinuumCase{ElementType::HEX27, ContinuumModel::Solid}),
    [](const auto& info) { return std::string(containers::mesh::name(info.param.type)); });

// Two cells of type t: the reference cell under the distorting affine map, and a copy
// with every node moved off its place (curved, but for the simplices of degree 1,
// which stay affine: all their Gauss points share one geometry).
Space two_cells(ElementType t) {
  const std::size_t d = containers::mesh::ref_dim(t);
  const std::span<const double> ref = containers::mesh::reference_nodes(t);
  const std::size_t npc = containers::mesh::nodes_per_cell(t);
  const std::vector<double> a = affine(d), b = offset(d);
  std::vector<double> points(2 * npc * d);
  for (std::size_t copy = 0; copy < 2; ++copy)
    for (std::size_t m = 0; m < npc; ++m)
      for (std::size_t i = 0; i < d; ++i) {
        double x = b[i] + 3.0 * copy;
        for (std::size_t k = 0; k < d; ++k) x += a[i * d + k] * ref[m * d + k];
        points[(copy * npc + m) * d + i] = x + copy * 0.04 * std::sin(1.7 * m + 2.3 * i);
      }
  std::vector<NodeId> ids(2 * npc);
  for (std::size_t m = 0; m < 2 * npc; ++m) ids[m] = static_cast<NodeId>(m);
  return make_space(t, static_cast<std::uint8_t>(d), points, ids);
}

class PreparedKernelCell : public ::testing::TestWithParam<ElementType> {};

// A prepared kernel gives, cell by cell or two cells at once, the very bits of the
// kind's own kernel: the conductivity (different at every Gauss point) and the
// elastic stiffness, on a straight and on a curved cell; a collapsed cell is left to
// the kind's kernel, which reports it.
TEST_P(PreparedKernelCell, SameBitsAsTheKindsKernel) {
  const ElementType t = GetParam();
  const std::size_t d = containers::mesh::ref_dim(t);
  const Space s = two_cells(t);
  SubElementField mat = SubElementField::create(s.space, {"rho", "nu", "k", "E"});
  for (std::uint64_t c = 0; c < mat.cell_count(); ++c)
    for (std::uint64_t g = 0; g < mat.gauss_count(); ++g) {
      mat.set(c, g, 1, 0.3 - 0.01 * double(g));
      mat.set(c, g, 2, 1.0 + 0.37 * double(c) + 0.11 * double(g * g));
      mat.set(c, g, 3, 210.0 + double(g));
    }
  const models::HeatConduction heat = models::HeatConduction::create(s.space);
  const models::Elasticity solid =
      models::Elasticity::create(s.space, d == 2 ? ContinuumModel::PlaneStrain : ContinuumModel::Solid);
  const BlockCells cells(std::span<const SpaceHandle>(&s.space, 1), kMessages);
  std::vector<CellContext> ctxs = cells.make_contexts();
  const std::uint64_t npc = cells.nodes_per_cell();
  for (const models::ModelKind* kind : {static_cast<const models::ModelKind*>(&heat),
                                        static_cast<const models::ModelKind*>(&solid)}) {
    const std::uint64_t n = kind == &heat ? npc : npc * d;
    const auto prepared = kind->prepare_operator(OperatorKind::Stiffness, cells.first_geometry(), &mat, nullptr);
    ASSERT_NE(prepared, nullptr) << kind->name();
    // Cell by cell, and both cells at once.
    std::vector<double> first(n * n, 0.0), second(n * n, 0.0);
    ASSERT_TRUE(prepared->add_pair(0, 1, first, second));
    for (std::uint64_t c = 0; c < 2; ++c) {
      std::vector<double> fast(n * n, 0.0), slow(n * n, 0.0);
      ASSERT_TRUE(prepared->add_cell(c, fast));
      ctxs[0].set_cell(c);
      kind->element_operator(OperatorKind::Stiffness, ctxs, &mat, nullptr, slow);
      EXPECT_EQ(std::memcmp(fast.data(), slow.data(), fast.size() * sizeof(double)), 0)
          << kind->name() << " cell " << c;
      EXPECT_EQ(std::memcmp((c == 0 ? first : second).data(), slow.data(), fast.size() * sizeof(double)), 0)
          << kind->name() << " cell " << c << " of a pair";
      EXPECT_NE(fast[0], 0.0);
    }
    // Not the operators it does not cover, nor a zone without its values.
    EXPECT_EQ(kind->prepare_operator(OperatorKind::Mass, cells.first_geometry(), &mat, nullptr), nullptr);
    const SubElementField rho_only = uniform(s.space, {"rho"}, {1.0});
    EXPECT_EQ(kind->prepare_operator(OperatorKind::Stiffness, cells.first_geometry(), &rho_only, nullptr), nullptr);
  }
  // All nodes of the cell at one point.
  std::vector<double> flat(npc * d, 0.5);
  std::vector<NodeId> ids(npc);
  for (std::size_t m = 0; m < npc; ++m) ids[m] = static_cast<NodeId>(m);
  const Space collapsed = make_space(t, static_cast<std::uint8_t>(d), flat, ids);
  const SubElementField k = uniform(collapsed.space, {"k"}, {1.0});
  const BlockCells degenerate(std::span<const SpaceHandle>(&collapsed.space, 1), kMessages);
  const auto prepared = heat.prepare_operator(OperatorKind::Stiffness, degenerate.first_geometry(), &k, nullptr);
  std::vector<double> out(npc * npc, 0.0);
  EXPECT_FALSE(prepared->add_cell(0, out));
  const std::vector<CellContext> flat_ctxs = degenerate.make_contexts();
  EXPECT_EQ(error_text([&] { heat.element_operator(OperatorKind::Stiffness, flat_ctxs, &k, nullptr, out); }),
            "inverse_small: singular matrix");
}

INSTANTIATE_TEST_SUITE_P(VolumeTypes, PreparedKernelCell,
                         ::testing::Values(ElementType::TRI3, ElementType::QUA4, ElementType::TRI6, ElementType::QUA8,
                                           ElementType::QUA9, ElementType::TET4, ElementType::PENTA6,
                                           ElementType::HEX8, ElementType::TET10, ElementType::PENTA15,
                                           ElementType::HEX20, ElementType::HEX27),
                         [](const auto& info) { return std::string(containers::mesh::name(info.param)); });

// The unit square with E = 1, nu = 0: K_ab from the 1-D integrals of the bilinear
// factors (int phi_i phi_j = 1/3 or 1/6, int phi_i' phi_j' = +-1, int phi_i' phi_j = +-1/2).
TEST(ContinuumClosedForm, UnitSquareQua4) {
  const Space s = one_cell(ElementType::QUA4, {0.5, 0.0, 0.0, 0.5}, {0.5, 0.5});
  const SubElementField mat = uniform(s.space, {"E", "nu"}, {1.0, 0.0});
  for (ContinuumModel model : {ContinuumModel::PlaneStress, ContinuumModel::PlaneStrain}) {
    const Eigen::MatrixXd k = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
      models::kernel::elasticity_stiffness(ctx, mat, model, out);
    });
    // Node a sits at x index ix[a], y index iy[a] (0 or 1).
    const int ix[] = {0, 1, 1, 0}, iy[] = {0, 0, 1, 1};
    const auto mass1d = [](int i, int j) { return i == j ? 1.0 / 3.0 : 1.0 / 6.0; };
    const auto stiff1d = [](int i, int j) { return i == j ? 1.0 : -1.0; };
    const auto slope = [](int i) { return i == 0 ? -1.0 : 1.0; };
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b) {
        const double xx = stiff1d(ix[a], ix[b]) * mass1d(iy[a], iy[b]);  // int dNa/dx dNb/dx
        const double yy = stiff1d(iy[a], iy[b]) * mass1d(ix[a], ix[b]);  // int dNa/dy dNb/dy
        const double yx = (slope(ix[b]) / 2) * (slope(iy[a]) / 2);        // int dNa/dy dNb/dx
        const double xy = (slope(ix[a]) / 2) * (slope(iy[b]) / 2);        // int dNa/dx dNb/dy
        EXPECT_NEAR(k(2 * a, 2 * b), xx + 0.5 * yy, 1e-15);
        EXPECT_NEAR(k(2 * a, 2 * b + 1), 0.5 * yx, 1e-15);
        EXPECT_NEAR(k(2 * a + 1, 2 * b), 0.5 * xy, 1e-15);
        EXPECT_NEAR(k(2 * a + 1, 2 * b + 1), yy + 0.5 * xx, 1e-15);
      }
    EXPECT_NEAR(k(0, 0), 0.5, 1e-15);  // the textbook k1 = 1/2 - nu/6 at nu = 0
  }
}

// The reference tetrahedron: K_ab^ij = V (lambda g_a^i g_b^j + mu g_a^j g_b^i +
// mu delta_ij g_a . g_b) with constant gradients, V = 1/6.
TEST(ContinuumClosedForm, ReferenceTet4) {
  const Space s = one_cell(ElementType::TET4, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0});
  const double e = 1.0, nu = 0.25;
  const SubElementField mat = uniform(s.space, {"E", "nu"}, {e, nu});
  const Eigen::MatrixXd k = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::elasticity_stiffness(ctx, mat, ContinuumModel::Solid, out);
  });
  const double lambda = e * nu / ((1 + nu) * (1 - 2 * nu)), mu = e / (2 * (1 + nu));
  const double g[4][3] = {{-1, -1, -1}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b) {
      const double dot = g[a][0] * g[b][0] + g[a][1] * g[b][1] + g[a][2] * g[b][2];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          const double want = (lambda * g[a][i] * g[b][j] + mu * g[a][j] * g[b][i] + (i == j ? mu * dot : 0.0)) / 6.0;
          EXPECT_NEAR(k(3 * a + i, 3 * b + j), want, 1e-15) << a << b << i << j;
        }
    }
  // Consistent mass of the tetrahedron: rho V / 20 (1 + delta_ab) on each component.
  const SubElementField dens = uniform(s.space, {"rho"}, {2.0});
  const Eigen::MatrixXd m = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::elasticity_mass(ctx, dens, out);
  });
  for (int a = 0; a < 4; ++a)
    for (int b = 0; b < 4; ++b) EXPECT_NEAR(m(3 * a, 3 * b), 2.0 / 6.0 / 20.0 * (a == b ? 2 : 1), 1e-15);
}

// Plane stress and plane strain differ through D alone; the material is read at
// Gauss point 0 of the cell; errors of the zone come through.
TEST(ContinuumKernels, MaterialRuleAndErrors) {
  const Space s = one_cell(ElementType::QUA4, affine(2), offset(2));
  SubElementField mat = uniform(s.space, {"E", "nu"}, {2.0, 0.3});
  const auto stiffness = [&](const SubElementField& z, ContinuumModel m) {
    return element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
      models::kernel::elasticity_stiffness(ctx, z, m, out);
    });
  };
  const Eigen::MatrixXd k0 = stiffness(mat, ContinuumModel::PlaneStrain);
  for (std::uint64_t g = 1; g < mat.gauss_count(); ++g) mat.set_value(0, g, "E", 1e9);
  EXPECT_EQ(stiffness(mat, ContinuumModel::PlaneStrain), k0);
  // nu = 0: the two hypotheses coincide.
  const SubElementField nu0 = uniform(s.space, {"E", "nu"}, {2.0, 0.0});
  EXPECT_EQ(stiffness(nu0, ContinuumModel::PlaneStrain), stiffness(nu0, ContinuumModel::PlaneStress));

  const SubElementField only_e = uniform(s.space, {"E"}, {2.0});
  EXPECT_EQ(error_text([&] { stiffness(only_e, ContinuumModel::PlaneStress); }), "unknown component: nu");
  const SubElementField only_nu = uniform(s.space, {"nu"}, {0.2});
  EXPECT_EQ(error_text([&] { stiffness(only_nu, ContinuumModel::PlaneStress); }), "unknown component: E");
  EXPECT_EQ(error_text([&] {
              element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
                models::kernel::elasticity_mass(ctx, only_e, out);
              });
            }),
            "Elasticity mass matrix: material component `rho` (density) is required");
  // nu = 1/2 in plane strain: non-finite entries, no error.
  const SubElementField half = uniform(s.space, {"E", "nu"}, {1.0, 0.5});
  EXPECT_FALSE(stiffness(half, ContinuumModel::PlaneStrain).allFinite());
}

// The geometric stiffness of a uniform stress is grad N . S . grad N on each
// component; the tangent read from ktan_i_j equals the stiffness of the same D.
TEST(ContinuumKernels, GeometricAndTangent) {
  const Space s = one_cell(ElementType::HEX8, affine(3), offset(3));
  const std::vector<std::string> sig = models::kernel::stress_names(3);
  const SubElementField stress = uniform(s.space, sig, {1.0, 2.0, 3.0, 0.5, -0.25, 0.75});
  const Eigen::MatrixXd kg = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::elasticity_geometric(ctx, stress, out);
  });
  EXPECT_LE((kg - kg.transpose()).cwiseAbs().maxCoeff(), 1e-13);
  // A translation along any axis carries no geometric stiffness.
  const Eigen::MatrixXd r = rigid_modes(s.space);
  EXPECT_LE((kg * r.leftCols(3)).cwiseAbs().maxCoeff(), 1e-12);
  EXPECT_NE(kg(0, 0), 0.0);
  EXPECT_EQ(kg(0, 1), 0.0);

  const double e = 3.0, nu = 0.2;
  const auto d = models::kernel::elasticity_d_matrix(ContinuumModel::Solid, 3, e, nu);
  std::vector<double> ktan;
  for (int i = 0; i < 6; ++i)
    for (int j = i; j < 6; ++j) ktan.push_back(d[i][j]);
  const SubElementField state = uniform(s.space, models::kernel::ktan_names(3), ktan);
  const SubElementField mat = uniform(s.space, {"E", "nu"}, {e, nu});
  const Eigen::MatrixXd kt = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::consistent_tangent_kernel(ctx, state, out);
  });
  const Eigen::MatrixXd ke = element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
    models::kernel::elasticity_stiffness(ctx, mat, ContinuumModel::Solid, out);
  });
  EXPECT_EQ(kt, ke);
  const SubElementField partial = uniform(s.space, {"ktan_0_0"}, {1.0});
  EXPECT_EQ(error_text([&] {
              element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
                models::kernel::consistent_tangent_kernel(ctx, partial, out);
              });
            }),
            "unknown component: ktan_0_1");
  const SubElementField no_xy = uniform(s.space, {"sigma_xx", "sigma_yy"}, {1.0, 1.0});
  EXPECT_EQ(error_text([&] {
              element_matrix(s.space, [&](const CellContext& ctx, std::span<double> out) {
                models::kernel::elasticity_geometric(ctx, no_xy, out);
              });
            }),
            "unknown component: sigma_xy");
}

TEST(ContinuumKernels, NamesHookeAndTrialStress) {
  EXPECT_EQ(models::kernel::ktan_names(2),
            (std::vector<std::string>{"ktan_0_0", "ktan_0_1", "ktan_0_2", "ktan_1_1", "ktan_1_2", "ktan_2_2"}));
  const auto k3 = models::kernel::ktan_names(3);
  ASSERT_EQ(k3.size(), 21u);
  EXPECT_EQ(k3.front(), "ktan_0_0");
  EXPECT_EQ(k3.back(), "ktan_5_5");
  EXPECT_EQ(models::kernel::stress_names(2), (std::vector<std::string>{"sigma_xx", "sigma_yy", "sigma_xy"}));

  // Plane stress: E/(1-nu^2) [[1, nu, 0], [nu, 1, 0], [0, 0, (1-nu)/2]].
  const auto ps = models::kernel::elasticity_d_matrix(ContinuumModel::PlaneStress, 2, 1.0, 0.5);
  EXPECT_DOUBLE_EQ(ps[0][0], 4.0 / 3.0);
  EXPECT_DOUBLE_EQ(ps[0][1], 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(ps[2][2], 1.0 / 3.0);
  // Solid: lambda + 2 mu on the diagonal, lambda off it, mu on the shears.
  const auto so = models::kernel::elasticity_d_matrix(ContinuumModel::Solid, 3, 2.5, 0.25);
  const double lambda = 2.5 * 0.25 / (1.25 * 0.5), mu = 2.5 / 2.5;
  EXPECT_DOUBLE_EQ(so[0][0], lambda + 2 * mu);
  EXPECT_DOUBLE_EQ(so[1][2], lambda);
  EXPECT_DOUBLE_EQ(so[4][4], mu);
  EXPECT_EQ(so[0][3], 0.0);

  const std::array<double, 6> s0{1, 2, 3, 4, 5, 6}, e0{0.1, 0.2, 0.3, 0.0, 0.0, 0.0};
  EXPECT_EQ(models::kernel::elastic_trial_stress(e0, e0, s0, 7.0, 3.0), s0);
  std::array<double, 6> shear = e0;
  shear[5] += 0.01;
  const auto s1 = models::kernel::elastic_trial_stress(shear, e0, s0, 7.0, 3.0);
  EXPECT_DOUBLE_EQ(s1[5], 6.0 + 2 * 3.0 * 0.01);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(s1[k], s0[k]);
}

// sigma = D eps with doubled tensor shears: a pure shear eps_xy = delta gives
// sigma_xy = 2 mu delta under every hypothesis; the plane laws write three stresses.
TEST(ContinuumKernels, ElasticPointStress) {
  const double e = 2.0, nu = 0.3, mu = e / (2 * (1 + nu)), delta = 1e-3;
  const Space s2 = one_cell(ElementType::TRI3, affine(2), offset(2));
  const SubElementField m2 = uniform(s2.space, {"E", "nu"}, {e, nu});
  const SubElementField shear2 = uniform(s2.space, {"eps_xx", "eps_xy", "eps_yy"}, {0.0, delta, 0.0});
  for (ContinuumModel model : {ContinuumModel::PlaneStress, ContinuumModel::PlaneStrain}) {
    double out[4] = {7, 7, 7, 7};
    models::kernel::elastic_point_stress(model, 2, m2, shear2, 0, 0, out);
    EXPECT_DOUBLE_EQ(out[2], 2 * mu * delta);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[3], 7.0);  // nothing beyond the three stresses
  }
  const Space s3 = one_cell(ElementType::TET4, affine(3), offset(3));
  const SubElementField m3 = uniform(s3.space, {"E", "nu"}, {e, nu});
  const SubElementField strain3 = uniform(
      s3.space, {"eps_xx", "eps_xy", "eps_xz", "eps_yy", "eps_yz", "eps_zz"}, {delta, 0.0, delta, 0.0, 0.0, 0.0});
  double out[6];
  models::kernel::elastic_point_stress(ContinuumModel::Solid, 3, m3, strain3, 0, 0, out);
  const double lambda = e * nu / ((1 + nu) * (1 - 2 * nu));
  EXPECT_DOUBLE_EQ(out[0], (lambda + 2 * mu) * delta);
  EXPECT_DOUBLE_EQ(out[1], lambda * delta);
  EXPECT_DOUBLE_EQ(out[4], 2 * mu * delta);  // xz
  EXPECT_EQ(out[5], 0.0);
  const SubElementField no_zz = uniform(s3.space, {"eps_xx", "eps_yy"}, {0.0, 0.0});
  EXPECT_EQ(error_text([&] { models::kernel::elastic_point_stress(ContinuumModel::Solid, 3, m3, no_zz, 0, 0, out); }),
            "unknown component: eps_zz");
}

// Length and area elements of embedded cells; degenerate cells; collected nodes.
TEST(CellContext, GeometryOfEmbeddedAndDegenerateCells) {
  {
    const Space seg = make_space(ElementType::SEG2, 3, {0, 0, 0, 3, 4, 0}, {0, 1});
    store::ReadGuard<SubFiniteElementSpace> s = store::read(seg.space);
    BlockCells cells(std::span<const SpaceHandle>(&seg.space, 1), kMessages);
    const std::vector<CellContext> ctxs = cells.make_contexts();
    double length = 0.0;
    for (std::uint64_t g = 0; g < ctxs[0].n_gauss(); ++g) {
      EXPECT_DOUBLE_EQ(ctxs[0].dvolume(g), 2.5 * ctxs[0].gauss_weight(g));
      length += ctxs[0].dvolume(g);
    }
    EXPECT_DOUBLE_EQ(length, 5.0);
    EXPECT_EQ(std::vector<double>(ctxs[0].node_coords(1).begin(), ctxs[0].node_coords(1).end()),
              (std::vector<double>{3, 4, 0}));
  }
  {
    const Space tri = make_space(ElementType::TRI3, 3, {0, 0, 0, 2, 0, 0, 0, 3, 0}, {0, 1, 2});
    BlockCells cells(std::span<const SpaceHandle>(&tri.space, 1), kMessages);
    const std::vector<CellContext> ctxs = cells.make_contexts();
    double area = 0.0;
    double grads[9];
    for (std::uint64_t g = 0; g < ctxs[0].n_gauss(); ++g) {
      area += ctxs[0].dvolume(g);
      ctxs[0].dn_dx(g, grads);
      for (int a = 0; a < 3; ++a) EXPECT_EQ(grads[a * 3 + 2], 0.0);
      EXPECT_DOUBLE_EQ(grads[3], 0.5);  // dN1/dx
      EXPECT_DOUBLE_EQ(grads[7], 1.0 / 3.0);  // dN2/dy
    }
    EXPECT_DOUBLE_EQ(area, 3.0);
  }
  {
    const Space flat = make_space(ElementType::QUA4, 2, {1, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 2, 3});
    BlockCells cells(std::span<const SpaceHandle>(&flat.space, 1), kMessages);
    const std::vector<CellContext> ctxs = cells.make_contexts();
    double grads[8];
    for (std::uint64_t g = 0; g < ctxs[0].n_gauss(); ++g) EXPECT_EQ(ctxs[0].dvolume(g), 0.0);
    EXPECT_EQ(error_text([&] { ctxs[0].dn_dx(0, grads); }), "inverse_small: singular matrix");
  }
}

// A 2 x 2 patch of QUA4 cells on the unit square, its centre node moved off centre.
Space patch() {
  std::vector<double> pts;
  for (int j = 0; j <= 2; ++j)
    for (int i = 0; i <= 2; ++i) {
      const bool centre = i == 1 && j == 1;
      pts.push_back(i * 0.5 + (centre ? 0.07 : 0.0));
      pts.push_back(j * 0.5 + (centre ? -0.05 : 0.0));
    }
  return make_space(ElementType::QUA4, 2, pts, {0, 1, 4, 3, 1, 2, 5, 4, 3, 4, 7, 6, 4, 5, 8, 7});
}

SupportHandle cloud_of(const store::Handle<SubMesh>& sub) { return store::read(sub)->node_cloud(); }

// A uniform stress gives no force at the interior node; the boundary nodes carry
// the traction sigma . n integrated against N.
TEST(ScatterToNodes, UniformStressInternalForces) {
  const Space s = patch();
  const SubElementField stress = uniform(s.space, {"sigma_xx", "sigma_yy", "sigma_xy", "sigma_zz"}, {1.0, 0.0, 0.0, 9.0});
  const SupportHandle support = cloud_of(s.submesh);
  const auto field = models::kernel::scatter_to_nodes(
      std::span<const SpaceHandle>(&s.space, 1), support, {"f_x", "f_y"},
      [&](std::span<const CellContext> ctxs, std::span<double> out) {
        models::kernel::element_internal_forces_bt_sigma(ctxs, stress, out);
      });
  EXPECT_EQ(std::vector<std::string>(field.components().begin(), field.components().end()),
            (std::vector<std::string>{"f_x", "f_y"}));
  EXPECT_NEAR(field.value(4, "f_x"), 0.0, 1e-15);
  EXPECT_NEAR(field.value(4, "f_y"), 0.0, 1e-15);
  // The right side (x = 1) gets +1 x its length, the left side -1; f_y vanishes.
  EXPECT_NEAR(field.value(2, "f_x"), 0.25, 1e-15);
  EXPECT_NEAR(field.value(5, "f_x"), 0.5, 1e-15);
  EXPECT_NEAR(field.value(3, "f_x"), -0.5, 1e-15);
  EXPECT_NEAR(field.value(1, "f_x"), 0.0, 1e-15);
  for (NodeId n = 0; n < 9; ++n) EXPECT_NEAR(field.value(n, "f_y"), 0.0, 1e-15);
}

TEST(ScatterToNodes, Errors) {
  const Space s = patch();
  const SubElementField stress = uniform(s.space, {"sigma_xx", "sigma_yy", "sigma_xy"}, {1.0, 0.0, 0.0});
  const auto forces = [&](std::span<const CellContext> ctxs, std::span<double> out) {
    models::kernel::element_internal_forces_bt_sigma(ctxs, stress, out);
  };
  const SupportHandle support = cloud_of(s.submesh);
  EXPECT_EQ(error_text([&] { models::kernel::scatter_to_nodes({}, support, {"f_x", "f_y"}, forces); }),
            "scatter_to_nodes: no FE subspace");
  // A second subspace on another submesh with the same cells.
  const Space other = patch();
  const SpaceHandle two[] = {s.space, other.space};
  EXPECT_EQ(error_text([&] { models::kernel::scatter_to_nodes(two, support, {"f_x", "f_y"}, forces); }),
            "scatter_to_nodes: all FE subspaces must share one submesh");
  // A second subspace on the same submesh is fine.
  const SpaceHandle reduced = store::insert(SubFiniteElementSpace::create(
      s.submesh, containers::finite_element_space::Interpolation::LAGRANGE1, QuadratureRule::REDUCED));
  const SpaceHandle same[] = {s.space, reduced};
  EXPECT_NO_THROW(models::kernel::scatter_to_nodes(same, support, {"f_x", "f_y"}, forces));
  // A support lacking node 8.
  SubMesh partial(ElementType::POI1, s.coords);
  for (NodeId n = 0; n < 8; ++n) partial.add_cell(std::span<const NodeId>(&n, 1));
  const SupportHandle short_support = store::insert(std::move(partial));
  EXPECT_EQ(error_text([&] {
              models::kernel::scatter_to_nodes(std::span<const SpaceHandle>(&s.space, 1), short_support, {"f_x", "f_y"},
                                               forces);
            }),
            "scatter_to_nodes: support does not cover a cell node");
  // The routine's own error.
  const SubElementField no_xy = uniform(s.space, {"sigma_xx", "sigma_yy"}, {1.0, 0.0});
  EXPECT_EQ(error_text([&] {
              models::kernel::scatter_to_nodes(std::span<const SpaceHandle>(&s.space, 1), support, {"f_x", "f_y"},
                                               [&](std::span<const CellContext> ctxs, std::span<double> out) {
                                                 models::kernel::element_internal_forces_bt_sigma(ctxs, no_xy, out);
                                               });
            }),
            "unknown component: sigma_xy");
  // A support that is not a node cloud is refused once the cells are done.
  EXPECT_EQ(error_text([&] {
              models::kernel::scatter_to_nodes(std::span<const SpaceHandle>(&s.space, 1), s.submesh, {"f_x", "f_y"},
                                               forces);
            }),
            "SubNodeField requires a POI1 SubMesh, got QUA4");
}

// A support listing a node twice: the sum goes to its first row.
TEST(ScatterToNodes, RepeatedSupportNodeTakesTheFirstRow) {
  const Space s = make_space(ElementType::SEG2, 2, {0, 0, 2, 0}, {0, 1});
  SubMesh cloud(ElementType::POI1, s.coords);
  for (NodeId n : {NodeId{0}, NodeId{1}, NodeId{0}}) cloud.add_cell(std::span<const NodeId>(&n, 1));
  const SupportHandle support = store::insert(std::move(cloud));
  const auto zone = models::kernel::scatter_to_nodes(
      std::span<const SpaceHandle>(&s.space, 1), support, {"q"},
      [&](std::span<const CellContext> ctxs, std::span<double> out) {
        for (std::uint64_t g = 0; g < ctxs[0].n_gauss(); ++g)
          for (int a = 0; a < 2; ++a) out[a] += ctxs[0].n_at_g(g)[a] * ctxs[0].dvolume(g);
      });
  EXPECT_EQ(std::vector<double>(zone.values().begin(), zone.values().end()), (std::vector<double>{1.0, 1.0, 0.0}));
}

// The flux element vector: the integral of rho N_a, uniform or per Gauss point.
TEST(ScatterToNodes, FluxOfADensity) {
  const Space s = make_space(ElementType::SEG2, 2, {0, 0, 3, 0}, {0, 1});
  const SupportHandle support = cloud_of(s.submesh);
  const auto flux = [&](const models::kernel::FluxDensity& density) {
    const auto zone = models::kernel::scatter_to_nodes(std::span<const SpaceHandle>(&s.space, 1), support, {"q"},
                                                       [&](std::span<const CellContext> ctxs, std::span<double> out) {
                                                         models::kernel::flux_element_vector(ctxs, density, out);
                                                       });
    return std::vector<double>(zone.values().begin(), zone.values().end());
  };
  const std::vector<double> uniform = flux({2.0, {}});
  ASSERT_EQ(uniform.size(), 2u);
  EXPECT_DOUBLE_EQ(uniform[0], 3.0);
  EXPECT_DOUBLE_EQ(uniform[1], 3.0);
  // Per point: 1 at the first Gauss point, 0 at the second, weights 1 each.
  const double per_point[] = {1.0, 0.0};
  const std::vector<double> v = flux({0.0, per_point});
  EXPECT_DOUBLE_EQ(v[0] + v[1], 1.5);
  EXPECT_GT(v[0], v[1]);
}

// A perturbed TRI3 grid for the thread tests.
Space tri_grid(int n) {
  std::vector<double> pts;
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i) {
      pts.push_back(i + 0.1 * std::sin(1.7 * i + 0.3 * j));
      pts.push_back(j + 0.1 * std::cos(0.9 * i - 1.1 * j));
    }
  std::vector<NodeId> cells;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const NodeId a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
      for (NodeId id : {a, b, c, a, c, d}) cells.push_back(id);
    }
  return make_space(ElementType::TRI3, 2, pts, cells);
}

// Node vectors and per-node sums of element blocks are the same bits on one thread
// and on all of them.
TEST(ScatterToNodes, BitIdenticalForOneAndAllThreads) {
  const Space s = tri_grid(60);
  const SubElementField mat = uniform(s.space, {"E", "nu"}, {3.0, 0.3});
  const SupportHandle support = cloud_of(s.submesh);
  // Each node's sum of the element stiffness rows times a fixed displacement.
  const auto run = [&] {
    const auto zone = models::kernel::scatter_to_nodes(
        std::span<const SpaceHandle>(&s.space, 1), support, {"f_x", "f_y"},
        [&](std::span<const CellContext> ctxs, std::span<double> out) {
          double k[36] = {};
          models::kernel::elasticity_stiffness(ctxs[0], mat, ContinuumModel::PlaneStress, k);
          for (int r = 0; r < 6; ++r)
            for (int c = 0; c < 6; ++c) out[r] += k[r * 6 + c] * std::sin(0.37 * (ctxs[0].node_ids()[c / 2] + c));
        });
    return std::vector<double>(zone.values().begin(), zone.values().end());
  };
  const auto blocks = [&] {
    BlockCells cells(std::span<const SpaceHandle>(&s.space, 1), kMessages);
    std::vector<double> diag(2 * 61 * 61, 0.0);
    models::kernel::for_each_element_block(
        cells, 2, 2,
        [&](std::span<const CellContext> ctxs, std::span<double> out) {
          models::kernel::elasticity_stiffness(ctxs[0], mat, ContinuumModel::PlaneStrain, out);
        },
        [&](std::uint64_t c, std::span<const double> block) {
          const auto ids = cells.node_ids(c);
          for (int a = 0; a < 3; ++a)
            for (int k = 0; k < 2; ++k) diag[ids[a] * 2 + k] += block[(a * 2 + k) * 6 + a * 2 + k] * 1.0000001;
        });
    return diag;
  };
  std::vector<double> one, one_blocks;
  {
    parallel::ThreadLimit limit(1);
    one = run();
    one_blocks = blocks();
  }
  const std::vector<double> all = run(), all_blocks = blocks();
  ASSERT_EQ(one.size(), all.size());
  EXPECT_EQ(std::memcmp(one.data(), all.data(), one.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(one_blocks.data(), all_blocks.data(), one_blocks.size() * sizeof(double)), 0);
  EXPECT_GT(one_blocks[2 * 61 * 30 + 60], 0.0);
}

// scatter_colored: every cell's action once, groups in colour order.
TEST(ScatterColored, AddsEveryCellOnceAndStopsAtTheFirstFailure) {
  const std::vector<NodeId> chain = {0, 1, 1, 2, 2, 3, 3, 4};
  const auto coloring = containers::finite_element_space::color_cells(4, 2, chain);
  const auto v = containers::finite_element_space::scatter_colored(5, coloring, 1, 2,
                                                [&](std::uint64_t c, std::span<double> scratch, std::span<double> out) {
                                                  for (double x : scratch) EXPECT_EQ(x, 0.0);
                                                  scratch[0] = 1.0;
                                                  out[chain[2 * c]] += scratch[0];
                                                  out[chain[2 * c + 1]] += 10.0 * scratch[0];
                                                });
  EXPECT_EQ(v, (std::vector<double>{1, 11, 11, 11, 10}));
  int runs_after = 0;
  EXPECT_EQ(error_text([&] {
              containers::finite_element_space::scatter_colored(5, coloring, 1, 1, [&](std::uint64_t c, std::span<double>, std::span<double>) {
                if (c % 2 == 1) ++runs_after;  // colour 1 must not start
                if (c == 2) throw Error::message("cell {} failed", c);
              });
            }),
            "cell 2 failed");
  EXPECT_EQ(runs_after, 0);
  EXPECT_EQ(containers::finite_element_space::min_cells_per_task(3), 85u);
  EXPECT_EQ(containers::finite_element_space::min_cells_per_task(27), 9u);
  EXPECT_EQ(containers::finite_element_space::min_cells_per_task(0), 256u);
  EXPECT_EQ(containers::finite_element_space::min_cells_per_task(300), 1u);
}

// Block placement and the literal block of a kernel.
TEST(ElementBlock, PlacementOrderingsAndRepeatedNodes) {
  using models::kernel::BlockPlacement;
  const BlockPlacement nodes_first({10, 11, 12, 11}, {10, 11, 12, 11}, 2, 1, containers::matrix::Ordering::NodesThenVars);
  const BlockPlacement vars_first({10, 11, 12}, {10, 11, 12}, 2, 1, containers::matrix::Ordering::VarsThenNodes);
  std::uint32_t r[1], c[1];
  const NodeId eleven[] = {11};
  nodes_first.locate(eleven, "t", r, c);
  EXPECT_EQ(r[0], 1u);  // the first of its two positions
  EXPECT_EQ(nodes_first.row(r[0], 1), 3u);
  EXPECT_EQ(vars_first.row(1, 1), 4u);
  EXPECT_EQ(nodes_first.n_rows(), 8u);
  const NodeId missing[] = {10, 13};
  std::uint32_t r2[2], c2[2];
  EXPECT_EQ(error_text([&] { nodes_first.locate(missing, "element_block_pattern", r2, c2); }),
            "element_block_pattern: node 13 not in row support");
  const BlockPlacement cols_short({10, 13}, {10}, 1, 1, containers::matrix::Ordering::NodesThenVars);
  EXPECT_EQ(error_text([&] { cols_short.locate(missing, "element_block_triplets", r2, c2); }),
            "element_block_triplets: node 13 not in col support");

  const NodeId cell[] = {12, 10};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs(8);
  models::kernel::element_block_pattern(cell, nodes_first, pairs);
  EXPECT_EQ(pairs, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                       {4, 2}, {4, 0}, {5, 2}, {5, 0}, {0, 2}, {0, 0}, {1, 2}, {1, 0}}));
}

TEST(ElementBlock, AssembleBlockKeepsEveryEntry) {
  // Two SEG2 cells sharing node 1.
  const Space s = make_space(ElementType::SEG2, 2, {0, 0, 1, 0, 3, 0}, {0, 1, 1, 2});
  const SupportHandle support = cloud_of(s.submesh);
  const auto kernel = [](std::span<const CellContext> ctxs, std::span<double> out) {
    // 1 / length on the diagonal, -1 / length off it, zeros between variables.
    const double len = ctxs[0].dvolume(0) + ctxs[0].dvolume(1);
    for (int a = 0; a < 2; ++a)
      for (int b = 0; b < 2; ++b) out[(a * 2) * 4 + b * 2] = (a == b ? 1.0 : -1.0) / len;
  };
  const auto block = models::kernel::assemble_block(std::span<const SpaceHandle>(&s.space, 1), support, support,
                                                    {"f_x", "f_y"}, {"u_x", "u_y"},
                                                    containers::matrix::Ordering::NodesThenVars, true, kernel);
  const auto& coo = block.coo();
  ASSERT_EQ(coo.size(), 32u);  // 2 cells x (2 nodes x 2 vars)^2, zeros included
  EXPECT_EQ(coo.nrows, 6u);
  double at_node1 = 0.0;
  int repeats = 0;
  for (std::size_t e = 0; e < coo.size(); ++e)
    if (coo.rows[e] == 2 && coo.cols[e] == 2) {
      at_node1 += coo.values[e];
      ++repeats;
    }
  EXPECT_EQ(repeats, 2);
  EXPECT_DOUBLE_EQ(at_node1, 1.0 + 0.5);
  EXPECT_TRUE(block.symmetric());

  EXPECT_EQ(error_text([&] {
              models::kernel::assemble_block({}, support, support, {"f"}, {"u"},
                                             containers::matrix::Ordering::NodesThenVars, true, kernel);
            }),
            "element_block_triplets_per_cell: no FE subspace");
  SubMesh partial(ElementType::POI1, s.coords);
  for (NodeId n : {NodeId{0}, NodeId{1}}) partial.add_cell(std::span<const NodeId>(&n, 1));
  const SupportHandle short_support = store::insert(std::move(partial));
  EXPECT_EQ(error_text([&] {
              models::kernel::assemble_block(std::span<const SpaceHandle>(&s.space, 1), short_support, support,
                                             {"f_x", "f_y"}, {"u_x", "u_y"},
                                             containers::matrix::Ordering::NodesThenVars, true, kernel);
            }),
            "element_block_triplets: node 2 not in row support");
}

// The Elasticity kind through its interface: its literal stiffness block has the
// rigid-body null space of the whole patch; its internal forces of a uniform stress
// vanish inside; missing zones are refused with the kind's words.
TEST(ElasticityKind, StiffnessBlockInternalForcesAndPreconditions) {
  const Space s = patch();
  const models::Elasticity kind = models::Elasticity::create(s.space, ContinuumModel::PlaneStrain);
  const store::Handle<SubElementField> mat = store::insert(uniform(s.space, {"E", "nu"}, {5.0, 0.3}));
  const auto blocks = kind.build_stiffness_blocks(mat);
  ASSERT_EQ(blocks.size(), 1u);
  const auto& block = blocks[0];
  EXPECT_EQ(block.coo().size(), 4u * 64u);
  EXPECT_TRUE(block.symmetric());
  const std::size_t n = block.row_nodes().size() * 2;
  Eigen::MatrixXd k = Eigen::MatrixXd::Zero(n, n);
  for (std::size_t e = 0; e < block.coo().size(); ++e) k(block.coo().rows[e], block.coo().cols[e]) += block.coo().values[e];
  EXPECT_LE((k - k.transpose()).cwiseAbs().maxCoeff(), 1e-13 * k.cwiseAbs().maxCoeff());
  {
    store::ReadGuard<Coords> coords = store::read(s.coords);
    Eigen::MatrixXd r = Eigen::MatrixXd::Zero(n, 3);
    for (std::size_t p = 0; p < block.row_nodes().size(); ++p) {
      const auto x = coords->active_buffer().subspan(std::size_t{block.row_nodes()[p]} * 2, 2);
      r(2 * p, 0) = 1.0;
      r(2 * p + 1, 1) = 1.0;
      r(2 * p, 2) = -x[1];
      r(2 * p + 1, 2) = x[0];
    }
    EXPECT_LE((k * r).cwiseAbs().maxCoeff(), 1e-12 * k.cwiseAbs().maxCoeff());
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(k);
    EXPECT_GT(eig.eigenvalues()[3], 1e-6 * eig.eigenvalues().maxCoeff());  // exactly three rigid modes
  }

  const store::Handle<SubElementField> stress =
      store::insert(uniform(s.space, {"sigma_xx", "sigma_yy", "sigma_xy"}, {0.3, -0.2, 0.7}));
  const auto forces = kind.build_internal_forces(stress);
  EXPECT_NEAR(forces.value(4, "f_x"), 0.0, 1e-15);
  EXPECT_NEAR(forces.value(4, "f_y"), 0.0, 1e-15);
  double total_x = 0.0;
  for (NodeId id = 0; id < 9; ++id) total_x += forces.value(id, "f_x");
  EXPECT_NEAR(total_x, 0.0, 1e-15);

  BlockCells cells(std::span<const SpaceHandle>(&s.space, 1), kMessages);
  const std::vector<CellContext> ctxs = cells.make_contexts();
  std::vector<double> a(64, 0.0), b(64, 0.0);
  EXPECT_EQ(error_text([&] { kind.element_matrix(ctxs, nullptr, a); }),
            "Elasticity declares a material_fespace \u21d2 material is supplied");
  EXPECT_EQ(error_text([&] { kind.element_geometric(ctxs, nullptr, nullptr, a); }),
            "geometric stiffness requires the current stress field");
  store::ReadGuard<SubElementField> m = store::read(mat);
  store::ReadGuard<SubElementField> st = store::read(stress);
  kind.element_matrix(ctxs, &*m, a);
  kind.element_operator(containers::matrix::OperatorKind::Tangent, ctxs, &*m, &*st, b);
  EXPECT_EQ(a, b);
}

// The heat kinds' point laws, and the preconditions of their callers (a material
// zone is always passed by the assembly and by integrate_behavior): no Python input
// reaches these texts.
TEST(HeatKinds, PointLawsAndPreconditions) {
  const Space s = one_cell(ElementType::TRI3, {1.0, 0.0, 0.0, 1.0}, {0.0, 0.0});
  const models::HeatConduction heat = models::HeatConduction::create(s.space);
  const models::Convection film = models::Convection::create(s.space);
  const store::Handle<SubElementField> mat = store::insert(uniform(s.space, {"k", "h"}, {2.0, 10.0}));
  const store::Handle<SubElementField> input =
      store::insert(uniform(s.space, {"grad_T_x", "grad_T_y", "T"}, {3.0, -0.5, 5.0}));
  const store::Handle<SubElementField> only_x = store::insert(uniform(s.space, {"grad_T_x"}, {1.0}));
  BlockCells cells(std::span<const SpaceHandle>(&s.space, 1), kMessages);
  const std::vector<CellContext> ctxs = cells.make_contexts();
  store::ReadGuard<SubElementField> m = store::read(mat);
  store::ReadGuard<SubElementField> in = store::read(input);
  store::ReadGuard<SubElementField> x = store::read(only_x);

  double flux[2] = {0.0, 0.0};
  heat.gauss_point_law(ctxs[0], *in, nullptr, &*m, 0, std::nullopt, flux);
  EXPECT_EQ(flux[0], 6.0);
  EXPECT_EQ(flux[1], -1.0);
  double film_flux[1] = {0.0};
  film.gauss_point_law(ctxs[0], *in, nullptr, &*m, 0, 0.5, film_flux);
  EXPECT_EQ(film_flux[0], 50.0);
  EXPECT_EQ(error_text([&] { heat.gauss_point_law(ctxs[0], *x, nullptr, &*m, 0, std::nullopt, flux); }),
            "unknown component: grad_T_y");

  std::vector<double> block(9, 0.0), vector(3, 0.0);
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { heat.element_matrix(ctxs, nullptr, block); }, "HeatConduction requires a material field"},
      {[&] { heat.element_mass(ctxs, nullptr, block); }, "HeatConduction requires a material field"},
      {[&] { film.element_matrix(ctxs, nullptr, block); }, "Convection requires a material field"},
      {[&] { heat.gauss_point_law(ctxs[0], *in, nullptr, nullptr, 0, std::nullopt, flux); },
       "HeatConduction declares a material_fespace \u21d2 material is supplied"},
      {[&] { film.gauss_point_law(ctxs[0], *in, nullptr, nullptr, 0, std::nullopt, film_flux); },
       "Convection declares a material_fespace \u21d2 material is supplied"},
      // Direct requests of the kernels the heat kinds lack keep the defaults' texts.
      {[&] { film.element_mass(ctxs, &*m, block); }, "Convection: no mass kernel \u2014 element_mass is undefined"},
      {[&] { heat.element_geometric(ctxs, &*m, nullptr, block); },
       "HeatConduction: no geometric-stiffness kernel \u2014 element_geometric is undefined"},
      {[&] { film.element_tangent(ctxs, &*m, nullptr, block); },
       "Convection: no tangent kernel \u2014 element_tangent is undefined"},
  };
  for (const auto& [call, text] : cases) EXPECT_EQ(error_text(call), text);
  EXPECT_FALSE(film.mass_layout().has_value());
  ASSERT_TRUE(heat.mass_layout().has_value());
  EXPECT_EQ(heat.mass_layout()->support, heat.stiffness_layout()->support);
}

// A failure on a later sub-model leaves no zone of the earlier ones alive.
TEST(MaterialField, AllOrNothing) {
  const Space s = patch();
  using containers::model::SubModel;
  const store::Handle<SubModel> subs[] = {
      store::insert(SubModel::of(models::Elasticity::create(s.space, ContinuumModel::PlaneStress))),
      store::insert(SubModel::of(models::Plasticity::create(s.space, ContinuumModel::PlaneStress))),
      store::insert(SubModel::of(models::Elasticity::create(s.space, ContinuumModel::PlaneStress)))};
  auto& zones = store::Store<SubElementField>::instance();
  const std::size_t live = zones.n_entries() - zones.n_free();
  const ops::build::MaterialPair pairs[] = {{"E", 1.0}, {"nu", 0.25}};
  EXPECT_EQ(error_text([&] { ops::build::material_field_for_model(subs, pairs); }),
            "material_field: missing required component 'sigma_y' (this physics expects: [\"E\", \"nu\", \"sigma_y\"])");
  EXPECT_EQ(zones.n_entries() - zones.n_free(), live);
  const std::vector<ops::build::MaterialPair> lists[] = {{{"E", 1.0}, {"nu", 0.2}}, {{"E", 1.0}}, {}};
  EXPECT_EQ(error_text([&] { ops::build::material_field_per_sub_model_core(subs, lists); }),
            "material_field: missing required component 'nu' (this physics expects: [\"E\", \"nu\", \"sigma_y\"])");
  EXPECT_EQ(zones.n_entries() - zones.n_free(), live);
  const std::vector<ops::build::MaterialPair> ok[] = {{{"E", 1.0}, {"nu", 0.2}}, {}, {{"nu", 0.2}, {"E", 3.0}}};
  EXPECT_EQ(ops::build::material_field_per_sub_model_core(subs, ok).size(), 2u);
}

}  // namespace
