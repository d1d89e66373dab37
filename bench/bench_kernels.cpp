// Element stiffness of linear elasticity per cell, and TET4 stiffness plus scatter
// into compressed-row values against a hand-written loop computing the same 12x12
// matrices; one thread and all of them. Prints ns per cell.
//   build/bench/bench_kernels [n]   (an n x n x n cube: n^3 HEX8, 6 n^3 TET4 and TET10; default 24)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/kernel/block.hpp"
#include "models/elasticity/small_strain.hpp"
#include "containers/finite_element_space/coloring.hpp"
#include "containers/finite_element_space/scatter.hpp"
#include "ops/mesher/quadratic.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace fes = quenlith::containers::finite_element_space;
namespace mesh = quenlith::containers::mesh;
namespace store = quenlith::store;
namespace parallel = quenlith::parallel;
namespace kernel = quenlith::models::kernel;
using quenlith::containers::element_field::SubElementField;

template <class F>
double best_seconds(F&& f, int repeats = 3) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

store::Handle<fes::SubFiniteElementSpace> space_of(store::Handle<mesh::SubMesh> sub, fes::Interpolation i) {
  return store::insert(fes::SubFiniteElementSpace::create(std::move(sub), i, fes::QuadratureRule::GAUSS));
}

// Element stiffness of every cell, each block reduced to one number per cell.
double stiffness_ns(const store::Handle<fes::SubFiniteElementSpace>& space, const SubElementField& mat,
                    std::vector<double>& sink) {
  const kernel::BlockCells cells(std::span(&space, 1), {"bench: no space", "bench: one submesh"});
  sink.assign(cells.cell_count(), 0.0);
  const double t = best_seconds([&] {
    kernel::for_each_element_block(
        cells, 3, 3,
        [&](std::span<const kernel::CellContext> ctxs, std::span<double> out) {
          kernel::elasticity_stiffness(ctxs[0], mat, kernel::ContinuumModel::Solid, out);
        },
        [&](std::uint64_t c, std::span<const double> block) { sink[c] = block[0] + block.back(); });
  });
  return 1e9 * t / static_cast<double>(cells.cell_count());
}

// Compressed rows over dof = 3 * node + component, and each TET4 cell's 144 value positions.
struct Csr {
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> indices;
  std::vector<std::uint32_t> positions;  // 144 per cell
};

Csr csr_of(std::span<const mesh::NodeId> conn, std::uint64_t n_cells, std::uint64_t n_nodes) {
  std::vector<std::vector<std::uint32_t>> rows(3 * n_nodes);
  for (std::uint64_t c = 0; c < n_cells; ++c)
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 4; ++b)
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) rows[3 * conn[4 * c + a] + i].push_back(3 * conn[4 * c + b] + j);
  Csr m;
  m.offsets.push_back(0);
  for (auto& r : rows) {
    std::sort(r.begin(), r.end());
    r.erase(std::unique(r.begin(), r.end()), r.end());
    m.indices.insert(m.indices.end(), r.begin(), r.end());
    m.offsets.push_back(m.indices.size());
  }
  m.positions.resize(144 * n_cells);
  for (std::uint64_t c = 0; c < n_cells; ++c) {
    int e = 0;
    for (int a = 0; a < 4; ++a)
      for (int i = 0; i < 3; ++i) {
        const std::uint64_t row = 3 * conn[4 * c + a] + i;
        for (int b = 0; b < 4; ++b)
          for (int j = 0; j < 3; ++j) {
            const std::uint32_t col = 3 * conn[4 * c + b] + j;
            const auto begin = m.indices.begin() + m.offsets[row], end = m.indices.begin() + m.offsets[row + 1];
            m.positions[144 * c + e++] = static_cast<std::uint32_t>(std::lower_bound(begin, end, col) - m.indices.begin());
          }
      }
  }
  return m;
}

// The reference: the TET4 stiffness written out by hand (J, its inverse, the constant
// gradients, B, D, B^T D B V) and added at the cell's positions, colour by colour.
void reference_tet4(const fes::CellColoring& coloring, std::span<const mesh::NodeId> conn, std::span<const double> xyz,
                    const Csr& csr, double e, double nu, std::vector<double>& values) {
  const double h = e / ((1 + nu) * (1 - 2 * nu));
  double d[6][6] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) d[i][j] = i == j ? (1 - nu) * h : nu * h;
  for (int i = 3; i < 6; ++i) d[i][i] = (1 - 2 * nu) * h * 0.5;
  quenlith::containers::finite_element_space::for_each_colored_run(coloring, 64, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t c = begin; c < end; ++c) {
      const double* x[4];
      for (int a = 0; a < 4; ++a) x[a] = &xyz[3 * conn[4 * c + a]];
      double j[3][3];
      for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) j[r][k] = x[k + 1][r] - x[0][r];
      const double det = j[0][0] * (j[1][1] * j[2][2] - j[1][2] * j[2][1]) -
                         j[0][1] * (j[1][0] * j[2][2] - j[1][2] * j[2][0]) +
                         j[0][2] * (j[1][0] * j[2][1] - j[1][1] * j[2][0]);
      double inv[3][3];
      inv[0][0] = (j[1][1] * j[2][2] - j[1][2] * j[2][1]) / det;
      inv[0][1] = (j[0][2] * j[2][1] - j[0][1] * j[2][2]) / det;
      inv[0][2] = (j[0][1] * j[1][2] - j[0][2] * j[1][1]) / det;
      inv[1][0] = (j[1][2] * j[2][0] - j[1][0] * j[2][2]) / det;
      inv[1][1] = (j[0][0] * j[2][2] - j[0][2] * j[2][0]) / det;
      inv[1][2] = (j[0][2] * j[1][0] - j[0][0] * j[1][2]) / det;
      inv[2][0] = (j[1][0] * j[2][1] - j[1][1] * j[2][0]) / det;
      inv[2][1] = (j[0][1] * j[2][0] - j[0][0] * j[2][1]) / det;
      inv[2][2] = (j[0][0] * j[1][1] - j[0][1] * j[1][0]) / det;
      double g[4][3];
      for (int k = 0; k < 3; ++k) {
        g[1][k] = inv[0][k];
        g[2][k] = inv[1][k];
        g[3][k] = inv[2][k];
        g[0][k] = -(inv[0][k] + inv[1][k] + inv[2][k]);
      }
      double b[6][12] = {};
      for (int a = 0; a < 4; ++a) {
        b[0][3 * a] = g[a][0];
        b[1][3 * a + 1] = g[a][1];
        b[2][3 * a + 2] = g[a][2];
        b[3][3 * a + 1] = g[a][2];
        b[3][3 * a + 2] = g[a][1];
        b[4][3 * a] = g[a][2];
        b[4][3 * a + 2] = g[a][0];
        b[5][3 * a] = g[a][1];
        b[5][3 * a + 1] = g[a][0];
      }
      double db[6][12];
      for (int r = 0; r < 6; ++r)
        for (int k = 0; k < 12; ++k) {
          double s = 0;
          for (int m = 0; m < 6; ++m) s += d[r][m] * b[m][k];
          db[r][k] = s;
        }
      const double v = std::abs(det) / 6.0;
      const std::uint32_t* pos = &csr.positions[144 * c];
      for (int r = 0; r < 12; ++r)
        for (int k = 0; k < 12; ++k) {
          double s = 0;
          for (int m = 0; m < 6; ++m) s += b[m][r] * db[m][k];
          values[pos[12 * r + k]] += s * v;
        }
    }
  });
}

int main(int argc, char** argv) {
  const std::uint32_t n = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 24;
  const std::uint32_t m = n + 1;
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(3));
  std::vector<double> xyz;
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (std::uint32_t k = 0; k < m; ++k)
      for (std::uint32_t j = 0; j < m; ++j)
        for (std::uint32_t i = 0; i < m; ++i) {
          const double p[3] = {i + 0.1 * std::sin(1.3 * i + j), j + 0.1 * std::cos(0.7 * j - k), k + 0.05 * std::sin(i + k)};
          w->add_node(p);
          xyz.insert(xyz.end(), p, p + 3);
        }
  }
  const auto id = [&](std::uint32_t i, std::uint32_t j, std::uint32_t k) { return (k * m + j) * m + i; };
  mesh::SubMesh hex(mesh::ElementType::HEX8, coords), tet(mesh::ElementType::TET4, coords);
  const int kuhn[6][4] = {{0, 1, 3, 7}, {0, 1, 5, 7}, {0, 2, 3, 7}, {0, 2, 6, 7}, {0, 4, 5, 7}, {0, 4, 6, 7}};
  for (std::uint32_t k = 0; k < n; ++k)
    for (std::uint32_t j = 0; j < n; ++j)
      for (std::uint32_t i = 0; i < n; ++i) {
        mesh::NodeId v[8];
        for (int b = 0; b < 8; ++b) v[b] = id(i + (b & 1), j + ((b >> 1) & 1), k + ((b >> 2) & 1));
        const mesh::NodeId h[8] = {v[0], v[1], v[3], v[2], v[4], v[5], v[7], v[6]};
        hex.add_cell(h);
        for (const auto& t : kuhn) {
          const mesh::NodeId c[4] = {v[t[0]], v[t[1]], v[t[2]], v[t[3]]};
          tet.add_cell(c);
        }
      }
  const store::Handle<mesh::SubMesh> hex_h = store::insert(std::move(hex)), tet_h = store::insert(std::move(tet));
  const mesh::Mesh quad = quenlith::ops::mesher::to_quadratic(mesh::Mesh({tet_h}));
  const auto hex_s = space_of(hex_h, fes::Interpolation::LAGRANGE1);
  const auto tet_s = space_of(tet_h, fes::Interpolation::LAGRANGE1);
  const auto tet10_s = space_of(quad.subs()[0], fes::Interpolation::LAGRANGE2);
  const double e = 210.0, nu = 0.3;
  const std::vector<std::string> names = {"E", "nu"};
  const double vals[] = {e, nu};
  const SubElementField hex_m = SubElementField::from_uniform_per_component(hex_s, names, vals);
  const SubElementField tet_m = SubElementField::from_uniform_per_component(tet_s, names, vals);
  const SubElementField tet10_m = SubElementField::from_uniform_per_component(tet10_s, names, vals);

  std::printf("cube %u^3: %u HEX8, %u TET4 / TET10 cells; %zu threads\n", n, n * n * n, 6 * n * n * n,
              static_cast<std::size_t>(parallel::max_threads()));
  std::vector<double> sink;
  for (const auto& [label, space, mat] : {std::tuple{"HEX8 stiffness", &hex_s, &hex_m},
                                          std::tuple{"TET10 stiffness", &tet10_s, &tet10_m}}) {
    double one;
    {
      parallel::ThreadLimit limit(1);
      one = stiffness_ns(*space, *mat, sink);
    }
    const double all = stiffness_ns(*space, *mat, sink);
    std::printf("%-34s %10.0f ns/cell (1 thread) %10.0f ns/cell (all)\n", label, one, all);
  }

  // TET4 stiffness + scatter into compressed-row values, ours against the reference.
  store::ReadGuard<mesh::SubMesh> tet_g = store::read(tet_h);
  const std::uint64_t n_cells = tet_g->cell_count();
  const Csr csr = csr_of(tet_g->connectivity(), n_cells, std::uint64_t{m} * m * m);
  std::vector<double> ours(csr.indices.size()), ref(csr.indices.size());
  const kernel::BlockCells cells(std::span(&tet_s, 1), {"bench: no space", "bench: one submesh"});
  const auto run_ours = [&] {
    std::fill(ours.begin(), ours.end(), 0.0);
    kernel::for_each_element_block(
        cells, 3, 3,
        [&](std::span<const kernel::CellContext> ctxs, std::span<double> out) {
          kernel::elasticity_stiffness(ctxs[0], tet_m, kernel::ContinuumModel::Solid, out);
        },
        [&](std::uint64_t c, std::span<const double> block) {
          const std::uint32_t* pos = &csr.positions[144 * c];
          for (int k = 0; k < 144; ++k) ours[pos[k]] += block[k];
        });
  };
  const auto run_ref = [&] {
    std::fill(ref.begin(), ref.end(), 0.0);
    reference_tet4(cells.coloring(), tet_g->connectivity(), xyz, csr, e, nu, ref);
  };
  for (std::size_t threads : {std::size_t{1}, static_cast<std::size_t>(parallel::max_threads())}) {
    parallel::ThreadLimit limit(threads);
    const double t_ours = best_seconds(run_ours, 5), t_ref = best_seconds(run_ref, 5);
    double diff = 0, scale = 0;
    for (std::size_t k = 0; k < ours.size(); ++k) {
      diff = std::max(diff, std::abs(ours[k] - ref[k]));
      scale = std::max(scale, std::abs(ref[k]));
    }
    std::printf("TET4 stiffness + scatter, %zu thr:   ours %7.0f ns/cell, hand-written %7.0f ns/cell, ratio %.2f"
                " (max rel diff %.1e)\n",
                threads, 1e9 * t_ours / n_cells, 1e9 * t_ref / n_cells, t_ours / t_ref, diff / scale);
  }
  std::printf("(checksum %g)\n", sink.empty() ? 0.0 : sink[0]);
  return 0;
}
