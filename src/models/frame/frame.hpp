#pragma once
// Frame: the planar frame on SEG2 cells of a 2-D configuration, three degrees of
// freedom per node ("u_x", "u_y", "rz"; duals "f_x", "f_y", "m_z"): an axial bar and a
// two-node Timoshenko beam with one-point shear, in closed form. Materials "E", "A",
// "I", "G", "A_s" (required), "rho" (optional); outputs "N", "M", "V" from the section
// strains "eps", "kappa", "gamma".
//
// Record: fespace, support.
#include <memory>

#include <Eigen/Core>

#include "models/mod/domain.hpp"

namespace quenlith::models {

// The local stiffness in the order u1, w1, θ1, u2, w2, θ2: EA/L on the axial pair,
// EI/L·(θ1 − θ2)², and GAs·L·γ² with γ = (w2 − w1)/L − (θ1 + θ2)/2.
Eigen::Matrix<double, 6, 6> frame_local_stiffness(double ea, double ei, double gas, double length);

class Frame final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 11;
  // Takes `fespace` over. Refuses, in this order, cells other than SEG2 ("Frame:
  // expected SEG2 elements, got {}") and a space dimension other than 2 ("Frame: planar frame
  // requires a 2-D configuration, got {}-D"); then store errors.
  static Frame create(SpaceHandle fespace);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {"u_x", "u_y", "rz"}; }
  std::vector<std::string> dual_vars() const override { return {"f_x", "f_y", "m_z"}; }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Mechanical); }
  std::optional<BlockLayout> mass_layout() const override { return stiffness_layout(); }
  std::optional<BlockLayout> geometric_layout() const override { return stiffness_layout(); }
  std::string_view name() const noexcept override { return "Frame"; }
  void encode(store::RecordWriter& w) const override { encode_space_and_support(w); }

  std::span<const std::string_view> material_components() const override {
    static constexpr std::string_view kNames[] = {"E", "A", "I", "G", "A_s"};
    return kNames;
  }
  std::span<const std::string_view> optional_materials() const override {
    static constexpr std::string_view kNames[] = {"rho"};
    return kNames;
  }
  std::vector<std::string> output_components() const override { return {"N", "M", "V"}; }

  // The default recipes, after refusing the first zero-length cell in cell order
  // (nothing is made then).
  std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const override;

  // Closed-form two-node beam kernels on the first context, rotated to global axes:
  // stiffness, consistent mass with rotary inertia, geometric stiffness of the axial
  // force `N` (Gauss point 0 of the state).
  void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                      std::span<double> out) const override;
  void element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                    std::span<double> out) const override;
  void element_geometric(std::span<const CellContext> ctxs, const SubElementField* material,
                         const SubElementField* state, std::span<double> out) const override;
  // The continuum kernel would read the stress components with a displacement-only
  // stride and put nodal forces on rotations: a stress zone carrying continuum
  // components is refused with a message; others keep the continuum kernel's error.
  void element_internal_forces(std::span<const CellContext> ctxs, const SubElementField& stress,
                               std::span<double> out) const override;
  // Section forces from section strains, materials at Gauss point 0.
  void gauss_point_law(const CellContext& ctx, const SubElementField& deformation, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override;
 private:
  using DomainKind::DomainKind;
};

}  // namespace quenlith::models
