#pragma once
// Plasticity: perfectly plastic von Mises small-strain plasticity on one subspace, with the
// degrees of freedom of Elasticity. Materials "E", "nu", "sigma_y" (required), "rho"
// (optional). Its state holds the stress, plastic strain, "p", total strain and the
// algorithmic tangent, which the tangent operator reads back. Its mass, geometric and
// tangent layouts are its stiffness layout.
//
// Record: fespace, support, space_dim (u64), model (ContinuumModel index).
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
  std::vector<std::string> output_components() const override;

 private:
  using ContinuumKind::ContinuumKind;
};

}  // namespace quenlith::models
