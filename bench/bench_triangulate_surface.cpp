// Meshes a unit disc (its circle sampled at the element size) through the core's
// phases in the driver's order and prints the time of each (constrained
// triangulation, refinement, inside mesh, its rings, flips and smoothing,
// read-out) and the triangles per second, for meshes of about 10 k, 100 k and
// 1 M triangles (or the counts given), with the growth of the cost from one size
// to the next against n log n.
//
//   build/bench/bench_triangulate_surface [target_triangles ...]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "ops/mesher/triangulate_surface/improve.hpp"
#include "ops/mesher/triangulate_surface/refine.hpp"

namespace {

using namespace quenlith::ops::mesher;
using namespace quenlith::ops::mesher::tri;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Row {
  std::size_t triangles;
  double total;
};

Row run(double target) {
  // About 15.5 / h^2 triangles in the unit disc with h the element size.
  const double h = std::sqrt(15.5 / target);
  const int n = static_cast<int>(std::ceil(2.0 * M_PI / h));
  std::vector<Point2> circle;
  for (int i = 0; i < n; ++i) circle.push_back({std::cos(2.0 * M_PI * i / n), std::sin(2.0 * M_PI * i / n)});
  const std::vector<LoopRange> ranges{{0, static_cast<Vertex>(n)}};
  const quenlith::store::InterruptCheck never;
  // The driver's sequence: the triangulation is dropped before the rings are made.
  const auto t0 = Clock::now();
  Clock::time_point t1, t2;
  std::optional<InsideMesh> inside;
  {
    Triangulation tr;
    build_constrained(tr, circle, ranges, never);
    t1 = Clock::now();
    refine_ruppert(tr, h, never);
    t2 = Clock::now();
    inside.emplace(tr);
  }
  const auto t3 = Clock::now();
  Rings rings(*inside);
  const auto t4 = Clock::now();
  improve(*inside, never, &rings);
  const auto t5 = Clock::now();
  const LargeArray<Triple> f = inside->triangles_by_rank();
  const LargeArray<Point2> points = inside->points_by_index();
  inside.reset();
  const auto t6 = Clock::now();
  const auto quads = recombine_quads(points, f);
  const auto t7 = Clock::now();
  const double total = seconds(t0, t6);
  std::printf("%10zu %8d %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %10.0f %8.3f\n", f.size(), n, seconds(t0, t1),
              seconds(t1, t2), seconds(t2, t3), seconds(t3, t4), seconds(t4, t5), seconds(t5, t6), total,
              f.size() / total, seconds(t6, t7));
  (void)quads;
  return {f.size(), total};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> targets;
  for (int i = 1; i < argc; ++i) targets.push_back(std::atof(argv[i]));
  if (targets.empty()) targets = {1e4, 1e5, 1e6};
  std::printf("%10s %8s %8s %8s %8s %8s %8s %8s %8s %10s %8s\n", "triangles", "boundary", "cdt s", "refine s",
              "inside s", "rings s", "improve", "out s", "total s", "tri/s", "quads s");
  std::vector<Row> rows;
  for (double t : targets) rows.push_back(run(t));
  // Growth: the cost ratio against the n log n ratio between consecutive sizes.
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const double n0 = double(rows[i - 1].triangles), n1 = double(rows[i].triangles);
    std::printf("growth %zu -> %zu: time x%.2f, n x%.2f, n log n x%.2f\n", rows[i - 1].triangles, rows[i].triangles,
                rows[i].total / rows[i - 1].total, n1 / n0, (n1 * std::log(n1)) / (n0 * std::log(n0)));
  }
}
