// Builds a TRI3 mesh cell by cell through the core (two triangles per square of an
// n x n grid), as the Python benchmark does, and prints the build rate and the
// process's peak resident memory.
//
//   build/bench/bench_mesh_build [target_cells ...]
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith::containers::mesh;
namespace store = quenlith::store;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void build(std::uint64_t target_cells) {
  const std::uint64_t n = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::sqrt(double(target_cells / 2))));
  const std::uint64_t w = n + 1;
  store::Handle<Coords> coords = store::insert(Coords(2));
  const auto t0 = Clock::now();
  {
    // The Nodes a script would hold are not made here: each node keeps the count of
    // 1 its creation gave it, as a held Python Node would.
    store::WriteGuard<Coords> g = store::write(coords);
    for (std::uint64_t j = 0; j <= n; ++j)
      for (std::uint64_t i = 0; i <= n; ++i) {
        const double xy[] = {double(i) / double(n), double(j) / double(n)};
        g->add_node(xy);
      }
  }
  const auto t1 = Clock::now();
  Mesh mesh = Mesh::from_submesh(SubMesh(ElementType::TRI3, coords));
  {
    store::WriteGuard<SubMesh> sub = store::write(mesh.subs()[0]);
    for (std::uint64_t j = 0; j < n; ++j)
      for (std::uint64_t i = 0; i < n; ++i) {
        const auto a = NodeId(j * w + i), b = NodeId(j * w + i + 1), d = NodeId((j + 1) * w + i),
                   e = NodeId((j + 1) * w + i + 1);
        const NodeId t[] = {a, b, e}, u[] = {a, e, d};
        sub->add_cell(t);
        sub->add_cell(u);
      }
  }
  const auto t2 = Clock::now();
  const std::uint64_t cells = mesh.cell_count();
  if (cells != 2 * n * n) std::abort();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%9llu %9llu %12.0f %12.0f %13.1f\n", static_cast<unsigned long long>(cells),
              static_cast<unsigned long long>(w * w), double(w * w) / seconds(t0, t1), double(cells) / seconds(t1, t2),
              double(usage.ru_maxrss) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> targets;
  for (int i = 1; i < argc; ++i) targets.push_back(std::strtoull(argv[i], nullptr, 10));
  if (targets.empty()) targets = {10'000, 100'000, 1'000'000};
  std::printf("%9s %9s %12s %12s %13s\n", "cells", "nodes", "add_node/s", "add_cell/s", "peak RSS MiB");
  for (std::uint64_t t : targets) build(t);
  return 0;
}
