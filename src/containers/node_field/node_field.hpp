#pragma once
// NodeField: an ordered list of SubNodeField handles whose supports share one Coords
// (not stored: it lives in its Python object or on a caller's stack), and
// NodeFieldView, the read-locked view through which bulk readers look values up.
//
// The list (containers/sub_list.hpp) may be empty, may hold zones whose node sets
// overlap, and may hold one handle twice (push_sub does not look for duplicates).
// The components of a field are the union of its zones' names, zone order first,
// then name order within a zone.
//
// Lookup of (node, name) across zones: zones are tried in order; the first one whose
// support holds the node and which carries the name answers; a zone holding the
// node without the name is passed over.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/field/dof.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "containers/sub_list.hpp"
#include "dump/dump_options.hpp"
#include "store/guard.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::node_field {

class NodeField : public SubList<NodeField, SubNodeField> {
 public:
  using SubList::SubList;
  static constexpr std::string_view kName = "NodeField";
  static constexpr std::string_view kItems = "subfield(s)";

  // The same-Coords rule: the Coords of `incoming`'s support must be that of
  // `first`'s (equal handles), else "mismatched Coords". Guard errors thrown.
  static void check_joins(const H& first, const H& incoming);

  // One zone per submesh (SubNodeField::on_nodes_of), in mesh order, each with its
  // own copy of the names. "NodeField: mesh has no submesh", then the name errors,
  // then the first error of a zone (the zones made so far are released).
  static NodeField create(const mesh::Mesh& mesh, const std::vector<std::string>& components);
  // Zone i with list i. "NodeField: mesh has no submesh", "NodeField: {} component
  // list(s) supplied for {} submesh(es)", then per zone as on_nodes_of.
  static NodeField with_components_per_submesh(const mesh::Mesh& mesh,
                                               const std::vector<std::vector<std::string>>& components);
  // One zone on one submesh.
  static NodeField on_submesh(const store::Handle<mesh::SubMesh>& submesh, std::vector<std::string> components);
  // One zone on a new POI1 support of the DOFs' distinct nodes (first appearance),
  // with the DOFs' distinct names as components; every DOF's value written (the
  // last occurrence of a DOF wins), the other pairs 0.0. "from_dof_values: {} dof(s)
  // but {} value(s)", then the errors of making the support and the zone. The values
  // are taken over: a node-major list's values become the zone's without a copy.
  static NodeField from_dof_values(store::Handle<mesh::Coords> coords, const field::DofList& dofs,
                                   std::vector<double> values);

  // The Coords of the first zone's support; "index 0 out of bounds (len=0)" when empty.
  store::Handle<mesh::Coords> coords() const;

  // The list operations that select or join zones consolidate their result (see
  // containers/field/consolidate.hpp): zones on one support are fused.
  // The zones at `indices` (each through push_sub), consolidated.
  NodeField slice(std::span<const std::uint64_t> indices) const;
  // a's zones, then b's not already held, consolidated.
  static NodeField union_(const NodeField& a, const NodeField& b);
  // a, then b unless it is a, consolidated.
  static NodeField union_(const H& a, const H& b);
  // This field's zones, then `zone` unless held, consolidated.
  NodeField union_sub(const H& zone) const;

  // A zone carrying none of `names` is dropped, one carrying only listed names is
  // kept as the same handle, any other is replaced by its select_components;
  // "filter_components: no zone carries any of {}" when nothing is left.
  NodeField filter_components(std::span<const std::string> names) const;

  std::vector<std::string> components() const;
  // The distinct node ids, zone by zone, row by row, by first appearance.
  std::vector<NodeId> node_ids() const;
  std::uint64_t node_count() const { return node_ids().size(); }
  // The value of the first zone that answers; zones read one at a time.
  std::optional<double> value(NodeId node, std::string_view component) const;
  // "incoherent NodeField: node {}, component {}: {} ≠ {}" at the first pair (zone,
  // row and name order) whose later value differs from its first (NaN never equal).
  void check_coherence() const;
  // One value per node; "no subfield defines (node {}, component {})" at the first
  // node no zone answers.
  std::vector<double> values_at(std::span<const NodeId> nodes, std::string_view component) const;
  // One value per DOF, 0.0 where no zone answers; into `out` (one slot per DOF).
  std::vector<double> dof_values(const field::DofList& dofs) const;
  void dof_values(const field::DofList& dofs, std::span<double> out) const;
  // Clones of every zone's support handle, in zone order.
  std::vector<store::Handle<mesh::SubMesh>> support_handles() const;

  // "NodeField: {} subfield(s)"; never reads a zone. The debug and dump texts are
  // the list's (every zone resolved, an unreadable one shown by its handle or error).
  std::string display_text() const;
};

// A read-locked view of a NodeField for one operation: read guards on every zone
// (field order), then on every zone's support (field order), held until the view
// goes. While it lives no zone and no support of the field can be written. Lookups
// take no lock, so worker threads may share one view.
class NodeFieldView {
 public:
  // The union of names, then the zone guards, then the support guards; a failure
  // releases every guard taken so far. A zone listed twice, or several zones on one
  // support, are guarded once each: a second shared lock of one thread on one
  // object could wait behind a waiting writer.
  explicit NodeFieldView(const NodeField& field);
  NodeFieldView(const NodeFieldView&) = delete;
  NodeFieldView& operator=(const NodeFieldView&) = delete;

  std::span<const std::string> components() const noexcept { return components_; }
  std::uint64_t zone_count() const noexcept { return zones_.size(); }
  const SubNodeField& zone(std::size_t i) const noexcept { return *zones_[i]; }
  const mesh::SubMesh& support(std::size_t i) const noexcept { return *supports_[i]; }

  std::optional<double> value(NodeId node, std::string_view component) const;

  // Where a lookup found its value: the zone (position in the field), the carrier
  // (0 for the first zone carrying the name), the row and the component.
  struct Location {
    std::size_t zone;
    std::size_t carrier;
    std::uint64_t row;
    std::uint64_t comp;
  };

  // Bulk lookup of one name: the zones carrying it are resolved once, and a cursor
  // remembers the row last found in each, so that nodes asked for in support order
  // are found without hashing.
  class Reader {
   public:
    Reader(const NodeFieldView& view, std::string_view component);
    std::optional<Location> find(NodeId node);

   private:
    struct Carrier {
      std::size_t zone;
      std::uint64_t comp;
      std::uint64_t next_row;  // the row after the last one found
    };
    const NodeFieldView* view_;
    std::vector<Carrier> carriers_;
  };

 private:
  std::vector<std::string> components_;
  std::vector<store::ReadGuard<SubNodeField>> zone_guards_;
  std::vector<store::ReadGuard<mesh::SubMesh>> support_guards_;
  std::vector<const SubNodeField*> zones_;       // one per zone of the field
  std::vector<const mesh::SubMesh*> supports_;   // entry i: the support of zone i
};

}  // namespace quenlith::containers::node_field
