// Times the sparse direct factorisation and substitution behind `solve` on 3-D
// linear elasticity with Dirichlet multipliers: HEX8 cubes of n×n×n cells (unit
// cells, E = 1, nu = 0.3, 2×2×2 Gauss points), three displacement components per
// node, the face x = 0 held by one multiplier per node and component (a symmetric
// indefinite saddle-point matrix), a unit load along z on the face x = n. For each
// size it runs every fill-reducing ordering the library offers, both as L·D·Lᵀ
// (the matrix is symmetric) and as L·U, and prints analysis + factorisation time,
// substitution time, the memory the library reports and the residual.
//
//   bench_solve [n ...]                 (default 20 31: 28 k and 99 k unknowns)
//   bench_solve --dump n path           writes the matrix and right-hand side of size n
//                                       for bench_solve.py (binary: n_rows, nnz as
//                                       u64, offsets u64, cols u32, values f64, b f64)
//   bench_solve --factor path           factorises and solves a matrix and right-hand
//                                       side written in that form the way `solve`
//                                       does, and prints one line of key=value pairs:
//                                       times (s), the library's memory figures and
//                                       the process's peak resident memory (MB)
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "containers/matrix/csr.hpp"
#include "ops/solver/lu.hpp"
#include "ops/solver/sparse_direct.hpp"

using quenlith::containers::matrix::Csr;
using quenlith::containers::matrix::TripletSource;
namespace solver = quenlith::ops::solver;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The 24×24 stiffness of a unit HEX8 cell, rows node-major (node a, component i at 3a+i).
std::array<double, 576> hex8_stiffness(double e, double nu) {
  const double lam = e * nu / ((1 + nu) * (1 - 2 * nu));
  const double mu = e / (2 * (1 + nu));
  const int corner[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  std::array<double, 576> k{};
  const double g = 0.5 / std::sqrt(3.0);
  for (int gp = 0; gp < 8; ++gp) {
    const double x[3] = {0.5 + ((gp & 1) ? g : -g), 0.5 + ((gp & 2) ? g : -g), 0.5 + ((gp & 4) ? g : -g)};
    double dn[8][3];
    for (int a = 0; a < 8; ++a)
      for (int d = 0; d < 3; ++d) {
        double v = 1;
        for (int o = 0; o < 3; ++o) {
          const double s = corner[a][o] ? x[o] : 1 - x[o];
          v *= o == d ? (corner[a][o] ? 1.0 : -1.0) : s;
        }
        dn[a][d] = v;
      }
    const double w = 1.0 / 8.0;
    for (int a = 0; a < 8; ++a)
      for (int b = 0; b < 8; ++b)
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) {
            double v = lam * dn[a][i] * dn[b][j] + mu * dn[a][j] * dn[b][i];
            if (i == j) v += mu * (dn[a][0] * dn[b][0] + dn[a][1] * dn[b][1] + dn[a][2] * dn[b][2]);
            k[(3 * a + i) * 24 + 3 * b + j] += w * v;
          }
  }
  return k;
}

struct Problem {
  Csr a;
  std::vector<double> b;
};

Problem elasticity(int n) {
  const int p = n + 1;
  const auto node = [p](int i, int j, int l) { return static_cast<std::uint32_t>((l * p + j) * p + i); };
  const std::uint32_t n_u = 3u * p * p * p;
  const std::uint32_t n_lambda = 3u * p * p;
  const std::array<double, 576> ke = hex8_stiffness(1.0, 0.3);
  std::vector<std::uint32_t> rows, cols;
  std::vector<double> vals;
  rows.reserve(std::size_t(n) * n * n * 576 + 6 * n_lambda);
  cols.reserve(rows.capacity());
  vals.reserve(rows.capacity());
  const int off[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  for (int l = 0; l < n; ++l)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        std::uint32_t dof[24];
        for (int a = 0; a < 8; ++a)
          for (int c = 0; c < 3; ++c) dof[3 * a + c] = 3 * node(i + off[a][0], j + off[a][1], l + off[a][2]) + c;
        for (int r = 0; r < 24; ++r)
          for (int c = 0; c < 24; ++c) {
            rows.push_back(dof[r]);
            cols.push_back(dof[c]);
            vals.push_back(ke[r * 24 + c]);
          }
      }
  std::uint32_t m = n_u;
  for (int l = 0; l < p; ++l)
    for (int j = 0; j < p; ++j)
      for (int c = 0; c < 3; ++c, ++m) {
        const std::uint32_t u = 3 * node(0, j, l) + c;
        rows.push_back(m), cols.push_back(u), vals.push_back(1.0);
        rows.push_back(u), cols.push_back(m), vals.push_back(1.0);
      }
  const std::uint64_t size = n_u + n_lambda;
  const TripletSource source{rows, cols, vals, {}, {}, 1.0};
  Problem out{quenlith::containers::matrix::csr_from_triplets_parallel(size, size, {&source, 1}),
              std::vector<double>(size, 0.0)};
  for (int l = 0; l < p; ++l)
    for (int j = 0; j < p; ++j) out.b[3 * node(n, j, l) + 2] = 1.0 / (p * p);
  return out;
}

double residual(const Csr& a, const std::vector<double>& x, const std::vector<double>& b) {
  const std::vector<double> ax = a.mul_dense(x);
  double r = 0, s = 0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    r = std::max(r, std::abs(ax[i] - b[i]));
    s = std::max(s, std::abs(b[i]));
  }
  return r / s;
}

void run(int n) {
  const Problem p = elasticity(n);
  std::printf("HEX8 elasticity %d^3 cells + multipliers: %llu unknowns, %llu entries\n", n,
              static_cast<unsigned long long>(p.a.n_rows), static_cast<unsigned long long>(p.a.nnz()));
  std::printf("  %-9s %-6s %12s %12s %10s %10s\n", "ordering", "kind", "factor [s]", "solve [s]", "MB", "residual");
  const solver::FillOrdering orderings[] = {solver::FillOrdering::Amd, solver::FillOrdering::Amf,
                                            solver::FillOrdering::Qamd, solver::FillOrdering::Pord,
                                            solver::FillOrdering::Scotch};
  for (solver::Structure s : {solver::Structure::Symmetric, solver::Structure::General})
    for (solver::FillOrdering o : orderings) {
      const auto t0 = Clock::now();
      auto f = solver::factorize_sparse(p.a, {s, o}, {});
      const double tf = seconds_since(t0);
      std::vector<double> x = p.b;
      const auto t1 = Clock::now();
      f->solve(x);
      const double ts = seconds_since(t1);
      std::printf("  %-9s %-6s %12.3f %12.4f %10.0f %10.1e\n", std::string(solver::fill_ordering_name(o)).c_str(),
                  s == solver::Structure::Symmetric ? "LDLt" : "LU", tf, ts, double(f->memory().used_total_mb), residual(p.a, x, p.b));
      std::fflush(stdout);
    }
}

void dump(int n, const char* path) {
  const Problem p = elasticity(n);
  std::FILE* f = std::fopen(path, "wb");
  if (!f) std::exit(1);
  const std::uint64_t head[2] = {p.a.n_rows, p.a.nnz()};
  std::fwrite(head, sizeof head, 1, f);
  std::fwrite(p.a.offsets.data(), 8, p.a.n_rows + 1, f);
  const auto& cols = std::get<0>(p.a.cols);
  std::fwrite(cols.data(), 4, p.a.nnz(), f);
  std::fwrite(p.a.values.data(), 8, p.a.nnz(), f);
  std::fwrite(p.b.data(), 8, p.b.size(), f);
  std::fclose(f);
}

Problem read(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) std::exit(1);
  std::uint64_t head[2];
  bool ok = std::fread(head, 8, 2, f) == 2;
  const std::uint64_t n = head[0], nnz = head[1];
  std::vector<std::uint64_t> offsets(n + 1);
  std::vector<std::uint32_t> cols(nnz);
  std::vector<double> values(nnz), b(n);
  ok = ok && std::fread(offsets.data(), 8, n + 1, f) == n + 1 && std::fread(cols.data(), 4, nnz, f) == nnz &&
       std::fread(values.data(), 8, nnz, f) == nnz && std::fread(b.data(), 8, n, f) == n;
  std::fclose(f);
  if (!ok) std::exit(1);
  std::vector<std::uint32_t> rows(nnz);
  for (std::uint64_t r = 0; r < n; ++r)
    for (std::uint64_t k = offsets[r]; k < offsets[r + 1]; ++k) rows[k] = static_cast<std::uint32_t>(r);
  const TripletSource source{rows, cols, values, {}, {}, 1.0};
  return {quenlith::containers::matrix::csr_from_triplets_parallel(n, n, {&source, 1}), std::move(b)};
}

void factor(const char* path) {
  const Problem p = read(path);
  const quenlith::containers::field::DofList none;
  const auto t0 = Clock::now();
  const auto lu = solver::lu_factorize(p.a, solver::solve_names(none, none), {});
  const double tf = seconds_since(t0);
  std::vector<double> x = p.b;
  const auto t1 = Clock::now();
  lu->solve(x);
  const double ts = seconds_since(t1);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const solver::FactorMemory& m = lu->memory();
  std::printf("factor=%.6f solve=%.6f infog16=%llu infog17=%llu infog19=%llu infog22=%llu peak_rss_mb=%.1f "
              "residual=%.3g\n",
              tf, ts, static_cast<unsigned long long>(m.estimated_peak_mb),
              static_cast<unsigned long long>(m.estimated_total_mb), static_cast<unsigned long long>(m.allocated_total_mb),
              static_cast<unsigned long long>(m.used_total_mb), usage.ru_maxrss / 1024.0, residual(p.a, x, p.b));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--dump") {
    dump(std::atoi(argv[2]), argv[3]);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--factor") {
    factor(argv[2]);
    return 0;
  }
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {20, 31};
  for (int n : sizes) run(n);
}
