#pragma once
// The kernel drivers the interface defaults call, as a kind sees them: the
// element-block assembly, the nodal-vector scatter and the default internal-force
// kernel, over a kind's own kernels (see models/kernel for the drivers themselves).
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "models/mod/kind.hpp"

namespace quenlith::models {

class ModelKind;

// A literal block whose entries are `kind.element_matrix` of every cell of the
// subspaces, one entry per element entry (repeats are summed when the matrix is
// finalized); not stored. The material and state zones are read under guards for
// the call; a missing material is handed to the kind as such.
SubMatrix assemble_block(std::span<const SpaceHandle> fespaces, const MeshHandle& row_support,
                         const MeshHandle& col_support, std::span<const std::string> dual_vars,
                         std::span<const std::string> primal_vars, Ordering ordering, bool symmetric,
                         const std::optional<ZoneHandle>& material, const std::optional<ZoneHandle>& state,
                         const ModelKind& kind);

// A zone on `support` of the dual variables: the sums, node by node, of
// `kind.element_internal_forces` of every cell; not stored.
SubNodeField scatter_to_nodes(std::span<const SpaceHandle> fespaces, const MeshHandle& support,
                              std::span<const std::string> dual_vars, const ModelKind& kind,
                              const SubElementField& stress);

// ∫Bᵀσ dΩ over the cell's Gauss points, one value per (cell node, axis); the kind
// is not read.
void element_internal_forces_bt_sigma(std::span<const CellContext> ctxs, const SubElementField& stress,
                                      std::span<double> out, const ModelKind& kind);

}  // namespace quenlith::models
