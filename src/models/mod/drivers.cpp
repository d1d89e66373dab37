#include "models/mod/drivers.hpp"

#include "base/error.hpp"

namespace quenlith::models {

namespace {

[[noreturn]] void not_built(std::string_view what) {
  throw Error::message("{}: the element kernels are not built yet", what);
}

}  // namespace

SubMatrix assemble_block(std::span<const SpaceHandle>, const MeshHandle&, const MeshHandle&,
                         std::span<const std::string>, std::span<const std::string>, Ordering, bool,
                         const std::optional<ZoneHandle>&, const std::optional<ZoneHandle>&, const ModelKind&) {
  not_built("assemble_block");
}

SubNodeField scatter_to_nodes(std::span<const SpaceHandle>, const MeshHandle&, std::span<const std::string>,
                              const ModelKind&, const SubElementField&) {
  not_built("scatter_to_nodes");
}

void element_internal_forces_bt_sigma(std::span<const CellContext>, const SubElementField&, std::span<double>,
                                      const ModelKind& kind) {
  not_built(kind.name());
}

}  // namespace quenlith::models
