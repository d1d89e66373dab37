// Prints timings of the element numerics and the row operations over a range of sizes.
//   build/bench/bench_numerics
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "containers/finite_element_space/geometry.hpp"
#include "containers/finite_element_space/interpolation.hpp"
#include "containers/finite_element_space/quadrature.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"

namespace fes = quenlith::containers::finite_element_space;
using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::nodes_per_cell;
using quenlith::containers::mesh::ref_dim;
using quenlith::containers::mesh::reference_nodes;

template <class F>
double seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main() {
  std::printf("%-8s %12s %14s\n", "type", "ns/shape", "ns/geometry");
  for (ElementType t : {ElementType::TRI3, ElementType::QUA4, ElementType::TET4, ElementType::HEX8,
                        ElementType::TET10, ElementType::HEX20, ElementType::HEX27}) {
    const auto interp = fes::fits(fes::Interpolation::LAGRANGE1, t) ? fes::Interpolation::LAGRANGE1
                                                                    : fes::Interpolation::LAGRANGE2;
    const std::size_t r = ref_dim(t), npc = nodes_per_cell(t);
    const auto q = fes::quadrature(fes::QuadratureRule::GAUSS, t);
    const auto ref = reference_nodes(t);
    std::vector<double> x(ref.begin(), ref.end());
    for (double& v : x) v = 0.5 * v + 0.01 * std::sin(v * 7);
    const int reps = 20000;
    double sink = 0;
    const double ts = seconds([&] {
      for (int k = 0; k < reps; ++k)
        for (std::size_t g = 0; g < q.size(); ++g) {
          const auto dn = fes::dshape_dxi(interp, t, std::span<const double>(q.points).subspan(g * r, r));
          sink += dn[0];
        }
    });
    const auto d = fes::dshape_dxi(interp, t, std::span<const double>(q.points).subspan(0, r));
    std::vector<double> j(r * r), out(npc * r);
    const double tg = seconds([&] {
      for (int k = 0; k < reps * static_cast<int>(q.size()); ++k) {
        fes::jacobian_from_nodes(x, d, r, r, npc, j);
        fes::dn_dx_from_jacobian(j, d, r, r, npc, out);
        sink += out[0];
      }
    });
    const double n = static_cast<double>(reps) * q.size();
    std::printf("%-8s %12.1f %14.1f%s\n", std::string(name(t)).c_str(), ts / n * 1e9, tg / n * 1e9,
                sink == 12345.678 ? "!" : "");
  }

  std::printf("\n%-10s %8s %14s\n", "values", "threads", "ms/sum_of_sq");
  for (std::size_t n : {std::size_t{1} << 12, std::size_t{1} << 18, std::size_t{1} << 23}) {
    std::vector<double> v(n, 1.5);
    for (std::size_t threads : {std::size_t{1}, quenlith::parallel::max_threads()}) {
      quenlith::parallel::ThreadLimit limit(threads);
      const int reps = static_cast<int>(std::max<std::size_t>(1, (std::size_t{1} << 24) / n));
      double sink = 0;
      const double t = seconds([&] {
        for (int k = 0; k < reps; ++k) sink += quenlith::parallel::par_sum_of_squares(v);
      });
      std::printf("%-10zu %8zu %14.3f%s\n", n, threads, t / reps * 1e3, sink < 0 ? "!" : "");
    }
  }
}
