#include "models/mod/drivers.hpp"

#include "base/error.hpp"
#include "models/elasticity/small_strain.hpp"
#include "models/kernel/block.hpp"
#include "models/kernel/scatter_to_nodes.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::models {

namespace {
std::optional<store::ReadGuard<SubElementField>> read_optional(const std::optional<ZoneHandle>& zone) {
  if (!zone) return std::nullopt;
  return store::read(*zone);
}
}  // namespace

SubMatrix assemble_block(std::span<const SpaceHandle> fespaces, const MeshHandle& row_support,
                         const MeshHandle& col_support, std::span<const std::string> dual_vars,
                         std::span<const std::string> primal_vars, Ordering ordering, bool symmetric,
                         const std::optional<ZoneHandle>& material, const std::optional<ZoneHandle>& state,
                         const ModelKind& kind) {
  if (fespaces.empty()) throw Error::message("element_block_triplets_per_cell: no FE subspace");
  const std::optional<store::ReadGuard<SubElementField>> mat = read_optional(material);
  const std::optional<store::ReadGuard<SubElementField>> extra = read_optional(state);
  const SubElementField* mat_zone = mat ? &mat->get() : nullptr;
  return kernel::assemble_block(
      fespaces, row_support, col_support, std::vector<std::string>(dual_vars.begin(), dual_vars.end()),
      std::vector<std::string>(primal_vars.begin(), primal_vars.end()), ordering, symmetric,
      [&](std::span<const CellContext> ctxs, std::span<double> out) { kind.element_matrix(ctxs, mat_zone, out); });
}

SubNodeField scatter_to_nodes(std::span<const SpaceHandle> fespaces, const MeshHandle& support,
                              std::span<const std::string> dual_vars, const ModelKind& kind,
                              const SubElementField& stress) {
  return kernel::scatter_to_nodes(
      fespaces, support, std::vector<std::string>(dual_vars.begin(), dual_vars.end()),
      [&](std::span<const CellContext> ctxs, std::span<double> out) { kind.element_internal_forces(ctxs, stress, out); });
}

void element_internal_forces_bt_sigma(std::span<const CellContext> ctxs, const SubElementField& stress,
                                      std::span<double> out, const ModelKind&) {
  kernel::element_internal_forces_bt_sigma(ctxs, stress, out);
}

}  // namespace quenlith::models
