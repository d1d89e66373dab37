#include "models/kernel/line_element.hpp"

#include "base/error.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::models::kernel {

void throw_zero_length(const CellContext& ctx, std::string_view kind) {
  const std::span<const containers::mesh::NodeId> ids = ctx.node_ids();
  throw Error::message("{}: cell {} has zero length (nodes {} and {} coincide)", kind, ctx.cell(), ids[0], ids[1]);
}

void check_cells(const store::Handle<containers::finite_element_space::SubFiniteElementSpace>& fespace,
                 parallel::FunctionRef<void(const CellContext& ctx)> check) {
  const store::ReadGuard<containers::finite_element_space::SubFiniteElementSpace> space = store::read(fespace);
  const containers::finite_element_space::CellGeometry geometry(*space);
  // Cells in increasing order within each chunk, stopping at the first failure: the
  // pool then reports the lowest failing cell.
  parallel::for_chunks(geometry.cell_count(), 4096, [&](parallel::Index begin, parallel::Index end) {
    CellContext ctx(*space, geometry, begin);
    for (parallel::Index c = begin; c < end; ++c) {
      ctx.set_cell(c);
      check(ctx);
    }
  });
}

double required_density(const containers::element_field::SubElementField& materials, std::uint64_t cell,
                        std::string_view kind) {
  try {
    return materials.value(cell, 0, "rho");
  } catch (const Error&) {
    throw Error::message("{} mass matrix: material component `rho` (density) is required", kind);
  }
}

void refuse_continuum_stress(const containers::element_field::SubElementField& stress, std::string_view kind) {
  for (const std::string& name : stress.components())
    if (name.starts_with("sigma_"))
      throw Error::message("{}: continuum stresses ({}) have no internal-force kernel on a beam, whose nodes carry "
                           "rotations",
                           kind, name);
}

}  // namespace quenlith::models::kernel
