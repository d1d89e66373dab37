#include "ops/field/beam_deformation.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "base/error.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/line_element.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::finite_element_space::CellGeometry;
using containers::finite_element_space::FiniteElementSpace;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::NodeId;
using containers::node_field::NodeField;
using containers::node_field::NodeFieldView;
using models::kernel::CellContext;
using models::kernel::kMaxCellCoords;

namespace {

constexpr std::string_view kName = "beam_deformation";

void require_component(std::span<const std::string> comps, std::string_view name) {
  QUENLITH_VERIFY(std::find(comps.begin(), comps.end(), name) != comps.end(),
                  "beam_deformation: the field must carry a '{}' component (has: [{}])", name, fmt::join(comps, ", "));
}

// The values of `name` at the cell's nodes, in connectivity order.
void gather(const NodeFieldView& view, std::span<const NodeId> nodes, std::string_view name, std::span<double> out) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::optional<double> v = view.value(nodes[i], name);
    QUENLITH_VERIFY(v.has_value(), "no subfield defines (node {}, component {})", nodes[i], name);
    out[i] = *v;
  }
}

// The zone of one subspace.
SubElementField subspace_strains(const NodeFieldView& view, const store::Handle<SubFiniteElementSpace>& handle) {
  // Made before the subspace's guard is taken: making it reads the subspace, and one
  // thread never holds two guards on one object.
  SubElementField zone = SubElementField::create(handle, {"kappa", "gamma"});
  const store::ReadGuard<SubFiniteElementSpace> space = store::read(handle);
  // On a space of more dimensions the derivative table holds nodes x axes values,
  // and reading its first m entries as dN_i/dx would mix nodes and axes.
  QUENLITH_VERIFY(space->space_dim() == 1,
                  "beam_deformation: the FE space is {}-D; beam section strains need a 1-D configuration (a beam "
                  "along the x axis)",
                  space->space_dim());
  const CellGeometry geometry(*space);
  const std::uint64_t m = geometry.nodes_per_cell();
  const bool line_cells = geometry.ref_dim() == 1;  // SEG2, SEG3: end nodes 0 and 1
  const std::uint64_t n_g = geometry.gauss_count();
  const std::span<double> values = zone.values_mut();
  const std::uint64_t per_cell = 2 * n_g;
  const parallel::Index min_cells = std::max<parallel::Index>(1, 256 / std::max<std::uint64_t>(1, per_cell));
  parallel::for_chunks(geometry.cell_count(), min_cells, [&](parallel::Index begin, parallel::Index end) {
    CellContext ctx(*space, geometry, begin);
    std::array<double, kMaxCellCoords> w, theta, dn;
    for (parallel::Index c = begin; c < end; ++c) {
      ctx.set_cell(c);
      const std::span<const NodeId> nodes = ctx.node_ids();
      gather(view, nodes, "w", std::span(w.data(), m));
      gather(view, nodes, "theta", std::span(theta.data(), m));
      // Coincident end nodes leave no length to differentiate over.
      if (line_cells) models::kernel::require_length(ctx, ctx.node_coords(1)[0] - ctx.node_coords(0)[0], kName);
      ctx.dn_dx(0, std::span(dn.data(), m));
      double kappa = 0.0, slope = 0.0, sum_theta = 0.0;
      for (std::uint64_t i = 0; i < m; ++i) kappa += dn[i] * theta[i];
      for (std::uint64_t i = 0; i < m; ++i) slope += dn[i] * w[i];
      for (std::uint64_t i = 0; i < m; ++i) sum_theta += theta[i];
      const double gamma = slope - sum_theta / double(m);
      const std::span<double> cell = values.subspan(c * per_cell, per_cell);
      for (std::uint64_t g = 0; g < n_g; ++g) {
        cell[2 * g] = kappa;
        cell[2 * g + 1] = gamma;
      }
    }
  });
  return zone;
}

}  // namespace

ElementField beam_deformation(const NodeField& field, const FiniteElementSpace& space) {
  const std::vector<std::string> comps = field.components();
  require_component(comps, "w");
  require_component(comps, "theta");
  const NodeFieldView view(field);
  ElementField out;
  for (const auto& h : space.subs()) out.push_sub(store::insert(subspace_strains(view, h)));
  return out;
}

}  // namespace quenlith::ops::field
