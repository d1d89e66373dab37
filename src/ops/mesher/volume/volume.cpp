#include "ops/mesher/volume/volume.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

#include "base/error.hpp"
#include "containers/mesh/node.hpp"
#include "containers/mesh/submesh.hpp"
#include "dump/number_format.hpp"
#include "ops/mesher/volume/fill.hpp"
#include "ops/mesher/volume/recover.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher::vol {

namespace {

// Closed and consistently oriented: every directed edge once, its opposite once.
// Defects are reported in ascending order of the directed edge.
void check_closed(const std::vector<Tri>& faces) {
  std::vector<std::pair<PointIndex, PointIndex>> directed;
  directed.reserve(3 * faces.size());
  for (const Tri& f : faces)
    for (int i = 0; i < 3; ++i) directed.push_back({f[i], f[(i + 1) % 3]});
  std::sort(directed.begin(), directed.end());
  auto count_of = [&](std::pair<PointIndex, PointIndex> e) {
    const auto [lo, hi] = std::equal_range(directed.begin(), directed.end(), e);
    return static_cast<std::size_t>(hi - lo);
  };
  for (std::size_t i = 0; i < directed.size();) {
    std::size_t j = i + 1;
    while (j < directed.size() && directed[j] == directed[i]) ++j;
    const auto [a, b] = directed[i];
    QUENLITH_VERIFY(j - i == 1,
                    "volume: surface is non-manifold — directed edge ({}, {}) used {} times (each must appear once)", a,
                    b, j - i);
    QUENLITH_VERIFY(count_of({b, a}) == 1,
                    "volume: surface is open or inconsistently oriented — edge ({}, {}) has no matching opposite face",
                    a, b);
    i = j;
  }
}

std::int64_t saturated_floor(double x) noexcept {
  const double f = std::floor(x);
  if (std::isnan(f)) return 0;
  if (f >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (f <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

inline double distance(const Point3& a, const Point3& b) noexcept {
  return std::sqrt((b[0] - a[0]) * (b[0] - a[0]) + (b[1] - a[1]) * (b[1] - a[1]) + (b[2] - a[2]) * (b[2] - a[2]));
}

}  // namespace

VolumeResult mesh_volume(std::vector<Point3> points, const std::vector<Tri>& faces, std::optional<double> size,
                         const store::InterruptCheck& interrupt, bool literal) {
  QUENLITH_VERIFY(faces.size() >= 4, "volume: envelope must have ≥ 4 triangular faces, got {}", faces.size());
  check_closed(faces);

  Point3 lo = points.front(), hi = points.front();
  for (const Point3& p : points)
    for (int d = 0; d < 3; ++d) {
      if (p[d] < lo[d]) lo[d] = p[d];
      if (p[d] > hi[d]) hi[d] = p[d];
    }
  const Point3 extent{hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  const double l2 = extent[0] * extent[0] + extent[1] * extent[1] + extent[2] * extent[2];
  QUENLITH_VERIFY(l2 != 0.0, "volume: envelope is degenerate (zero extent)");
  const double L = std::sqrt(l2);
  const Point3 centre{(lo[0] + hi[0]) * 0.5, (lo[1] + hi[1]) * 0.5, (lo[2] + hi[2]) * 0.5};

  double h;
  if (size) {
    h = *size;
  } else {
    double total = 0.0;
    for (const Tri& f : faces)
      total += distance(points[f[0]], points[f[1]]) + distance(points[f[1]], points[f[2]]) +
               distance(points[f[2]], points[f[0]]);
    h = total / (3.0 * static_cast<double>(faces.size()));
  }
  QUENLITH_VERIFY(h > 0.0, "volume: could not determine a positive element size");

  const double eps_in = 1e-9 * L;
  const double eps_vol = 1e-9 * L * L * L;
  const double amplitude = 1e-7 * L;
  const LatticeSpec spec{lo, saturated_floor(extent[0] / h), saturated_floor(extent[1] / h),
                         saturated_floor(extent[2] / h), h, eps_in};
  if (spec.nx >= 1 && spec.ny >= 1 && spec.nz >= 1) {
    // Every point needs a 32-bit index: refuse before generating anything.
    const long double candidates =
        static_cast<long double>(spec.nx) * static_cast<long double>(spec.ny) * static_cast<long double>(spec.nz);
    QUENLITH_VERIFY(candidates + static_cast<long double>(points.size()) <= 4294967295.0L,
                    "volume: size {} gives {}×{}×{} lattice candidates, beyond the 32-bit point range",
                    dump::plain_number(h), spec.nx, spec.ny, spec.nz);
  }
  const std::vector<Point3> lattice = lattice_points(spec, faces, points, interrupt, literal);

  const std::vector<Quad> delaunay =
      literal ? delaunay_tetrahedralize_literal(jitter_points(points, amplitude), centre, L, interrupt)
              : delaunay_tetrahedralize(jitter_points(points, amplitude), centre, L, interrupt);
  TetMesh mesh = rebuild_after_delaunay(delaunay, jitter_points(points, amplitude));
  recover_edges(mesh, faces, interrupt, literal);
  check_faces_recovered(mesh, faces);

  VolumeResult out;
  out.n_boundary = points.size();
  insert_interior_points(mesh, lattice, points, amplitude, interrupt, literal);
  fill_interior(mesh, faces, points, eps_in, eps_vol, interrupt);
  remove_flat_tetrahedra(mesh, points, eps_vol);
  out.tets = emit_tet4(mesh, points, eps_vol);
  QUENLITH_VERIFY(!out.tets.empty(), "volume: produced no tetrahedron (degenerate or non-closed envelope?)");
  out.points = std::move(points);
  return out;
}

}  // namespace quenlith::ops::mesher::vol

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::Node;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

Mesh volume(const Mesh& envelope, std::optional<double> size, const store::InterruptCheck& interrupt) {
  if (size)
    QUENLITH_VERIFY(*size > 0.0, "volume: target_size must be > 0, got {}", dump::plain_number(*size));
  const store::Handle<Coords> coords = envelope.coords();
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    QUENLITH_VERIFY(guard->dim() == 3, "volume: envelope must be 3-D, got dim={}", guard->dim());
  }
  std::vector<Point3> points;
  std::vector<NodeId> ids;
  std::vector<vol::Tri> faces;
  std::unordered_map<NodeId, vol::PointIndex> index;
  for (const auto& handle : envelope.subs()) {
    std::vector<NodeId> connectivity;
    {
      store::ReadGuard<SubMesh> sub = store::read(handle);
      QUENLITH_VERIFY(sub->element_type() == ElementType::TRI3, "volume: envelope must be a TRI3 surface, got {}",
                      containers::mesh::name(sub->element_type()));
      connectivity.assign(sub->connectivity().begin(), sub->connectivity().end());
    }
    store::ReadGuard<Coords> guard = store::read(coords);
    const std::span<const double> buffer = guard->active_buffer();
    for (std::size_t c = 0; c + 3 <= connectivity.size(); c += 3) {
      vol::Tri face;
      for (int k = 0; k < 3; ++k) {
        const NodeId id = connectivity[c + static_cast<std::size_t>(k)];
        auto [it, added] = index.try_emplace(id, static_cast<vol::PointIndex>(points.size()));
        if (added) {
          QUENLITH_VERIFY(guard->is_alive(id), "node {} not found or collected", id);
          const double* x = buffer.data() + static_cast<std::size_t>(id) * 3;
          QUENLITH_VERIFY(std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]),
                          "volume: envelope node {} has a non-finite coordinate", id);
          points.push_back({x[0], x[1], x[2]});
          ids.push_back(id);
        }
        face[k] = it->second;
      }
      faces.push_back(face);
    }
  }
  vol::VolumeResult r = vol::mesh_volume(std::move(points), faces, size, interrupt);

  std::vector<Node> held;
  held.reserve(r.points.size() - r.n_boundary);
  for (std::size_t i = r.n_boundary; i < r.points.size(); ++i) {
    const Point3& p = r.points[i];
    held.push_back(Node::create(coords, std::span<const double>(p.data(), 3)));
    ids.push_back(held.back().id());
  }
  SubMesh sub(ElementType::TET4, coords);
  for (const vol::Quad& t : r.tets) {
    const std::array<NodeId, 4> cell{ids[t[0]], ids[t[1]], ids[t[2]], ids[t[3]]};
    sub.add_cell(cell);
  }
  return Mesh::from_submesh(std::move(sub));
}

}  // namespace quenlith::ops::mesher
