#include "models/kernel/shape_integrals.hpp"

namespace quenlith::models::kernel {

void add_shape_products(const CellContext& ctx, std::uint64_t n_comp, PointValue coefficient, std::span<double> out) {
  const std::uint64_t npc = ctx.nodes_per_cell(), n = npc * n_comp;
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double w = ctx.dvolume(g);
    const double wc = w * coefficient(g);
    const std::span<const double> shape = ctx.n_at_g(g);
    for (std::uint64_t a = 0; a < npc; ++a)
      for (std::uint64_t b = 0; b < npc; ++b) {
        const double m = shape[a] * shape[b] * wc;
        for (std::uint64_t c = 0; c < n_comp; ++c) out[(a * n_comp + c) * n + b * n_comp + c] += m;
      }
  }
}

void add_gradient_products(const CellContext& ctx, PointValue coefficient, std::span<double> out) {
  const std::uint64_t npc = ctx.nodes_per_cell(), d = ctx.space_dim();
  double grads[kMaxCellCoords];
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double w = ctx.dn_dx_dvolume(g, std::span<double>(grads, npc * d));
    const double k = coefficient(g);
    for (std::uint64_t a = 0; a < npc; ++a)
      for (std::uint64_t b = 0; b < npc; ++b) {
        double s = 0.0;
        for (std::uint64_t j = 0; j < d; ++j) s += grads[a * d + j] * grads[b * d + j];
        out[a * npc + b] += s * k * w;
      }
  }
}

namespace {

// The diffusion matrix of one cell, sizes fixed: the arithmetic of
// add_gradient_products. Its terms are symmetric bit for bit (G_a . G_b and G_b . G_a
// multiply the same pairs and add them in the same order), so the upper triangle is
// computed and mirrored.
template <std::size_t S, std::size_t NPC>
class GradientProducts final : public PreparedKernel {
 public:
  using Pair = typename FixedCells<S, NPC>::Pair;

  GradientProducts(const containers::finite_element_space::CellGeometry& geometry, const double* coefficient,
                   std::uint64_t cell_stride, std::uint64_t point_stride)
      : cells_(geometry), coefficient_(coefficient), cell_stride_(cell_stride), point_stride_(point_stride) {}

  bool add_cell(std::uint64_t cell, std::span<double> out) const override {
    const std::uint64_t n_g = cells_.gauss_count();
    if (n_g == 0) return true;
    double x[NPC * S];
    if (!cells_.gather(cell, x)) return false;
    const double* k = coefficient_ + cell * cell_stride_;
    double* o = out.data();
    if (cells_.affine()) {
      // Every point has the geometry of the first: same dN/dx, same measure.
      double grads[NPC * S], dots[NPC * NPC], measure;
      if (!cells_.point(0, x, grads, measure)) return false;
      dot_products(grads, dots);
      for (std::uint64_t g = 0; g < n_g; ++g) accumulate(dots, k[g * point_stride_], measure * cells_.gauss_weight(g), o);
    } else {
      // Two points at a time, each lane the arithmetic of one point; their terms are
      // added in point order.
      Pair grads[NPC * S], dots[NPC * NPC], measure;
      for (std::uint64_t q = 0; 2 * q < n_g; ++q) {
        if (!cells_.pair(q, x, grads, measure)) return false;
        dot_products(grads, dots);
        const bool both = 2 * q + 1 < n_g;
        const Pair kq{k[2 * q * point_stride_], both ? k[(2 * q + 1) * point_stride_] : 0.0};
        const Pair w = measure * cells_.pair_weights(q);
        for (std::size_t a = 0; a < NPC; ++a)
          for (std::size_t b = a; b < NPC; ++b) {
            const Pair t = dots[a * NPC + b] * kq * w;
            o[a * NPC + b] += t[0];
            if (both) o[a * NPC + b] += t[1];
          }
      }
    }
    mirror(o);
    return true;
  }

  // Two cells of an affine rule side by side, lane by lane the arithmetic of
  // add_cell; other rules go cell by cell.
  bool add_pair(std::uint64_t first, std::uint64_t second, std::span<double> out_first,
                std::span<double> out_second) const override {
    const std::uint64_t n_g = cells_.gauss_count();
    if (!cells_.affine() || n_g == 0) return add_cell(first, out_first) && add_cell(second, out_second);
    double x0[NPC * S], x1[NPC * S];
    if (!cells_.gather(first, x0) || !cells_.gather(second, x1)) return false;
    Pair x[NPC * S], grads[NPC * S], dots[NPC * NPC], measure;
    for (std::size_t i = 0; i < NPC * S; ++i) x[i] = Pair{x0[i], x1[i]};
    if (!cells_.two_cells(0, x, grads, measure)) return false;
    dot_products(grads, dots);
    const double* k0 = coefficient_ + first * cell_stride_;
    const double* k1 = coefficient_ + second * cell_stride_;
    double* o0 = out_first.data();
    double* o1 = out_second.data();
    for (std::uint64_t g = 0; g < n_g; ++g) {
      const Pair k{k0[g * point_stride_], k1[g * point_stride_]};
      const Pair w = measure * cells_.gauss_weight(g);
      for (std::size_t a = 0; a < NPC; ++a)
        for (std::size_t b = a; b < NPC; ++b) {
          const Pair t = dots[a * NPC + b] * k * w;
          o0[a * NPC + b] += t[0];
          o1[a * NPC + b] += t[1];
        }
    }
    mirror(o0);
    mirror(o1);
    return true;
  }

 private:
  static void mirror(double* o) {
    for (std::size_t a = 0; a < NPC; ++a)
      for (std::size_t b = 0; b < a; ++b) o[a * NPC + b] = o[b * NPC + a];
  }
  template <class V>
  [[gnu::always_inline]] static void dot_products(const V* grads, V* dots) {
    for (std::size_t a = 0; a < NPC; ++a)
      for (std::size_t b = a; b < NPC; ++b) {
        V s{};
#pragma GCC unroll 3
        for (std::size_t j = 0; j < S; ++j) s += grads[a * S + j] * grads[b * S + j];
        dots[a * NPC + b] = s;
      }
  }
  [[gnu::always_inline]] static void accumulate(const double* dots, double k, double w, double* out) {
    for (std::size_t a = 0; a < NPC; ++a)
      for (std::size_t b = a; b < NPC; ++b) out[a * NPC + b] += dots[a * NPC + b] * k * w;
  }

  FixedCells<S, NPC> cells_;
  const double* coefficient_;
  std::uint64_t cell_stride_, point_stride_;
};

}  // namespace

std::unique_ptr<PreparedKernel> prepare_gradient_products(
    const containers::finite_element_space::CellGeometry& cells,
    const containers::element_field::SubElementField& zone, std::uint64_t component) {
  if (zone.cell_count() < cells.cell_count() || zone.gauss_count() < cells.gauss_count() ||
      component >= zone.component_count())
    return nullptr;
  const std::uint64_t n_comp = zone.component_count();
  const double* values = zone.values().data() + component;
  return with_volume_sizes<std::unique_ptr<PreparedKernel>>(
      cells.nodes_per_cell(), cells.space_dim(), cells.ref_dim(), nullptr,
      [&]<std::size_t S, std::size_t NPC>() -> std::unique_ptr<PreparedKernel> {
        return std::make_unique<GradientProducts<S, NPC>>(cells, values, zone.gauss_count() * n_comp, n_comp);
      });
}

void add_gradient_dot(const CellContext& ctx, PointVector vector, std::span<double> out) {
  const std::uint64_t npc = ctx.nodes_per_cell(), d = ctx.space_dim();
  double grads[kMaxCellCoords];
  double v[3];
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double w = ctx.dn_dx_dvolume(g, std::span<double>(grads, npc * d));
    vector(g, std::span<double>(v, d));
    for (std::uint64_t a = 0; a < npc; ++a) {
      double s = 0.0;
      for (std::uint64_t i = 0; i < d; ++i) s += grads[a * d + i] * v[i];
      out[a] += s * w;
    }
  }
}

void add_weighted_shape(const CellContext& ctx, PointValue value, std::span<double> out) {
  const std::uint64_t npc = ctx.nodes_per_cell();
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double w = ctx.dvolume(g);
    const double vw = value(g) * w;
    const std::span<const double> shape = ctx.n_at_g(g);
    for (std::uint64_t a = 0; a < npc; ++a) out[a] += shape[a] * vw;
  }
}

}  // namespace quenlith::models::kernel
