#pragma once
// Contact: the nodes of a slave mesh kept from penetrating an oriented master
// surface, one unilateral (≥) relation per slave node. Each slave node is paired
// once, at construction, with its closest master facet (projection weights, facet
// normal, initial signed gap). Primal [multiplier], dual [imposed_value].
//
// Record: slave_mesh, multiplier_mesh, support_mesh (lists of submesh handles),
// pairings (list of Pairing), components (list of Component), multiplier,
// imposed_value (texts).
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "models/mod/constraint.hpp"

namespace quenlith::models {

class Contact final : public ConstraintKind {
 public:
  static constexpr std::uint32_t kIndex = 5;
  struct Pairing {
    std::vector<NodeId> nodes;
    std::vector<double> weights;
    std::vector<double> normal;
    double gap = 0.0;
  };
  struct Component {
    std::string variable;
    std::string target_dual;
  };
  struct Fields {
    MeshList slave_mesh;
    MeshList multiplier_mesh;
    MeshList support_mesh;
    std::vector<Pairing> pairings;
    std::vector<Component> components;
    std::string multiplier;
    std::string imposed_value;
  };
  explicit Contact(Fields fields) noexcept : f_(std::move(fields)) {}
  // Pairs every distinct node of `slave` (first appearance order) with its closest
  // facet of `master`. Checks, in this order: the two meshes' Coords ("Contact: slave
  // and master meshes must share a Coords"), one component per space dimension
  // ("Contact: {} component(s) for a {}-D space — ..."), "Contact: slave mesh
  // carries no node", then the projection's own errors. Names default to
  // "lambda_contact" and "contact_gap".
  static Contact create(const containers::mesh::Mesh& slave, const containers::mesh::Mesh& master,
                        std::vector<std::pair<std::string, std::string>> components,
                        std::optional<std::string> multiplier, std::optional<std::string> imposed_value);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);
  const Fields& fields() const noexcept { return f_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override { return {f_.multiplier}; }
  std::vector<std::string> dual_vars() const override { return {f_.imposed_value}; }
  std::span<const MeshHandle> multiplier_mesh() const override { return f_.multiplier_mesh; }
  // Slave node by slave node: n·(u(slave) − Σ_j w_j u(master_j)) ≥ g, g under
  // imposed_value at the node's multiplier (−gap gives non-penetration).
  std::vector<Relation> relations() const override;
  // Stiffness: one pair C, Cᵀ over all components, rows on the multiplier nodes and
  // columns on the support nodes (slave then master); nothing for the others.
  std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const override;
  std::string_view name() const noexcept override { return "Contact"; }
  // "SubModel<Contact>: {} slave node(s), {} component(s)".
  std::string label() const override;
  std::string describe(const dump::DumpOptions& options) const override;
  void encode(store::RecordWriter& w) const override;

 private:
  Fields f_;
};

}  // namespace quenlith::models
