#pragma once
// Mazars: scalar Mazars damage on one subspace, with the degrees of freedom of
// Elasticity. Materials "E", "nu", "eps_d0", "A_t", "B_t", "A_c", "B_c" (required),
// "rho" (optional); outputs the stresses, "damage" and "kappa". Its mass and
// geometric layouts are its stiffness layout; it adds nothing to the tangent operator.
// The stiffness is the undamaged elastic one.
//
// Record: fespace, support, space_dim (u64), model (ContinuumModel index).
//
// The law proper (mazars_damage) is a pure function of plain numbers; six-component
// arrays are in the order xx, yy, zz, yz, xz, xy with tensor shear components.
#include <array>
#include <memory>

#include "models/elasticity/continuum.hpp"

namespace quenlith::models {

class Mazars final : public ContinuumKind {
 public:
  static constexpr std::uint32_t kIndex = 9;
  // Takes `fespace` over; the hypothesis must fit its dimension (ContinuumKind).
  static Mazars create(SpaceHandle fespace, ContinuumModel model) { return Mazars(build("Mazars", std::move(fespace), model)); }
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r) {
    return std::unique_ptr<ModelKind>(new Mazars(decode_parts(r)));
  }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::string_view name() const noexcept override { return "Mazars"; }

  std::span<const std::string_view> material_components() const override {
    static constexpr std::string_view kNames[] = {"E", "nu", "eps_d0", "A_t", "B_t", "A_c", "B_c"};
    return kNames;
  }
  std::span<const std::string_view> optional_materials() const override {
    static constexpr std::string_view kNames[] = {"rho"};
    return kNames;
  }
  std::vector<std::string> output_components() const override;

  // At (cell, g): the seven materials at Gauss point 0, the strain at g
  // (mazars_read_strain), kappa0 from `previous` (mazars_prev_kappa: 0.0 when it
  // cannot be read), then mazars_damage; writes the stresses, "damage", "kappa".
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;

 private:
  using ContinuumKind::ContinuumKind;
};

struct MazarsMaterial {
  double e = 0.0;
  double nu = 0.0;
  double eps_d0 = 0.0;
  double a_t = 0.0;
  double b_t = 0.0;
  double a_c = 0.0;
  double b_c = 0.0;
};

struct MazarsResult {
  std::array<double, 6> sigma{};  // (1 − D) times the undamaged Hooke stress
  double damage = 0.0;
  double kappa = 0.0;
};

// The largest damage the law gives: twelve nines, so that a point never loses all
// its stiffness.
inline constexpr double kMazarsMaxDamage = 0.999999999999;

// The law: equivalent strain from the positive principal strains, kappa the largest
// of kappa0, eps_d0 and it (a NaN operand gives way to the other), tensile and
// compressive damages weighted by the share of the principal extensions due to
// positive and negative principal stresses; below the threshold D = 0.
MazarsResult mazars_damage(const std::array<double, 6>& eps, const MazarsMaterial& m, double kappa0) noexcept;

// The strain at (cell, g): 2-D eps_xx, eps_yy, eps_xy (eps_zz 0 in plane strain,
// −nu/(1 − nu) (eps_xx + eps_yy) in plane stress, so that the undamaged sigma_zz
// vanishes); 3-D the six "eps_{}". A missing component fails with the zone's error.
std::array<double, 6> mazars_read_strain(const SubElementField& deformation, std::uint64_t cell, std::uint64_t g,
                                         std::uint64_t space_dim, ContinuumModel model, double nu);

// "kappa" of a previous zone at (cell, g); 0.0 without a zone, without that
// component, or when the point lies outside the zone.
double mazars_prev_kappa(const SubElementField* previous, std::uint64_t cell, std::uint64_t g) noexcept;

}  // namespace quenlith::models
