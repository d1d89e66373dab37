#pragma once
// Mesh: an ordered list of SubMesh handles on one Coords (not stored: it lives in
// its Python object, or on the stack of a generator).
//
// The list (containers/sub_list.hpp) may be empty, and may hold one handle twice
// only through push_sub (the add_sub path). Invariant: every submesh uses the same
// Coords (equal handles), checked by check_joins on every path that adds one.
//
// Operations read submeshes under read guards taken one at a time; none holds a
// guard on the Coords while a submesh handle is released.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/sub_list.hpp"
#include "dump/dump_options.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::mesh {

class Node;

class Mesh : public SubList<Mesh, SubMesh> {
 public:
  using SubList::SubList;
  static constexpr std::string_view kName = "Mesh";
  static constexpr std::string_view kItems = "submesh(es)";

  // The same-Coords rule: `incoming` must use the Coords of `first` (equal handles),
  // else "mismatched Coords". Guard errors thrown.
  static void check_joins(const store::Handle<SubMesh>& first, const store::Handle<SubMesh>& incoming);

  // A new one-submesh mesh whose POI1 submesh has this mesh's only POI1 submesh's
  // cells followed by `node`. Errors: "expected a unitary Mesh (exactly one
  // submesh(es)), found {}", "Mesh | Node: expected a unitary POI1 mesh", "mismatched
  // Coords" (a node of another Coords), "node {} not found or collected".
  Mesh or_node(const Node& node) const;
  // Stores the submesh and returns the mesh of that one handle.
  static Mesh from_submesh(SubMesh submesh);

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

  // "Mesh: {} submesh(es), {} cell(s) total" (the total shows 0 when a submesh
  // cannot be read). Never fails. The debug and dump texts are the list's.
  std::string display_text() const;
};

}  // namespace quenlith::containers::mesh
