// locate_points on a TET4 mesh read from a file that bench/bench_locate.py writes
// (the Delaunay tetrahedralisation scipy made of random points), with one thread
// and with all of them; prints points per second and the located cell of every
// query back into a file, for the script to compare with scipy's find_simplex.
//
//   bench_locate IN OUT
// IN: u64 node count, cell count, query count; then f64 node coordinates (3 per
// node), u32 connectivity (4 per cell), f64 queries (3 per point).
// OUT: one i64 per query, the located cell or -1.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include <fmt/format.h>

#include "bench_support.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/geom/locate.hpp"
#include "parallel/pool.hpp"

using namespace quenlith;
namespace mesh = containers::mesh;

namespace {

template <class T>
std::vector<T> read_array(std::ifstream& in, std::uint64_t n) {
  std::vector<T> out(n);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n * sizeof(T)));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_locate IN OUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const auto header = read_array<std::uint64_t>(in, 3);
  const auto xyz = read_array<double>(in, 3 * header[0]);
  const auto conn = read_array<std::uint32_t>(in, 4 * header[1]);
  const auto flat = read_array<double>(in, 3 * header[2]);
  if (!in) {
    std::fprintf(stderr, "bench_locate: short input\n");
    return 1;
  }
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(3));
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (std::uint64_t i = 0; i < header[0]; ++i) w->add_node(std::span<const double>(xyz).subspan(3 * i, 3));
  }
  mesh::SubMesh sub(mesh::ElementType::TET4, coords);
  sub.add_cells(conn);
  mesh::Mesh host;
  host.push_sub(store::insert(std::move(sub)));
  std::vector<std::vector<double>> points(header[2]);
  for (std::uint64_t i = 0; i < header[2]; ++i) points[i].assign(flat.begin() + 3 * i, flat.begin() + 3 * i + 3);

  std::vector<std::optional<containers::geom::CellLocation>> found;
  auto run = [&] { found = containers::geom::locate_points(host.subs(), points, 1e-6); };
  auto timed = [&] {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  const std::size_t all = parallel::max_threads();
  // The per-call part: cell copies, grid and bucket fill, with a single point.
  const double setup = bench::best_seconds([&] { containers::geom::locate_points(host.subs(), std::span(points).first(1), 1e-6); });
  double one;
  {
    parallel::ThreadLimit limit(1);
    one = timed();
  }
  const double many = std::min(timed(), timed());
  std::uint64_t hits = 0;
  for (const auto& f : found) hits += f.has_value();
  fmt::print("locate_points: {} points in {} TET4 cells, {} found\n", header[2], header[1], hits);
  fmt::print("  cell copies and grid (one point): {:.3f} s\n", setup);
  fmt::print("  1 thread:   {:8.3f} s  {:12.0f} points/s\n", one, header[2] / one);
  fmt::print("  {} threads: {:8.3f} s  {:12.0f} points/s\n", all, many, header[2] / many);
  std::ofstream out(argv[2], std::ios::binary);
  for (const auto& f : found) {
    const std::int64_t c = f ? static_cast<std::int64_t>(f->cell) : -1;
    out.write(reinterpret_cast<const char*>(&c), sizeof c);
  }
  return 0;
}
