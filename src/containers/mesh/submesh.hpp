#pragma once
// SubMesh: the cells of one element type over one Coords (a stored object).
//
// Stored fields (also the order of the swap record):
//   element_type_  fixes k = nodes_per_cell
//   coords_        one counted handle on the node registry
//   connectivity_  node ids; cell c occupies [c*k, c*k + k), in the type's node order
//   face_color_    (180, 200, 230) for a submesh made from nothing
//   sealed_        false when made; once true never false again
// Beside them two once-filled caches, never written to a record: the node index map
// (node id -> rank of first appearance in the connectivity) and the handle of the
// node cloud (kept only while sealed).
//
// Invariants: the connectivity length is a multiple of k; every entry accounts for
// one unit of its node's refcount in the Coords (taken when the cell is added,
// given back when the submesh goes); cells are only appended; a sealed submesh's
// connectivity never changes.
//
// Node references are owned like handle units: the destructor gives one back per
// entry (under a write guard on the Coords), except while the store frees an
// object that is being written out or decodes a record (the record keeps them).
// Hence a SubMesh value that is never stored gives its references back too, and
// no SubMesh may be destroyed by a thread that holds a guard on its Coords.
//
// Lock order: a guard on a submesh is taken before a guard on its Coords.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"
#include "store/stored_type.hpp"

namespace quenlith::containers::mesh {

class Node;

struct RgbColor {
  std::uint8_t r = 180;
  std::uint8_t g = 200;
  std::uint8_t b = 230;
  friend bool operator==(const RgbColor&, const RgbColor&) = default;
  // "RgbColor({}, {}, {})"
  std::string debug_text() const;
};

// Node id -> position among the distinct ids of a connectivity, by first appearance.
using NodeIndexMap = std::unordered_map<NodeId, std::uint64_t>;

class SubMesh {
 public:
  // An empty, unsealed submesh coloured (180, 200, 230); takes over `coords`.
  SubMesh(ElementType element_type, store::Handle<Coords> coords);
  SubMesh(SubMesh&& other) noexcept;
  SubMesh& operator=(SubMesh&& other) noexcept;
  SubMesh(const SubMesh&) = delete;
  SubMesh& operator=(const SubMesh&) = delete;
  // Gives back one node reference per connectivity entry (see the class comment).
  ~SubMesh();

  ElementType element_type() const noexcept { return element_type_; }
  const store::Handle<Coords>& coords() const noexcept { return coords_; }
  // Lent while the caller's guard is held and no cell is added.
  std::span<const NodeId> connectivity() const noexcept { return connectivity_; }
  std::uint64_t nodes_per_cell() const noexcept { return mesh::nodes_per_cell(element_type_); }
  std::uint64_t cell_count() const noexcept { return connectivity_.size() / nodes_per_cell(); }
  // The k ids of cell c (c < cell_count()), lent like connectivity().
  std::span<const NodeId> cell(std::uint64_t c) const noexcept {
    const std::uint64_t k = nodes_per_cell();
    return std::span<const NodeId>(connectivity_).subspan(c * k, k);
  }
  RgbColor face_color() const noexcept { return face_color_; }
  // Allowed on a sealed submesh too: the colour is not part of what consumers see.
  void set_face_color(RgbColor color) noexcept { face_color_ = color; }
  bool is_sealed() const noexcept { return sealed_; }
  // Seals under the caller's write guard (for a caller that must read the cells and
  // seal in one critical section); never unsealed.
  void seal_in_place() noexcept { sealed_ = true; }

  // Appends a cell, taking one reference per id under a write guard on the Coords;
  // returns its index. Errors, in this order: MeshSealed; "add_cell({}): expected {}
  // nodes, got {}"; "node {} not found or collected" (the references taken for the
  // earlier ids are given back). A failure changes nothing.
  std::uint64_t add_cell(std::span<const NodeId> ids);
  // The same from Node values: after the sealed and count checks, a node of another
  // Coords is refused with "mismatched Coords" (an id means nothing elsewhere).
  std::uint64_t add_cell(std::span<const Node* const> nodes);
  // Appends whole cells (ids.size() a multiple of the node count) under one write
  // guard, as add_cell would one by one; returns the index of the first. Errors:
  // MeshSealed; "add_cells({}): {} node ids are not whole cells of {} nodes"; "node {}
  // not found or collected" (every reference of the batch given back first). A
  // failure changes nothing.
  std::uint64_t add_cells(std::span<const NodeId> ids);
  // Appends a cell whose references the caller already holds and hands over. Errors:
  // MeshSealed; "add_cell_taking({}): expected {} nodes, got {}"; "add_cell_taking:
  // node {} is not alive". No count changes.
  std::uint64_t add_cell_taking(std::span<const NodeId> ids);

  // An unsealed copy (same type, Coords, connectivity and colour, empty caches);
  // every entry takes one new reference. The source is unchanged.
  SubMesh duplicate() const;
  // A POI1 submesh with one cell per id, in order (repeats kept); takes over
  // `coords`. "node {} not found or collected" for an id that is not live.
  static SubMesh poi1_from_ids(store::Handle<Coords> coords, std::span<const NodeId> ids);
  // The same, the list taken over as the connectivity (no copy).
  static SubMesh poi1_from_owned_ids(store::Handle<Coords> coords, std::vector<NodeId> ids);
  // An unsealed submesh of `type` whose connectivity is `ids` (whole cells), taken
  // over; one reference per entry, all taken under one write guard on the Coords,
  // as add_cells would. Errors: "from_cells({}): {} node ids are not whole cells of
  // {} nodes"; "node {} not found or collected" (no count changed).
  static SubMesh from_cells(ElementType type, store::Handle<Coords> coords, std::vector<NodeId> ids);
  // The same for cells whose references the caller already holds and hands over
  // (one per entry): no count changes. Errors: the whole-cells message of
  // from_cells; "from_cells_taking: node {} is not alive" (nothing handed over).
  static SubMesh from_cells_taking(ElementType type, store::Handle<Coords> coords, std::vector<NodeId> ids);
  // poi1_from_ids over the first node's Coords. "SubMesh::poi1_from_nodes: nodes
  // must not be empty"; "mismatched Coords" for a node of another Coords.
  static SubMesh poi1_from_nodes(std::span<const Node* const> nodes);

  // The sealed POI1 submesh of the distinct node ids, by first appearance; the same
  // handle on every call once this submesh is sealed, a new cloud each call before.
  // The caller holds a read guard on this submesh.
  store::Handle<SubMesh> node_cloud() const;
  // Built on first request, then the same map for the life of the object.
  const NodeIndexMap& node_index_map() const;

  // Sets the sealed flag (never cleared) and returns a new counted handle for the
  // caller to keep. Guard errors are thrown.
  static store::Handle<SubMesh> seal(const store::Handle<SubMesh>& handle);
  // k of the submesh's element type, under a read guard.
  static std::uint64_t nodes_per_cell(const store::Handle<SubMesh>& handle);

  // Text forms.
  // "SubMesh<{}>: {} cell(s)"
  std::string display_text() const;
  // SubMesh { element_type: TRI3, coords: Handle<...>{ idx: 0, gen: 1 }, cell_count: 2,
  //           face_color: RgbColor(180, 200, 230), sealed: false }  (one line)
  std::string debug_text() const;
  // The display text, a line feed and the table cell | n0 .. n{k-1}.
  std::string dump_text(const dump::DumpOptions& options) const;

  // The swap record (element type, coords, connectivity, colour, sealed). Encoding is
  // writing out: it also lets go of the cached node cloud, whose handle the record
  // does not keep (it is rebuilt on demand), so the cloud's count is not leaked.
  void encode(store::RecordWriter& w) const;
  // Also refuses a connectivity that is not whole cells ("SubMesh record:
  // connectivity length {} is not a multiple of {}"). Ids are not checked against
  // the Coords here: every reader tests liveness before using an id.
  static SubMesh decode(store::RecordReader& r);

 private:
  struct Caches {
    std::atomic<const NodeIndexMap*> index{nullptr};
    std::atomic<store::Handle<SubMesh>*> cloud{nullptr};
    ~Caches();
  };

  void release_node_references() noexcept;
  // Room for n_ids more connectivity entries.
  void reserve_for_cell(std::uint64_t n_ids);
  // The counted append of add_cell and add_cells, once the ids are checked whole cells.
  std::uint64_t append_counted(std::span<const NodeId> ids);

  ElementType element_type_;
  store::Handle<Coords> coords_;
  std::vector<NodeId> connectivity_;
  RgbColor face_color_;
  bool sealed_ = false;
  // Never null except in a moved-from object.
  std::unique_ptr<Caches> caches_;
};

}  // namespace quenlith::containers::mesh

template <>
struct quenlith::store::StoredTypeTraits<quenlith::containers::mesh::SubMesh> {
  static constexpr std::string_view type_path = store::type_path::sub_mesh;
  static constexpr bool writable = true;
  static void encode(const containers::mesh::SubMesh& m, store::RecordWriter& w) { m.encode(w); }
  static containers::mesh::SubMesh decode(store::RecordReader& r) { return containers::mesh::SubMesh::decode(r); }
  // The record has a single (one-line) form.
  static void debug_text(const containers::mesh::SubMesh& m, bool /*alternate*/, std::string& out) {
    out += m.debug_text();
  }
};
