#pragma once
// ContinuumKind: what the three small-strain continuum kinds (Elasticity,
// Plasticity, Mazars) share: the space dimension and the plane or solid hypothesis,
// the displacement and force names by axis, the stress names, the construction rule
// and the record layout.
//
// Record: fespace, support, space_dim (u64), model (ContinuumModel index).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "models/mod/domain.hpp"

namespace quenlith::models {

// "sigma_xx", "sigma_yy", "sigma_xy" in 2-D; the six Voigt stresses "sigma_xx",
// "sigma_yy", "sigma_zz", "sigma_yz", "sigma_xz", "sigma_xy" otherwise.
std::vector<std::string> stress_names(std::uint64_t space_dim);
// "ktan_{i}_{j}" over the upper triangle of the 3 × 3 (2-D) or 6 × 6 tangent, row by row.
std::vector<std::string> ktan_names(std::uint64_t space_dim);

// One component of a state zone at (cell, g), or 0.0 when there is no zone, when it
// lacks the component or when the point lies outside it: the laws read their
// previous state this way, so that a first step and a state of another kind start
// from zeros for whatever they lack. `hint` is where the kind's own state keeps the
// name (tried first; any position is accepted).
double state_value_or_zero(const SubElementField* zone, std::uint64_t cell, std::uint64_t g, std::string_view name,
                           std::size_t hint) noexcept;

class ContinuumKind : public DomainKind {
 public:
  std::uint64_t space_dim() const noexcept { return space_dim_; }
  ContinuumModel model() const noexcept { return model_; }

  std::vector<std::string> primal_vars() const override { return axis_names("u_", space_dim_); }
  std::vector<std::string> dual_vars() const override { return axis_names("f_", space_dim_); }
  std::span<const Physics> physics() const noexcept override { return physics_list(Physics::Mechanical); }
  std::optional<BlockLayout> mass_layout() const override { return stiffness_layout(); }
  std::optional<BlockLayout> geometric_layout() const override { return stiffness_layout(); }
  void encode(store::RecordWriter& w) const override;

  // The small-strain kernels on the first context: the elastic stiffness in the
  // kind's hypothesis (E, nu), the consistent mass (rho) and the geometric stiffness
  // of the stress given as `state`. A missing material zone fails with
  // `missing_material_text()`, a missing stress zone with "geometric stiffness
  // requires the current stress field".
  void element_matrix(std::span<const CellContext> ctxs, const SubElementField* material,
                      std::span<double> out) const override;
  void element_mass(std::span<const CellContext> ctxs, const SubElementField* material,
                    std::span<double> out) const override;
  void element_geometric(std::span<const CellContext> ctxs, const SubElementField* material,
                         const SubElementField* state, std::span<double> out) const override;
  // The elastic stiffness of volume cells (stiffness, and the tangent of a kind
  // whose tangent is it), when the zone carries E and nu.
  std::unique_ptr<kernel::PreparedKernel> prepare_operator(OperatorKind kind,
                                                           const containers::finite_element_space::CellGeometry& cells,
                                                           const SubElementField* material,
                                                           const SubElementField* state) const override;

 protected:
  struct Parts {
    SpaceHandle fespace;
    MeshHandle support;
    std::uint64_t space_dim = 0;
    ContinuumModel model = ContinuumModel::Solid;
  };
  // Takes `fespace` over. A 2-D space takes PlaneStress or PlaneStrain, a 3-D one
  // Solid; anything else fails with "{kind}: model {} is incompatible with a {}-D
  // space (2-D ⇒ plane_stress|plane_strain, 3-D ⇒ solid)". Then the node cloud.
  static Parts build(std::string_view kind, SpaceHandle fespace, ContinuumModel model);
  static Parts decode_parts(store::RecordReader& r);

  explicit ContinuumKind(Parts parts) noexcept
      : DomainKind(std::move(parts.fespace), std::move(parts.support)),
        space_dim_(parts.space_dim),
        model_(parts.model) {}

  // "{name}({hypothesis})".
  std::string describe_title() const override;
  // The text of a kernel called without its material zone: "{name} requires a
  // material field".
  virtual std::string missing_material_text() const;
  // The material zone of a point law; none is a broken precondition of the driver:
  // "{name} declares a material_fespace ⇒ material is supplied".
  const SubElementField& law_materials(const SubElementField* materials) const;
  // The material zone of a kernel, or `missing_material_text()`.
  const SubElementField& kernel_materials(const SubElementField* material) const;

 private:
  std::uint64_t space_dim_;
  ContinuumModel model_;
};

}  // namespace quenlith::models
