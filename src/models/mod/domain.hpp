#pragma once
// DomainKind: what the nine physics kinds share. Each is built on one subspace
// (`fespace`) and keeps as `support` the node cloud of that subspace's submesh (the
// POI1 submesh of its distinct nodes), which is both the row and the column support
// of its blocks. It is its own Behaviour view; its material and state fields live on
// `fespace`.
//
// Also the small construction steps the kinds' constructors share: reading a
// subspace's submesh, dimension and element type, and taking a node cloud.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/element_type.hpp"
#include "models/mod/kind.hpp"

namespace quenlith::models {

// What a constructor reads of a subspace: a new handle of its submesh, its space
// dimension and its element type. Guard errors thrown.
struct SpaceFacts {
  MeshHandle submesh;
  std::uint64_t space_dim = 0;
  containers::mesh::ElementType element_type = containers::mesh::ElementType::POI1;
};
SpaceFacts read_space_facts(const SpaceHandle& fespace);
// The node cloud of a submesh (read under its guard). Guard and store errors thrown.
MeshHandle node_cloud_of(const MeshHandle& submesh);
// The node cloud of a subspace's submesh.
MeshHandle support_of(const SpaceHandle& fespace);
// The facts of a beam's subspace, refusing, in this order, cells other than SEG2
// ("{kind}: expected SEG2 elements, got {}") and another dimension than `dim`
// ("{kind}: {what} requires a {dim}-D configuration, got {}-D").
SpaceFacts beam_space_facts(std::string_view kind, const SpaceHandle& fespace, std::uint64_t dim,
                            std::string_view what);

// "{prefix}x", "{prefix}y", "{prefix}z", the first `n` of them (n ≤ 3).
std::vector<std::string> axis_names(std::string_view prefix, std::uint64_t n);
// Owned copies of constant names.
std::vector<std::string> to_string_vec(std::span<const std::string_view> names);
// The one-tag physics lists.
std::span<const Physics> physics_list(Physics p) noexcept;

class DomainKind : public ModelKind, public Behaviour {
 public:
  const SpaceHandle& fespace() const noexcept { return fespace_; }
  const MeshHandle& support() const noexcept { return support_; }

  const Behaviour* behaviour() const noexcept override { return this; }
  SpaceHandle material_fespace() const override { return fespace_; }
  SpaceHandle behaviour_fespace() const override { return fespace_; }

  // Subspaces [fespace], the support for rows and columns, the kind's names.
  std::optional<BlockLayout> stiffness_layout() const override { return layout_on({fespace_}); }

  // "SubModel<{title}>\n  primal var(s): {}\n  dual var(s):   {}\n  support: {} node(s)"
  // (the support's cell count, 0 when it cannot be read), then `describe_tail()`.
  std::string describe(const dump::DumpOptions& options) const override;

 protected:
  DomainKind(SpaceHandle fespace, MeshHandle support) noexcept
      : fespace_(std::move(fespace)), support_(std::move(support)) {}

  BlockLayout layout_on(std::vector<SpaceHandle> fespaces) const;
  virtual std::string describe_title() const { return std::string(name()); }
  virtual std::string_view describe_tail() const { return {}; }
  std::string_view behaviour_name() const override { return name(); }

  // The two handles, in record order.
  void encode_space_and_support(store::RecordWriter& w) const;

 private:
  SpaceHandle fespace_;
  MeshHandle support_;
};

// The record reader's two handles of a domain kind, in order.
struct SpaceAndSupport {
  SpaceHandle fespace;
  MeshHandle support;
};
SpaceAndSupport decode_space_and_support(store::RecordReader& r);

}  // namespace quenlith::models
