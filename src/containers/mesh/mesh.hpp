#pragma once
// Mesh: an ordered list of SubMesh handles on one Coords (not stored: it lives in
// its Python object, or on the stack of a generator).
//
// Each handle owns one count. Invariant: every submesh uses the same Coords (equal
// handles), checked by check_same_coords on every path that adds one. The list may
// be empty, and may hold one handle twice only through push_sub (the add_sub path);
// the unions never repeat a handle.
//
// Operations read submeshes under read guards taken one at a time; none holds a
// guard on the Coords while a submesh handle is released.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {

class Node;

class Mesh {
 public:
  Mesh() = default;
  // The handles as given, unchecked: for lists already known to share one Coords.
  explicit Mesh(std::vector<store::Handle<SubMesh>> subs) noexcept : subs_(std::move(subs)) {}

  std::span<const store::Handle<SubMesh>> subs() const noexcept { return subs_; }
  std::uint64_t size() const noexcept { return subs_.size(); }
  bool empty() const noexcept { return subs_.empty(); }

  // Succeeds at once on an empty mesh; otherwise the Coords of the first submesh and
  // of `sub` must be equal handles, else "mismatched Coords". Guard errors thrown.
  void check_same_coords(const store::Handle<SubMesh>& sub) const;
  // check_same_coords, then append (even when already present). On failure the
  // handle is released and the mesh unchanged.
  void push_sub(store::Handle<SubMesh> sub);
  // When `subs` is not empty, check_same_coords with its first handle; then append a
  // clone of each handle not yet in the list, in order.
  void extend_unique(std::span<const store::Handle<SubMesh>> subs);

  // a's distinct handles in order, then b's not yet there. "mismatched Coords".
  static Mesh union_(const Mesh& a, const Mesh& b);
  // This mesh's distinct handles, then `sub` unless present (push_sub).
  Mesh union_sub(const store::Handle<SubMesh>& sub) const;
  // A new one-submesh mesh whose POI1 submesh has this mesh's only POI1 submesh's
  // cells followed by `node`. Errors: "expected a unitary Mesh (exactly one
  // submesh(es)), found {}", "Mesh | Node: expected a unitary POI1 mesh", "mismatched
  // Coords" (a node of another Coords), "node {} not found or collected".
  Mesh or_node(const Node& node) const;
  // Stores the submesh and returns the mesh of that one handle.
  static Mesh from_submesh(SubMesh submesh);

  // A clone of handle i; "index {} out of bounds (len={})".
  store::Handle<SubMesh> sub_at(std::uint64_t i) const;
  // Clones of the handles at `indices`, in that order; "index {} out of bounds (len={})".
  Mesh slice(std::span<const std::uint64_t> indices) const;
  std::uint64_t cell_count() const;
  std::vector<std::uint64_t> cell_counts() const;
  std::vector<ElementType> element_types() const;
  // The Coords handle of the first submesh; "coords: mesh has no submeshes".
  store::Handle<Coords> coords() const;
  // Node j of cell c of submesh s, holding one new reference. "index {} out of
  // bounds (len={})", "node: cell index {} ≥ cell_count {}", "node: node index {} ≥
  // nodes_per_cell {}", "node {} not found or collected".
  Node node(std::uint64_t s, std::uint64_t c, std::uint64_t j) const;
  // The node nearest to `point` (Euclidean, active configuration) among the nodes
  // the cells reference, ties to the smaller id; one new reference. "coords: mesh has
  // no submeshes", "nearest_node: point has {} coordinates, mesh is {}-D",
  // "nearest_node: mesh references no nodes".
  Node nearest_node(std::span<const double> point) const;
  // SubMesh::add_cell on the only submesh; "add_cell: mesh must have exactly one submesh".
  std::uint64_t add_cell(std::span<const NodeId> ids);
  // Unsealed copies of every submesh, in order, on the same Coords.
  Mesh duplicate() const;

  // Text forms: "Mesh: {} submesh(es), {} cell(s) total" (the total shows 0 when a
  // submesh cannot be read) and Mesh { count: N, items: [...] } with every item's
  // debug text (its bare handle text when it cannot be read). Never fail.
  std::string display_text() const;
  std::string debug_text() const;
  // The container frame around each submesh's dump text. Never fails for an item.
  std::string dump_text(const dump::DumpOptions& options) const;

 private:
  bool contains(const store::Handle<SubMesh>& sub) const noexcept;

  std::vector<store::Handle<SubMesh>> subs_;
};

// "expected a unitary {} (exactly one {}), found {}": the error of every container's
// `unit()` and of the single-submesh operations.
Error not_unitary(std::string_view container, std::string_view items, std::uint64_t count);

}  // namespace quenlith::containers::mesh
