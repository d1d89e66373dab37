#include "models/kernel/gauss_point_field.hpp"

#include <algorithm>

#include "base/error.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"

namespace quenlith::models::kernel {

using containers::finite_element_space::CellGeometry;
using containers::finite_element_space::SubFiniteElementSpace;

SubElementField gauss_point_field(const SpaceHandle& fespace, const ZoneHandle& input,
                                  const std::optional<ZoneHandle>& materials, std::vector<std::string> components,
                                  PointLaw law) {
  SubElementField zone = SubElementField::create(fespace, std::move(components));
  const std::uint64_t n_out = zone.component_count();
  // Released in reverse: materials, input, the geometry's Coords and submesh, the subspace.
  const store::ReadGuard<SubFiniteElementSpace> space = store::read(fespace);
  const CellGeometry geometry(*space);
  const store::ReadGuard<SubElementField> in = store::read(input);
  std::optional<store::ReadGuard<SubElementField>> mat;
  if (materials) mat.emplace(store::read(*materials));
  const std::uint64_t n_cells = geometry.cell_count(), n_g = geometry.gauss_count();
  QUENLITH_VERIFY(zone.cell_count() == n_cells && zone.gauss_count() == n_g,
                  "gauss_point_field: the subspace changed during the call");
  if (n_cells == 0) return zone;
  QUENLITH_VERIFY(n_g * n_out > 0, "gauss_point_field: empty chunk (no Gauss point or no component)");
  const SubElementField& in_zone = *in;
  const SubElementField* mat_zone = mat ? &mat->get() : nullptr;
  const std::span<double> values = zone.values_mut();
  // Tasks of about 256 points: the shortest run of the cell loops, counted in points.
  parallel::for_chunks(parallel::Index(n_cells), parallel::Index(containers::finite_element_space::min_cells_per_task(n_g)),
                       [&](parallel::Index begin, parallel::Index end) {
                         CellContext ctx(*space, geometry, std::uint64_t(begin));
                         for (parallel::Index c = begin; c < end; ++c) {
                           ctx.set_cell(std::uint64_t(c));
                           for (std::uint64_t g = 0; g < n_g; ++g)
                             law(ctx, in_zone, mat_zone, g, values.subspan((c * n_g + g) * n_out, n_out));
                         }
                       });
  return zone;
}

void ThermalStrainLaw::operator()(const CellContext& ctx, const SubElementField& temperature,
                                  const SubElementField* materials, std::uint64_t g, std::span<double> out) const {
  if (!materials) throw Error::message("thermal_strain supplies a material field");
  const double t = temperature.value(ctx.cell(), g, "T");
  const double alpha = materials->value(ctx.cell(), g, "alpha");
  const double x = (t - t_ref) * alpha;
  for (std::size_t k = 0; k < pairs.size(); ++k) out[k] = pairs[k][0] == pairs[k][1] ? x : 0.0;
}

}  // namespace quenlith::models::kernel
