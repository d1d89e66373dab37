#pragma once
// HeatConduction: steady and transient conduction on one subspace. Primal "T", dual
// "q"; materials "k" (required), "rho" and "cp" (optional, for the capacity);
// outputs the heat flux "flux_x", "flux_y", "flux_z" up to the space dimension.
// Its capacity (mass) layout is its stiffness layout.
//
// Record: fespace, support.
#include <memory>

#include "models/mod/domain.hpp"

namespace quenlith::models {

class HeatConduction final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 0;
  // Takes `fespace` over; reads it and takes the node cloud of its submesh. Only
  // store errors.
  static HeatConduction create(SpaceHandle fespace);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {"T"}; }
  std::vector<std::string> dual_vars() const override { return {"q"}; }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Thermal); }
  std::optional<BlockLayout> mass_layout() const override { return stiffness_layout(); }
  std::string_view name() const noexcept override { return "HeatConduction"; }
  void encode(store::RecordWriter& w) const override { encode_space_and_support(w); }

  std::span<const std::string_view> material_components() const override;
  std::span<const std::string_view> optional_materials() const override;
  // Reads the subspace for its dimension; "HeatConduction: no flux component names
  // for a {}-D space" beyond three dimensions.
  std::vector<std::string> output_components() const override;

  // The kernels, on the first context. Conductivity: integral of k grad N_a . grad N_b,
  // k read at every Gauss point. Capacity: integral of rho cp N_a N_b, rho then cp read
  // once at Gauss point 0, any failure of either read replaced by "HeatConduction
  // capacity matrix: material component `rho` (density) is required" (or `cp`
  // (specific heat)). Without a material zone both fail with "HeatConduction requires
  // a material field", a broken precondition of the assembly.
  void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                      std::span<double> out) const override;
  void element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                    std::span<double> out) const override;
  // The conductivity of volume cells, when the zone carries "k".
  std::unique_ptr<kernel::PreparedKernel> prepare_operator(OperatorKind kind,
                                                           const containers::finite_element_space::CellGeometry& cells,
                                                           const SubElementField* material,
                                                           const SubElementField* state) const override;
  // The heat flow of a flux state: integral of grad N_a . flux, the flux read at every
  // Gauss point ("flux_x"... up to the space dimension). With the flux of the law
  // below it is K T.
  void element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                               std::span<double> out) const override;
  // Fourier's law without the minus sign: flux_i = k grad_T_i, k and the gradient
  // ("grad_T_x"...) read at (cell, g). The previous state and dt are not read.
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;

 private:
  using DomainKind::DomainKind;
};

}  // namespace quenlith::models
