// Writes a TRI3 mesh of about one million cells with a three-component node field
// (the point-data path a NodeField feeds) as a legacy VTK file, with 1 thread and with
// all threads, and prints the time and MB/s of each; the two files must be equal.
//
//   build/bench/bench_export_vtk [target_cells] [path]
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/io/vtk.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace {

using namespace quenlith::containers::mesh;
using namespace quenlith::ops::io;
namespace store = quenlith::store;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

Mesh grid_mesh(std::uint64_t target_cells) {
  const std::uint64_t n = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::sqrt(double(target_cells / 2))));
  const std::uint64_t w = n + 1;
  store::Handle<Coords> coords = store::insert(Coords(2));
  {
    store::WriteGuard<Coords> g = store::write(coords);
    for (std::uint64_t j = 0; j <= n; ++j)
      for (std::uint64_t i = 0; i <= n; ++i) {
        const double xy[] = {double(i) / double(n), double(j) / double(n)};
        g->add_node(xy);
      }
  }
  SubMesh sub(ElementType::TRI3, coords);
  for (std::uint64_t j = 0; j < n; ++j)
    for (std::uint64_t i = 0; i < n; ++i) {
      const NodeId a = NodeId(j * w + i), b = a + 1, d = NodeId(a + w), e = d + 1;
      const NodeId t1[] = {a, b, e}, t2[] = {a, e, d};
      sub.add_cell(t1);
      sub.add_cell(t2);
    }
  return Mesh::from_submesh(std::move(sub));
}

// Displacement-like values at each point: three smooth functions of the coordinates.
std::vector<VtkArray> field_arrays(const VtkGrid& grid) {
  std::vector<VtkArray> out{{"ux", {}}, {"uy", {}}, {"uz", {}}};
  for (auto& a : out) a.values.reserve(grid.n_points());
  for (std::uint64_t p = 0; p < grid.n_points(); ++p) {
    const double x = grid.points[3 * p], y = grid.points[3 * p + 1];
    out[0].values.push_back(std::sin(3 * x) * y * 1e-3);
    out[1].values.push_back(std::cos(2 * y) * x * 1e-3);
    out[2].values.push_back(x * y);
  }
  return out;
}

double write_once(const Mesh& mesh, const std::string& path) {
  const auto t0 = Clock::now();
  write_vtk_with_data(mesh, path, "quenlith node field", VtkDataLocation::Points,
                      [](const VtkGrid& grid) { return field_arrays(grid); });
  return seconds(t0, Clock::now());
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t target = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const std::string path = argc > 2 ? argv[2] : "/tmp/quenlith-bench-export.vtk";
  const Mesh mesh = grid_mesh(target);
  const std::string one_path = path + ".1";
  double t1;
  {
    quenlith::parallel::ThreadLimit limit(1);
    t1 = write_once(mesh, one_path);
  }
  const double tn = write_once(mesh, path);
  const std::string a = slurp(one_path), b = slurp(path);
  std::remove(one_path.c_str());
  const double mb = double(b.size()) / 1e6;
  std::printf("export_vtk core, TRI3 %llu cells + 3-component node field: %.1f MB\n",
              static_cast<unsigned long long>(mesh.cell_count()), mb);
  std::printf("  1 thread:    %.3f s  %.1f MB/s\n", t1, mb / t1);
  std::printf("  %zu threads:  %.3f s  %.1f MB/s\n", quenlith::parallel::max_threads(), tn, mb / tn);
  std::printf("  files equal: %s\n", a == b ? "yes" : "NO");
  if (argc <= 2) std::remove(path.c_str());
  return a == b ? 0 : 1;
}
