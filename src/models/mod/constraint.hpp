#pragma once
// ConstraintKind: what the four constraint kinds (Dirichlet, Mpc, Embedded,
// Contact) share. Each ties primal variables at nodes through Lagrange multipliers
// living on its multiplier submeshes; it is its own MultiplierConstraint view, has
// no behaviour, no layout and no element kernel, and reports the physics tag
// Constraint.
//
// Also the record helpers for lists of submesh handles, and the pieces the kinds
// build their relations and literal blocks from.
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

#include "models/mod/kind.hpp"

namespace quenlith::models {

using MeshList = std::vector<MeshHandle>;

void write_mesh_list(store::RecordWriter& w, std::span<const MeshHandle> meshes);
MeshList read_mesh_list(store::RecordReader& r);

// The submesh at position i of a record's list; "index {} out of bounds (len={})".
const MeshHandle& mesh_at(std::span<const MeshHandle> meshes, std::size_t i);
// The total cell count of a list of submeshes, each read (guard errors thrown).
std::uint64_t total_cell_count(std::span<const MeshHandle> meshes);
// A copy of a submesh's connectivity (for POI1, one node per cell, in cell order),
// read under a read guard.
std::vector<NodeId> submesh_node_ids(const MeshHandle& submesh);

// The distinct node ids of every cell of the submeshes, in order of first appearance
// (any element type; no submesh gives an empty list). Guard errors thrown.
std::vector<NodeId> node_cloud_of(std::span<const MeshHandle> submeshes);
// Entry i of the first submesh's node list: for the POI1 meshes the constraint kinds
// keep, the node of cell i. "index {} out of bounds (len={})" for a list without
// submesh (0, 0) and for a position beyond the entries.
NodeId poi1_node_at(std::span<const MeshHandle> mesh, std::size_t i);

// The two literal blocks coupling the multiplier nodes m_i (cells of `multiplier_mesh`)
// with the constrained nodes c_i (cells of `constrained`), appended to `out`:
//   C  rows (m, [imposed_value]) × columns (c, [variable]),  entry (m_i, c_i) = coefficient
//   Cᵀ rows (c, [target_dual])   × columns (m, [multiplier]), entry (c_i, m_i) = coefficient
// both NodesThenVars, not symmetric, factor 1; making them seals both submeshes.
// Cells are paired by position up to the shorter list; the nodes beyond it belong to
// the supports but carry no entry. Returns the two node counts (p, q) the blocks were
// made from (copied while sealing, so no cell can slip in between). Guard and
// SubMatrix errors thrown, nothing appended then.
std::pair<std::uint64_t, std::uint64_t> constraint_block_pair(const MeshHandle& multiplier_mesh,
                                                              const MeshHandle& constrained, std::string_view variable,
                                                              std::string_view target_dual, double coefficient,
                                                              std::string_view multiplier,
                                                              std::string_view imposed_value, LiteralBlocks& out);

// The node list of the first submesh of a record list ("index {} out of bounds
// (len={})" for a list without submesh), and entry i of a node list (the same text
// beyond its end).
std::vector<NodeId> first_poi1_nodes(std::span<const MeshHandle> list);
NodeId node_at(std::span<const NodeId> ids, std::size_t i);

// The list `first` followed by every node of `more` (each list in order) not yet in
// it: the support of a constraint whose rows couple `first` with other nodes.
std::vector<NodeId> extend_with_new_nodes(std::vector<NodeId> first,
                                          std::span<const std::vector<NodeId>* const> more);

class ConstraintKind : public ModelKind, public MultiplierConstraint {
 public:
  std::span<const Physics> physics() const noexcept override;
  const MultiplierConstraint* constraint() const noexcept override { return this; }
  // Until a kind builds its relations: "{name}: its relations are not built yet".
  std::vector<Relation> relations() const override;
};

}  // namespace quenlith::models
