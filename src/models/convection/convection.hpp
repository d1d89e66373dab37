#pragma once
// Convection: heat exchange through a boundary subspace (edges in 2-D, faces in
// 3-D; not checked). Primal "T", dual "q"; material "h"; output "flux". A stiffness
// layout only: it adds nothing to the mass operator.
//
// Record: fespace, support.
#include <memory>

#include "models/mod/domain.hpp"

namespace quenlith::models {

class Convection final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 1;
  // As HeatConduction::create: only store errors.
  static Convection create(SpaceHandle fespace);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {"T"}; }
  std::vector<std::string> dual_vars() const override { return {"q"}; }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Thermal); }
  std::string_view name() const noexcept override { return "Convection"; }
  void encode(store::RecordWriter& w) const override { encode_space_and_support(w); }

  std::span<const std::string_view> material_components() const override;
  std::span<const std::string_view> optional_materials() const override { return {}; }
  std::vector<std::string> output_components() const override { return {"flux"}; }

  // The film matrix on the first context: integral of h N_a N_b over the cell, h read
  // at every Gauss point. Without a material zone: "Convection requires a material
  // field", a broken precondition of the assembly.
  void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                      std::span<double> out) const override;
  // The heat flow of a film-flux state: integral of N_a flux, "flux" read at every
  // Gauss point.
  void element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                               std::span<double> out) const override;
  // flux = h T, h from the materials then T from the deformation zone at (cell, g).
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;

 private:
  using DomainKind::DomainKind;
};

}  // namespace quenlith::models
