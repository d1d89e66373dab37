#pragma once
// Helpers shared by the C++ benchmarks.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::bench {

inline constexpr int kRepeats = 7;

// The best of kRepeats runs of `body`, in seconds; `reset` runs untimed before each.
template <class F, class R = void (*)()>
double best_seconds(F&& body, R&& reset = [] {}) {
  using Clock = std::chrono::steady_clock;
  double best = 1e300;
  for (int r = 0; r < kRepeats; ++r) {
    reset();
    const auto t0 = Clock::now();
    body();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

// n nodes on a line of a new 3-D Coords (node i at x = i); their ids into `ids`.
inline store::Handle<containers::mesh::Coords> line_nodes(std::uint32_t n, std::vector<containers::mesh::NodeId>& ids) {
  namespace mesh = containers::mesh;
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(3));
  ids.resize(n);
  store::WriteGuard<mesh::Coords> g = store::write(coords);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double xyz[] = {double(i), 0.0, 0.0};
    ids[i] = g->add_node(xyz);
  }
  return coords;
}

// An n × n grid of unit squares, two TRI3 cells each (2 n² cells), on a new 2-D
// Coords whose (n + 1)² nodes are slightly and deterministically moved off the grid.
inline store::Handle<containers::mesh::SubMesh> tri3_grid(std::uint32_t n) {
  namespace mesh = containers::mesh;
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(2));
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (std::uint32_t j = 0; j <= n; ++j)
      for (std::uint32_t i = 0; i <= n; ++i) {
        const double p[2] = {i + 0.1 * ((i * 7 + j * 3) % 5) / 5.0, j + 0.1 * ((i * 3 + j * 11) % 7) / 7.0};
        w->add_node(p);
      }
  }
  mesh::SubMesh s(mesh::ElementType::TRI3, coords);
  for (std::uint32_t j = 0; j < n; ++j)
    for (std::uint32_t i = 0; i < n; ++i) {
      const mesh::NodeId a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
      const mesh::NodeId t1[3] = {a, b, c}, t2[3] = {a, c, d};
      s.add_cell(t1);
      s.add_cell(t2);
    }
  return store::insert(std::move(s));
}

}  // namespace quenlith::bench
