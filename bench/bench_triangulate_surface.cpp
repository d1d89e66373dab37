// Meshes a unit disc (its circle sampled at the element size) through the core's
// phases and prints the time of each and the triangles per second, for meshes of
// about 10 k, 100 k and 1 M triangles (or the counts given), with the growth of
// the cost from one size to the next against n log n.
//
//   build/bench/bench_triangulate_surface [target_triangles ...]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
  Triangulation tr;
  const auto t0 = Clock::now();
  build_constrained(tr, circle, ranges, never);
  const auto t1 = Clock::now();
  refine_ruppert(tr, h, never);
  const auto t2 = Clock::now();
  InsideMesh inside(tr);
  improve(inside, never);
  const auto t3 = Clock::now();
  const std::vector<Triple> f = inside.triangles_by_rank();
  const std::vector<Point2> points = inside.points_by_index();
  const auto t4 = Clock::now();
  const auto quads = recombine_quads(points, f);
  const auto t5 = Clock::now();
  const double total = seconds(t0, t4);
  std::printf("%10zu %8d %9.3f %9.3f %9.3f %9.3f %12.0f %9.3f\n", f.size(), n, seconds(t0, t1), seconds(t1, t2),
              seconds(t2, t3), total, f.size() / total, seconds(t4, t5));
  (void)quads;
  return {f.size(), total};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> targets;
  for (int i = 1; i < argc; ++i) targets.push_back(std::atof(argv[i]));
  if (targets.empty()) targets = {1e4, 1e5, 1e6};
  std::printf("%10s %8s %9s %9s %9s %9s %12s %9s\n", "triangles", "boundary", "cdt s", "refine s", "improve s",
              "total s", "tri/s", "quads s");
  std::vector<Row> rows;
  for (double t : targets) rows.push_back(run(t));
  // Growth: the cost ratio against the n log n ratio between consecutive sizes.
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const double n0 = double(rows[i - 1].triangles), n1 = double(rows[i].triangles);
    std::printf("growth %zu -> %zu: time x%.2f, n x%.2f, n log n x%.2f\n", rows[i - 1].triangles, rows[i].triangles,
                rows[i].total / rows[i - 1].total, n1 / n0, (n1 * std::log(n1)) / (n0 * std::log(n0)));
  }
}
