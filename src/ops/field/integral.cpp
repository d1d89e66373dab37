#include "ops/field/integral.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/node_field_at_gauss.hpp"
#include "models/kernel/scatter_to_nodes.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::field {

using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::finite_element_space::CellGeometry;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using containers::node_field::NodeField;
using containers::node_field::NodeFieldView;
using containers::node_field::SubNodeField;
using models::kernel::CellContext;
using models::kernel::kMaxCellCoords;

namespace {

parallel::Index cell_chunk(std::uint64_t npc) { return parallel::Index(std::max<std::uint64_t>(1, 256 / npc)); }

// The sum over the cells of one subspace of cell(ctx), cells in groups of the pool's
// fixed split, each group summed in cell order.
template <class Cell>
double sum_over_cells(const SubFiniteElementSpace& space, const CellGeometry& geometry, Cell&& cell) {
  return parallel::sum_chunks(
      parallel::Index(geometry.cell_count()), cell_chunk(geometry.nodes_per_cell()),
      [&](parallel::Index begin, parallel::Index end) {
        CellContext ctx(space, geometry, std::uint64_t(begin));
        double total = 0.0;
        for (parallel::Index c = begin; c < end; ++c) {
          ctx.set_cell(std::uint64_t(c));
          total += cell(ctx);
        }
        return total;
      });
}

double zone_integral(const SubElementField& zone, std::string_view component) {
  const store::ReadGuard<SubFiniteElementSpace> space = store::read(zone.support());
  const CellGeometry geometry(*space);
  return sum_over_cells(*space, geometry, [&](const CellContext& ctx) {
    return models::kernel::cell_integral_element(ctx, zone, component);
  });
}

}  // namespace

NodeField divergence(const ElementField& field) {
  NodeField out;
  for (const auto& h : field.subs()) {
    std::optional<SubNodeField> result;
    {
      const store::ReadGuard<SubElementField> zone = store::read(h);
      const auto space = zone->support();
      std::size_t d = 0;
      store::Handle<SubMesh> submesh;
      {
        const store::ReadGuard<SubFiniteElementSpace> s = store::read(space);
        d = s->space_dim();
        submesh = s->submesh();
      }
      const std::size_t ncomp = zone->components().size();
      QUENLITH_VERIFY(ncomp == d,
                      "divergence: the field carries {} component(s) but the FE space is {}-D — expected one vector "
                      "component per axis",
                      ncomp, d);
      const store::Handle<SubMesh> support = store::read(submesh)->node_cloud();
      const SubElementField& z = *zone;
      const double* values = z.values().data();
      const std::size_t n_g = z.gauss_count();
      auto kernel = [&](std::span<const CellContext> ctxs, std::span<double> element) {
        const CellContext& ctx = ctxs[0];
        const std::size_t m = ctx.nodes_per_cell();
        std::array<double, kMaxCellCoords> dn;
        const std::span<double> dn_dx(dn.data(), m * d);
        for (std::size_t g = 0; g < n_g; ++g) {
          ctx.dn_dx(g, dn_dx);
          const double w = ctx.dvolume(g);
          const double* f = values + (ctx.cell() * n_g + g) * ncomp;
          for (std::size_t e = 0; e < m; ++e) {
            double s = 0.0;
            for (std::size_t k = 0; k < d; ++k) s += dn_dx[e * d + k] * f[k];
            element[e] = s * w + element[e];
          }
        }
      };
      result.emplace(models::kernel::scatter_to_nodes(std::span(&space, 1), support, {"div"}, kernel));
    }
    out.push_sub(store::insert(std::move(*result)));
  }
  return out;
}

double integral(const ElementField& field, std::string_view component) {
  double total = 0.0;
  bool found = false;
  for (const auto& h : field.subs()) {
    const store::ReadGuard<SubElementField> zone = store::read(h);
    if (!containers::field::find_component(zone->components(), component)) continue;
    total += zone_integral(*zone, component);
    found = true;
  }
  QUENLITH_VERIFY(found, "integral: no sub-field defines component {}", component);
  return total;
}

double integral(const NodeField& field, std::string_view component,
                const containers::finite_element_space::FiniteElementSpace& space) {
  const NodeFieldView view(field);
  // The component's value at every node that some zone gives it, by node id: the
  // first zone (in field order) holding the node and carrying the name wins, as in
  // a lookup, but in one pass over the zones.
  std::vector<double> value_at;
  std::vector<std::uint8_t> known;
  for (std::size_t i = 0; i < view.zone_count(); ++i) {
    const SubNodeField& zone = view.zone(i);
    const auto k = containers::field::find_component(zone.components(), component);
    if (!k) continue;
    const std::size_t ncomp = zone.components().size();
    const auto nodes = zone.nodes();
    const double* values = zone.values().data();
    for (std::size_t row = 0; row < nodes.size(); ++row) {
      const NodeId n = nodes[row];
      if (n >= known.size()) {
        known.resize(std::size_t(n) + 1, 0);
        value_at.resize(std::size_t(n) + 1, 0.0);
      }
      if (known[n]) continue;
      known[n] = 1;
      value_at[n] = values[row * ncomp + *k];
    }
  }
  double total = 0.0;
  for (const auto& h : space.subs()) {
    const store::ReadGuard<SubFiniteElementSpace> s = store::read(h);
    const CellGeometry geometry(*s);
    const std::size_t npc = geometry.nodes_per_cell();
    // Every node of the subspace must have a value before any cell is summed.
    for (std::uint64_t c = 0; c < geometry.cell_count(); ++c)
      for (const NodeId n : geometry.node_ids(c))
        QUENLITH_VERIFY(n < known.size() && known[n], "no subfield defines (node {}, component {})", n, component);
    const std::size_t n_g = geometry.gauss_count();
    total += sum_over_cells(*s, geometry, [&](const CellContext& ctx) {
      const auto ids = ctx.node_ids();
      double cell = 0.0;
      for (std::size_t g = 0; g < n_g; ++g) {
        const auto n = ctx.n_at_g(g);
        double v = 0.0;
        for (std::size_t j = 0; j < npc; ++j) v += value_at[ids[j]] * n[j];
        cell += v * ctx.dvolume(g);
      }
      return cell;
    });
  }
  return total;
}

}  // namespace quenlith::ops::field
