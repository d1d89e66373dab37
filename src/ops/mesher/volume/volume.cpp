#include "ops/mesher/volume/volume.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

#include "base/error.hpp"
#include "containers/mesh/node_refs.hpp"
#include "containers/mesh/submesh.hpp"
#include "dump/number_format.hpp"
#include "ops/mesher/volume/fill.hpp"
#include "ops/mesher/volume/intersect.hpp"
#include "ops/mesher/volume/quality.hpp"
#include "ops/mesher/volume/recover.hpp"
#include "ops/mesher/volume/steiner.hpp"
#include "parallel/pool.hpp"
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

// Biases for the tie rule of in_circumsphere that make the Delaunay phase
// pick the envelope's own diagonals. Two envelope faces (a, b, c), (c, d, a)
// on four coplanar, cocircular points are a tie: the lifted heights decide,
// and the diagonal (a, c) wins when bias[a] + bias[c] < bias[b] + bias[d].
// Integer biases meeting every such condition with a margin of 1 are found by
// perceptron updates (a flat patch triangulated in a regular way, as a grid
// split along one diagonal or alternating ones, gives a solvable system);
// after a bounded number of updates the biases found are kept, and recovery
// deals with the diagonals still missing.
std::vector<double> tie_bias(const std::vector<Point3>& work, const std::vector<Tri>& faces, PointIndex nb) {
  std::vector<double> bias(nb, 0.0);
  // Each undirected edge with the far vertex of each of its faces.
  std::vector<std::array<PointIndex, 3>> sides;  // (lo, hi, far)
  sides.reserve(3 * faces.size());
  for (const Tri& f : faces)
    for (int i = 0; i < 3; ++i) {
      const PointIndex p = f[i], q = f[(i + 1) % 3];
      sides.push_back({std::min(p, q), std::max(p, q), f[(i + 2) % 3]});
    }
  std::sort(sides.begin(), sides.end());
  std::vector<std::array<PointIndex, 4>> ties;  // (a, c, b, d): diagonal (a, c)
  for (std::size_t i = 0; i + 1 < sides.size(); ++i) {
    const auto& x = sides[i];
    const auto& y = sides[i + 1];
    if (x[0] != y[0] || x[1] != y[1]) continue;
    const Point3 &a = work[x[0]], &c = work[x[1]], &b = work[x[2]], &d = work[y[2]];
    if (orient3d_sign(a, b, c, d) != 0.0) continue;
    // Cocircular: on the sphere through a, b, c and any point off their plane.
    Point3 e = a;
    for (int axis = 0; axis < 3; ++axis) {
      e = a;
      e[axis] += 1.0;
      if (orient3d_sign(a, b, c, e) != 0.0) break;
    }
    if (orient3d_sign(a, b, c, e) == 0.0 || insphere_sign(a, b, c, e, d) != 0.0) continue;
    ties.push_back({x[0], x[1], x[2], y[2]});
  }
  const std::size_t cap = 200 * ties.size() + 1000;
  std::size_t updates = 0;
  for (bool changed = true; changed && updates < cap;) {
    changed = false;
    for (const auto& t : ties) {
      if (bias[t[0]] + bias[t[1]] - bias[t[2]] - bias[t[3]] <= -1.0) continue;
      bias[t[0]] -= 1.0, bias[t[1]] -= 1.0, bias[t[2]] += 1.0, bias[t[3]] += 1.0;
      changed = true;
      if (++updates == cap) break;
    }
  }
  return bias;
}

// Envelope coordinates a few units in the last place apart (a transfinite
// grid's rows, 1/3 against 0.33333333333333337) are taken equal along their
// axis: points meant to be coplanar then are, and the exact predicates build
// no tetrahedron flat to the last bit among them. Runs of values closer than
// `tol` to their predecessor take the run's first value.
void merge_close_values(std::vector<Point3>& work, double tol) {
  std::vector<std::pair<double, std::size_t>> axis(work.size());
  for (int d = 0; d < 3; ++d) {
    for (std::size_t i = 0; i < work.size(); ++i) axis[i] = {work[i][d], i};
    std::sort(axis.begin(), axis.end());
    for (std::size_t i = 1; i < axis.size(); ++i) {
      const double gap = axis[i].first - axis[i - 1].first;
      if (gap != 0.0 && gap <= tol) {
        axis[i].first = axis[i - 1].first;
        work[axis[i].second][d] = axis[i].first;
      }
    }
  }
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
  if (const auto hit = find_self_intersection(points, faces)) {
    const Tri &f = faces[hit->first], &g = faces[hit->second];
    throw Error::message(
        "volume: cannot conform the surface — faces ({}, {}, {}) and ({}, {}, {}) intersect (the envelope crosses "
        "itself and bounds no solid)",
        f[0], f[1], f[2], g[0], g[1], g[2]);
  }

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

  // Working coordinates: (p - lo) / h, so that lattice points are exact
  // integers and their many ties (cospherical, coplanar) are decided exactly
  // and cheaply; a translation and one uniform scale keep every orientation
  // and sphere test. Without a lattice the unit is L (h may be far smaller
  // than the extent along an axis the lattice does not fill). Envelope points
  // first, then the lattice, then the super vertices.
  const auto nb = static_cast<PointIndex>(points.size());
  const double unit = lattice.empty() ? L : h;
  auto to_work = [&](const Point3& p) {
    return Point3{(p[0] - lo[0]) / unit, (p[1] - lo[1]) / unit, (p[2] - lo[2]) / unit};
  };
  std::vector<Point3> work;
  work.reserve(points.size() + lattice.size() + 4);
  // An envelope coordinate within a rounding of a lattice plane is taken on
  // it: 0.6 and 3 * 0.2 differ in the last bit, and a lattice point would
  // otherwise make with three envelope points a tetrahedron flat to the last
  // bit that the exact tie rule, which sees coplanar points, never builds.
  for (const Point3& p : points) {
    Point3 w = to_work(p);
    if (!lattice.empty())
      for (double& x : w)
        if (std::fabs(x - std::nearbyint(x)) < 1e-9) x = std::nearbyint(x);
    work.push_back(w);
  }
  merge_close_values(work, 1e-13 * L / unit);
  for (const Point3& p : lattice) {
    const Point3 w = to_work(p);
    work.push_back({std::nearbyint(w[0]), std::nearbyint(w[1]), std::nearbyint(w[2])});
  }
  const auto super = static_cast<PointIndex>(work.size());
  work = with_super_vertices(work, to_work(centre), L / unit);
  std::vector<double> bias = tie_bias(work, faces, nb);
  const std::vector<Quad> delaunay = delaunay_tets(work, nb, super, bias, interrupt, literal);
  TetMesh mesh = rebuild_after_delaunay(delaunay, std::move(work));
  mesh.super = super;
  mesh.bias = std::move(bias);
  const Frame frame{lo, unit};
  // True coordinates of every point of the mesh, in the same order: the
  // envelope, the lattice, the super vertices, then the points recovery makes.
  std::vector<Point3> coords = points;
  coords.insert(coords.end(), lattice.begin(), lattice.end());
  for (PointIndex k = 0; k < 4; ++k) coords.push_back(frame.to_true(mesh.point(super + k)));
  const PointIndex first_steiner = super + 4;
  // Flips first; what they leave missing is split by points on the envelope,
  // which go inside once the solid is known.
  Surface surface = Surface::of(faces);
  const bool complete = recover_edges(mesh, faces, interrupt, literal).empty() && faces_recovered(mesh, faces);
  if (!complete) conform_surface(mesh, coords, surface, interrupt, literal);
  check_faces_recovered(mesh, surface.live());

  insert_lattice(mesh, nb, super, interrupt, literal);
  fill_interior(mesh, faces, coords, eps_in, eps_vol, interrupt);
  prune_outside(mesh);
  relocate_steiner_points(mesh, coords, surface, frame, first_steiner, interrupt);
  improve_quality(mesh, coords, nb, frame, interrupt);
  const std::vector<Quad> tets = emit_tet4(mesh);
  QUENLITH_VERIFY(!tets.empty(), "volume: produced no tetrahedron (degenerate or non-closed envelope?)");

  // The output's points: the envelope's, the lattice (every point, used or
  // not), then the points made inside by recovery that some cell uses.
  VolumeResult out;
  out.n_boundary = points.size();
  std::vector<std::uint8_t> used(coords.size(), 0);
  for (const Quad& t : tets)
    for (PointIndex v : t) used[v] = 1;
  std::vector<PointIndex> index(coords.size(), 0);
  out.points.assign(coords.begin(), coords.begin() + super);
  for (PointIndex v = 0; v < coords.size(); ++v) {
    if (v < super) {
      index[v] = v;
    } else if (used[v]) {
      index[v] = static_cast<PointIndex>(out.points.size());
      out.points.push_back(coords[v]);
    }
  }
  out.tets.reserve(tets.size());
  for (const Quad& t : tets) out.tets.push_back({index[t[0]], index[t[1]], index[t[2]], index[t[3]]});
  return out;
}

}  // namespace quenlith::ops::mesher::vol

namespace quenlith::ops::mesher {

using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeRefs;
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

  // The new nodes in one batch, held by `fresh` until the cells have taken
  // their references; the cells' ids made in parallel and handed over whole,
  // their references taken under one guard.
  std::vector<double> xyz;
  xyz.reserve(3 * (r.points.size() - r.n_boundary));
  for (std::size_t i = r.n_boundary; i < r.points.size(); ++i)
    xyz.insert(xyz.end(), r.points[i].begin(), r.points[i].end());
  NodeRefs fresh(coords);
  fresh.reserve(r.points.size() - r.n_boundary);
  fresh.create(xyz);
  ids.insert(ids.end(), fresh.ids().begin(), fresh.ids().end());
  std::vector<NodeId> cells(4 * r.tets.size());
  parallel::for_chunks(r.tets.size(), 16384, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index c = begin; c < end; ++c)
      for (std::size_t k = 0; k < 4; ++k) cells[4 * c + k] = ids[r.tets[c][k]];
  });
  return Mesh::from_submesh(SubMesh::from_cells(ElementType::TET4, coords, std::move(cells)));
}

}  // namespace quenlith::ops::mesher
