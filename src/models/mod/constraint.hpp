#pragma once
// ConstraintKind: what the four constraint kinds (Dirichlet, Mpc, Embedded,
// Contact) share. Each ties primal variables at nodes through Lagrange multipliers
// living on its multiplier submeshes; it is its own MultiplierConstraint view, has
// no behaviour, no layout and no element kernel, and reports the physics tag
// Constraint.
//
// Also the record helpers for lists of submesh handles.
#include <span>
#include <string>
#include <vector>

#include "models/mod/kind.hpp"

namespace quenlith::models {

using MeshList = std::vector<MeshHandle>;

void write_mesh_list(store::RecordWriter& w, std::span<const MeshHandle> meshes);
MeshList read_mesh_list(store::RecordReader& r);

class ConstraintKind : public ModelKind, public MultiplierConstraint {
 public:
  std::span<const Physics> physics() const noexcept override;
  const MultiplierConstraint* constraint() const noexcept override { return this; }
  // Until a kind builds its relations: "{name}: its relations are not built yet".
  std::vector<Relation> relations() const override;
};

}  // namespace quenlith::models
