#include "models/plasticity/plasticity.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

#include "base/error.hpp"
#include "models/elasticity/small_strain.hpp"

namespace quenlith::models {

namespace {

constexpr const char* kSix[] = {"xx", "yy", "zz", "yz", "xz", "xy"};
constexpr std::string_view kStrainNames[] = {"eps_xx", "eps_yy", "eps_zz", "eps_yz", "eps_xz", "eps_xy"};
constexpr std::string_view kStressNames[] = {"sigma_xx", "sigma_yy", "sigma_zz", "sigma_yz", "sigma_xz", "sigma_xy"};
constexpr std::string_view kPlasticNames[] = {"eps_p_xx", "eps_p_yy", "eps_p_zz", "eps_p_yz", "eps_p_xz", "eps_p_xy"};
// The in-plane Voigt positions xx, yy, xy among the six.
constexpr int kPlane[] = {0, 1, 5};

// The elastic predictor and its deviator: m the mean stress, s the deviator (shear
// components unchanged), j = s:s, q = sqrt(1.5 j).
struct Trial {
  Six sigma;
  double m;
  Six s;
  double j;
  double q;
};

Trial trial(const Six& eps, const PlasticStart& start, const PlasticMaterial& mat) noexcept {
  Trial t;
  t.sigma = kernel::elastic_trial_stress(eps, start.eps, start.sigma, mat.lambda, mat.mu);
  t.m = (t.sigma[0] + t.sigma[1] + t.sigma[2]) / 3.0;
  for (int k = 0; k < 3; ++k) t.s[k] = t.sigma[k] - t.m;
  for (int k = 3; k < 6; ++k) t.s[k] = t.sigma[k];
  t.j = t.s[0] * t.s[0] + t.s[1] * t.s[1] + t.s[2] * t.s[2] +
        2.0 * (t.s[3] * t.s[3] + t.s[4] * t.s[4] + t.s[5] * t.s[5]);
  t.q = std::sqrt(1.5 * t.j);
  return t;
}

}  // namespace

PlasticMaterial PlasticMaterial::from(double e, double nu, double sigma_y) noexcept {
  return PlasticMaterial{e * nu / ((1.0 - 2.0 * nu) * (1.0 + nu)), e / (2.0 * (1.0 + nu)), sigma_y};
}

PlasticState radial_return(const Six& eps, const PlasticStart& start, const PlasticMaterial& mat) noexcept {
  const Trial t = trial(eps, start, mat);
  PlasticState out;
  if (1.5 * t.j == 0.0 || t.q - mat.sigma_y <= 0.0) {
    out.sigma = t.sigma;
    out.eps_p = start.eps_p;
    out.p = start.p;
    return out;
  }
  const double dp = (t.q - mat.sigma_y) / (3.0 * mat.mu);
  const double ratio = mat.sigma_y / t.q;
  for (int k = 0; k < 3; ++k) out.sigma[k] = t.m + ratio * t.s[k];
  for (int k = 3; k < 6; ++k) out.sigma[k] = ratio * t.s[k];
  const double flow = 1.5 * dp / t.q;
  for (int k = 0; k < 6; ++k) out.eps_p[k] = start.eps_p[k] + flow * t.s[k];
  out.p = start.p + dp;
  return out;
}

Tangent6 algorithmic_tangent(const Six& eps, const PlasticStart& start, const PlasticMaterial& mat) noexcept {
  const Trial t = trial(eps, start, mat);
  const double bulk = mat.lambda + 2.0 * mat.mu / 3.0;
  const bool plastic = 1.5 * t.j > 0.0 && t.q > mat.sigma_y;
  const double gm = plastic ? 2.0 * mat.mu * mat.sigma_y / t.q : 2.0 * mat.mu;
  Tangent6 d{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) d[i * 6 + j] = i == j ? bulk + 2.0 * gm / 3.0 : bulk - gm / 3.0;
  for (int i = 3; i < 6; ++i) d[i * 6 + i] = gm / 2.0;
  if (plastic) {
    const double root = std::sqrt(t.j);
    Six n;
    for (int k = 0; k < 6; ++k) n[k] = t.s[k] / root;
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) d[i * 6 + j] -= gm * n[i] * n[j];
  }
  return d;
}

PlasticStep plastic_step(ContinuumModel model, Six eps, const PlasticStart& start,
                         const PlasticMaterial& mat) noexcept {
  PlasticStep out;
  if (model != ContinuumModel::PlaneStress) {
    out.state = radial_return(eps, start, mat);
  } else {
    // The out-of-plane stress as a function of eps_zz; `at` keeps the last return.
    PlasticState at;
    const auto residual = [&](double x) {
      eps[2] = x;
      at = radial_return(eps, start, mat);
      return at.sigma[2];
    };
    double a = start.eps[2] - mat.lambda / (mat.lambda + 2.0 * mat.mu) *
                                  ((eps[0] - start.eps[0]) + (eps[1] - start.eps[1]));
    double b = a + std::max(0.001 * std::abs(a), 1e-6);
    double ra = residual(a);
    double rb = residual(b);
    // Scaled by the shear modulus: the residual is a stress.
    const double tol = 1e-10 * (1.0 + mat.mu);
    int it = 0;
    for (; it < kPlaneStressIterations; ++it) {
      if (std::abs(rb) < tol || std::abs(rb - ra) < DBL_MIN) break;
      const double c = b - (b - a) * rb / (rb - ra);
      a = b;
      ra = rb;
      b = c;
      rb = residual(c);
    }
    eps[2] = b;
    out.state = at;
    out.iterations = it;
  }
  out.eps = eps;
  out.tangent = algorithmic_tangent(eps, start, mat);
  return out;
}

void reduced_tangent(ContinuumModel model, const Tangent6& t, std::span<double> out) noexcept {
  std::size_t w = 0;
  if (model == ContinuumModel::Solid) {
    for (int i = 0; i < 6; ++i)
      for (int j = i; j < 6; ++j) out[w++] = t[i * 6 + j];
    return;
  }
  const bool condense = model == ContinuumModel::PlaneStress;
  for (int i = 0; i < 3; ++i)
    for (int j = i; j < 3; ++j) {
      const int r = kPlane[i], c = kPlane[j];
      double v = t[r * 6 + c];
      if (condense) v -= t[r * 6 + 2] * t[2 * 6 + c] / t[2 * 6 + 2];
      out[w++] = v;
    }
}

PlasticStart read_plastic_start(const SubElementField* previous, std::uint64_t cell, std::uint64_t g) noexcept {
  PlasticStart s;
  if (!previous) return s;
  const SubElementField& z = *previous;
  // Where this kind's own state keeps each name, so that the usual previous state is
  // read without searching: the 3-D layout for 40 components, else the 2-D one, where
  // sigma_zz sits after the strains and sigma_yz, sigma_xz do not exist (kNowhere).
  const bool solid = z.component_count() == 40;
  constexpr std::size_t kNowhere = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kSigma2[] = {0, 1, 16, kNowhere, kNowhere, 2};
  const std::size_t n = solid ? 6 : 3;
  for (std::size_t k = 0; k < 6; ++k) {
    s.sigma[k] = state_value_or_zero(&z, cell, g, kStressNames[k], solid ? k : kSigma2[k]);
    s.eps_p[k] = state_value_or_zero(&z, cell, g, kPlasticNames[k], n + k);
    s.eps[k] = state_value_or_zero(&z, cell, g, kStrainNames[k], n + 7 + k);
  }
  s.p = state_value_or_zero(&z, cell, g, "p", n + 6);
  return s;
}

std::vector<std::string> Plasticity::output_components() const {
  // The stress, the plastic strain, the cumulated plastic strain "p", the total
  // strain, the out-of-plane stress (2-D) and the algorithmic tangent.
  std::vector<std::string> out = stress_names(space_dim());
  for (const char* s : kSix) out.push_back(std::string("eps_p_") + s);
  out.push_back("p");
  for (const char* s : kSix) out.push_back(std::string("eps_") + s);
  if (space_dim() == 2) out.push_back("sigma_zz");
  for (std::string& k : ktan_names(space_dim())) out.push_back(std::move(k));
  return out;
}

void Plasticity::element_tangent(std::span<const CellContext> ctxs, const SubElementField*,
                                 const SubElementField* state, std::span<double> out) const {
  if (!state) throw Error::message("consistent tangent requires the behaviour state (D_alg)");
  kernel::consistent_tangent_kernel(ctxs.front(), *state, out);
}

void Plasticity::gauss_point_law(const CellContext& ctx, const SubElementField& deformation,
                                 const SubElementField* previous, const SubElementField* materials, std::uint64_t g,
                                 std::optional<double>, std::span<double> out) const {
  const SubElementField& mat = law_materials(materials);
  const std::uint64_t cell = ctx.cell();
  const double e = mat.value(cell, 0, "E");
  const double nu = mat.value(cell, 0, "nu");
  const double sigma_y = mat.value(cell, 0, "sigma_y");
  const bool plane = space_dim() == 2;
  Six eps{};
  if (plane) {
    eps[0] = deformation.value(cell, g, "eps_xx");
    eps[1] = deformation.value(cell, g, "eps_yy");
    eps[5] = deformation.value(cell, g, "eps_xy");
  } else {
    for (int k = 0; k < 6; ++k) eps[k] = deformation.value(cell, g, kStrainNames[k]);
  }
  const PlasticStep step =
      plastic_step(model(), eps, read_plastic_start(previous, cell, g), PlasticMaterial::from(e, nu, sigma_y));
  std::size_t w = 0;
  if (plane) {
    for (int k : kPlane) out[w++] = step.state.sigma[k];
  } else {
    for (double v : step.state.sigma) out[w++] = v;
  }
  for (double v : step.state.eps_p) out[w++] = v;
  out[w++] = step.state.p;
  for (double v : step.eps) out[w++] = v;
  if (plane) out[w++] = step.state.sigma[2];
  reduced_tangent(model(), step.tangent, out.subspan(w));
}

}  // namespace quenlith::models
