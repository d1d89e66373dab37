#include "ops/field/integral.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/error.hpp"
#include "containers/field/components.hpp"
#include "containers/field/values.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/geometry.hpp"
#include "models/kernel/cell_context.hpp"
#include "models/kernel/scatter_to_nodes.hpp"
#include "models/kernel/shape_integrals.hpp"
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

// sqrt(max(det(JᵀJ), 0)) for J = Σ_m x_m ⊗ dN_m (S × R), the arithmetic of
// jacobian_from_nodes, gram_matrix, det_small and measure_from_jacobian in the
// same order (so the same bits), with the dimensions known to the compiler. S = 0
// stands for dimensions known only at run time: the shared routines themselves.
template <std::size_t S, std::size_t R>
[[gnu::always_inline]] inline double cell_measure(const double* x, const double* dn, std::size_t npc, std::size_t s, std::size_t r) {
  if constexpr (S == 0) {
    double j[9];
    containers::finite_element_space::jacobian_from_nodes(std::span(x, npc * s), std::span(dn, npc * r), s, r, npc,
                                                          std::span(j, s * r));
    return containers::finite_element_space::measure_from_jacobian(std::span<const double>(j, s * r), s, r);
  } else {
    double j[S * R];
    for (std::size_t a = 0; a < S; ++a)
      for (std::size_t k = 0; k < R; ++k) {
        double sum = 0.0;
        for (std::size_t m = 0; m < npc; ++m) sum += x[m * S + a] * dn[m * R + k];
        j[a * R + k] = sum;
      }
    double g[R * R];
    for (std::size_t k = 0; k < R; ++k)
      for (std::size_t l = 0; l < R; ++l) {
        double sum = 0.0;
        for (std::size_t a = 0; a < S; ++a) sum += j[a * R + k] * j[a * R + l];
        g[k * R + l] = sum;
      }
    if constexpr (S == 1 && R == 1) {
      // sqrt(j·j) is |j| exactly (binary floating point, rounding to nearest) while
      // j·j neither overflows nor underflows: the same bits without the square root.
      const double a = std::fabs(j[0]);
      if (a > 0x1p-500 && a < 0x1p500) return a;
    }
    double det;
    if constexpr (R == 1)
      det = g[0];
    else if constexpr (R == 2)
      det = g[0] * g[3] - g[1] * g[2];
    else
      det = containers::finite_element_space::det_small(std::span<const double>(g, R * R), R);
    return det > 0.0 ? std::sqrt(det) : 0.0;
  }
}

// The sum over the cells of one subspace of body(cell, dvolume, npc), where
// dvolume(g) is the integration weight of Gauss point g (the bits of
// CellContext::dvolume) and npc the nodes per cell (a compile-time constant when
// NPC is not 0). check(cell, npc) runs first for each cell, before its coordinates
// are read. Cells go
// in groups of the pool's fixed split; inside a group cell i adds to running sum
// i mod 4, joined as (s0 + s1) + (s2 + s3), so the total does not depend on the
// threads. When every Gauss point has the same shape derivatives (affine cells)
// the measure is the same at each, and is computed once per cell.
template <std::size_t S, std::size_t R, std::size_t NPC, class Check, class Body>
double sum_cells(const SubFiniteElementSpace& space, const CellGeometry& geometry, Check& check, Body& body) {
  const auto npc_c = [&] {
    if constexpr (NPC != 0)
      return std::integral_constant<std::size_t, NPC>{};
    else
      return std::size_t(geometry.nodes_per_cell());
  }();
  const std::size_t npc = npc_c, s = geometry.space_dim(), r = geometry.ref_dim();
  const std::size_t n_g = geometry.gauss_count(), stride = npc * r;
  const std::span<const double> dn = space.dn_at_g_table();
  const std::span<const double> w = space.gauss_w_table();
  bool affine = true;
  for (std::size_t g = 1; g < n_g && affine; ++g)
    affine = std::equal(dn.begin(), dn.begin() + stride, dn.begin() + g * stride,
                        [](double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); });
  return parallel::sum_chunks(
      parallel::Index(geometry.cell_count()), cell_chunk(npc), [&](parallel::Index begin, parallel::Index end) {
        std::array<double, kMaxCellCoords> x;
        const std::span<double> xs(x.data(), npc * s);
        const auto one = [&](parallel::Index c) __attribute__((always_inline)) {
          check(std::uint64_t(c), npc_c);
          geometry.node_coords<S, NPC>(std::uint64_t(c), xs);
          const double flat = affine ? cell_measure<S, R>(x.data(), dn.data(), npc, s, r) : 0.0;
          const auto dvolume = [&](std::size_t g) __attribute__((always_inline)) {
            return (affine ? flat : cell_measure<S, R>(x.data(), dn.data() + g * stride, npc, s, r)) * w[g];
          };
          return body(std::uint64_t(c), dvolume, npc_c);
        };
        double s0 = -0.0, s1 = -0.0, s2 = -0.0, s3 = -0.0;
        parallel::Index c = begin;
        for (; c + 4 <= end; c += 4) {
          s0 += one(c);
          s1 += one(c + 1);
          s2 += one(c + 2);
          s3 += one(c + 3);
        }
        if (c < end) s0 += one(c++);
        if (c < end) s1 += one(c++);
        if (c < end) s2 += one(c++);
        return (s0 + s1) + (s2 + s3);
      });
}

// sum_cells with the nodes per cell fixed at compile time for the linear cells and
// the three-node lines.
template <std::size_t S, std::size_t R, class Check, class Body>
double sum_cells_of(const SubFiniteElementSpace& space, const CellGeometry& geometry, Check& check, Body& body) {
  const std::size_t npc = geometry.nodes_per_cell();
  if constexpr (R == 1) {
    if (npc == 2) return sum_cells<S, R, 2>(space, geometry, check, body);
    if (npc == 3) return sum_cells<S, R, 3>(space, geometry, check, body);
  } else if constexpr (R == 2) {
    if (npc == 3) return sum_cells<S, R, 3>(space, geometry, check, body);
    if (npc == 4) return sum_cells<S, R, 4>(space, geometry, check, body);
  } else if constexpr (R == 3) {
    if (npc == 4) return sum_cells<S, R, 4>(space, geometry, check, body);
  }
  return sum_cells<S, R, 0>(space, geometry, check, body);
}

// sum_cells with the dimensions of the subspace fixed at compile time where they
// are those of a line, surface or volume in 1-, 2- or 3-D.
template <class Check, class Body>
double sum_over_cells(const SubFiniteElementSpace& space, const CellGeometry& geometry, Check&& check, Body&& body) {
  // The run-time path keeps its Jacobian and coordinates in fixed 3-D buffers.
  QUENLITH_VERIFY(geometry.space_dim() <= 3, "cell geometry: a {}-D space is not supported (1-D to 3-D only)",
                  geometry.space_dim());
  switch (geometry.space_dim() * 4 + geometry.ref_dim()) {
    case 1 * 4 + 1: return sum_cells_of<1, 1>(space, geometry, check, body);
    case 2 * 4 + 1: return sum_cells_of<2, 1>(space, geometry, check, body);
    case 2 * 4 + 2: return sum_cells_of<2, 2>(space, geometry, check, body);
    case 3 * 4 + 1: return sum_cells_of<3, 1>(space, geometry, check, body);
    case 3 * 4 + 2: return sum_cells_of<3, 2>(space, geometry, check, body);
    case 3 * 4 + 3: return sum_cells_of<3, 3>(space, geometry, check, body);
    default: return sum_cells<0, 0, 0>(space, geometry, check, body);
  }
}

// The integral of component k of an element zone: per cell, Σ_g value(cell, g, k) dΩ_g
// over its Gauss points in order from 0.0, cells summed as sum_over_cells does.
double zone_integral(const SubElementField& zone, std::size_t k) {
  const store::ReadGuard<SubFiniteElementSpace> space = store::read(zone.support());
  const CellGeometry geometry(*space);
  const std::size_t ncomp = zone.components().size();
  const std::size_t n_g = geometry.gauss_count();
  const double* values = zone.values().data();
  return sum_over_cells(
      *space, geometry, [](std::uint64_t, auto) {},
      [&](std::uint64_t cell, const auto& dvolume, auto) __attribute__((always_inline)) {
        double s = 0.0;
        for (std::size_t g = 0; g < n_g; ++g) s += values[(cell * n_g + g) * ncomp + k] * dvolume(g);
        return s;
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
        models::kernel::add_gradient_dot(
            ctx,
            [&](std::uint64_t g, std::span<double> v) {
              const double* f = values + (ctx.cell() * n_g + g) * ncomp;
              std::copy(f, f + ncomp, v.begin());
            },
            element);
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
    const auto k = containers::field::find_component(zone->components(), component);
    if (!k) continue;
    total += zone_integral(*zone, *k);
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
  std::vector<std::size_t> carrying;
  NodeId top = 0;
  for (std::size_t i = 0; i < view.zone_count(); ++i) {
    const SubNodeField& zone = view.zone(i);
    if (!containers::field::find_component(zone.components(), component)) continue;
    carrying.push_back(i);
    for (const NodeId n : zone.nodes()) top = std::max(top, n + 1);
  }
  containers::field::Values value_at(top);  // read only where `known` is set
  std::vector<std::uint8_t> known(top, 0);
  // Raw pointers: a byte store through `known` could otherwise alias the vectors'
  // own pointers, which would then be reloaded at every node.
  std::uint8_t* const is_known = known.data();
  double* const values_by_id = value_at.data();
  for (const std::size_t i : carrying) {
    const SubNodeField& zone = view.zone(i);
    const std::size_t k = *containers::field::find_component(zone.components(), component);
    const std::size_t ncomp = zone.components().size();
    const auto nodes = zone.nodes();
    const double* values = zone.values().data();
    for (std::size_t row = 0; row < nodes.size(); ++row) {
      const NodeId n = nodes[row];
      if (is_known[n]) continue;
      is_known[n] = 1;
      values_by_id[n] = values[row * ncomp + k];
    }
  }
  double total = 0.0;
  for (const auto& h : space.subs()) {
    const store::ReadGuard<SubFiniteElementSpace> s = store::read(h);
    const CellGeometry geometry(*s);
    const std::size_t n_g = geometry.gauss_count();
    const double* n_at_g = s->n_at_g_table().data();
    // Every node of a cell must have a value; cells are checked in order (the
    // pool reports the failure of the first failing cell) before their coordinates.
    const auto check = [&](std::uint64_t cell, auto npc_c) __attribute__((always_inline)) {
      const NodeId* ids = geometry.node_ids(cell).data();
      for (std::size_t j = 0; j < std::size_t(npc_c); ++j)
        QUENLITH_VERIFY(ids[j] < top && known[ids[j]], "no subfield defines (node {}, component {})", ids[j],
                        component);
    };
    const auto cell_sum = [&](std::uint64_t cell, const auto& dvolume, auto npc_c) __attribute__((always_inline)) {
      const NodeId* ids = geometry.node_ids(cell).data();
      double sum = 0.0;
      for (std::size_t g = 0; g < n_g; ++g) {
        const double* n = n_at_g + g * std::size_t(npc_c);
        double v = 0.0;
        for (std::size_t j = 0; j < std::size_t(npc_c); ++j) v += value_at[ids[j]] * n[j];
        sum += v * dvolume(g);
      }
      return sum;
    };
    total += sum_over_cells(*s, geometry, check, cell_sum);
  }
  return total;
}

}  // namespace quenlith::ops::field
