#include "models/elasticity/small_strain.hpp"

#include <type_traits>

#include <Eigen/Core>
#include <fmt/format.h>

#include "base/error.hpp"
#include "models/kernel/shape_integrals.hpp"

namespace quenlith::models::kernel {

namespace {

constexpr char kAxes[] = {'x', 'y', 'z'};

template <int V>
using Square = Eigen::Matrix<double, V, V>;

// The Hooke matrix of the plane hypotheses (V = 3) or of the solid (V = 6).
template <int V>
Square<V> hooke(ContinuumModel model, double e, double nu) {
  Square<V> d = Square<V>::Zero();
  if constexpr (V == 3) {
    if (model == ContinuumModel::PlaneStress) {
      const double f = e / (1.0 - nu * nu);
      d(0, 0) = f;
      d(0, 1) = nu * f;
      d(1, 0) = nu * f;
      d(1, 1) = f;
      d(2, 2) = (1.0 - nu) * f * 0.5;
    } else {
      const double h = e / ((1.0 + nu) * (1.0 - 2.0 * nu));
      d(0, 0) = (1.0 - nu) * h;
      d(0, 1) = nu * h;
      d(1, 0) = nu * h;
      d(1, 1) = (1.0 - nu) * h;
      d(2, 2) = (1.0 - 2.0 * nu) * h * 0.5;
    }
  } else {
    const double h = e / ((1.0 + nu) * (1.0 - 2.0 * nu));
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) d(i, j) = i == j ? (1.0 - nu) * h : nu * h;
    for (int i = 3; i < 6; ++i) d(i, i) = (1.0 - 2.0 * nu) * h * 0.5;
  }
  return d;
}

// B (V x n) from the node-major gradients; every entry written.
template <int NPC, int D, int V = (D == 2 ? 3 : 6)>
void fill_b(const double* g, Eigen::Matrix<double, V, NPC * D>& b) {
  b.setZero();
  for (int a = 0; a < NPC; ++a) {
    if constexpr (D == 2) {
      const double gx = g[2 * a], gy = g[2 * a + 1];
      b(0, 2 * a) = gx;
      b(1, 2 * a + 1) = gy;
      b(2, 2 * a) = gy;
      b(2, 2 * a + 1) = gx;
    } else {
      const double gx = g[3 * a], gy = g[3 * a + 1], gz = g[3 * a + 2];
      b(0, 3 * a) = gx;
      b(1, 3 * a + 1) = gy;
      b(2, 3 * a + 2) = gz;
      b(3, 3 * a + 1) = gz;
      b(3, 3 * a + 2) = gy;
      b(4, 3 * a) = gz;
      b(4, 3 * a + 2) = gx;
      b(5, 3 * a) = gy;
      b(5, 3 * a + 1) = gx;
    }
  }
}

// K += sum over Gauss points of (B^T (D_g B)) w_g, with D_g = hooke_at(g), on
// fixed-size matrices. B^T (D B) is summed over the Voigt index in order.
// `point(g, grads)` writes dN/dx at g and returns the point's dΩ.
template <int NPC, int D, class Point, class HookeAt>
void btdb(std::uint64_t n_g, Point&& point, HookeAt&& hooke_at, std::span<double> out) {
  constexpr int N = NPC * D;
  constexpr int V = D == 2 ? 3 : 6;
  Eigen::Map<Eigen::Matrix<double, N, N, Eigen::RowMajor>> k(out.data());
  Eigen::Matrix<double, V, N> b;
  Eigen::Matrix<double, V, N> db;
  double grads[N];
  for (std::uint64_t g = 0; g < n_g; ++g) {
    const double w = point(g, grads);
    fill_b<NPC, D>(grads, b);
    const Square<V>& hooke_g = hooke_at(g);
    db.noalias() = hooke_g.lazyProduct(b);
    k.noalias() += b.transpose().lazyProduct(db) * w;
  }
}

template <int NPC, int D, class HookeAt>
void btdb(const CellContext& ctx, HookeAt&& hooke_at, std::span<double> out) {
  btdb<NPC, D>(
      ctx.n_gauss(),
      [&](std::uint64_t g, double* grads) { return ctx.dn_dx_dvolume(g, std::span<double>(grads, NPC * D)); },
      std::forward<HookeAt>(hooke_at), out);
}

// elasticity_stiffness on every cell of a volume subspace, E and nu read by position.
template <std::size_t D, std::size_t NPC>
class ElasticStiffness final : public PreparedKernel {
 public:
  ElasticStiffness(const containers::finite_element_space::CellGeometry& geometry, ContinuumModel model,
                   const double* e, const double* nu, std::uint64_t cell_stride)
      : cells_(geometry), model_(model), e_(e), nu_(nu), cell_stride_(cell_stride) {}

  bool add_cell(std::uint64_t cell, std::span<double> out) const override {
    constexpr int V = D == 2 ? 3 : 6;
    const Square<V> hooke_cell = hooke<V>(model_, e_[cell * cell_stride_], nu_[cell * cell_stride_]);
    const std::uint64_t n_g = cells_.gauss_count();
    if (n_g == 0) return true;
    double x[NPC * D];
    if (!cells_.gather(cell, x)) return false;
    bool regular = true;
    double measure = 0.0;
    btdb<static_cast<int>(NPC), static_cast<int>(D)>(
        n_g,
        [&](std::uint64_t g, double* grads) {
          // Every point of an affine rule has the geometry of the first.
          if (regular && (g == 0 || !cells_.affine())) regular = cells_.point(g, x, grads, measure);
          return regular ? measure * cells_.gauss_weight(g) : 0.0;
        },
        [&](std::uint64_t) -> const Square<V>& { return hooke_cell; }, out);
    return regular;
  }

 private:
  FixedCells<D, NPC> cells_;
  ContinuumModel model_;
  const double* e_;
  const double* nu_;
  std::uint64_t cell_stride_;
};

// Calls f.template operator()<NPC, D>() for the cell's nodes per cell and space
// dimension: one fixed-size instance per count of the catalogue.
template <class F>
void with_sizes(std::uint64_t npc, std::uint64_t d, F&& f) {
  const auto in_dim = [&]<int D>() {
    switch (npc) {
      case 2: return f.template operator()<2, D>();
      case 3: return f.template operator()<3, D>();
      case 4: return f.template operator()<4, D>();
      case 6: return f.template operator()<6, D>();
      case 8: return f.template operator()<8, D>();
      case 9: return f.template operator()<9, D>();
      case 10: return f.template operator()<10, D>();
      case 15: return f.template operator()<15, D>();
      case 20: return f.template operator()<20, D>();
      case 27: return f.template operator()<27, D>();
      default: throw Error::message("continuum kernel: no element with {} nodes per cell", npc);
    }
  };
  if (d == 2) return in_dim.template operator()<2>();
  if (d == 3) return in_dim.template operator()<3>();
  throw Error::message("continuum kernel: space dimension {} is not 2 or 3", d);
}

void check_buffer(const CellContext& ctx, std::span<double> out) {
  const std::uint64_t n = ctx.nodes_per_cell() * ctx.space_dim();
  QUENLITH_VERIFY(out.size() >= n * n, "continuum kernel: element buffer of {} values for {}×{}", out.size(), n, n);
}

}  // namespace

std::vector<std::vector<double>> elasticity_d_matrix(ContinuumModel model, std::uint64_t d, double e, double nu) {
  const auto rows = [](const auto& m) {
    std::vector<std::vector<double>> out(m.rows(), std::vector<double>(m.cols()));
    for (int i = 0; i < m.rows(); ++i)
      for (int j = 0; j < m.cols(); ++j) out[i][j] = m(i, j);
    return out;
  };
  if (d == 2 && model != ContinuumModel::Solid) return rows(hooke<3>(model, e, nu));
  return rows(hooke<6>(model, e, nu));
}

std::vector<std::vector<double>> strain_displacement_matrix(std::span<const double> grads, std::uint64_t npc,
                                                            std::uint64_t d) {
  const bool plane = d == 2;
  const std::uint64_t dd = plane ? 2 : 3;
  std::vector<std::vector<double>> b(plane ? 3 : 6, std::vector<double>(dd * npc, 0.0));
  for (std::uint64_t a = 0; a < npc; ++a) {
    const double gx = grads[a * dd], gy = grads[a * dd + 1];
    if (plane) {
      b[0][2 * a] = gx;
      b[1][2 * a + 1] = gy;
      b[2][2 * a] = gy;
      b[2][2 * a + 1] = gx;
    } else {
      const double gz = grads[a * dd + 2];
      b[0][3 * a] = gx;
      b[1][3 * a + 1] = gy;
      b[2][3 * a + 2] = gz;
      b[3][3 * a + 1] = gz;
      b[3][3 * a + 2] = gy;
      b[4][3 * a] = gz;
      b[4][3 * a + 2] = gx;
      b[5][3 * a] = gy;
      b[5][3 * a + 1] = gx;
    }
  }
  return b;
}

void elasticity_stiffness(const CellContext& ctx, const SubElementField& materials, ContinuumModel model,
                          std::span<double> out) {
  const double e = materials.value(ctx.cell(), 0, "E");
  const double nu = materials.value(ctx.cell(), 0, "nu");
  check_buffer(ctx, out);
  const std::uint64_t d = ctx.space_dim();
  QUENLITH_VERIFY(!(d == 2 && model == ContinuumModel::Solid), "continuum kernel: a Solid hypothesis in 2-D");
  with_sizes(ctx.nodes_per_cell(), d, [&]<int NPC, int D>() {
    constexpr int V = D == 2 ? 3 : 6;
    const Square<V> hooke_cell = hooke<V>(model, e, nu);
    btdb<NPC, D>(ctx, [&](std::uint64_t) -> const Square<V>& { return hooke_cell; }, out);
  });
}

std::unique_ptr<PreparedKernel> prepare_elasticity_stiffness(const containers::finite_element_space::CellGeometry& cells,
                                                             const SubElementField& materials, ContinuumModel model) {
  const std::optional<std::uint64_t> e = materials.component_index("E");
  const std::optional<std::uint64_t> nu = materials.component_index("nu");
  const std::uint64_t d = cells.space_dim();
  if (!e || !nu || materials.cell_count() < cells.cell_count() || materials.gauss_count() == 0 ||
      (d == 2) != (model != ContinuumModel::Solid))
    return nullptr;
  const std::uint64_t n_comp = materials.component_count();
  return with_volume_sizes<std::unique_ptr<PreparedKernel>>(
      cells.nodes_per_cell(), d, cells.ref_dim(), nullptr,
      [&]<std::size_t S, std::size_t NPC>() -> std::unique_ptr<PreparedKernel> {
        return std::make_unique<ElasticStiffness<S, NPC>>(cells, model, materials.values().data() + *e,
                                                          materials.values().data() + *nu,
                                                          materials.gauss_count() * n_comp);
      });
}

void elasticity_mass(const CellContext& ctx, const SubElementField& materials, std::span<double> out) {
  double rho;
  try {
    rho = materials.value(ctx.cell(), 0, "rho");
  } catch (const Error&) {
    throw Error::message("Elasticity mass matrix: material component `rho` (density) is required");
  }
  check_buffer(ctx, out);
  add_shape_products(ctx, ctx.space_dim(), [rho](std::uint64_t) { return rho; }, out);
}

void elasticity_geometric(const CellContext& ctx, const SubElementField& stresses, std::span<double> out) {
  check_buffer(ctx, out);
  const std::uint64_t npc = ctx.nodes_per_cell(), d = ctx.space_dim(), n = npc * d;
  double grads[kMaxCellCoords];
  double s[9];
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double w = ctx.dn_dx_dvolume(g, std::span<double>(grads, n));
    read_stress_vector(stresses, ctx.cell(), g, d, s);
    for (std::uint64_t a = 0; a < npc; ++a)
      for (std::uint64_t b = 0; b < npc; ++b) {
        double sab = 0.0;
        for (std::uint64_t i = 0; i < d; ++i)
          for (std::uint64_t j = 0; j < d; ++j) sab += grads[a * d + i] * s[i * d + j] * grads[b * d + j];
        const double v = sab * w;
        for (std::uint64_t c = 0; c < d; ++c) out[(a * d + c) * n + b * d + c] += v;
      }
  }
}

void consistent_tangent_kernel(const CellContext& ctx, const SubElementField& state, std::span<double> out) {
  check_buffer(ctx, out);
  with_sizes(ctx.nodes_per_cell(), ctx.space_dim(), [&]<int NPC, int D>() {
    constexpr int V = D == 2 ? 3 : 6;
    Square<V> tangent;
    btdb<NPC, D>(
        ctx,
        [&](std::uint64_t g) -> const Square<V>& {
          for (int i = 0; i < V; ++i)
            for (int j = i; j < V; ++j) {
              // "ktan_{i}_{j}" with one-digit indices, on the stack: no allocation per cell.
              const char name[] = {'k', 't', 'a', 'n', '_', static_cast<char>('0' + i), '_',
                                   static_cast<char>('0' + j)};
              const double v = state.value(ctx.cell(), g, std::string_view(name, sizeof name));
              tangent(i, j) = v;
              tangent(j, i) = v;
            }
          return tangent;
        },
        out);
  });
}

std::array<double, 6> elastic_trial_stress(const std::array<double, 6>& eps, const std::array<double, 6>& eps0,
                                           const std::array<double, 6>& sigma0, double lambda, double mu) {
  std::array<double, 6> delta;
  for (int k = 0; k < 6; ++k) delta[k] = eps[k] - eps0[k];
  const double tr = delta[0] + delta[1] + delta[2];
  std::array<double, 6> sigma;
  for (int k = 0; k < 3; ++k) sigma[k] = sigma0[k] + lambda * tr + 2.0 * mu * delta[k];
  for (int k = 3; k < 6; ++k) sigma[k] = sigma0[k] + 2.0 * mu * delta[k];
  return sigma;
}

void elastic_point_stress(ContinuumModel model, std::uint64_t d, const SubElementField& materials,
                          const SubElementField& deformation, std::uint64_t cell, std::uint64_t g,
                          std::span<double> out) {
  const double e = materials.value(cell, 0, "E");
  const double nu = materials.value(cell, 0, "nu");
  if (d == 2 && model != ContinuumModel::Solid) {
    const Square<3> hooke_cell = hooke<3>(model, e, nu);
    const double eps[3] = {deformation.value(cell, g, "eps_xx"), deformation.value(cell, g, "eps_yy"),
                           2.0 * deformation.value(cell, g, "eps_xy")};
    for (int i = 0; i < 3; ++i) {
      double s = 0.0;
      for (int k = 0; k < 3; ++k) s += hooke_cell(i, k) * eps[k];
      out[i] = s;
    }
    return;
  }
  const Square<6> hooke_cell = hooke<6>(model, e, nu);
  const double eps[6] = {deformation.value(cell, g, "eps_xx"),       deformation.value(cell, g, "eps_yy"),
                         deformation.value(cell, g, "eps_zz"),       2.0 * deformation.value(cell, g, "eps_yz"),
                         2.0 * deformation.value(cell, g, "eps_xz"), 2.0 * deformation.value(cell, g, "eps_xy")};
  for (int i = 0; i < 6; ++i) {
    double s = 0.0;
    for (int k = 0; k < 6; ++k) s += hooke_cell(i, k) * eps[k];
    out[i] = s;
  }
}

void read_stress_vector(const SubElementField& stresses, std::uint64_t cell, std::uint64_t g, std::uint64_t d,
                        std::span<double> out) {
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(d * d), 0.0);
  if (d == 0) return;
  // Upper triangle row by row: xx, xy, xz, yy, yz, zz.
  for (std::uint64_t i = 0; i < d; ++i)
    for (std::uint64_t j = i; j < d; ++j) {
      const char name[] = {'s', 'i', 'g', 'm', 'a', '_', kAxes[i], kAxes[j]};
      const double v = stresses.value(cell, g, std::string_view(name, sizeof name));
      out[i * d + j] = v;
      out[j * d + i] = v;
    }
}

void element_internal_forces_bt_sigma(std::span<const CellContext> ctxs, const SubElementField& stresses,
                                      std::span<double> out) {
  const CellContext& ctx = ctxs.front();
  const std::uint64_t npc = ctx.nodes_per_cell(), d = ctx.space_dim();
  double grads[kMaxCellCoords];
  double s[9];
  for (std::uint64_t g = 0; g < ctx.n_gauss(); ++g) {
    const double w = ctx.dn_dx_dvolume(g, std::span<double>(grads, npc * d));
    read_stress_vector(stresses, ctx.cell(), g, d, s);
    for (std::uint64_t a = 0; a < npc; ++a)
      for (std::uint64_t i = 0; i < d; ++i) {
        double sum = 0.0;
        for (std::uint64_t j = 0; j < d; ++j) sum += grads[a * d + j] * s[i * d + j];
        out[a * d + i] += sum * w;
      }
  }
}

}  // namespace quenlith::models::kernel
