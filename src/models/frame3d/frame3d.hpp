#pragma once
// Frame3d: the space frame on SEG2 cells of a 3-D configuration, six degrees of
// freedom per node (displacements "u_x", "u_y", "u_z", rotations "r_x", "r_y", "r_z";
// duals "f_*", "m_*"): axial bar, torsion and two-node Timoshenko bending in the two
// section planes with closed-form shear factors. The section axes follow the element
// and a global reference direction (Z, or Y for elements nearly along Z).
//
// Record: fespace, support.
#include <memory>

#include <Eigen/Core>

#include "models/mod/domain.hpp"

namespace quenlith::models {

// The rotation whose rows are the local axes e1 (along d), e2 = r × e1 / |r × e1|,
// e3 = e1 × e2, with r = global Z, or global Y when |e1_z| > 0.999.
Eigen::Matrix3d frame3d_local_axes(const Eigen::Vector3d& d);

// Section properties of a space-frame element.
struct Frame3dSection {
  double e, a, g, j, i_y, i_z, a_sy, a_sz;
};
// The local 12 x 12 stiffness in the order (u, r) of node 1, then of node 2.
Eigen::Matrix<double, 12, 12> frame3d_local_stiffness(const Frame3dSection& s, double length);

class Frame3d final : public DomainKind {
 public:
  static constexpr std::uint32_t kIndex = 12;
  // Takes `fespace` over. Refuses, in this order, cells other than SEG2 ("Frame3d:
  // expected SEG2 elements, got {}") and a space dimension other than 3 ("Frame3d: space
  // frame requires a 3-D configuration, got {}-D"); then store errors.
  static Frame3d create(SpaceHandle fespace);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {"u_x", "u_y", "u_z", "r_x", "r_y", "r_z"}; }
  std::vector<std::string> dual_vars() const override { return {"f_x", "f_y", "f_z", "m_x", "m_y", "m_z"}; }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Mechanical); }
  std::optional<BlockLayout> mass_layout() const override { return stiffness_layout(); }
  std::optional<BlockLayout> geometric_layout() const override { return stiffness_layout(); }
  std::string_view name() const noexcept override { return "Frame3d"; }
  void encode(store::RecordWriter& w) const override { encode_space_and_support(w); }

  std::span<const std::string_view> material_components() const override {
    static constexpr std::string_view kNames[] = {"E", "A", "I_y", "I_z", "J", "G", "A_sy", "A_sz"};
    return kNames;
  }
  std::span<const std::string_view> optional_materials() const override {
    static constexpr std::string_view kNames[] = {"rho"};
    return kNames;
  }
  std::vector<std::string> output_components() const override { return {"N", "M_y", "M_z", "T", "V_y", "V_z"}; }

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
