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
