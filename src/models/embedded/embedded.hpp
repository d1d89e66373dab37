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
#include <string>
#include <vector>

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
  static std::unique_ptr<ModelKind> decode(store::RecordReader& r);
  const Fields& fields() const noexcept { return f_; }

  std::uint32_t variant_index() const noexcept override { return kIndex; }
  std::vector<std::string> primal_vars() const override;
  std::vector<std::string> dual_vars() const override;
  std::span<const MeshHandle> multiplier_mesh() const override { return f_.multiplier_mesh; }
  std::string_view name() const noexcept override { return "Embedded"; }
  // "SubModel<Embedded>: {} immersed node(s), {} component(s)".
  std::string label() const override;
  std::string describe(const dump::DumpOptions& options) const override;
  void encode(store::RecordWriter& w) const override;

 private:
  Fields f_;
};

}  // namespace quenlith::models
