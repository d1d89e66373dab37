#include "ops/mesher/volume/fill.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::vol {

namespace {

inline Point3 sub(const Point3& a, const Point3& b) noexcept { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline double dot(const Point3& a, const Point3& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Point3 cross(const Point3& a, const Point3& b) noexcept {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double norm(const Point3& a) noexcept { return std::sqrt(dot(a, a)); }

}  // namespace

bool point_inside_surface(const Point3& p, std::span<const Tri> faces, std::span<const Point3> coords, double eps) {
  if (faces.empty()) return false;
  double sum = 0.0;
  for (const Tri& f : faces) {
    const Point3 A = sub(coords[f[0]], p), B = sub(coords[f[1]], p), C = sub(coords[f[2]], p);
    const double la = norm(A), lb = norm(B);
    if (la < eps || lb < eps) return true;
    const double lc = norm(C);
    if (lc < eps) return true;
    const double num = dot(A, cross(B, C));
    const double den = la * lb * lc + dot(A, B) * lc + dot(A, C) * lb + dot(B, C) * la;
    sum += 2.0 * std::atan2(num, den);
  }
  return std::fabs(sum) > 6.283185307179586;
}

double squared_distance_to_triangle(const Point3& p, const Point3& a, const Point3& b, const Point3& c) noexcept {
  // The closest point by the Voronoi regions of the vertices, edges and face.
  const Point3 ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
  auto at = [&](double v, double w) {
    const Point3 q{a[0] + ab[0] * v + ac[0] * w, a[1] + ab[1] * v + ac[1] * w, a[2] + ab[2] * v + ac[2] * w};
    const Point3 d = sub(p, q);
    return dot(d, d);
  };
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return dot(ap, ap);
  const Point3 bp = sub(p, b);
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return dot(bp, bp);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return at(d1 / (d1 - d3), 0.0);
  const Point3 cp = sub(p, c);
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return dot(cp, cp);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return at(0.0, d2 / (d2 - d6));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
    const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    const Point3 q{b[0] + (c[0] - b[0]) * w, b[1] + (c[1] - b[1]) * w, b[2] + (c[2] - b[2]) * w};
    const Point3 d = sub(p, q);
    return dot(d, d);
  }
  const double denom = va + vb + vc;
  if (!(denom > 0.0)) {  // a flat triangle: the nearest of its three edges
    auto seg = [&](const Point3& s, const Point3& t) {
      const Point3 st = sub(t, s), sp = sub(p, s);
      const double l2 = dot(st, st);
      const double u = l2 > 0.0 ? std::clamp(dot(sp, st) / l2, 0.0, 1.0) : 0.0;
      const Point3 d{sp[0] - st[0] * u, sp[1] - st[1] * u, sp[2] - st[2] * u};
      return dot(d, d);
    };
    return std::min({seg(a, b), seg(b, c), seg(c, a)});
  }
  return at(vb / denom, vc / denom);
}

namespace {

// The objects (faces or points) whose boxes, grown by a margin, reach each
// column (i, j) of the lattice, as lists in one array (column-major offsets).
struct ColumnIndex {
  std::int64_t nx = 0, ny = 0;
  std::vector<std::size_t> offset;  // nx * ny + 1
  std::vector<std::uint32_t> items;
  std::vector<double> zlo, zhi;     // per object: its grown z-range

  template <class BoxOf>
  ColumnIndex(const LatticeSpec& spec, std::size_t n, BoxOf box_of) : nx(spec.nx), ny(spec.ny) {
    offset.assign(static_cast<std::size_t>(nx * ny) + 1, 0);
    zlo.resize(n);
    zhi.resize(n);
    std::vector<std::array<std::int64_t, 4>> range(n);
    auto index_range = [&](double lo, double hi, double origin, std::int64_t count, std::int64_t& a, std::int64_t& b) {
      // Columns i with lo <= origin + i * h <= hi, widened by one on each side
      // against rounding; clamped to 1 .. count.
      a = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor((lo - origin) / spec.h)) - 1);
      b = std::min<std::int64_t>(count, static_cast<std::int64_t>(std::ceil((hi - origin) / spec.h)) + 1);
    };
    for (std::size_t o = 0; o < n; ++o) {
      const auto [lo, hi] = box_of(o);
      zlo[o] = lo[2];
      zhi[o] = hi[2];
      auto& r = range[o];
      if (!(lo[0] <= hi[0] && lo[1] <= hi[1]) || hi[0] < spec.min[0] || hi[1] < spec.min[1]) {
        r = {1, 0, 1, 0};
        continue;
      }
      index_range(lo[0], hi[0], spec.min[0], nx, r[0], r[1]);
      index_range(lo[1], hi[1], spec.min[1], ny, r[2], r[3]);
      for (std::int64_t i = r[0]; i <= r[1]; ++i)
        for (std::int64_t j = r[2]; j <= r[3]; ++j) ++offset[column(i, j) + 1];
    }
    for (std::size_t c = 1; c < offset.size(); ++c) offset[c] += offset[c - 1];
    items.resize(offset.back());
    std::vector<std::size_t> fill(offset.begin(), offset.end() - 1);
    for (std::size_t o = 0; o < n; ++o) {
      const auto& r = range[o];
      for (std::int64_t i = r[0]; i <= r[1]; ++i)
        for (std::int64_t j = r[2]; j <= r[3]; ++j) items[fill[column(i, j)]++] = static_cast<std::uint32_t>(o);
    }
  }
  std::size_t column(std::int64_t i, std::int64_t j) const noexcept {
    return static_cast<std::size_t>((i - 1) * ny + (j - 1));
  }
  std::span<const std::uint32_t> at(std::int64_t i, std::int64_t j) const noexcept {
    const std::size_t c = column(i, j);
    return {items.data() + offset[c], items.data() + offset[c + 1]};
  }
};

using Box = std::pair<Point3, Point3>;

}  // namespace

std::vector<Point3> lattice_points(const LatticeSpec& spec, std::span<const Tri> faces,
                                   std::span<const Point3> coords, const store::InterruptCheck& interrupt,
                                   bool literal) {
  std::vector<Point3> out;
  if (spec.nx < 1) return out;
  const double half2 = (spec.h / 2.0) * (spec.h / 2.0);
  // A candidate closer than h / 2 to a face would make records flat against
  // it (the envelope's points may be far apart where h is small): it is left
  // out, as a candidate closer than h / 2 to an envelope point is. A relative
  // margin keeps a candidate h / 2 away up to rounding (1 - 0.8 < 0.2).
  const double gap = std::max(spec.eps_in, 0.5 * spec.h * (1.0 - 1e-9));
  const double eps2 = gap * gap;
  auto candidate = [&](std::int64_t i, std::int64_t j, std::int64_t k) {
    return Point3{static_cast<double>(i) * spec.h + spec.min[0], static_cast<double>(j) * spec.h + spec.min[1],
                  static_cast<double>(k) * spec.h + spec.min[2]};
  };
  auto on_face = [&](const Point3& p, const Tri& f) {
    return squared_distance_to_triangle(p, coords[f[0]], coords[f[1]], coords[f[2]]) < eps2;
  };
  auto near_point = [&](const Point3& p, const Point3& q) {
    const Point3 d = sub(p, q);
    return dot(d, d) < half2;
  };
  if (literal || spec.ny < 1 || spec.nz < 1) {
    for (std::int64_t i = 1; i <= spec.nx; ++i) {
      interrupt();
      if (spec.ny < 1 || spec.nz < 1) continue;
      for (std::int64_t j = 1; j <= spec.ny; ++j)
        for (std::int64_t k = 1; k <= spec.nz; ++k) {
          const Point3 p = candidate(i, j, k);
          if (!point_inside_surface(p, faces, coords, spec.eps_in)) continue;
          if (std::any_of(faces.begin(), faces.end(), [&](const Tri& f) { return on_face(p, f); })) continue;
          if (std::any_of(coords.begin(), coords.end(), [&](const Point3& q) { return near_point(p, q); })) continue;
          out.push_back(p);
        }
    }
    return out;
  }
  auto may_meet = [&](const Tri& f, double x, double y, double z0, double z1) {
    const Point3 &a = coords[f[0]], &b = coords[f[1]], &c = coords[f[2]];
    const Point2 P{x, y}, A{a[0], a[1]}, B{b[0], b[1]}, C{c[0], c[1]};
    const double o1 = orient2d(A, B, P), o2 = orient2d(B, C, P), o3 = orient2d(C, A, P);
    if (!((o1 >= 0.0 && o2 >= 0.0 && o3 >= 0.0) || (o1 <= 0.0 && o2 <= 0.0 && o3 <= 0.0))) return false;
    const double s0 = orient3d(a, b, c, {x, y, z0}), s1 = orient3d(a, b, c, {x, y, z1});
    return !((s0 > 0.0 && s1 > 0.0) || (s0 < 0.0 && s1 < 0.0));
  };
  // Margins well above the rounding of the candidates' coordinates.
  const double grow = 2.0 * spec.eps_in + 1e-9 * spec.h;
  auto face_box = [&](std::size_t o, double margin) {
    const Tri& f = faces[o];
    Box b{coords[f[0]], coords[f[0]]};
    for (int v = 1; v < 3; ++v)
      for (int d = 0; d < 3; ++d) {
        b.first[d] = std::min(b.first[d], coords[f[v]][d]);
        b.second[d] = std::max(b.second[d], coords[f[v]][d]);
      }
    for (int d = 0; d < 3; ++d) b.first[d] -= margin, b.second[d] += margin;
    return b;
  };
  const ColumnIndex face_columns(spec, faces.size(), [&](std::size_t o) { return face_box(o, grow); });
  const ColumnIndex gap_columns(spec, faces.size(), [&](std::size_t o) { return face_box(o, gap + grow); });
  const double reach = spec.h / 2.0 + 1e-9 * spec.h;
  const ColumnIndex point_columns(spec, coords.size(), [&](std::size_t o) {
    const Point3& q = coords[o];
    return Box{{q[0] - reach, q[1] - reach, q[2] - reach}, {q[0] + reach, q[1] + reach, q[2] + reach}};
  });
  // Layers of constant x are independent: a batch of them runs in parallel,
  // each into its own list, and the lists join in layer order (the same
  // points in the same order for any number of threads). The interrupt is
  // polled once per layer, on this thread, before its batch.
  const std::int64_t batch = 64;
  std::vector<std::vector<Point3>> layers(static_cast<std::size_t>(std::min(batch, spec.nx)));
  for (std::int64_t first = 1; first <= spec.nx; first += batch) {
    const std::int64_t count = std::min(batch, spec.nx - first + 1);
    for (std::int64_t i = 0; i < count; ++i) interrupt();
    parallel::for_chunks(count, 1, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index slot = begin; slot < end; ++slot) {
        const std::int64_t i = first + static_cast<std::int64_t>(slot);
        std::vector<Point3>& layer = layers[static_cast<std::size_t>(slot)];
        layer.clear();
        for (std::int64_t j = 1; j <= spec.ny; ++j) {
          const auto column_faces = face_columns.at(i, j);
          const auto column_gap = gap_columns.at(i, j);
          const auto column_points = point_columns.at(i, j);
          // The inside answer of the last candidate tested, at height z_prev.
          bool known = false, inside = false;
          double z_prev = 0.0;
          for (std::int64_t k = 1; k <= spec.nz; ++k) {
            const Point3 p = candidate(i, j, k);
            // Candidates too near a face or an envelope point go first, without
            // the inside test: they are where that test is dearest.
            bool rejected = false;
            for (std::size_t n = 0; n < column_gap.size() && !rejected; ++n) {
              const std::uint32_t f = column_gap[n];
              rejected = gap_columns.zlo[f] <= p[2] && gap_columns.zhi[f] >= p[2] && on_face(p, faces[f]);
            }
            for (std::size_t n = 0; n < column_points.size() && !rejected; ++n) {
              const std::uint32_t q = column_points[n];
              rejected = point_columns.zlo[q] <= p[2] && point_columns.zhi[q] >= p[2] && near_point(p, coords[q]);
            }
            if (rejected) continue;
            // The inside answer carries over from the last candidate tested
            // unless a face may meet the vertical stretch between them (its box
            // reaches the stretch, the column's line passes through its closed
            // shadow on the xy plane, and the two candidates are not strictly on
            // one side of its plane): off the surface the winding number stays put.
            bool fresh = !known;
            for (std::size_t n = 0; n < column_faces.size() && !fresh; ++n) {
              const std::uint32_t f = column_faces[n];
              fresh = face_columns.zlo[f] <= p[2] && face_columns.zhi[f] >= z_prev &&
                      may_meet(faces[f], p[0], p[1], z_prev, p[2]);
            }
            if (fresh) inside = point_inside_surface(p, faces, coords, spec.eps_in);
            known = true;
            z_prev = p[2];
            if (inside) layer.push_back(p);
          }
        }
      }
    });
    for (std::int64_t slot = 0; slot < count; ++slot) {
      const auto& layer = layers[static_cast<std::size_t>(slot)];
      out.insert(out.end(), layer.begin(), layer.end());
    }
  }
  return out;
}

namespace {

inline std::uint32_t next_turn(std::uint32_t& state) noexcept {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

Record locate_literal(const TetMesh& mesh, const Point3& P) {
  for (std::size_t r = 0; r < mesh.tets.size(); ++r)
    if (!mesh.tets[r].dead && mesh.contains(static_cast<Record>(r), P)) return static_cast<Record>(r);
  return -1;
}

// A visibility walk from `start` to a record whose closure holds P (`strict`
// when P is inside it). A walk that leaves the solid or runs too long falls
// back to the scan.
Record locate_walk(const TetMesh& mesh, const Point3& P, Record start, std::uint32_t& turn, bool& strict) {
  strict = false;
  Record t = start;
  const std::size_t limit = mesh.tets.size() + 16;
  for (std::size_t step = 0; step < limit && mesh.live(t); ++step) {
    const Tet& T = mesh.tet(t);
    const std::uint32_t base = next_turn(turn);
    std::array<double, 4> o;
    Record next = -2;
    for (std::uint32_t i = 0; i < 4; ++i) {
      const int k = static_cast<int>((base + i) & 3u);
      std::array<const Point3*, 4> q{&mesh.point(T.v[0]), &mesh.point(T.v[1]), &mesh.point(T.v[2]),
                                     &mesh.point(T.v[3])};
      q[k] = &P;
      o[k] = orient3d(*q[0], *q[1], *q[2], *q[3]);
      if (o[k] < 0.0) {
        next = T.n[k];
        break;
      }
    }
    if (next == -2) {
      // P is in t's closure: strictly inside, or on a face or an edge,
      // where the caller gathers every record holding it.
      strict = o[0] > 0.0 && o[1] > 0.0 && o[2] > 0.0 && o[3] > 0.0;
      return t;
    }
    t = next;
  }
  return locate_literal(mesh, P);
}

}  // namespace

void insert_interior_points(TetMesh& mesh, PointIndex first, PointIndex end, const store::InterruptCheck& interrupt,
                            bool literal) {
  std::vector<PointIndex> order;
  order.reserve(end - first);
  for (PointIndex q = first; q < end; ++q) order.push_back(q);
  insert_interior_points(mesh, order, interrupt, literal);
}

std::vector<PointIndex> coarse_to_fine(const TetMesh& mesh, PointIndex first, PointIndex end) {
  // The level of a lattice point: the number of trailing zero bits its three
  // integer coordinates share (off the lattice, level 0).
  auto level = [&](PointIndex q) {
    int lv = 62;
    for (double x : mesh.point(q)) {
      if (x != std::floor(x) || !(std::fabs(x) < 0x1p62)) return 0;
      const auto v = static_cast<std::uint64_t>(static_cast<std::int64_t>(x));
      lv = std::min(lv, v == 0 ? 62 : std::countr_zero(v));
    }
    return lv;
  };
  std::vector<std::pair<int, PointIndex>> keyed;
  keyed.reserve(end - first);
  for (PointIndex q = first; q < end; ++q) keyed.push_back({-level(q), q});
  std::sort(keyed.begin(), keyed.end());
  std::vector<PointIndex> order;
  order.reserve(keyed.size());
  for (const auto& [lv, q] : keyed) order.push_back(q);
  return order;
}

void insert_interior_points(TetMesh& mesh, std::span<const PointIndex> order, const store::InterruptCheck& interrupt,
                            bool literal) {
  // About seven records are made per inserted point.
  mesh.tets.reserve(mesh.tets.size() + 7 * order.size());
  std::vector<std::uint32_t> visited(mesh.tets.size(), 0);
  visited.reserve(mesh.tets.capacity());
  std::uint32_t epoch = 0;
  std::uint32_t turn = 0x2545f491u;
  Record hint = -1;
  for (std::size_t r = mesh.tets.size(); r-- > 0;)
    if (!mesh.tets[r].dead) {
      hint = static_cast<Record>(r);
      break;
    }
  std::vector<Record> cavity, stack, fresh, core;
  std::vector<std::uint32_t> on_boundary(mesh.points.size(), 0);  // stamped per check
  std::uint32_t mark = 0;
  struct Side {
    Tri f;
    bool constrained;
    Record across, replaced;
    int k;
  };
  std::vector<Side> sides;
  std::vector<Record> across, replaced;
  for (const PointIndex q : order) {
    interrupt();
    const Point3 P = mesh.point(q);
    bool strict = false;
    const Record t0 = literal || hint < 0 ? locate_literal(mesh, P) : locate_walk(mesh, P, hint, turn, strict);
    if (t0 < 0) continue;
    // The core: every record whose closure holds P (t0, and the records
    // around the face or edge of t0 that P lies on). It stays in the cavity
    // whatever else leaves: P sees none of its inner faces strictly. A point
    // the walk found strictly inside t0 is in no other record.
    core.assign(1, t0);
    for (std::size_t i = 0; i < core.size() && !strict; ++i) {
      const Tet& T = mesh.tet(core[i]);
      for (int k = 0; k < 4; ++k) {
        const Record n = T.n[k];
        if (n < 0 || T.c[k] || std::find(core.begin(), core.end(), n) != core.end()) continue;
        if (mesh.contains(n, P)) core.push_back(n);
      }
    }
    auto in_core = [&](Record t) { return std::find(core.begin(), core.end(), t) != core.end(); };
    ++epoch;
    const std::uint32_t seen = epoch;
    cavity.clear();
    stack.assign(1, t0);
    visited[static_cast<std::size_t>(t0)] = seen;
    while (!stack.empty()) {
      const Record t = stack.back();
      stack.pop_back();
      const Tet& T = mesh.tet(t);
      if (t != t0 && !in_circumsphere_oriented(mesh.points, q, T.v, mesh.bias, 1.0)) continue;
      cavity.push_back(t);
      for (int k = 0; k < 4; ++k) {
        const Record n = T.n[k];
        if (n < 0 || T.c[k] || visited[static_cast<std::size_t>(n)] == seen) continue;
        visited[static_cast<std::size_t>(n)] = seen;
        stack.push_back(n);
      }
    }
    // In record order: what follows then does not depend on which record of
    // the core the location found (a point on a face is in several).
    std::sort(cavity.begin(), cavity.end());
    // The cavity must be star-shaped from P: a boundary face that P does not
    // see strictly from inside would give a cone turned inside out, overlapping
    // its neighbours (after recovery the records near the envelope need not be
    // Delaunay). The record behind such a face leaves the cavity, and the
    // cavity is what stays connected to t0, until every face is seen.
    for (;;) {
      ++epoch;
      for (Record t : cavity) visited[static_cast<std::size_t>(t)] = epoch;
      Record bad = -1;
      for (Record t : cavity) {
        if (in_core(t)) continue;
        const Tet& T = mesh.tet(t);
        for (int k = 0; k < 4 && bad < 0; ++k) {
          const Record n = T.n[k];
          if (n >= 0 && visited[static_cast<std::size_t>(n)] == epoch && !T.c[k]) continue;
          std::array<const Point3*, 4> v{&mesh.point(T.v[0]), &mesh.point(T.v[1]), &mesh.point(T.v[2]),
                                         &mesh.point(T.v[3])};
          v[k] = &P;
          if (!(orient3d(*v[0], *v[1], *v[2], *v[3]) > 0.0)) bad = t;
        }
        if (bad >= 0) break;
      }
      if (bad < 0) {
        // No vertex may vanish inside the cavity (after recovery the records
        // need not be Delaunay, and a point's whole star can hold P in its
        // spheres): each must keep a boundary face.
        ++mark;
        for (Record t : cavity) {
          const Tet& T = mesh.tet(t);
          for (int k = 0; k < 4; ++k) {
            const Record n = T.n[k];
            if (n >= 0 && visited[static_cast<std::size_t>(n)] == epoch && !T.c[k]) continue;
            for (int i = 0; i < 4; ++i)
              if (i != k) on_boundary[T.v[i]] = mark;
          }
        }
        for (auto it = cavity.rbegin(); it != cavity.rend() && bad < 0; ++it) {
          if (in_core(*it)) continue;
          for (PointIndex v : mesh.tet(*it).v)
            if (on_boundary[v] != mark) {
              bad = *it;
              break;
            }
        }
      }
      if (bad < 0) break;
      // Keep what stays connected to t0 through unconstrained faces.
      visited[static_cast<std::size_t>(bad)] = 0;
      const std::uint32_t keep = ++epoch;
      stack.assign(1, t0);
      std::vector<Record> kept{t0};
      visited[static_cast<std::size_t>(t0)] = keep;
      while (!stack.empty()) {
        const Tet& T = mesh.tet(stack.back());
        stack.pop_back();
        for (int k = 0; k < 4; ++k) {
          const Record n = T.n[k];
          if (n < 0 || T.c[k] || visited[static_cast<std::size_t>(n)] != keep - 1) continue;
          visited[static_cast<std::size_t>(n)] = keep;
          kept.push_back(n);
          stack.push_back(n);
        }
      }
      // Cavity order is kept: the survivors in their former order.
      std::vector<Record> ordered;
      for (Record t : cavity)
        if (visited[static_cast<std::size_t>(t)] == keep) ordered.push_back(t);
      cavity = std::move(ordered);
    }
    sides.clear();
    for (Record t : cavity) {
      const Tet& T = mesh.tet(t);
      for (int k = 0; k < 4; ++k) {
        const Record n = T.n[k];
        if (n >= 0 && visited[static_cast<std::size_t>(n)] == epoch && !T.c[k]) continue;
        sides.push_back({T.face(k), T.c[k], n, t, k});
      }
    }
    for (Record t : cavity) mesh.tet(t).dead = true;
    fresh.clear();
    across.clear();
    replaced.clear();
    for (const Side& s : sides) {
      across.push_back(s.across);
      replaced.push_back(s.replaced);
      Tet t;
      // The record with vertex k replaced by P is positive (the cavity is
      // star-shaped from P), and face k in record order turns to it with
      // the sign kInward[k].
      t.v = kInward[s.k] > 0.0 ? Quad{s.f[0], s.f[1], s.f[2], q} : Quad{s.f[0], s.f[2], s.f[1], q};
      t.c[3] = s.constrained;
      fresh.push_back(static_cast<Record>(mesh.tets.size()));
      mesh.tets.push_back(t);
    }
    mesh.inside.resize(mesh.tets.size(), 0);
    visited.resize(mesh.tets.size(), 0);
    if (literal)
      tet_adjacency(mesh);
    else
      link_cone(mesh, fresh, across, replaced);
    if (!fresh.empty()) hint = fresh.back();
  }
}

namespace {

Point3 true_point(std::span<const Point3> coords, PointIndex i) { return coords[i]; }

bool qualifies(const TetMesh& mesh, Record r, std::span<const Tri> faces, std::span<const Point3> coords,
               double eps_in, double eps_vol) {
  if (mesh.outside(mesh.tet(r))) return false;
  const Quad& v = mesh.tet(r).v;
  const Point3 a = true_point(coords, v[0]), b = true_point(coords, v[1]), c = true_point(coords, v[2]),
               d = true_point(coords, v[3]);
  if (!(std::fabs(triple_product(a, b, c, d)) >= eps_vol)) return false;
  const Point3 g{(a[0] + b[0] + c[0] + d[0]) * 0.25, (a[1] + b[1] + c[1] + d[1]) * 0.25,
                 (a[2] + b[2] + c[2] + d[2]) * 0.25};
  return point_inside_surface(g, faces, coords, eps_in);
}

void flood(TetMesh& mesh, Record seed, const store::InterruptCheck& interrupt) {
  std::vector<Record> stack{seed};
  mesh.inside[static_cast<std::size_t>(seed)] = 1;
  while (!stack.empty()) {
    const Record t = stack.back();
    stack.pop_back();
    interrupt();
    const Tet& T = mesh.tet(t);
    for (int k = 0; k < 4; ++k) {
      const Record n = T.n[k];
      if (n < 0 || T.c[k] || mesh.inside[static_cast<std::size_t>(n)]) continue;
      mesh.inside[static_cast<std::size_t>(n)] = 1;
      stack.push_back(n);
    }
  }
}

}  // namespace

void fill_interior(TetMesh& mesh, std::span<const Tri> faces, std::span<const Point3> coords, double eps_in,
                   double eps_vol, const store::InterruptCheck& interrupt) {
  mesh.inside.assign(mesh.tets.size(), 0);
  bool seeded = false;
  for (std::size_t r = 0; r < mesh.tets.size(); ++r) {
    if (mesh.tets[r].dead || mesh.inside[r]) continue;
    if (!qualifies(mesh, static_cast<Record>(r), faces, coords, eps_in, eps_vol)) continue;
    flood(mesh, static_cast<Record>(r), interrupt);
    seeded = true;
  }
  QUENLITH_VERIFY(seeded, "volume: found no interior tetrahedron to seed the fill (degenerate envelope?)");
}

void prune_outside(TetMesh& mesh) {
  mesh.inside.resize(mesh.tets.size(), 0);
  for (std::size_t r = 0; r < mesh.tets.size(); ++r)
    if (!mesh.inside[r] || mesh.outside(mesh.tets[r])) mesh.tets[r].dead = true;
  for (Tet& t : mesh.tets) {
    if (t.dead) continue;
    for (Record& n : t.n)
      if (n >= 0 && mesh.tet(n).dead) n = -1;
  }
}

std::vector<Quad> emit_tet4(const TetMesh& mesh) {
  std::vector<Quad> out;
  for (std::size_t r = 0; r < mesh.tets.size(); ++r) {
    const Tet& t = mesh.tets[r];
    if (t.dead || !mesh.inside[r] || mesh.outside(t)) continue;
    const Quad& v = t.v;
    // The exact sign on the working coordinates: a record is never flat
    // there, however thin it is in true coordinates (dropping a thin one
    // would leave a crack).
    const double o = mesh.orient(v[0], v[1], v[2], v[3]);
    if (o == 0.0) continue;
    out.push_back(o > 0.0 ? v : Quad{v[0], v[2], v[1], v[3]});
  }
  return out;
}

}  // namespace quenlith::ops::mesher::vol
