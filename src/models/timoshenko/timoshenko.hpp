#pragma once
// Timoshenko: the planar (w, θ) beam on SEG2 cells of a 1-D configuration. The
// bending terms are integrated on the given subspace (`bending`, with its own
// quadrature), the shear terms on a LAGRANGE1, REDUCED subspace of the same submesh
// that the constructor builds and only this sub-model holds (`shear`). Primal "w",
// "theta", dual "f_w", "m_theta"; materials "E", "I", "G", "A_s" (required), "A",
// "rho" (optional); outputs "M", "V". The stiffness layout integrates bending then
// shear; the mass layout the bending subspace alone; no geometric or tangent layout.
//
// Record: bending, shear (subspace handles), support.
#include <memory>

#include "models/mod/domain.hpp"

namespace quenlith::models {

class Timoshenko final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 10;
  // Takes `bending` over. Refuses, in this order, cells other than SEG2
  // ("Timoshenko: expected SEG2 elements, got {}") and a space dimension other than 1
  // ("Timoshenko: pure planar (w, θ) beam requires a 1-D configuration, got {}-D");
  // then builds and stores the shear subspace and takes the node cloud. On failure
  // everything made is released.
  static Timoshenko create(SpaceHandle bending);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  const SpaceHandle& bending() const noexcept { return fespace(); }
  const SpaceHandle& shear() const noexcept { return shear_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {"w", "theta"}; }
  std::vector<std::string> dual_vars() const override { return {"f_w", "m_theta"}; }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Mechanical); }
  std::optional<BlockLayout> stiffness_layout() const override { return layout_on({bending(), shear_}); }
  std::optional<BlockLayout> mass_layout() const override { return layout_on({bending()}); }
  std::string_view name() const noexcept override { return "Timoshenko"; }
  void encode(store::RecordWriter& w) const override;

  std::span<const std::string_view> material_components() const override;
  std::span<const std::string_view> optional_materials() const override;
  std::vector<std::string> output_components() const override { return {"M", "V"}; }

  // The default recipes and nodal forces, after refusing the first zero-length cell
  // in cell order (nothing is made then).
  std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const override;
  SubNodeField build_internal_forces(const ZoneHandle& stress) const override;

  // Stiffness: bending E·I·κ² over the bending context's Gauss points and shear
  // G·A_s·γ² over the shear context's (one point with the built shear space), with
  // κ = θ' and γ = w' − θ. Mass: consistent, with rotary inertia ρ·I. Internal forces:
  // M at every bending Gauss point, V at Gauss point 0 over the shear points.
  void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                      std::span<double> out) const override;
  void element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                    std::span<double> out) const override;
  void element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                               std::span<double> out) const override;
  // M = E·I·kappa, V = G·A_s·gamma.
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;
 protected:
  std::string_view describe_tail() const override { return " (bending: full Gauss, shear: reduced)"; }

 private:
  Timoshenko(SpaceHandle bending, SpaceHandle shear, MeshHandle support) noexcept
      : DomainKind(std::move(bending), std::move(support)), shear_(std::move(shear)) {}
  SpaceHandle shear_;
};

}  // namespace quenlith::models
