#pragma once
// Embedded: the chosen variables of every node of an immersed mesh tied to the
// interpolation of a host mesh at that node (a bar inside a volume). Each immersed
// node has one host binding (the host cell's nodes and shape-function weights there,
// found once at construction) and one multiplier node per component. Primal: the
// multiplier of every component; dual: the imposed value of every component, in
// component order, repeats kept.
//
// Record: immersed_mesh, multiplier_mesh, constrained_mesh (lists of submesh
// handles), hosts (list of HostBinding), components (list of Component).
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "models/mod/constraint.hpp"

namespace quenlith::models {

class Embedded final : public ConstraintKind {
 public:
  static constexpr std::uint32_t kIndex = 4;
  struct HostBinding {
    std::vector<NodeId> nodes;
    std::vector<double> weights;
  };
  struct Component {
    std::string variable;
    std::string target_dual;
    std::string multiplier;
    std::string imposed_value;
  };
  struct Fields {
    MeshList immersed_mesh;
    MeshList multiplier_mesh;
    MeshList constrained_mesh;
    std::vector<HostBinding> hosts;
    std::vector<Component> components;
  };
  explicit Embedded(Fields fields) noexcept : f_(std::move(fields)) {}
  // Ties every distinct node of `immersed` (any element type, first appearance
  // order) to the host cell that contains it. Checks, in this order: "Embedded: at
  // least one component is required", "Embedded: multipliers length must match
  // components", "Embedded: imposed_values length must match components", the two
  // meshes' Coords ("Embedded: immersed and host meshes must share a Coords"),
  // "Embedded: immersed mesh carries no node", then the location (tolerance 1e-6 by
  // default): "Embedded: {} immersed node(s) lie outside the host mesh (first at
  // index {}); the immersed mesh must be contained in the host", and "Embedded:
  // immersed node {} coincides with a node of its host cell" (its row would cancel
  // to nothing and leave the multiplier undetermined). Only then are the multiplier
  // nodes added to the Coords. Names default to "lambda_{variable}" and
  // "imposed_{variable}".
  static Embedded create(const containers::mesh::Mesh& immersed, const containers::mesh::Mesh& host,
                         std::vector<std::pair<std::string, std::string>> components,
                         std::optional<std::vector<std::string>> multipliers,
                         std::optional<std::vector<std::string>> imposed_values, std::optional<double> tol);
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);
  const Fields& fields() const noexcept { return f_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override;
  std::vector<std::string> dual_vars() const override;
  std::span<const MeshHandle> multiplier_mesh() const override { return f_.multiplier_mesh; }
  // Component by component, immersed node by immersed node: u(immersed) −
  // Σ_j w_j u(host_j) = g, g under the component's imposed value at the node's
  // multiplier.
  std::vector<Relation> relations() const override;
  // Stiffness: C, Cᵀ per component, rows on the multiplier nodes and columns on the
  // constrained nodes (immersed then host); nothing for the other operators.
  std::vector<BlockRecipe> block_recipes(OperatorKind kind, const std::optional<ZoneHandle>& material) const override;
  std::string_view name() const noexcept override { return "Embedded"; }
  // "SubModel<Embedded>: {} immersed node(s), {} component(s)".
  std::string label() const override;
  std::string describe(const dump::DumpOptions& options) const override;
  void encode(store::RecordWriter& w) const override;

 private:
  Fields f_;
};

}  // namespace quenlith::models
