#pragma once
// Mazars: scalar Mazars damage on one subspace, with the degrees of freedom of
// Elasticity. Materials "E", "nu", "eps_d0", "A_t", "B_t", "A_c", "B_c" (required),
// "rho" (optional); outputs the stresses, "damage" and "kappa". Its mass and
// geometric layouts are its stiffness layout; it adds nothing to the tangent operator.
//
// Record: fespace, support, space_dim (u64), model (ContinuumModel index).
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

 private:
  using ContinuumKind::ContinuumKind;
};

}  // namespace quenlith::models
