#pragma once
// Dirichlet: a value imposed on one primal variable at the nodes of POI1 submeshes,
// one multiplier node per constrained node (submesh i of `imposed_mesh` paired with
// submesh i of `multiplier_mesh`, node by node), as an equality or an inequality.
// Primal [multiplier], dual [imposed_value].
//
// Record: imposed_variable, target_dual, multiplier, imposed_value (texts),
// imposed_mesh, multiplier_mesh (lists of submesh handles), sense.
#include <memory>
#include <string>

#include "models/mod/constraint.hpp"

namespace quenlith::models {

class Dirichlet final : public ConstraintKind {
 public:
  static constexpr std::uint32_t kIndex = 2;
  struct Fields {
    std::string imposed_variable;
    std::string target_dual;
    std::string multiplier;
    std::string imposed_value;
    MeshList imposed_mesh;
    MeshList multiplier_mesh;
    Sense sense = Sense::Equal;
  };
  // The record as given: its constructor checks the meshes first.
  explicit Dirichlet(Fields fields) noexcept : f_(std::move(fields)) {}
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);
  const Fields& fields() const noexcept { return f_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {f_.multiplier}; }
  std::vector<std::string> dual_vars() const override { return {f_.imposed_value}; }
  std::span<const MeshHandle> multiplier_mesh() const override { return f_.multiplier_mesh; }
  std::string_view name() const noexcept override { return "Dirichlet"; }
  // "SubModel<Dirichlet({variable})>: {} constrained node(s)".
  std::string label() const override;
  std::string describe(const dump::DumpOptions& options) const override;
  void encode(store::RecordWriter& w) const override;

 private:
  Fields f_;
};

}  // namespace quenlith::models
