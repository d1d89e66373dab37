#pragma once
// SubNodeField: one zone of a node field (a stored object): values per (row,
// component) on a POI1 submesh, its support.
//
// Stored fields (also the order of the swap record):
//   support_     counted handle of the POI1 submesh; sealed from the zone's making on
//   nodes        the support's connectivity, copied when the zone was made (one id
//                per POI1 cell, in cell order); a row is a position in it
//   components_  at least one name, no name twice
//   values_      row-major: the value of component c at row r is at r * ncomp + c
//
// Since the support is sealed, its connectivity never changes and stays equal to
// the node list. Lookups by node id go through the support's cached node index map
// (rank of first appearance); a support that lists a node more than once maps that
// node to its first row, through the small tables kept beside the node list
// (rebuilt from it when a record is read back).
//
// The node list and its tables never change once made, so every zone derived from
// this one (copies, arithmetic results, masks, renamed or selected components)
// shares them rather than copying them: a result costs its values only. A zone read
// back from a record has a list of its own.
//
// Lock order: a guard on the zone is taken before a guard on its support.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/field/values.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::node_field {

using mesh::NodeId;

class SubNodeField {
 public:
  SubNodeField() = default;
  SubNodeField(SubNodeField&&) noexcept = default;
  SubNodeField& operator=(SubNodeField&&) noexcept = default;
  SubNodeField(const SubNodeField&) = delete;
  SubNodeField& operator=(const SubNodeField&) = delete;

  // A zone of zeros on a POI1 support. Errors, in order: "SubNodeField requires at
  // least one component", "duplicate component name: {}", the support's guard
  // errors, "SubNodeField requires a POI1 SubMesh, got {}" (the support stays
  // unsealed). The support's nodes are copied and the support sealed under one
  // write guard (one read guard when it is sealed already), so no cell can be
  // added between the copy and the seal.
  static SubNodeField create(const store::Handle<mesh::SubMesh>& support, std::vector<std::string> components);
  // The same with the values given (row-major, nodes × components of them, else
  // "SubNodeField: {} value(s) for {} node(s) × {} component(s)"): taken over, or
  // copied from a plain vector.
  static SubNodeField create(const store::Handle<mesh::SubMesh>& support, std::vector<std::string> components,
                             field::Values values);
  static SubNodeField create(const store::Handle<mesh::SubMesh>& support, std::vector<std::string> components,
                             std::span<const double> values);
  // On any submesh: a POI1 one is the support itself; any other is sealed and its
  // node cloud (the same handle on every call) becomes the support. The names are
  // checked before anything is sealed.
  static SubNodeField on_nodes_of(const store::Handle<mesh::SubMesh>& submesh, std::vector<std::string> components);
  // A deep copy: the same support handle (cloned), nodes, names and values.
  SubNodeField clone() const;
  // A new zone on the same support with the components of this zone that `names`
  // lists, in this zone's order, and their values. "select_components: this
  // sub-field carries none of {}" (the list as given).
  SubNodeField select_components(std::span<const std::string> names) const;
  // A new zone on the same support, same nodes and names, with `values` in place of
  // this zone's (as many of them).
  using ValueArray = field::Values;
  SubNodeField with_values(ValueArray values) const;
  // A new zone on the same support and nodes with other names and their values
  // (nodes × names.size() of them, row-major); the names are the caller's to check.
  SubNodeField with_components(std::vector<std::string> names, ValueArray values) const;

  const store::Handle<mesh::SubMesh>& support() const noexcept { return support_; }
  std::span<const NodeId> nodes() const noexcept { return rows_->nodes; }
  std::span<const std::string> components() const noexcept { return components_; }
  std::span<const double> values() const noexcept { return values_; }
  std::span<double> values_mut() noexcept { return values_; }
  std::uint64_t node_count() const noexcept { return rows_->nodes.size(); }
  std::uint64_t component_count() const noexcept { return components_.size(); }
  // Whether the support lists some node more than once.
  bool has_repeated_nodes() const noexcept { return !rows_->first_row_of_rank.empty(); }

  // By row: "node index {} ≥ node_count {}", then "component index {} ≥
  // component_count {}".
  double get(std::uint64_t row, std::uint64_t comp) const;
  void set(std::uint64_t row, std::uint64_t comp, double value);
  // By node id (its first row): "node {} not in field support", then as get.
  double get_by_node(NodeId node, std::uint64_t comp) const;
  void set_by_node(NodeId node, std::uint64_t comp, double value);
  // By node id and name: "node {} not in field support", then "unknown component: {}".
  double value(NodeId node, std::string_view component) const;
  void set_value(NodeId node, std::string_view component, double value);
  // The values of one row, in component order; "node index {} ≥ node_count {}".
  std::vector<double> node_values(std::uint64_t row) const;

  // The first row of `node`, through the support's node index map (read guard on
  // the support); nothing when the support cannot be read or does not hold it.
  std::optional<std::uint64_t> node_index(NodeId node) const;
  // The same with the caller already holding a guard on the support.
  std::optional<std::uint64_t> node_index_in(const mesh::SubMesh& support, NodeId node) const;
  // The first row holding the node of row `row` (row itself unless repeated).
  std::uint64_t first_row_at(std::uint64_t row) const noexcept {
    return rows_->rank_of_row.empty() ? row : rows_->first_row_of_rank[rows_->rank_of_row[row]];
  }
  std::optional<std::uint64_t> component_index(std::string_view name) const noexcept;

  // The support's Coords (read guard on the support).
  store::Handle<mesh::Coords> coords() const;
  // A new unsealed POI1 submesh on the support's Coords, one cell per row; and the
  // Mesh holding it once stored.
  mesh::SubMesh support_submesh() const;
  mesh::Mesh support_mesh() const;

  // Text forms: "SubNodeField: {} node(s), {} component(s) [{}]";
  // SubNodeField { support: Handle<...>{ idx: .., gen: .. }, node_count: N,
  // components: ["ux"] }; the display text, a line feed and the node table.
  std::string display_text() const;
  std::string debug_text() const;
  std::string dump_text(const dump::DumpOptions& options) const;

  void encode(store::RecordWriter& w) const;
  // Also refuses a record without components or whose value count is not nodes ×
  // components: such a zone would read past its values.
  static SubNodeField decode(store::RecordReader& r);

 private:
  // The node list and, only when some node repeats, the first row of each distinct
  // node by rank of first appearance (the support map's rank) and the rank of every
  // row. Immutable once made.
  struct Rows {
    std::vector<NodeId> nodes;
    std::vector<std::uint32_t> first_row_of_rank;
    std::vector<std::uint32_t> rank_of_row;
  };
  static std::shared_ptr<const Rows> make_rows(std::vector<NodeId> nodes);
  static const std::shared_ptr<const Rows>& no_rows();

  SubNodeField(store::Handle<mesh::SubMesh> support, std::shared_ptr<const Rows> rows,
               std::vector<std::string> components, field::Values values);
  static SubNodeField make(const store::Handle<mesh::SubMesh>& support, std::vector<std::string> components,
                           field::Values* values);
  void check_row(std::uint64_t row) const;
  void check_comp(std::uint64_t comp) const;
  std::uint64_t row_of(NodeId node) const;  // "node {} not in field support"

  store::Handle<mesh::SubMesh> support_;
  // Never null (an empty list in a zone made from nothing).
  std::shared_ptr<const Rows> rows_ = no_rows();
  std::vector<std::string> components_;
  field::Values values_;
};

}  // namespace quenlith::containers::node_field

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::node_field::SubNodeField> {
  static constexpr std::string_view type_path = store::type_path::sub_node_field;
  static constexpr bool writable = true;
  static void encode(const containers::node_field::SubNodeField& z, store::RecordWriter& w) { z.encode(w); }
  static containers::node_field::SubNodeField decode(store::RecordReader& r) {
    return containers::node_field::SubNodeField::decode(r);
  }
  static void debug_text(const containers::node_field::SubNodeField& z, bool /*alternate*/, std::string& out) {
    out += z.debug_text();
  }
};
