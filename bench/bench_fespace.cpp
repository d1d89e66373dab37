// Builds the space of a TRI3 mesh of about one million cells and evaluates dN/dx at
// every Gauss point, with one thread and with all of them; prints cells per second.
//   build/bench/bench_fespace [n]      (an n x n grid of squares, two triangles each; default 708)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_support.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/finite_element_space/cell_geometry.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/finite_element_space/coloring.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace fes = quenlith::containers::finite_element_space;
namespace mesh = quenlith::containers::mesh;
namespace store = quenlith::store;
namespace parallel = quenlith::parallel;

template <class F>
double seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char** argv) {
  const std::uint32_t n = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 708;
  store::Handle<mesh::SubMesh> sub;
  const double t_mesh = seconds([&] { sub = quenlith::bench::tri3_grid(n); });
  const mesh::Mesh m({sub});
  fes::FiniteElementSpace space;
  const double t_space = seconds([&] { space = fes::FiniteElementSpace::lagrange1(m); });
  store::ReadGuard<fes::SubFiniteElementSpace> s = store::read(space.subs()[0]);
  const std::uint64_t cells = s->cell_count();
  const std::uint64_t n_g = s->gauss_count();
  std::printf("TRI3 mesh: %llu cells, %llu Gauss points each; mesh built in %.2f s, space in %.4f s\n",
              static_cast<unsigned long long>(cells), static_cast<unsigned long long>(n_g), t_mesh, t_space);

  // The per-call API (guards and a copy per call), on the calling thread.
  double sink = 0;
  const double t_call = seconds([&] {
    for (std::uint64_t c = 0; c < cells; ++c)
      for (std::uint64_t g = 0; g < n_g; ++g) sink += s->dn_dx(c, g)[0];
  });
  std::printf("%-34s %8s %14.0f cells/s\n", "dn_dx per call (SubFiniteElementSpace)", "1 thr", cells / t_call);

  // The kernel path: guards once, then lock-free parallel loops; one value per cell.
  std::vector<double> out(cells);
  auto run = [&] {
    fes::CellGeometry geometry(*s);
    parallel::for_chunks(cells, 4096, [&](parallel::Index begin, parallel::Index end) {
      double x[6], j[4], d[6];
      for (std::uint64_t c = begin; c < end; ++c) {
        geometry.node_coords(c, x);
        double acc = 0;
        for (std::uint64_t g = 0; g < 3; ++g) {
          geometry.dn_dx(x, g, j, d);
          acc += d[0];
        }
        out[c] = acc;
      }
    });
  };
  const std::size_t all = parallel::max_threads();
  std::vector<double> first;
  for (std::size_t threads : {std::size_t{1}, all}) {
    parallel::ThreadLimit limit(threads);
    run();  // warm-up
    const int reps = 5;
    const double t = seconds([&] {
      for (int k = 0; k < reps; ++k) run();
    });
    if (first.empty()) first = out;
    std::printf("%-34s %4zu thr %14.0f cells/s%s\n", "dn_dx CellGeometry (kernel path)", threads, reps * cells / t,
                out == first ? "" : "  (results differ!)");
  }
  const double t_color = seconds([&] { (void)quenlith::containers::finite_element_space::cell_coloring(*s); });
  std::printf("cell colouring: %llu colours in %.3f s%s\n",
              static_cast<unsigned long long>(quenlith::containers::finite_element_space::cell_coloring(*s).n_colors()), t_color,
              sink == 1.2345 ? "!" : "");
  return 0;
}
