// The C++ half of bench_analysis.py: 3-D linear elasticity (E = 1, nu = 0.3) on the
// unit cube cut into n×n×n hexahedra (HEX8) or 6 n³ tetrahedra (TET4, six per
// hexahedron around its main diagonal), the face x = 0 clamped by three Dirichlet
// sub-models (one multiplier node per face node and component), built and assembled
// through the same core calls as the Python functions.
//
//   bench_analysis assemble HEX8|TET4 n
//     Times `stiffness` (assemble_operator): the first call of a model (scatter
//     pattern built, then the numeric pass) and a later one (numeric pass alone, the
//     pattern cached), with 1 and with all threads; the element matrices alone (the
//     same kernel in the same colour-by-colour loop, copied out, 1 thread); and a
//     hand-written compressed-row assembly of those element matrices over the
//     displacement unknowns (node adjacency lists, sorted, expanded to 3×3 blocks;
//     each cell added through a binary search per node pair), 1 thread.
//   bench_analysis solve HEX8|TET4 n path
//     Assembles with all threads, factorises (analysis + factorisation) and solves
//     for a unit load along z spread over the face x = 1, then reports the times,
//     the peak resident memory of this process and the library's own memory figures,
//     and writes the matrix, right-hand side and solution to `path` (binary: n_rows,
//     nnz as u64, offsets u64, cols u32, values f64, b f64, x f64).
//
// Output: one line of key=value pairs (seconds, millions of bytes).
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/matrix/computed_recipe.hpp"
#include "containers/matrix/matrix.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/model.hpp"
#include "models/model/sub_model.hpp"
#include "models/kernel/block.hpp"
#include "ops/assemble/assembly.hpp"
#include "ops/build/material_field.hpp"
#include "ops/solver/lu.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith;
using containers::element_field::ElementField;
using containers::element_field::SubElementField;
using containers::matrix::Csr;
using containers::matrix::Matrix;
using containers::matrix::OperatorKind;
using containers::matrix::SubMatrix;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using containers::model::Model;
using containers::model::SubModel;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

template <class F>
double best_of(int repeats, F&& f) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, seconds_since(t0));
  }
  return best;
}

struct Cube {
  int n = 0;
  ElementType type = ElementType::HEX8;
  std::uint64_t n_nodes = 0;  // grid nodes (ids 0 .. n_nodes - 1)
  std::vector<NodeId> conn;   // cell-major
  std::uint64_t npc = 0;
  Model model;
  ElementField materials;
};

Mesh points_mesh(const store::Handle<containers::mesh::Coords>& coords, const std::vector<NodeId>& ids) {
  SubMesh s(ElementType::POI1, coords);
  s.add_cells(ids);
  Mesh m;
  m.push_sub(store::insert(std::move(s)));
  return m;
}

Cube make_cube(ElementType type, int n) {
  Cube cube;
  cube.n = n;
  cube.type = type;
  const int p = n + 1;
  const auto node = [p](int i, int j, int k) { return static_cast<NodeId>((k * p + j) * p + i); };
  const store::Handle<containers::mesh::Coords> coords = store::insert(containers::mesh::Coords(3));
  std::vector<NodeId> clamped;
  {
    store::WriteGuard<containers::mesh::Coords> w = store::write(coords);
    for (int k = 0; k < p; ++k)
      for (int j = 0; j < p; ++j)
        for (int i = 0; i < p; ++i) {
          const double x[3] = {double(i) / n, double(j) / n, double(k) / n};
          w->add_node(x);
        }
  }
  cube.n_nodes = std::uint64_t(p) * p * p;
  const int off[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  // Six tetrahedra around the diagonal from corner 0 to corner 6, one per order in
  // which the three axes are walked; the odd orders are listed with two nodes
  // swapped so that every tetrahedron has a positive volume.
  const int tets[6][4] = {{0, 1, 2, 6}, {0, 5, 1, 6}, {0, 3, 7, 6}, {0, 2, 3, 6}, {0, 4, 5, 6}, {0, 7, 4, 6}};
  cube.npc = type == ElementType::HEX8 ? 8 : 4;
  cube.conn.reserve(std::size_t(n) * n * n * (type == ElementType::HEX8 ? 8 : 24));
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        NodeId v[8];
        for (int a = 0; a < 8; ++a) v[a] = node(i + off[a][0], j + off[a][1], k + off[a][2]);
        if (type == ElementType::HEX8) {
          cube.conn.insert(cube.conn.end(), v, v + 8);
        } else {
          for (const auto& t : tets)
            for (int a : t) cube.conn.push_back(v[a]);
        }
      }
  SubMesh body(type, coords);
  body.add_cells(cube.conn);
  Mesh mesh;
  mesh.push_sub(store::insert(std::move(body)));
  const auto fes = containers::finite_element_space::FiniteElementSpace::lagrange1(mesh);
  cube.model = Model::elasticity(fes, models::ContinuumModel::Solid);

  for (int k = 0; k < p; ++k)
    for (int j = 0; j < p; ++j) clamped.push_back(node(0, j, k));
  const Mesh imposed = points_mesh(coords, clamped);
  const char* comps[3][2] = {{"u_x", "f_x"}, {"u_y", "f_y"}, {"u_z", "f_z"}};
  for (const auto& c : comps) {
    std::vector<NodeId> mult(clamped.size());
    {
      store::WriteGuard<containers::mesh::Coords> w = store::write(coords);
      for (std::size_t q = 0; q < clamped.size(); ++q) {
        const double x[3] = {-1.0, double(q), 0.0};
        mult[q] = w->add_node(x);
      }
    }
    const Model d = Model::dirichlet(c[0], c[1], imposed, points_mesh(coords, mult), std::nullopt, std::nullopt,
                                     models::Sense::Equal);
    cube.model = Model::union_(cube.model, d);
  }
  const ops::build::MaterialPair pairs[] = {{"E", 1.0}, {"nu", 0.3}};
  cube.materials = ElementField(ops::build::material_field_for_model(cube.model.subs(), pairs));
  return cube;
}

Matrix stiffness(const Model& model, const ElementField& materials) {
  return ops::assemble::assemble_operator(model, materials, OperatorKind::Stiffness, nullptr, {});
}

// The element matrices of the computed block of `k` (the elasticity one), cell after
// cell, computed as the numeric pass computes them.
std::vector<double> element_matrices(const Matrix& k, std::uint64_t& len) {
  for (const Matrix::Block& h : k.subs()) {
    const store::ReadGuard<SubMatrix> b = store::read(h);
    if (!b->is_computed()) continue;
    const containers::matrix::ComputedRecipe& recipe = *b->recipe();
    const store::ReadGuard<SubModel> sub = store::read(*recipe.submodel.as<SubModel>());
    const store::ReadGuard<SubElementField> mat = store::read(*recipe.material->as<SubElementField>());
    const models::kernel::BlockCells cells(recipe.fespaces, {"no space", "one submesh"});
    const std::uint64_t npc = cells.nodes_per_cell();
    len = npc * b->dual_vars().size() * npc * b->primal_vars().size();
    std::vector<double> out(cells.cell_count() * len);
    models::kernel::for_each_element_block(
        cells, b->dual_vars().size(), b->primal_vars().size(),
        [&](std::span<const models::CellContext> ctxs, std::span<double> block) {
          sub->kind().element_operator(OperatorKind::Stiffness, ctxs, &mat.get(), nullptr, block);
        },
        [&](std::uint64_t cell, std::span<const double> block) {
          std::copy(block.begin(), block.end(), out.begin() + cell * len);
        });
    return out;
  }
  std::fprintf(stderr, "no computed block\n");
  std::exit(1);
}

// A hand-written compressed-row matrix over 3 unknowns per node (unknown 3 a + i).
struct HandCsr {
  std::vector<std::uint64_t> node_start;  // adjacency of node a: adj[node_start[a] .. node_start[a + 1])
  std::vector<std::uint32_t> adj;
  std::vector<std::uint64_t> offsets;  // rows
  std::vector<std::uint32_t> cols;
  std::vector<double> values;
};

HandCsr hand_pattern(const Cube& c) {
  HandCsr h;
  const std::uint64_t nc = c.conn.size() / c.npc;
  std::vector<std::vector<std::uint32_t>> adj(c.n_nodes);
  for (std::uint64_t e = 0; e < nc; ++e) {
    const NodeId* v = &c.conn[e * c.npc];
    for (std::uint64_t a = 0; a < c.npc; ++a) adj[v[a]].insert(adj[v[a]].end(), v, v + c.npc);
  }
  h.node_start.assign(c.n_nodes + 1, 0);
  for (std::uint64_t a = 0; a < c.n_nodes; ++a) {
    std::sort(adj[a].begin(), adj[a].end());
    adj[a].erase(std::unique(adj[a].begin(), adj[a].end()), adj[a].end());
    h.node_start[a + 1] = h.node_start[a] + adj[a].size();
  }
  h.adj.reserve(h.node_start.back());
  for (auto& v : adj) h.adj.insert(h.adj.end(), v.begin(), v.end());
  h.offsets.assign(3 * c.n_nodes + 1, 0);
  h.cols.resize(9 * h.node_start.back());
  std::uint64_t at = 0;
  for (std::uint64_t a = 0; a < c.n_nodes; ++a)
    for (int i = 0; i < 3; ++i) {
      for (std::uint64_t q = h.node_start[a]; q < h.node_start[a + 1]; ++q)
        for (int j = 0; j < 3; ++j) h.cols[at++] = static_cast<std::uint32_t>(3 * h.adj[q] + j);
      h.offsets[3 * a + i + 1] = at;
    }
  return h;
}

void hand_scatter(const Cube& c, const std::vector<double>& ke, std::uint64_t len, HandCsr& h) {
  h.values.assign(h.cols.size(), 0.0);
  const std::uint64_t nc = c.conn.size() / c.npc, npc = c.npc, w = 3 * npc;
  for (std::uint64_t e = 0; e < nc; ++e) {
    const NodeId* v = &c.conn[e * npc];
    const double* k = &ke[e * len];
    for (std::uint64_t a = 0; a < npc; ++a) {
      const auto first = h.adj.begin() + h.node_start[v[a]], last = h.adj.begin() + h.node_start[v[a] + 1];
      const std::uint64_t row_len = 3 * (last - first);
      for (std::uint64_t b = 0; b < npc; ++b) {
        const std::uint64_t q = std::lower_bound(first, last, v[b]) - first;
        double* out = &h.values[h.offsets[3 * v[a]] + 3 * q];
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) out[i * row_len + j] += k[(3 * a + i) * w + 3 * b + j];
      }
    }
  }
}

double peak_rss_mb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss * 1024.0 / 1e6;  // kilobytes on Linux
}

void run_assemble(const Cube& cube) {
  const std::uint64_t cells = cube.conn.size() / cube.npc;
  // Untimed first call: the colouring, cached in the subspace, and the first touch of
  // the memory.
  const Matrix k = stiffness(cube.model, cube.materials);
  const int again_repeats = cells > 200000 ? 2 : 3;
  double first[2], again[2];
  for (int t = 0; t < 2; ++t) {
    std::optional<parallel::ThreadLimit> limit;
    if (t == 0) limit.emplace(1);
    first[t] = best_of(cells > 200000 ? 1 : 2, [&] {
      const Model fresh = cube.model;  // a copy starts without a cached pattern
      stiffness(fresh, cube.materials);
    });
    again[t] = best_of(again_repeats, [&] { stiffness(cube.model, cube.materials); });
  }
  std::uint64_t len = 0;
  std::vector<double> ke;
  double kernel = 0, pattern = 0, scatter = 0;
  HandCsr h;
  {
    parallel::ThreadLimit one(1);
    kernel = best_of(again_repeats, [&] { ke = element_matrices(k, len); });
    pattern = best_of(again_repeats, [&] { h = hand_pattern(cube); });
    scatter = best_of(again_repeats, [&] { hand_scatter(cube, ke, len, h); });
  }
  // The hand-written matrix is ours restricted to the displacement unknowns.
  const Csr& ours = k.finalized()->csr;
  double diff = 0, scale = 0;
  std::uint64_t hand_nnz = h.values.size();
  for (std::uint64_t r = 0; r < ours.n_rows; ++r) {
    const auto& d = k.finalized()->row_dofs[r];
    if (d.node >= cube.n_nodes) continue;
    const std::uint64_t hr = 3 * d.node + (d.var == "f_x" ? 0 : d.var == "f_y" ? 1 : 2);
    for (std::uint64_t q = ours.row_begin(r); q < ours.row_end(r); ++q) {
      const auto& cd = k.finalized()->col_dofs[ours.col(q)];
      if (cd.node >= cube.n_nodes) continue;
      const std::uint64_t hc = 3 * cd.node + (cd.var == "u_x" ? 0 : cd.var == "u_y" ? 1 : 2);
      const auto first_col = h.cols.begin() + h.offsets[hr], last_col = h.cols.begin() + h.offsets[hr + 1];
      const auto it = std::lower_bound(first_col, last_col, hc);
      const double hv = (it != last_col && *it == hc) ? h.values[it - h.cols.begin()] : 0.0;
      diff = std::max(diff, std::abs(hv - ours.values[q]));
      scale = std::max(scale, std::abs(hv));
    }
  }
  std::printf(
      "dofs=%llu cells=%llu nnz=%llu hand_nnz=%llu threads=%zu first1=%.6f again1=%.6f firstN=%.6f againN=%.6f "
      "kernel=%.6f hand_pattern=%.6f hand_scatter=%.6f hand_diff=%.3g\n",
      static_cast<unsigned long long>(ours.n_rows), static_cast<unsigned long long>(cells),
      static_cast<unsigned long long>(ours.nnz()), static_cast<unsigned long long>(hand_nnz),
      parallel::max_threads(), first[0], again[0], first[1], again[1], kernel, pattern, scatter,
      scale > 0 ? diff / scale : diff);
}

void run_solve(const Cube& cube, const char* path) {
  auto t0 = Clock::now();
  const Matrix k = stiffness(cube.model, cube.materials);
  const double t_assemble = seconds_since(t0);
  const auto& f = *k.finalized();
  const Csr& a = f.csr;
  std::vector<double> b(a.n_rows, 0.0);
  const int p = cube.n + 1;
  for (std::uint64_t r = 0; r < a.n_rows; ++r) {
    const auto& d = f.row_dofs[r];
    if (d.node < cube.n_nodes && d.node % p == std::uint64_t(cube.n) && d.var == "f_z") b[r] = 1.0 / (p * p);
  }
  const containers::field::DofList row_names = containers::matrix::dof_list(f.row_dofs);
  const containers::field::DofList col_names = containers::matrix::dof_list(f.col_dofs);
  t0 = Clock::now();
  const auto lu = ops::solver::lu_factorize(a, ops::solver::solve_names(row_names, col_names), {});
  const double t_factor = seconds_since(t0);
  std::vector<double> x = b;
  t0 = Clock::now();
  ops::solver::lu_solve(*lu, x);
  const double t_solve = seconds_since(t0);
  const double rss = peak_rss_mb();
  const ops::solver::FactorMemory& m = lu->memory();
  std::printf(
      "dofs=%llu nnz=%llu assemble=%.6f factor=%.6f solve=%.6f peak_rss_mb=%.1f infog16=%llu infog17=%llu "
      "infog18=%llu infog19=%llu infog22=%llu\n",
      static_cast<unsigned long long>(a.n_rows), static_cast<unsigned long long>(a.nnz()), t_assemble, t_factor,
      t_solve, rss, static_cast<unsigned long long>(m.estimated_peak_mb),
      static_cast<unsigned long long>(m.estimated_total_mb), static_cast<unsigned long long>(m.allocated_peak_mb),
      static_cast<unsigned long long>(m.allocated_total_mb), static_cast<unsigned long long>(m.used_total_mb));
  std::fflush(stdout);
  std::FILE* out = std::fopen(path, "wb");
  if (!out) std::exit(1);
  const std::uint64_t head[2] = {a.n_rows, a.nnz()};
  std::fwrite(head, 8, 2, out);
  std::fwrite(a.offsets.data(), 8, a.n_rows + 1, out);
  std::vector<std::uint32_t> cols(a.nnz());
  for (std::uint64_t q = 0; q < a.nnz(); ++q) cols[q] = static_cast<std::uint32_t>(a.col(q));
  std::fwrite(cols.data(), 4, cols.size(), out);
  std::fwrite(a.values.data(), 8, a.nnz(), out);
  std::fwrite(b.data(), 8, b.size(), out);
  std::fwrite(x.data(), 8, x.size(), out);
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (std::strcmp(argv[1], "solve") == 0 && argc < 5)) {
    std::fprintf(stderr, "usage: bench_analysis assemble|solve HEX8|TET4 n [path]\n");
    return 2;
  }
  const ElementType type = std::strcmp(argv[2], "TET4") == 0 ? ElementType::TET4 : ElementType::HEX8;
  const Cube cube = make_cube(type, std::atoi(argv[3]));
  if (std::strcmp(argv[1], "assemble") == 0)
    run_assemble(cube);
  else
    run_solve(cube, argv[4]);
  return 0;
}
