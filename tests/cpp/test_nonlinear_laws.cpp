// The von Mises plasticity and Mazars damage point laws as pure functions: closed
// forms, the algorithmic tangent against central differences of the returned stress,
// the plane-stress secant loop, and the damage evolution.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/sub_model.hpp"
#include "models/elasticity/small_strain.hpp"
#include "models/kernel/block.hpp"
#include "models/mazars/mazars.hpp"
#include "models/plasticity/plasticity.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::models;
using quenlith::models::kernel::elasticity_d_matrix;

constexpr double kE = 210000.0, kNu = 0.3, kSy = 240.0;
const PlasticMaterial kSteel = PlasticMaterial::from(kE, kNu, kSy);

double von_mises(const Six& s) {
  const double m = (s[0] + s[1] + s[2]) / 3.0;
  double j = 0.0;
  for (int k = 0; k < 3; ++k) j += (s[k] - m) * (s[k] - m);
  for (int k = 3; k < 6; ++k) j += 2.0 * s[k] * s[k];
  return std::sqrt(1.5 * j);
}

// The in-plane positions xx, yy, xy, or all six.
std::vector<int> positions(ContinuumModel model) {
  if (model == ContinuumModel::Solid) return {0, 1, 2, 3, 4, 5};
  return {0, 1, 5};
}

// The full symmetric matrix of a reduced tangent's upper triangle.
std::vector<std::vector<double>> unpack(ContinuumModel model, const Tangent6& t) {
  const std::size_t m = positions(model).size();
  std::vector<double> upper(m * (m + 1) / 2);
  reduced_tangent(model, t, upper);
  std::vector<std::vector<double>> d(m, std::vector<double>(m));
  std::size_t w = 0;
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = i; j < m; ++j) d[i][j] = d[j][i] = upper[w++];
  return d;
}

// The stress of one step, in the hypothesis's positions; `eng` is the strain with
// engineering shears in those positions.
std::vector<double> step_stress(ContinuumModel model, const std::vector<double>& eng, const PlasticStart& start) {
  const std::vector<int> pos = positions(model);
  Six eps{};
  for (std::size_t i = 0; i < pos.size(); ++i) eps[pos[i]] = pos[i] >= 3 ? eng[i] / 2.0 : eng[i];
  const PlasticStep s = plastic_step(model, eps, start, kSteel);
  std::vector<double> out;
  for (int p : pos) out.push_back(s.state.sigma[p]);
  return out;
}

double frobenius(const std::vector<std::vector<double>>& a) {
  double s = 0.0;
  for (const auto& r : a)
    for (double v : r) s += v * v;
  return std::sqrt(s);
}

// A start state from an earlier plastic step, so that the tangent sees a non-zero
// prior stress, plastic strain and strain.
PlasticStart earlier_state(ContinuumModel model) {
  Six eps{};
  eps[0] = 1.5e-3;
  eps[1] = -0.4e-3;
  eps[5] = 0.6e-3;
  if (model == ContinuumModel::Solid) {
    eps[2] = -0.2e-3;
    eps[3] = 0.3e-3;
    eps[4] = -0.1e-3;
  }
  const PlasticStep s = plastic_step(model, eps, PlasticStart{}, kSteel);
  EXPECT_GT(s.state.p, 0.0);
  return PlasticStart{s.eps, s.state.sigma, s.state.eps_p, s.state.p};
}

class PlasticTangent : public ::testing::TestWithParam<ContinuumModel> {};

// The stored tangent is the derivative of the returned stress, at a plastic point
// reached from a plastic start (and at an elastic one), to 1e-6 relative.
TEST_P(PlasticTangent, EqualsCentralDifferences) {
  const ContinuumModel model = GetParam();
  const PlasticStart start = earlier_state(model);
  const std::vector<int> pos = positions(model);
  for (bool further : {true, false}) {
    // Further plastic flow along the earlier loading, or elastic unloading by 10 %.
    std::vector<double> eng;
    for (int p : pos) {
      const double base = p == 0 ? 2.5e-3 : p == 1 ? -0.9e-3 : p == 5 ? 1.4e-3 : p == 2 ? -0.5e-3 : 0.2e-3;
      const double tensor = further ? base : 0.9 * start.eps[p];
      eng.push_back(p >= 3 ? 2.0 * tensor : tensor);
    }
    Six eps{};
    for (std::size_t i = 0; i < pos.size(); ++i) eps[pos[i]] = pos[i] >= 3 ? eng[i] / 2.0 : eng[i];
    const PlasticStep at = plastic_step(model, eps, start, kSteel);
    EXPECT_EQ(at.state.p > start.p, further);
    const std::vector<std::vector<double>> d = unpack(model, at.tangent);
    std::vector<std::vector<double>> diff = d;
    const double h = 1e-9;
    for (std::size_t j = 0; j < pos.size(); ++j) {
      std::vector<double> up = eng, down = eng;
      up[j] += h;
      down[j] -= h;
      const std::vector<double> su = step_stress(model, up, start), sd = step_stress(model, down, start);
      for (std::size_t i = 0; i < pos.size(); ++i) diff[i][j] -= (su[i] - sd[i]) / (2.0 * h);
    }
    EXPECT_LT(frobenius(diff), 1e-6 * frobenius(d)) << (further ? "plastic" : "elastic");
  }
}

INSTANTIATE_TEST_SUITE_P(Hypotheses, PlasticTangent,
                         ::testing::Values(ContinuumModel::Solid, ContinuumModel::PlaneStrain,
                                           ContinuumModel::PlaneStress));

// Below yield: Hooke's stress, no plastic strain, and the elastic Hooke matrix of the
// hypothesis as tangent.
TEST(PlasticLaw, ElasticFirstStepGivesHooke) {
  for (ContinuumModel model : {ContinuumModel::Solid, ContinuumModel::PlaneStrain, ContinuumModel::PlaneStress}) {
    const std::vector<int> pos = positions(model);
    Six eps{};
    eps[0] = 4e-4;
    eps[1] = -1e-4;
    eps[5] = 2e-4;
    if (model == ContinuumModel::Solid) eps[2] = 1e-4, eps[3] = -5e-5;
    const PlasticStep s = plastic_step(model, eps, PlasticStart{}, kSteel);
    const std::vector<std::vector<double>> hooke =
        elasticity_d_matrix(model, model == ContinuumModel::Solid ? 3 : 2, kE, kNu);
    const std::vector<std::vector<double>> d = unpack(model, s.tangent);
    for (std::size_t i = 0; i < pos.size(); ++i) {
      double sigma = 0.0;
      for (std::size_t j = 0; j < pos.size(); ++j) {
        EXPECT_NEAR(d[i][j], hooke[i][j], 1e-9 * kE);
        sigma += hooke[i][j] * (pos[j] >= 3 ? 2.0 * eps[pos[j]] : eps[pos[j]]);
      }
      EXPECT_NEAR(s.state.sigma[pos[i]], sigma, 1e-9 * kSy);
    }
    EXPECT_EQ(s.state.p, 0.0);
    for (double v : s.state.eps_p) EXPECT_EQ(v, 0.0);
    if (model == ContinuumModel::PlaneStrain) {
      EXPECT_EQ(s.eps[2], 0.0);
      EXPECT_NEAR(s.state.sigma[2], kSteel.lambda * (eps[0] + eps[1]), 1e-9);
    }
    if (model == ContinuumModel::PlaneStress) {
      // r is linear on the elastic side: the first secant update lands on the root.
      EXPECT_EQ(s.iterations, 1);
      EXPECT_NEAR(s.eps[2], -kNu / (1.0 - kNu) * (eps[0] + eps[1]), 1e-15);
    }
  }
}

// Uniaxial strain past yield: q returns to sigma_y and the plastic increment is
// (q_trial − sigma_y) / (3 mu); the flow is deviatoric.
TEST(PlasticLaw, UniaxialStrainReturnsToTheYieldSurface) {
  Six eps{};
  eps[0] = 5e-3;
  const PlasticState r = radial_return(eps, PlasticStart{}, kSteel);
  const double q_trial = 2.0 * kSteel.mu * eps[0];  // von Mises of lambda tr I + 2 mu eps
  EXPECT_NEAR(von_mises(r.sigma), kSy, 1e-12 * kSy);
  EXPECT_NEAR(r.p, (q_trial - kSy) / (3.0 * kSteel.mu), 1e-15);
  EXPECT_NEAR(r.eps_p[0] + r.eps_p[1] + r.eps_p[2], 0.0, 1e-18);
  EXPECT_NEAR(r.eps_p[0], r.p, 1e-15);  // along the axis of a uniaxial deviator
  // The mean stress is the elastic one.
  EXPECT_NEAR(r.sigma[0] + r.sigma[1] + r.sigma[2], (3.0 * kSteel.lambda + 2.0 * kSteel.mu) * eps[0], 1e-9);
}

// Integrating again from the converged state with the same strain repeats it: the
// same stress and no further plastic strain.
TEST(PlasticLaw, SecondIntegrationFromTheResultAddsNoFlow) {
  for (ContinuumModel model : {ContinuumModel::Solid, ContinuumModel::PlaneStrain, ContinuumModel::PlaneStress}) {
    const PlasticStart start = earlier_state(model);
    Six eps = start.eps;
    if (model == ContinuumModel::PlaneStress) eps[2] = 0.0;
    const PlasticStep again = plastic_step(model, eps, start, kSteel);
    // Under plane stress the start's sigma_zz is zero only to the loop's tolerance, which
    // a second return may turn into a flow of that order over 3 mu.
    const double flow = model == ContinuumModel::PlaneStress ? 1e-10 * (1.0 + kSteel.mu) / kSteel.mu : 1e-16;
    EXPECT_NEAR(again.state.p, start.p, flow);
    for (int k = 0; k < 6; ++k) {
      EXPECT_NEAR(again.state.sigma[k], start.sigma[k], 1e-10 * (1.0 + kSteel.mu)) << k;
      EXPECT_NEAR(again.state.eps_p[k], start.eps_p[k], flow) << k;
    }
  }
}

// Plane stress well past yield: the secant loop stops on the residual test, far inside
// its cap, with the out-of-plane stress below the tolerance.
TEST(PlasticLaw, PlaneStressLoopConvergesWellInsideItsCap) {
  for (double level : {2e-3, 1e-2, 5e-2}) {
    Six eps{};
    eps[0] = level;
    eps[1] = -0.3 * level;
    eps[5] = 0.4 * level;
    const PlasticStep s = plastic_step(ContinuumModel::PlaneStress, eps, PlasticStart{}, kSteel);
    EXPECT_GT(s.state.p, 0.0);
    EXPECT_LE(s.iterations, 5) << level;  // of kPlaneStressIterations = 50
    EXPECT_LT(std::abs(s.state.sigma[2]), 1e-10 * (1.0 + kSteel.mu));
    EXPECT_NEAR(von_mises(s.state.sigma), kSy, 1e-9 * kSy);
    EXPECT_EQ(s.eps[3], 0.0);
    EXPECT_EQ(s.eps[4], 0.0);
  }
}

// Mazars: closed forms of one point.
const MazarsMaterial kConcrete{30000.0, 0.2, 1e-4, 1.0, 15000.0, 1.2, 1500.0};

double mode_damage(double kappa, double a, double b) {
  const double d0 = kConcrete.eps_d0;
  return 1.0 - d0 * (1.0 - a) / kappa - a * std::exp(-b * (kappa - d0));
}

// Uniaxial tension: the tensile weight is 1, D is the tensile damage of kappa = the
// axial strain, and the axial stress follows its softening branch.
TEST(MazarsLaw, UniaxialTensionFollowsTheClosedForm) {
  const double e = kConcrete.e, nu = kConcrete.nu;
  for (double axial : {0.5e-4, 1e-4, 1.5e-4, 3e-4, 1e-3}) {
    const std::array<double, 6> eps{axial, -nu * axial, -nu * axial, 0.0, 0.0, 0.0};
    const MazarsResult r = mazars_damage(eps, kConcrete, 0.0);
    const double kappa = std::max(axial, kConcrete.eps_d0);
    const double d = axial <= kConcrete.eps_d0 ? 0.0 : mode_damage(kappa, kConcrete.a_t, kConcrete.b_t);
    EXPECT_NEAR(r.kappa, kappa, 1e-10 * kappa);
    EXPECT_NEAR(r.damage, d, 1e-10);
    EXPECT_NEAR(r.sigma[0], (1.0 - d) * e * axial, 1e-10 * e * axial);
    EXPECT_NEAR(r.sigma[1], 0.0, 1e-10 * e * axial);
    if (axial <= kConcrete.eps_d0) EXPECT_EQ(r.damage, 0.0);
  }
  // The peak stress is reached at the threshold: E eps_d0.
  const std::array<double, 6> peak{kConcrete.eps_d0, -nu * kConcrete.eps_d0, -nu * kConcrete.eps_d0, 0, 0, 0};
  EXPECT_NEAR(mazars_damage(peak, kConcrete, 0.0).sigma[0], e * kConcrete.eps_d0, 1e-12 * e);
}

// Uniaxial compression: the positive strains are the lateral extensions, the
// compressive weight is 1 and kappa is sqrt(2) nu times the axial strain.
TEST(MazarsLaw, UniaxialCompressionFollowsTheClosedForm) {
  const double e = kConcrete.e, nu = kConcrete.nu;
  for (double axial : {1e-4, 5e-4, 1e-3, 3e-3}) {
    const std::array<double, 6> eps{-axial, nu * axial, nu * axial, 0.0, 0.0, 0.0};
    const MazarsResult r = mazars_damage(eps, kConcrete, 0.0);
    const double eqv = std::sqrt(2.0) * nu * axial;
    const double kappa = std::max(eqv, kConcrete.eps_d0);
    const double d = eqv <= kConcrete.eps_d0 ? 0.0 : mode_damage(kappa, kConcrete.a_c, kConcrete.b_c);
    EXPECT_NEAR(r.kappa, kappa, 1e-10 * kappa);
    EXPECT_NEAR(r.damage, d, 1e-10);
    EXPECT_NEAR(r.sigma[0], -(1.0 - d) * e * axial, 1e-10 * e * axial);
  }
}

TEST(MazarsLaw, HistoryThresholdAndBounds) {
  // No positive principal strain: no damage whatever the history; kappa keeps it.
  const std::array<double, 6> squeeze{-1e-3, -2e-3, -1e-3, 1e-4, 0.0, 2e-4};
  MazarsResult r = mazars_damage(squeeze, kConcrete, 5e-3);
  EXPECT_EQ(r.damage, 0.0);
  EXPECT_EQ(r.kappa, 5e-3);
  // Unloading keeps kappa; the damage is recomputed with the current weights.
  const std::array<double, 6> small{0.5e-4, -0.1e-4, -0.1e-4, 0, 0, 0};
  r = mazars_damage(small, kConcrete, 3e-4);
  EXPECT_EQ(r.kappa, 3e-4);
  EXPECT_NEAR(r.damage, mode_damage(3e-4, kConcrete.a_t, kConcrete.b_t), 1e-10);
  // A NaN history gives way to the threshold.
  r = mazars_damage(small, kConcrete, std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(r.kappa, kConcrete.eps_d0);
  EXPECT_EQ(r.damage, 0.0);
  // Far along the softening branch the damage stops at twelve nines.
  MazarsMaterial brittle = kConcrete;
  brittle.a_t = 1.0;
  brittle.b_t = 1e9;
  const std::array<double, 6> far{1.0, 0, 0, 0, 0, 0};
  r = mazars_damage(far, brittle, 0.0);
  EXPECT_EQ(r.damage, kMazarsMaxDamage);
  EXPECT_GT(r.sigma[0], 0.0);
  // A shear strain: principal strains +-g, the tensile weight below 1.
  const std::array<double, 6> shear{0, 0, 0, 0, 0, 2e-4};
  r = mazars_damage(shear, kConcrete, 0.0);
  EXPECT_NEAR(r.kappa, 2e-4, 1e-16);
  EXPECT_GT(r.damage, 0.0);
  EXPECT_LT(r.damage, mode_damage(2e-4, kConcrete.a_t, kConcrete.b_t));
}

// --- states and sub-models through the swap files ---------------------------------

using quenlith::containers::element_field::SubElementField;
using quenlith::containers::model::SubModel;
using quenlith::store::Handle;
namespace store = quenlith::store;

// Two QUA4 cells side by side on [0, 2] x [0, 1].
SpaceHandle two_squares() {
  using namespace quenlith::containers;
  const Handle<mesh::Coords> coords = store::insert(mesh::Coords(2));
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (double y : {0.0, 1.0})
      for (double x : {0.0, 1.0, 2.0}) {
        const double xy[] = {x, y};
        w->decref(w->add_node(xy));
      }
  }
  mesh::SubMesh sub(mesh::ElementType::QUA4, coords);
  for (mesh::NodeId c : {0u, 1u}) {
    const mesh::NodeId ids[] = {c, c + 1, c + 4, c + 3};
    sub.add_cell(ids);
  }
  return store::insert(finite_element_space::SubFiniteElementSpace::create(
      store::insert(std::move(sub)), quenlith::testing::interpolation_of(mesh::ElementType::QUA4),
      finite_element_space::QuadratureRule::GAUSS));
}

ZoneHandle uniform(const SpaceHandle& space, std::vector<std::string> names, std::vector<double> values) {
  return store::insert(SubElementField::from_uniform_per_component(space, std::move(names), values));
}

std::vector<double> values_of(const ZoneHandle& h) {
  const store::ReadGuard<SubElementField> z = store::read(h);
  return {z->values().begin(), z->values().end()};
}

using quenlith::testing::error_text;

// The kernels' and the laws' errors, each in its reading order.
TEST(NonlinearKinds, ErrorsInTheirOrder) {
  const SpaceHandle space = two_squares();
  const Plasticity plastic = Plasticity::create(space, ContinuumModel::PlaneStress);
  const Mazars damage = Mazars::create(space, ContinuumModel::PlaneStrain);
  const ZoneHandle eps = uniform(space, {"eps_xx", "eps_yy", "eps_xy"}, {1e-3, 0.0, 0.0});
  const ZoneHandle no_shear = uniform(space, {"eps_xx", "eps_yy"}, {1e-3, 0.0});
  const ZoneHandle young = uniform(space, {"E"}, {kE});
  const ZoneHandle elastic = uniform(space, {"nu", "E"}, {kNu, kE});
  const ZoneHandle steel = uniform(space, {"E", "nu", "sigma_y"}, {kE, kNu, kSy});
  const ZoneHandle six = uniform(space, {"E", "nu", "eps_d0", "A_t", "B_t", "A_c"}, {1, 0, 0, 0, 0, 0});
  // The contexts hold the subspace's read guard: the zones are made before.
  const SpaceHandle spaces[] = {space};
  const kernel::BlockCells cells(spaces, {"test: no space", "test: one submesh"});
  const std::vector<CellContext> ctxs = cells.make_contexts();
  std::vector<double> buffer(64, 0.0), out(23, 0.0);
  EXPECT_EQ(error_text([&] { plastic.element_matrix(ctxs, nullptr, buffer); }), "Plasticity requires a material field");
  EXPECT_EQ(error_text([&] { plastic.element_mass(ctxs, nullptr, buffer); }), "Plasticity requires a material field");
  EXPECT_EQ(error_text([&] { damage.element_matrix(ctxs, nullptr, buffer); }), "Mazars requires a material field");
  EXPECT_EQ(error_text([&] { damage.element_geometric(ctxs, nullptr, nullptr, buffer); }),
            "geometric stiffness requires the current stress field");
  EXPECT_EQ(error_text([&] { plastic.element_tangent(ctxs, nullptr, nullptr, buffer); }),
            "consistent tangent requires the behaviour state (D_alg)");
  EXPECT_EQ(error_text([&] { damage.element_tangent(ctxs, nullptr, nullptr, buffer); }),
            "Mazars: no tangent kernel \u2014 element_tangent is undefined");
  const auto law = [&](const ModelKind& kind, const ZoneHandle& strain, std::optional<ZoneHandle> mats) {
    return error_text([&] {
      const store::ReadGuard<SubElementField> s = store::read(strain);
      std::optional<store::ReadGuard<SubElementField>> m;
      if (mats) m.emplace(store::read(*mats));
      kind.behaviour()->gauss_point_law(ctxs.front(), *s, nullptr, m ? &**m : nullptr, 0, std::nullopt, out);
    });
  };
  EXPECT_EQ(law(plastic, eps, std::nullopt), "Plasticity declares a material_fespace \u21d2 material is supplied");
  EXPECT_EQ(law(damage, eps, std::nullopt), "Mazars declares a material_fespace \u21d2 material is supplied");
  // Materials first, in declared order, then the strain.
  EXPECT_EQ(law(plastic, no_shear, young), "unknown component: nu");
  EXPECT_EQ(law(plastic, no_shear, elastic), "unknown component: sigma_y");
  EXPECT_EQ(law(plastic, no_shear, steel), "unknown component: eps_xy");
  EXPECT_EQ(law(plastic, eps, steel), "<no error>");
  EXPECT_EQ(law(damage, no_shear, six), "unknown component: B_c");
}

// The previous state is read by name wherever the names sit; what is missing, or a
// point beyond the zone, reads as 0.0.
TEST(NonlinearKinds, PreviousStatesAreReadByName) {
  const SpaceHandle space = two_squares();
  const ZoneHandle h = uniform(space, {"p", "sigma_zz", "eps_p_xy", "kappa", "eps_xx", "sigma_xy"},
                               {0.5, -3.0, 0.25, 7e-4, 1e-3, 9.0});
  const store::ReadGuard<SubElementField> z = store::read(h);
  const PlasticStart s = read_plastic_start(&*z, 1, 3);
  EXPECT_EQ(s.p, 0.5);
  EXPECT_EQ(s.sigma, (Six{0, 0, -3.0, 0, 0, 9.0}));
  EXPECT_EQ(s.eps_p, (Six{0, 0, 0, 0, 0, 0.25}));
  EXPECT_EQ(s.eps, (Six{1e-3, 0, 0, 0, 0, 0}));
  EXPECT_EQ(mazars_prev_kappa(&*z, 1, 3), 7e-4);
  const PlasticStart outside = read_plastic_start(&*z, 2, 0);
  EXPECT_EQ(outside.p, 0.0);
  EXPECT_EQ(outside.sigma, Six{});
  EXPECT_EQ(mazars_prev_kappa(&*z, 0, 4), 0.0);
  EXPECT_EQ(mazars_prev_kappa(nullptr, 0, 0), 0.0);
  EXPECT_EQ(read_plastic_start(nullptr, 0, 0).eps, Six{});
}

using LawSwap = quenlith::testing::SwapDirTest;

// A state written out and read back gives the same bits, and so does the next step
// integrated from it by a sub-model that was itself written out.
TEST_F(LawSwap, StatesAndTheirSubModelsReadBackUnchanged) {
  const SpaceHandle space = two_squares();
  const ZoneHandle first = uniform(space, {"eps_xx", "eps_yy", "eps_xy"}, {2e-3, -5e-4, 1e-3});
  const ZoneHandle second = uniform(space, {"eps_xx", "eps_yy", "eps_xy"}, {3e-3, -8e-4, 2e-4});
  const struct {
    Handle<SubModel> sub;
    ZoneHandle materials;
    const char* grown;  // a history component the first step makes positive
  } cases[] = {
      {store::insert(SubModel::of(Plasticity::create(space, ContinuumModel::PlaneStress))),
       uniform(space, {"E", "nu", "sigma_y"}, {kE, kNu, kSy}), "p"},
      {store::insert(SubModel::of(Mazars::create(space, ContinuumModel::PlaneStrain))),
       uniform(space, {"E", "nu", "eps_d0", "A_t", "B_t", "A_c", "B_c"},
               {kConcrete.e, kConcrete.nu, kConcrete.eps_d0, kConcrete.a_t, kConcrete.b_t, kConcrete.a_c,
                kConcrete.b_c}),
       "damage"},
  };
  for (const auto& c : cases) {
    const auto step = [&](const ZoneHandle& eps, std::optional<ZoneHandle> prev) {
      return store::insert(store::read(c.sub)->kind().behaviour()->integrate_behavior(eps, prev, c.materials, {}));
    };
    const ZoneHandle state = step(first, std::nullopt);
    EXPECT_GT(store::read(state)->value(1, 3, c.grown), 0.0);
    const std::vector<double> before = values_of(state);
    const std::vector<double> next = values_of(step(second, state));
    store::Store<SubElementField>::instance().swap_out(state);
    store::Store<SubModel>::instance().swap_out(c.sub);
    ASSERT_EQ(store::Store<SubElementField>::instance().residency(state), store::ResidencyKind::SwappedOut);
    EXPECT_EQ(values_of(state), before);
    store::Store<SubElementField>::instance().swap_out(state);
    EXPECT_EQ(values_of(step(second, state)), next);
  }
}

}  // namespace
