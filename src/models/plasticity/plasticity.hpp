#pragma once
// Plasticity: perfectly plastic von Mises small-strain plasticity on one subspace, with the
// degrees of freedom of Elasticity. Materials "E", "nu", "sigma_y" (required), "rho"
// (optional). Its state holds the stress, plastic strain, "p", total strain and the
// algorithmic tangent, which the tangent operator reads back. Its mass, geometric and
// tangent layouts are its stiffness layout.
//
// Record: fespace, support, space_dim (u64), model (ContinuumModel index).
//
// The point law is written as pure functions of plain numbers (below the class), so
// that it can be checked apart from the zones: every six-component array is in the
// order xx, yy, zz, yz, xz, xy with tensor shear components (eps_xy, not gamma_xy).
#include <array>
#include <memory>

#include "models/elasticity/continuum.hpp"

namespace quenlith::models {

class Plasticity final : public ContinuumKind {
 public:
  static constexpr std::uint32_t kIndex = 8;
  // Takes `fespace` over; the hypothesis must fit its dimension (ContinuumKind).
  static Plasticity create(SpaceHandle fespace, ContinuumModel model) { return Plasticity(build("Plasticity", std::move(fespace), model)); }
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r) {
    return std::unique_ptr<ModelKind>(new Plasticity(decode_parts(r)));
  }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::string_view name() const noexcept override { return "Plasticity"; }
  std::optional<BlockLayout> tangent_layout() const override { return stiffness_layout(); }
  std::span<const std::string_view> material_components() const override {
    static constexpr std::string_view kNames[] = {"E", "nu", "sigma_y"};
    return kNames;
  }
  std::span<const std::string_view> optional_materials() const override {
    static constexpr std::string_view kNames[] = {"rho"};
    return kNames;
  }
  // Stress (3 in 2-D, 6 in 3-D), "eps_p_{xx..xy}", "p", "eps_{xx..xy}", "sigma_zz"
  // (2-D only), then the tangent's "ktan_{i}_{j}": 23 names in 2-D, 40 in 3-D.
  std::vector<std::string> output_components() const override;

  // The stored algorithmic tangent, integrated as B^T D B; without a state zone:
  // "consistent tangent requires the behaviour state (D_alg)".
  void element_tangent(std::span<const CellContext> ctxs, const SubElementField* material,
                       const SubElementField* state, std::span<double> out) const override;
  // One load step at (cell, g): E, nu, sigma_y at Gauss point 0 of the material
  // zone, the strain at g, the start state at g from `previous` (see
  // read_plastic_start: any value it lacks reads as 0.0), then plastic_step.
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;

 private:
  using ContinuumKind::ContinuumKind;
};

// Strain or stress, xx, yy, zz, yz, xz, xy, tensor shear.
using Six = std::array<double, 6>;
// A 6 x 6 tangent, row-major, Voigt order xx, yy, zz, yz, xz, xy, acting on
// engineering shear strains.
using Tangent6 = std::array<double, 36>;

// The converged state a step starts from: all zeros on the first step.
struct PlasticStart {
  Six eps{};
  Six sigma{};
  Six eps_p{};
  double p = 0.0;
};

// Lamé constants from E and nu, and the yield stress. Nothing is validated.
struct PlasticMaterial {
  double lambda = 0.0;
  double mu = 0.0;
  double sigma_y = 0.0;
  static PlasticMaterial from(double e, double nu, double sigma_y) noexcept;
};

// The state returned for one strain.
struct PlasticState {
  Six sigma{};
  Six eps_p{};
  double p = 0.0;
};

// Elastic predictor from `start`, then radial return onto q = sigma_y when the trial
// von Mises stress q exceeds it: Δp = (q − σ_y)/(3μ), the deviator scaled by σ_y/q, the
// plastic strain moved by 1.5 Δp s / q.
PlasticState radial_return(const Six& eps, const PlasticStart& start, const PlasticMaterial& m) noexcept;

// The derivative of radial_return's stress with respect to the strain (engineering
// shear): K 1⊗1 + G (I_dev) − G n⊗n with G = 2μσ_y/q at a plastic point, the elastic
// Hooke matrix (G = 2μ, no n⊗n term) otherwise.
Tangent6 algorithmic_tangent(const Six& eps, const PlasticStart& start, const PlasticMaterial& m) noexcept;

// Updates of the plane-stress secant loop at most.
inline constexpr int kPlaneStressIterations = 50;

// One step of the law.
struct PlasticStep {
  Six eps{};            // the strain of the final return (eps_zz solved under plane stress)
  PlasticState state;   // its return
  Tangent6 tangent{};   // algorithmic_tangent at `eps`
  int iterations = 0;   // secant updates made by the plane-stress loop (0 otherwise)
};
// Solid and plane strain: the return at `eps` as given (the caller sets eps_zz,
// eps_yz, eps_xz to 0 in 2-D). Plane stress: eps_zz is found by a secant iteration on
// the out-of-plane stress, from the elastic guess, stopping when |σ_zz| < 1e-10 (1 + μ),
// when two residuals no longer differ, or after kPlaneStressIterations updates.
PlasticStep plastic_step(ContinuumModel model, Six eps, const PlasticStart& start, const PlasticMaterial& m) noexcept;

// The tangent reduced to the hypothesis, written as its upper triangle row by row
// (the order of ktan_names): Solid the 6 × 6 (21 values); PlaneStrain the rows and
// columns xx, yy, xy (6 values); PlaneStress the same after condensing zz out.
void reduced_tangent(ContinuumModel model, const Tangent6& t, std::span<double> out) noexcept;

// The start state at (cell, g) of a previous zone: "eps_{}", "sigma_{}", "eps_p_{}"
// over the six suffixes, and "p". A value reads as 0.0 when there is no zone, when
// the zone lacks the component or when the point lies outside it; nothing fails.
// A zone of another kind thus gives what it has (an elastic stress, say) and zeros
// for the rest.
PlasticStart read_plastic_start(const SubElementField* previous, std::uint64_t cell, std::uint64_t g) noexcept;

}  // namespace quenlith::models
