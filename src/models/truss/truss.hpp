#pragma once
// Truss: bars on SEG2 cells in a space of 1 to 3 dimensions. Primal "u_x", "u_y",
// "u_z" and dual "f_x", "f_y", "f_z", the first `space_dim` of each; materials "E",
// "A" (required), "rho" (optional); output the axial force "n". Its mass and
// geometric layouts are its stiffness layout.
//
// Record: fespace, support, space_dim (u64).
#include <array>
#include <memory>

#include "models/mod/domain.hpp"

namespace quenlith::models {

// The direction cosines e = (x1 - x0) / L and the length L of the bar of a cell,
// over the first d coordinates of its nodes 0 and 1. Node lookup errors thrown, then
// "Truss: cell {} has zero length (nodes {} and {} coincide)".
struct BarGeometry {
  std::array<double, 3> e{};
  double length = 0.0;
};
BarGeometry truss_geometry(const CellContext& ctx, std::uint64_t d);

class Truss final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 6;
  // Takes `fespace` over. Refuses, in this order, cells other than SEG2 ("Truss:
  // expected SEG2 elements, got {}") and a space of more than three dimensions
  // ("Truss: a bar needs a 1-D, 2-D or 3-D configuration, got {}-D"): a bar kernel
  // has no axis beyond z and would write a wrong matrix. Then store errors.
  static Truss create(SpaceHandle fespace);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  std::uint64_t space_dim() const noexcept { return space_dim_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return axis_names("u_", space_dim_); }
  std::vector<std::string> dual_vars() const override { return axis_names("f_", space_dim_); }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Mechanical); }
  std::optional<BlockLayout> mass_layout() const override { return stiffness_layout(); }
  std::optional<BlockLayout> geometric_layout() const override { return stiffness_layout(); }
  std::string_view name() const noexcept override { return "Truss"; }
  void encode(store::RecordWriter& w) const override;

  std::span<const std::string_view> material_components() const override;
  std::span<const std::string_view> optional_materials() const override;
  std::vector<std::string> output_components() const override { return {"n"}; }

  // The default recipes and nodal forces, after refusing the first zero-length bar
  // in cell order (nothing is made then).
  std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const override;
  SubNodeField build_internal_forces(const ZoneHandle& stress) const override;

  // Bar kernels on the first context, nodes 0 and 1 of the cell, over the first d
  // coordinates: stiffness E·A/L along the bar, consistent mass ρ·A·L/6·[[2, 1], [1,
  // 2]] per component, geometric stiffness n/L across the bar (n at Gauss point 0 of
  // the state), and the nodal forces ∓n·e of the axial force.
  void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                      std::span<double> out) const override;
  void element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                    std::span<double> out) const override;
  void element_geometric(std::span<const CellContext> ctxs, const SubElementField* material,
                         const SubElementField* state, std::span<double> out) const override;
  void element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                               std::span<double> out) const override;
  // n = E·A·(e·ε·e), ε from the tensor strains "eps_{ij}" at (cell, g).
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;

 private:
  Truss(SpaceHandle fespace, MeshHandle support, std::uint64_t space_dim) noexcept
      : DomainKind(std::move(fespace), std::move(support)), space_dim_(space_dim) {}
  std::uint64_t space_dim_;
};

}  // namespace quenlith::models
