#include "models/kernel/node_field_at_gauss.hpp"

#include <optional>
#include <type_traits>

#include "base/error.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"

namespace quenlith::models::kernel {

using containers::element_field::SubElementField;
using containers::finite_element_space::CellGeometry;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::node_field::NodeFieldView;

namespace {

// The node values of one cell, name-major: value(k, i) is name k at local node i.
// One per task; each name keeps its own lookup cursor.
class CellNodeValues {
 public:
  CellNodeValues(const NodeFieldView& view, std::span<const std::string> names, std::uint64_t npc)
      : view_(view), names_(names), npc_(npc), values_(names.size() * npc) {
    readers_.reserve(names.size());
    for (const std::string& name : names) readers_.emplace_back(view, name);
  }

  // Looks the values of the cell's nodes up, name by name, node by node; the first
  // missing one fails.
  void gather(std::span<const containers::mesh::NodeId> ids) {
    for (std::size_t k = 0; k < names_.size(); ++k) {
      for (std::uint64_t i = 0; i < npc_; ++i) {
        const auto at = readers_[k].find(ids[i]);
        if (!at) throw Error::message("no subfield defines (node {}, component {})", ids[i], names_[k]);
        const auto& zone = view_.zone(at->zone);
        values_[k * npc_ + i] = zone.values()[at->row * zone.component_count() + at->comp];
      }
    }
  }
  const double* name(std::size_t k) const noexcept { return values_.data() + k * npc_; }

 private:
  const NodeFieldView& view_;
  std::span<const std::string> names_;
  std::uint64_t npc_;
  std::vector<NodeFieldView::Reader> readers_;
  std::vector<double> values_;
};

// The names whose node values the step reads, and the output count it writes.
std::span<const std::string> step_names(const GaussStep& step) {
  return std::visit(
      [](const auto& s) -> std::span<const std::string> {
        if constexpr (std::is_same_v<std::decay_t<decltype(s)>, GaussDeformation>)
          return s.displacements;
        else
          return s.names;
      },
      step);
}

void check_step(const GaussStep& step, std::uint64_t n_out, std::uint64_t dim) {
  if (const auto* s = std::get_if<GaussInterpolation>(&step)) {
    QUENLITH_VERIFY(n_out == s->names.size(), "node_field_at_gauss: {} output(s) for {} interpolated name(s)", n_out,
                    s->names.size());
    return;
  }
  QUENLITH_VERIFY(dim <= 3, "node_field_at_gauss: derivatives need a space of at most 3 dimensions, not {}", dim);
  if (const auto* s = std::get_if<GaussGradient>(&step)) {
    QUENLITH_VERIFY(n_out == s->names.size() * dim, "node_field_at_gauss: {} output(s) for the gradient of {} name(s)",
                    n_out, s->names.size());
    return;
  }
  const auto& s = std::get<GaussDeformation>(step);
  QUENLITH_VERIFY(n_out == s.pairs.size(), "node_field_at_gauss: {} output(s) for {} strain pair(s)", n_out,
                  s.pairs.size());
  for (const AxisPair& p : s.pairs)
    QUENLITH_VERIFY(p[0] < s.displacements.size() && p[1] < s.displacements.size() && p[0] < dim && p[1] < dim,
                    "node_field_at_gauss: strain pair ({}, {}) beyond {} displacement(s) in {}-D", p[0], p[1],
                    s.displacements.size(), dim);
}

}  // namespace

SubElementField node_field_at_gauss(const SpaceHandle& fespace, const NodeFieldView& view,
                                    std::vector<std::string> components, const GaussStep& step) {
  SubElementField zone = SubElementField::create(fespace, std::move(components));
  const std::uint64_t n_out = zone.component_count();
  const store::ReadGuard<SubFiniteElementSpace> space = store::read(fespace);
  const CellGeometry geometry(*space);
  const std::uint64_t n_cells = geometry.cell_count(), n_g = geometry.gauss_count();
  const std::uint64_t npc = geometry.nodes_per_cell(), dim = geometry.space_dim();
  QUENLITH_VERIFY(zone.cell_count() == n_cells && zone.gauss_count() == n_g,
                  "node_field_at_gauss: the subspace changed during the call");
  check_step(step, n_out, dim);
  if (n_cells == 0) return zone;
  QUENLITH_VERIFY(n_g * n_out > 0, "node_field_at_gauss: empty chunk (no Gauss point or no component)");
  const std::span<const std::string> names = step_names(step);
  const std::span<double> values = zone.values_mut();
  parallel::for_chunks(
      parallel::Index(n_cells), parallel::Index(containers::finite_element_space::min_cells_per_task(n_g)),
      [&](parallel::Index begin, parallel::Index end) {
        CellContext ctx(*space, geometry, std::uint64_t(begin));
        CellNodeValues f(view, names, npc);
        std::array<double, kMaxCellCoords> dn;
        const std::span<double> dn_dx(dn.data(), dim <= 3 ? npc * dim : 0);  // no derivative beyond 3-D
        const bool interpolation = std::holds_alternative<GaussInterpolation>(step);
        for (parallel::Index c = begin; c < end; ++c) {
          ctx.set_cell(std::uint64_t(c));
          // The derivative steps take dN/dx at a point before reading the node values
          // there: a degenerate cell reports its geometry first.
          if (!interpolation) ctx.dn_dx(0, dn_dx);
          f.gather(ctx.node_ids());
          double* cell_out = values.data() + c * n_g * n_out;
          for (std::uint64_t g = 0; g < n_g; ++g) {
            double* out = cell_out + g * n_out;
            if (interpolation) {
              const std::span<const double> shape = ctx.n_at_g(g);
              for (std::size_t k = 0; k < names.size(); ++k) {
                const double* u = f.name(k);
                double v = 0.0;
                for (std::uint64_t i = 0; i < npc; ++i) v += shape[i] * u[i];
                out[k] = v;
              }
              continue;
            }
            if (g != 0) ctx.dn_dx(g, dn_dx);
            if (std::holds_alternative<GaussGradient>(step)) {
              for (std::size_t k = 0; k < names.size(); ++k) {
                const double* u = f.name(k);
                for (std::uint64_t d = 0; d < dim; ++d) {
                  double v = 0.0;
                  for (std::uint64_t i = 0; i < npc; ++i) v += u[i] * dn_dx[i * dim + d];
                  out[k * dim + d] = v;
                }
              }
              continue;
            }
            const std::span<const AxisPair> pairs = std::get<GaussDeformation>(step).pairs;
            for (std::size_t k = 0; k < pairs.size(); ++k) {
              const std::uint64_t a = pairs[k][0], b = pairs[k][1];
              const double* ua = f.name(a);
              const double* ub = f.name(b);
              double s1 = 0.0, s2 = 0.0;
              for (std::uint64_t i = 0; i < npc; ++i) {
                s1 += ub[i] * dn_dx[i * dim + a];
                s2 += ua[i] * dn_dx[i * dim + b];
              }
              out[k] = 0.5 * (s2 + s1);
            }
          }
        }
      });
  return zone;
}

}  // namespace quenlith::models::kernel
