#include "models/kernel/scatter_to_nodes.hpp"

#include <algorithm>

#include "base/error.hpp"
#include "models/kernel/shape_integrals.hpp"
#include "containers/finite_element_space/scatter.hpp"

namespace quenlith::models::kernel {

using containers::node_field::IdIndex;
using containers::node_field::SubNodeField;

SubNodeField scatter_to_nodes(std::span<const SpaceHandle> fespaces, const SupportHandle& support,
                              std::vector<std::string> duals, CellRoutine routine) {
  std::vector<double> sums;
  std::vector<NodeId> nodes;
  const std::uint64_t n_dual = duals.size();
  {
    const BlockCells cells(fespaces, {"scatter_to_nodes: no FE subspace",
                                      "scatter_to_nodes: all FE subspaces must share one submesh"});
    const std::uint64_t npc = cells.nodes_per_cell();
    nodes = support_nodes(support);
    IdIndex index = IdIndex::for_ids(nodes);
    for (std::size_t p = 0; p < nodes.size(); ++p) index.try_insert(nodes[p], static_cast<std::uint32_t>(p));
    sums.assign(nodes.size() * n_dual, 0.0);
    const std::span<double> shared(sums);
    containers::finite_element_space::for_each_colored_run(
        cells.coloring(), containers::finite_element_space::min_cells_per_task(npc), [&](std::uint64_t begin, std::uint64_t end) {
          std::vector<CellContext> ctxs = cells.make_contexts();
          std::vector<double> element(npc * n_dual);
          for (std::uint64_t c = begin; c < end; ++c) {
            for (CellContext& ctx : ctxs) ctx.set_cell(c);
            std::fill(element.begin(), element.end(), 0.0);
            routine(ctxs, element);
            const std::span<const NodeId> ids = cells.node_ids(c);
            for (std::uint64_t a = 0; a < npc; ++a) {
              const auto p = index.find(ids[a]);
              if (!p) throw Error::message("scatter_to_nodes: support does not cover a cell node");
              for (std::uint64_t k = 0; k < n_dual; ++k) shared[*p * n_dual + k] += element[a * n_dual + k];
            }
          }
        });
  }
  SubNodeField zone = SubNodeField::create(support, std::move(duals));
  // The zone's rows are the support's nodes in order: values go by row, so a node
  // listed twice keeps its sum at its first row.
  QUENLITH_VERIFY(zone.node_count() == nodes.size(), "scatter_to_nodes: the support changed during the call");
  std::copy(sums.begin(), sums.end(), zone.values_mut().begin());
  return zone;
}

void flux_element_vector(std::span<const CellContext> ctxs, const FluxDensity& density, std::span<double> out) {
  const CellContext& ctx = ctxs.front();
  const std::uint64_t n_g = ctx.n_gauss();
  add_weighted_shape(
      ctx,
      [&](std::uint64_t g) {
        return density.per_point.empty() ? density.uniform : density.per_point[ctx.cell() * n_g + g];
      },
      out);
}

}  // namespace quenlith::models::kernel
