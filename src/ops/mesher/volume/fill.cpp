#include "ops/mesher/volume/fill.hpp"

#include <algorithm>
#include <cmath>

#include "base/error.hpp"

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

std::vector<Point3> lattice_points(const LatticeSpec& spec, std::span<const Tri> faces,
                                   std::span<const Point3> coords, const store::InterruptCheck& interrupt) {
  std::vector<Point3> out;
  if (spec.nx < 1) return out;
  const double half2 = (spec.h / 2.0) * (spec.h / 2.0);
  const double eps2 = spec.eps_in * spec.eps_in;
  for (std::int64_t i = 1; i <= spec.nx; ++i) {
    interrupt();
    if (spec.ny < 1 || spec.nz < 1) continue;
    for (std::int64_t j = 1; j <= spec.ny; ++j)
      for (std::int64_t k = 1; k <= spec.nz; ++k) {
        const Point3 p{static_cast<double>(i) * spec.h + spec.min[0], static_cast<double>(j) * spec.h + spec.min[1],
                       static_cast<double>(k) * spec.h + spec.min[2]};
        if (!point_inside_surface(p, faces, coords, spec.eps_in)) continue;
        // A point on a face would be inserted into the face itself; its cavity
        // would split the face and lose it.
        bool on_face = false;
        for (const Tri& f : faces)
          if (squared_distance_to_triangle(p, coords[f[0]], coords[f[1]], coords[f[2]]) < eps2) {
            on_face = true;
            break;
          }
        if (on_face) continue;
        bool near = false;
        for (const Point3& q : coords) {
          const Point3 d = sub(p, q);
          if (dot(d, d) < half2) {
            near = true;
            break;
          }
        }
        if (!near) out.push_back(p);
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

// A visibility walk from `start`. A point strictly inside a record is in no
// other one of a non-overlapping tetrahedralisation; a point on a record's
// boundary, a walk that leaves the hull or one that runs too long falls back to
// the scan, so the answer is always the first containing record.
Record locate_walk(const TetMesh& mesh, const Point3& P, Record start, std::uint32_t& turn) {
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
      if (o[0] > 0.0 && o[1] > 0.0 && o[2] > 0.0 && o[3] > 0.0) return t;
      break;
    }
    t = next;
  }
  return locate_literal(mesh, P);
}

}  // namespace

void insert_interior_points(TetMesh& mesh, std::span<const Point3> lattice, std::vector<Point3>& points,
                            double amplitude, const store::InterruptCheck& interrupt, bool literal) {
  std::vector<std::uint32_t> visited(mesh.tets.size(), 0);
  std::uint32_t epoch = 0;
  std::uint32_t turn = 0x2545f491u;
  Record hint = -1;
  for (std::size_t r = mesh.tets.size(); r-- > 0;)
    if (!mesh.tets[r].dead) {
      hint = static_cast<Record>(r);
      break;
    }
  std::vector<Record> cavity, stack, fresh, outer;
  std::vector<std::uint8_t> in_cavity;
  struct Side {
    Tri f;
    bool constrained;
  };
  std::vector<Side> sides;
  for (const Point3& L : lattice) {
    interrupt();
    const auto q = static_cast<PointIndex>(points.size());
    const Point3 P = jitter_point(L, q, amplitude);
    points.push_back(L);
    mesh.points.push_back(P);
    const Record t0 = literal || hint < 0 ? locate_literal(mesh, P) : locate_walk(mesh, P, hint, turn);
    if (t0 < 0) continue;
    ++epoch;
    const std::uint32_t seen = epoch;
    cavity.clear();
    stack.assign(1, t0);
    visited[static_cast<std::size_t>(t0)] = seen;
    while (!stack.empty()) {
      const Record t = stack.back();
      stack.pop_back();
      const Tet& T = mesh.tet(t);
      if (t != t0 && !in_circumsphere(P, mesh.point(T.v[0]), mesh.point(T.v[1]), mesh.point(T.v[2]),
                                      mesh.point(T.v[3])))
        continue;
      cavity.push_back(t);
      for (int k = 0; k < 4; ++k) {
        const Record n = T.n[k];
        if (n < 0 || T.c[k] || visited[static_cast<std::size_t>(n)] == seen) continue;
        visited[static_cast<std::size_t>(n)] = seen;
        stack.push_back(n);
      }
    }
    // Membership, by a second stamp: visited records outside the cavity keep `seen`.
    ++epoch;
    for (Record t : cavity) visited[static_cast<std::size_t>(t)] = epoch;
    sides.clear();
    outer.clear();
    for (Record t : cavity) {
      const Tet& T = mesh.tet(t);
      for (int k = 0; k < 4; ++k) {
        const Record n = T.n[k];
        if (n >= 0 && visited[static_cast<std::size_t>(n)] == epoch && !T.c[k]) continue;
        sides.push_back({T.face(k), T.c[k]});
        if (n >= 0 && visited[static_cast<std::size_t>(n)] != epoch) outer.push_back(n);
      }
    }
    for (Record t : cavity) mesh.tet(t).dead = true;
    fresh.clear();
    for (const Side& s : sides) {
      Tet t;
      t.v = orient3d(mesh.point(s.f[0]), mesh.point(s.f[1]), mesh.point(s.f[2]), P) >= 0.0
                ? Quad{s.f[0], s.f[1], s.f[2], q}
                : Quad{s.f[0], s.f[2], s.f[1], q};
      t.c[3] = s.constrained;
      fresh.push_back(static_cast<Record>(mesh.tets.size()));
      mesh.tets.push_back(t);
    }
    mesh.inside.resize(mesh.tets.size(), 0);
    visited.resize(mesh.tets.size(), 0);
    if (literal)
      tet_adjacency(mesh);
    else
      link_fresh(mesh, fresh, outer);
    if (!fresh.empty()) hint = fresh.back();
  }
}

namespace {

Point3 true_point(std::span<const Point3> coords, PointIndex i) { return coords[i]; }

bool qualifies(const TetMesh& mesh, Record r, std::span<const Tri> faces, std::span<const Point3> coords,
               double eps_in, double eps_vol) {
  const Quad& v = mesh.tet(r).v;
  const Point3 a = true_point(coords, v[0]), b = true_point(coords, v[1]), c = true_point(coords, v[2]),
               d = true_point(coords, v[3]);
  if (!(std::fabs(orient3d(a, b, c, d)) >= eps_vol)) return false;
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

std::vector<Quad> emit_tet4(const TetMesh& mesh, std::span<const Point3> coords, double eps_vol) {
  std::vector<Quad> out;
  for (std::size_t r = 0; r < mesh.tets.size(); ++r) {
    const Tet& t = mesh.tets[r];
    if (t.dead || !mesh.inside[r]) continue;
    const Quad& v = t.v;
    const double o = orient3d(coords[v[0]], coords[v[1]], coords[v[2]], coords[v[3]]);
    if (std::fabs(o) < eps_vol) continue;
    out.push_back(o >= 0.0 ? v : Quad{v[0], v[2], v[1], v[3]});
  }
  return out;
}

}  // namespace quenlith::ops::mesher::vol
