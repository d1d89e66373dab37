#pragma once
// Elasticity: linear elasticity on one subspace, in plane stress, plane strain (2-D) or
// solid (3-D). Primal "u_x", "u_y"(, "u_z"), dual "f_x", "f_y"(, "f_z"); materials "E",
// "nu" (required), "alpha", "rho" (optional); outputs the stresses. Its mass,
// geometric and tangent layouts are its stiffness layout.
//
// Record: fespace, support, space_dim (u64), model (ContinuumModel index).
#include <memory>

#include "models/elasticity/continuum.hpp"

namespace quenlith::models {

class Elasticity final : public ContinuumKind {
 public:
  static constexpr std::uint32_t kIndex = 7;
  // Takes `fespace` over; the hypothesis must fit its dimension (ContinuumKind).
  static Elasticity create(SpaceHandle fespace, ContinuumModel model) { return Elasticity(build("Elasticity", std::move(fespace), model)); }
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r) {
    return std::unique_ptr<ModelKind>(new Elasticity(decode_parts(r)));
  }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::string_view name() const noexcept override { return "Elasticity"; }
  std::optional<BlockLayout> tangent_layout() const override { return stiffness_layout(); }
  std::span<const std::string_view> material_components() const override {
    static constexpr std::string_view kNames[] = {"E", "nu"};
    return kNames;
  }
  std::span<const std::string_view> optional_materials() const override {
    static constexpr std::string_view kNames[] = {"alpha", "rho"};
    return kNames;
  }
  std::vector<std::string> output_components() const override;

  // The tangent is the elastic stiffness whatever the state.
  void element_tangent(std::span<const CellContext> ctxs, const SubElementField* material,
                       const SubElementField* state, std::span<double> out) const override;
  // sigma = D eps, D from the cell's material at Gauss point 0.
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;

 private:
  using ContinuumKind::ContinuumKind;
  // The kernels' zone is supplied by every caller: its absence is a broken precondition.
  std::string missing_material_text() const override;
};

}  // namespace quenlith::models
