#pragma once
// Dirichlet: a value imposed on one primal variable at the nodes of POI1 submeshes,
// one multiplier node per constrained node (submesh i of `imposed_mesh` paired with
// submesh i of `multiplier_mesh`, node by node), as an equality or an inequality.
// Primal [multiplier], dual [imposed_value].
//
// Record: imposed_variable, target_dual, multiplier, imposed_value (texts),
// imposed_mesh, multiplier_mesh (lists of submesh handles), sense.
#include <memory>
#include <optional>
#include <string>

#include "containers/mesh/mesh.hpp"
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
  // The record as given: `create` checks the meshes first.
  explicit Dirichlet(Fields fields) noexcept : f_(std::move(fields)) {}
  // Checks, in this order, stopping at the first failure (nothing is kept then):
  // "Dirichlet: imposed_mesh must constrain at least one node" (no cell in all);
  // "Dirichlet: imposed_mesh has {} submesh(es) but multiplier_mesh has {}"; the two
  // meshes' Coords ("Dirichlet: imposed_mesh and multiplier_mesh must share a
  // Coords"); then for each submesh index i: "Dirichlet: imposed_mesh submesh {} must
  // be POI1, got {}", "Dirichlet: multiplier_mesh submesh {} must be POI1, got {}",
  // "Dirichlet: submesh {} has {} constrained node(s) but {} multiplier(s)". Names
  // default to "lambda_{variable}" and "imposed_{variable}". Seals nothing. Guard
  // errors thrown.
  static Dirichlet create(std::string imposed_variable, std::string target_dual,
                          const containers::mesh::Mesh& imposed_mesh, const containers::mesh::Mesh& multiplier_mesh,
                          std::optional<std::string> multiplier, std::optional<std::string> imposed_value,
                          Sense sense);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);
  const Fields& fields() const noexcept { return f_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {f_.multiplier}; }
  std::vector<std::string> dual_vars() const override { return {f_.imposed_value}; }
  std::span<const MeshHandle> multiplier_mesh() const override { return f_.multiplier_mesh; }
  // One relation per constrained node, submesh by submesh, cell by cell: 1.0 ·
  // u(node, imposed_variable) (sense) g, g under imposed_value at the paired
  // multiplier node. A pair of submeshes whose cell counts no longer match (cells
  // added after construction) fails with the constructor's mismatch message rather
  // than leave a node unconstrained; a record with fewer multiplier submeshes fails
  // with "index {} out of bounds (len={})".
  std::vector<Relation> relations() const override;
  // Stiffness: one literal recipe of the pairs C₀, C₀ᵀ, C₁, C₁ᵀ, ... (coefficient 1,
  // submesh i of each list), under the same checks as `relations`; nothing for the
  // other operators.
  std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const override;
  std::string_view name() const noexcept override { return "Dirichlet"; }
  // "SubModel<Dirichlet({variable})>: {} constrained node(s)".
  std::string label() const override;
  std::string describe(const dump::DumpOptions& options) const override;
  void encode(store::RecordWriter& w) const override;

 private:
  Fields f_;
};

}  // namespace quenlith::models
