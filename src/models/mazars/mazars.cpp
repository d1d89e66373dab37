#include "models/mazars/mazars.hpp"

#include <algorithm>
#include <cmath>

#include <Eigen/Eigenvalues>

#include "base/error.hpp"

namespace quenlith::models {

namespace {

constexpr std::string_view kStrainNames[] = {"eps_xx", "eps_yy", "eps_zz", "eps_yz", "eps_xz", "eps_xy"};

double clamp_damage(double d) noexcept { return std::clamp(d, 0.0, kMazarsMaxDamage); }

// 1 − eps_d0 (1 − A) / kappa − A / exp(B (kappa − eps_d0)), clamped.
double mode_damage(double kappa, double eps_d0, double a, double b) noexcept {
  return clamp_damage(1.0 - eps_d0 * (1.0 - a) / kappa - a / std::exp(b * (kappa - eps_d0)));
}

}  // namespace

MazarsResult mazars_damage(const std::array<double, 6>& eps, const MazarsMaterial& m, double kappa0) noexcept {
  Eigen::Matrix3d t;
  t << eps[0], eps[5], eps[4], eps[5], eps[1], eps[3], eps[4], eps[3], eps[2];
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(t, Eigen::EigenvaluesOnly);
  const Eigen::Vector3d principal = solver.eigenvalues();

  const double lambda = m.e * m.nu / ((1.0 - 2.0 * m.nu) * (1.0 + m.nu));
  const double mu = m.e / (2.0 * (1.0 + m.nu));
  MazarsResult out;
  const double tr = (eps[0] + eps[1]) + eps[2];
  for (int k = 0; k < 3; ++k) out.sigma[k] = lambda * tr + 2.0 * mu * eps[k];
  for (int k = 3; k < 6; ++k) out.sigma[k] = 2.0 * mu * eps[k];

  double positive[3];
  double eqv2 = 0.0;
  for (int i = 0; i < 3; ++i) {
    positive[i] = std::max(principal[i], 0.0);
    eqv2 += positive[i] * positive[i];
  }
  const double eqv = std::sqrt(eqv2);
  // fmax: a NaN operand gives way to the other one.
  out.kappa = std::fmax(std::fmax(kappa0, m.eps_d0), eqv);
  if (m.eps_d0 >= out.kappa) return out;

  double alpha_t = 0.0, alpha_c = 0.0;
  if (eqv2 > 0.0) {
    const double trace = principal[0] + principal[1] + principal[2];
    double sp[3], sn[3], sum_p = 0.0, sum_n = 0.0;
    for (int i = 0; i < 3; ++i) {
      const double s = lambda * trace + 2.0 * mu * principal[i];
      sp[i] = std::max(s, 0.0);
      sn[i] = std::min(s, 0.0);
      sum_p += sp[i];
      sum_n += sn[i];
    }
    for (int i = 0; i < 3; ++i) {
      const double et = ((1.0 + m.nu) * sp[i] - m.nu * sum_p) / m.e;
      const double ec = ((1.0 + m.nu) * sn[i] - m.nu * sum_n) / m.e;
      alpha_t += positive[i] * std::max(et, 0.0) / eqv2;
      alpha_c += positive[i] * std::max(ec, 0.0) / eqv2;
    }
  }
  const double d_t = mode_damage(out.kappa, m.eps_d0, m.a_t, m.b_t);
  const double d_c = mode_damage(out.kappa, m.eps_d0, m.a_c, m.b_c);
  out.damage = clamp_damage(std::min(alpha_t, 1.0) * d_t + std::min(alpha_c, 1.0) * d_c);
  for (double& s : out.sigma) s *= 1.0 - out.damage;
  return out;
}

std::array<double, 6> mazars_read_strain(const SubElementField& deformation, std::uint64_t cell, std::uint64_t g,
                                         std::uint64_t space_dim, ContinuumModel model, double nu) {
  std::array<double, 6> eps{};
  if (space_dim == 2) {
    eps[0] = deformation.value(cell, g, "eps_xx");
    eps[1] = deformation.value(cell, g, "eps_yy");
    eps[5] = deformation.value(cell, g, "eps_xy");
    if (model == ContinuumModel::PlaneStress) eps[2] = (eps[0] + eps[1]) * (-nu / (1.0 - nu));
    return eps;
  }
  for (int k = 0; k < 6; ++k) eps[k] = deformation.value(cell, g, kStrainNames[k]);
  return eps;
}

double mazars_prev_kappa(const SubElementField* previous, std::uint64_t cell, std::uint64_t g) noexcept {
  return state_value_or_zero(previous, cell, g, "kappa", previous ? previous->component_count() - 1 : 0);
}

std::vector<std::string> Mazars::output_components() const {
  std::vector<std::string> out = stress_names(space_dim());
  out.push_back("damage");
  out.push_back("kappa");
  return out;
}

void Mazars::gauss_point_law(const CellContext& ctx, const SubElementField& deformation,
                             const SubElementField* previous, const SubElementField* materials, std::uint64_t g,
                             std::optional<double>, std::span<double> out) const {
  const SubElementField& mat = law_materials(materials);
  const std::uint64_t cell = ctx.cell();
  MazarsMaterial m;
  m.e = mat.value(cell, 0, "E");
  m.nu = mat.value(cell, 0, "nu");
  m.eps_d0 = mat.value(cell, 0, "eps_d0");
  m.a_t = mat.value(cell, 0, "A_t");
  m.b_t = mat.value(cell, 0, "B_t");
  m.a_c = mat.value(cell, 0, "A_c");
  m.b_c = mat.value(cell, 0, "B_c");
  const std::array<double, 6> eps = mazars_read_strain(deformation, cell, g, space_dim(), model(), m.nu);
  const MazarsResult r = mazars_damage(eps, m, mazars_prev_kappa(previous, cell, g));
  std::size_t w = 0;
  if (space_dim() == 2) {
    out[w++] = r.sigma[0];
    out[w++] = r.sigma[1];
    out[w++] = r.sigma[5];
  } else {
    for (double s : r.sigma) out[w++] = s;
  }
  out[w++] = r.damage;
  out[w] = r.kappa;
}

}  // namespace quenlith::models
