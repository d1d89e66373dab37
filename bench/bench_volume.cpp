// Fills a unit cube (12 triangles) through the volume mesher's phases and prints
// the time of each and the tetrahedra per second, for meshes of about 10 k,
// 100 k and 1 M tetrahedra (or the counts given), with the growth of the cost
// from one size to the next against n log n.
//
//   build/bench/bench_volume [target_tetrahedra ...]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ops/mesher/volume/fill.hpp"
#include "ops/mesher/volume/recover.hpp"
#include "ops/mesher/volume/tet_mesh.hpp"

namespace {

using namespace quenlith::ops::mesher;
using namespace quenlith::ops::mesher::vol;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Row {
  std::size_t tets;
  double total;
};

Row run(double target) {
  // About 5.5 tetrahedra per lattice point.
  const double h = std::cbrt(5.5 / target);
  // Corner k is (k >> 2, k >> 1 & 1, k & 1); points are numbered by first
  // appearance over the faces, as the driver numbers an envelope's nodes.
  const int quads[6][4] = {{0, 2, 6, 4}, {1, 5, 7, 3}, {0, 4, 5, 1}, {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 6, 7, 5}};
  std::vector<Point3> points;
  std::vector<int> index(8, -1);
  std::vector<Tri> faces;
  auto point = [&](int k) {
    if (index[k] < 0) {
      index[k] = static_cast<int>(points.size());
      points.push_back({double(k >> 2), double(k >> 1 & 1), double(k & 1)});
    }
    return static_cast<PointIndex>(index[k]);
  };
  for (const auto& q : quads) {
    faces.push_back({point(q[0]), point(q[1]), point(q[2])});
    faces.push_back({point(q[0]), point(q[2]), point(q[3])});
  }
  const double L = std::sqrt(3.0);
  const quenlith::store::InterruptCheck never;
  const auto n = static_cast<std::int64_t>(std::floor(1.0 / h));
  const auto t0 = Clock::now();
  const auto lattice = lattice_points({{0, 0, 0}, n, n, n, h, 1e-9 * L}, faces, points, never);
  const auto t1 = Clock::now();
  // The mesher's working coordinates: the lattice on integers (unit h).
  std::vector<Point3> work;
  for (const Point3& p : points) work.push_back({p[0] / h, p[1] / h, p[2] / h});
  for (const Point3& p : lattice)
    work.push_back({std::nearbyint(p[0] / h), std::nearbyint(p[1] / h), std::nearbyint(p[2] / h)});
  const auto nb = static_cast<PointIndex>(points.size());
  const auto super = static_cast<PointIndex>(work.size());
  work = with_super_vertices(work, {0.5 / h, 0.5 / h, 0.5 / h}, L / h);
  std::vector<double> bias(nb, 0.0);  // the cube's diagonals fan from two corners
  for (const Tri& f : faces)
    for (PointIndex v : f) bias[v] -= 1.0;
  const auto tets0 = delaunay_tets(work, nb, super, bias, never);
  TetMesh mesh = rebuild_after_delaunay(tets0, std::move(work));
  mesh.super = super;
  mesh.bias = bias;
  recover_edges(mesh, faces, never);
  check_faces_recovered(mesh, faces);
  const auto t2 = Clock::now();
  points.insert(points.end(), lattice.begin(), lattice.end());
  insert_interior_points(mesh, nb, super, never);
  const auto t3 = Clock::now();
  const double eps_vol = 1e-9 * L * L * L;
  fill_interior(mesh, faces, points, 1e-9 * L, eps_vol, never);
  const auto tets = emit_tet4(mesh);
  const auto t4 = Clock::now();
  const double total = seconds(t0, t4);
  std::printf("%10zu %9zu %9.3f %9.3f %9.3f %9.3f %12.0f %9.3f\n", tets.size(), lattice.size(), seconds(t0, t1),
              seconds(t1, t2), seconds(t2, t3), seconds(t3, t4), static_cast<double>(tets.size()) / total, total);
  return {tets.size(), total};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> targets;
  for (int i = 1; i < argc; ++i) targets.push_back(std::atof(argv[i]));
  if (targets.empty()) targets = {1e4, 1e5, 1e6};
  std::printf("%10s %9s %9s %9s %9s %9s %12s %9s\n", "tets", "lattice", "lattice s", "delaunay s", "insert s",
              "fill s", "tets/s", "total s");
  std::vector<Row> rows;
  for (double t : targets) rows.push_back(run(t));
  for (std::size_t i = 1; i < rows.size(); ++i) {
    const double a = static_cast<double>(rows[i - 1].tets), b = static_cast<double>(rows[i].tets);
    std::printf("growth %zu -> %zu: time x%.2f, n x%.2f, n log n x%.2f\n", rows[i - 1].tets, rows[i].tets,
                rows[i].total / rows[i - 1].total, b / a, b * std::log(b) / (a * std::log(a)));
  }
  return 0;
}
