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

 private:
  std::uint64_t space_dim_;
  ContinuumModel model_;
};

}  // namespace quenlith::models
