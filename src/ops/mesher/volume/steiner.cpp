#include "ops/mesher/volume/steiner.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <utility>

#include "base/error.hpp"
#include "ops/mesher/flat_map.hpp"
#include "ops/mesher/volume/fill.hpp"
#include "ops/mesher/volume/recover.hpp"

namespace quenlith::ops::mesher::vol {

namespace {

inline std::uint64_t edge_word(PointIndex a, PointIndex b) noexcept {
  if (a > b) std::swap(a, b);
  return std::uint64_t{a} << 32 | b;
}

inline Point3 midpoint(const Point3& a, const Point3& b) noexcept {
  return {(a[0] + b[0]) * 0.5, (a[1] + b[1]) * 0.5, (a[2] + b[2]) * 0.5};
}

inline double distance2(const Point3& a, const Point3& b) noexcept {
  return (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]);
}

[[noreturn]] void unrecoverable(const Tri& f) {
  throw Error::message(
      "volume: cannot conform the surface without adding a boundary node — face ({}, {}, {}) is unrecoverable "
      "(Schönhardt-type polyhedron, with no tetrahedralization without a Steiner point).",
      f[0], f[1], f[2]);
}

}  // namespace

Surface Surface::of(std::span<const Tri> envelope) {
  Surface s;
  s.faces.assign(envelope.begin(), envelope.end());
  s.origin.resize(envelope.size());
  for (std::size_t i = 0; i < envelope.size(); ++i) s.origin[i] = static_cast<std::uint32_t>(i);
  s.dead.assign(envelope.size(), 0);
  return s;
}

std::vector<Tri> Surface::live() const {
  std::vector<Tri> out;
  out.reserve(faces.size());
  for (std::size_t i = 0; i < faces.size(); ++i)
    if (!dead[i]) out.push_back(faces[i]);
  return out;
}

void conform_surface(TetMesh& mesh, std::vector<Point3>& coords, Surface& surface,
                     const store::InterruptCheck& interrupt, bool literal) {
  // Each undirected subedge with its two subfaces.
  std::unordered_map<std::uint64_t, std::array<std::uint32_t, 2>> sides;
  auto attach = [&](std::uint64_t key, std::uint32_t f) {
    auto [it, added] = sides.try_emplace(key, std::array<std::uint32_t, 2>{f, f});
    if (!added) it->second[1] = f;
  };
  auto reattach = [&](std::uint64_t key, std::uint32_t from, std::uint32_t to) {
    auto& pair = sides.at(key);
    for (auto& f : pair)
      if (f == from) f = to;
  };
  for (std::size_t i = 0; i < surface.faces.size(); ++i) {
    if (surface.dead[i]) continue;
    const Tri& f = surface.faces[i];
    for (int k = 0; k < 3; ++k) attach(edge_word(f[k], f[(k + 1) % 3]), static_cast<std::uint32_t>(i));
  }
  // Splits the subface `fi` holding the directed edge a -> b at m: it keeps
  // (a, m, c) and a new subface (m, b, c) takes the rest.
  auto split_face = [&](std::uint32_t fi, PointIndex a, PointIndex b, PointIndex m) {
    Tri f = surface.faces[fi];
    while (!(f[0] == a && f[1] == b)) f = {f[1], f[2], f[0]};
    const PointIndex c = f[2];
    const auto fresh = static_cast<std::uint32_t>(surface.faces.size());
    surface.faces[fi] = {a, m, c};
    surface.faces.push_back({m, b, c});
    surface.origin.push_back(surface.origin[fi]);
    surface.dead.push_back(0);
    reattach(edge_word(b, c), fi, fresh);
    attach(edge_word(m, c), fi);
    attach(edge_word(m, c), fresh);
    return fresh;
  };
  // Every split halves an edge: a budget far above what any surface that
  // can be made to conform needs stops a run that would not end.
  const std::size_t budget = 64 * surface.faces.size() + 4096;
  std::size_t made = 0;
  std::vector<std::uint64_t> todo;
  for (;;) {
    interrupt();
    // The subedges a live record holds: a table of the subedges, one look-up
    // per edge of each record (no table of every edge of the mesh).
    FlatMap<std::uint64_t, std::uint8_t, WordHash> present(sides.size());
    for (std::size_t i = 0; i < surface.faces.size(); ++i)
      if (!surface.dead[i])
        for (int k = 0; k < 3; ++k) present.try_emplace(edge_word(surface.faces[i][k], surface.faces[i][(k + 1) % 3]), 0);
    for (const Tet& t : mesh.tets) {
      if (t.dead) continue;
      for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
          if (std::uint8_t* h = present.find(edge_word(t.v[i], t.v[j]))) *h = 1;
    }
    todo.clear();
    for (std::size_t i = 0; i < surface.faces.size(); ++i) {
      if (surface.dead[i]) continue;
      const Tri& f = surface.faces[i];
      for (int k = 0; k < 3; ++k) {
        const std::uint64_t e = edge_word(f[k], f[(k + 1) % 3]);
        if (!*present.find(e)) todo.push_back(e);
      }
    }
    Tri first_missing{0, 0, 0};
    if (todo.empty()) {
      // Every subedge is there: a subface still missing is pierced by an
      // edge; its longest edge is split (bisection keeps the subfaces' shape).
      const std::vector<std::uint8_t> held = held_faces(mesh, surface.faces);
      for (std::size_t i = 0; i < surface.faces.size(); ++i) {
        if (surface.dead[i]) continue;
        const Tri& f = surface.faces[i];
        if (held[i]) continue;
        if (todo.empty()) first_missing = f;
        int longest = 0;
        double best = -1.0;
        for (int k = 0; k < 3; ++k) {
          const double l = distance2(mesh.point(f[k]), mesh.point(f[(k + 1) % 3]));
          const std::uint64_t e = edge_word(f[k], f[(k + 1) % 3]);
          const std::uint64_t e_best = edge_word(f[longest], f[(longest + 1) % 3]);
          if (l > best || (l == best && e < e_best)) best = l, longest = k;
        }
        todo.push_back(edge_word(f[longest], f[(longest + 1) % 3]));
      }
      if (todo.empty()) return;
    } else {
      first_missing = surface.faces[sides.at(todo.front())[0]];
    }
    std::sort(todo.begin(), todo.end());
    todo.erase(std::unique(todo.begin(), todo.end()), todo.end());
    if (made + todo.size() > budget) unrecoverable(first_missing);
    made += todo.size();
    // The midpoints first, then their insertion in one go.
    const auto first = static_cast<PointIndex>(mesh.points.size());
    for (std::uint64_t e : todo) {
      const auto a = static_cast<PointIndex>(e >> 32), b = static_cast<PointIndex>(e & 0xffffffffu);
      const auto m = static_cast<PointIndex>(mesh.points.size());
      mesh.points.push_back(midpoint(mesh.point(a), mesh.point(b)));
      coords.push_back(midpoint(coords[a], coords[b]));
      const auto pair = sides.at(e);
      sides.erase(e);
      // The face holding a -> b and the one holding b -> a.
      auto holds = [&](std::uint32_t fi, PointIndex x, PointIndex y) {
        const Tri& f = surface.faces[fi];
        for (int k = 0; k < 3; ++k)
          if (f[k] == x && f[(k + 1) % 3] == y) return true;
        return false;
      };
      const std::uint32_t fab = holds(pair[0], a, b) ? pair[0] : pair[1];
      const std::uint32_t fba = fab == pair[0] ? pair[1] : pair[0];
      const std::uint32_t gab = split_face(fab, a, b, m);  // (a, m, c) stays, (m, b, c) new
      const std::uint32_t gba = split_face(fba, b, a, m);  // (b, m, d) stays, (m, a, d) new
      sides[edge_word(a, m)] = {fab, gba};
      sides[edge_word(m, b)] = {gab, fba};
    }
    insert_interior_points(mesh, first, static_cast<PointIndex>(mesh.points.size()), interrupt, literal);
    // Flips restore most subedges the insertions missed (cocircular points
    // on flat faces leave the choice of diagonal to the tie rule).
    recover_edges(mesh, surface.live(), interrupt, literal);
  }
}

namespace {

// The triangulation of a polygon, given in the orientation that `sign` makes
// positive in the projection dropping `axis`, by ear clipping: an ear is a
// strictly convex vertex whose triangle holds no other vertex of the polygon.
bool ear_clip(const TetMesh& mesh, std::vector<PointIndex> poly, int axis, double sign, std::vector<Tri>& out) {
  const int i = (axis + 1) % 3, j = (axis + 2) % 3;
  auto P = [&](PointIndex v) { return Point2{mesh.point(v)[i], mesh.point(v)[j]}; };
  auto o2 = [&](PointIndex a, PointIndex b, PointIndex c) { return sign * orient2d(P(a), P(b), P(c)); };
  while (poly.size() > 3) {
    const std::size_t n = poly.size();
    bool clipped = false;
    for (std::size_t k = 0; k < n && !clipped; ++k) {
      const PointIndex a = poly[(k + n - 1) % n], b = poly[k], c = poly[(k + 1) % n];
      if (!(o2(a, b, c) > 0.0)) continue;
      bool empty = true;
      for (PointIndex v : poly) {
        if (v == a || v == b || v == c) continue;
        if (o2(a, b, v) >= 0.0 && o2(b, c, v) >= 0.0 && o2(c, a, v) >= 0.0) {
          empty = false;
          break;
        }
      }
      if (!empty) continue;
      out.push_back({a, b, c});
      poly.erase(poly.begin() + static_cast<std::ptrdiff_t>(k));
      clipped = true;
    }
    if (!clipped) return false;
  }
  if (!(o2(poly[0], poly[1], poly[2]) > 0.0)) return false;
  out.push_back({poly[0], poly[1], poly[2]});
  return true;
}

struct Relocator {
  TetMesh& mesh;
  std::vector<Point3>& coords;
  Surface& surface;
  const Frame& frame;
  std::vector<Point3> normal;                           // of each envelope face
  std::vector<Record> anchor;                           // a live record holding each point
  std::unordered_map<PointIndex, std::vector<std::uint32_t>> incident;  // subfaces of each point to move

  void note_record(Record r) {
    for (PointIndex v : mesh.tet(r).v) {
      if (v >= anchor.size()) anchor.resize(v + 1, -1);
      anchor[v] = r;
    }
  }

  void note_subface(std::uint32_t f) {
    for (PointIndex v : surface.faces[f]) {
      auto it = incident.find(v);
      if (it != incident.end()) it->second.push_back(f);
    }
  }

  Record find_anchor(PointIndex s) const {
    if (s < anchor.size() && mesh.live(anchor[s]) && mesh.tet(anchor[s]).has(s)) return anchor[s];
    for (std::size_t r = 0; r < mesh.tets.size(); ++r)
      if (!mesh.tets[r].dead && mesh.tets[r].has(s)) return static_cast<Record>(r);
    return -1;
  }

  bool move(PointIndex s) {
    const Record r0 = find_anchor(s);
    if (r0 < 0) return true;  // no longer used
    // The star of s: the records around it, across faces through it.
    std::vector<Record> star{r0};
    for (std::size_t x = 0; x < star.size(); ++x) {
      const Tet& T = mesh.tet(star[x]);
      for (int k = 0; k < 4; ++k) {
        if (T.v[k] == s || T.c[k]) continue;
        const Record n = T.n[k];
        if (n < 0 || std::find(star.begin(), star.end(), n) != star.end()) continue;
        star.push_back(n);
      }
    }
    std::sort(star.begin(), star.end());
    // Subfaces around s, grouped by envelope face; each group is a fan whose
    // rim, without s, is triangulated again in the face's plane.
    std::vector<std::uint32_t> fan;
    for (std::uint32_t f : incident.at(s))
      if (!surface.dead[f]) fan.push_back(f);
    std::sort(fan.begin(), fan.end(), [&](std::uint32_t x, std::uint32_t y) {
      return std::pair{surface.origin[x], x} < std::pair{surface.origin[y], y};
    });
    struct Cone {
      Quad v;
      bool constrained;
      Record across, replaced;
    };
    std::vector<Cone> cones;
    std::vector<std::pair<Tri, std::uint32_t>> rebuilt;  // new subfaces and their envelope face
    // The inner side of every face: +1 when a record on the inside has the
    // positive orientation with the subface in its stored order.
    for (std::size_t g = 0; g < fan.size();) {
      std::size_t h = g;
      const std::uint32_t origin = surface.origin[fan[g]];
      while (h < fan.size() && surface.origin[fan[h]] == origin) ++h;
      std::vector<std::pair<PointIndex, PointIndex>> rim;  // (x, y) of each subface (s, x, y)
      for (std::size_t k = g; k < h; ++k) {
        Tri f = surface.faces[fan[k]];
        while (f[0] != s) f = {f[1], f[2], f[0]};
        rim.push_back({f[1], f[2]});
      }
      // Chain the rim: open (s on an envelope edge) from the vertex that no
      // rim edge enters, closed otherwise.
      PointIndex start = rim.front().first;
      bool open = false;
      for (const auto& [x, y] : rim) {
        const bool entered = std::any_of(rim.begin(), rim.end(), [&](const auto& e) { return e.second == x; });
        if (!entered && (!open || x < start)) start = x, open = true;
      }
      if (!open)
        for (const auto& e : rim) start = std::min(start, e.first);
      std::vector<PointIndex> poly{start};
      for (std::size_t step = 0; step < rim.size(); ++step) {
        const auto it = std::find_if(rim.begin(), rim.end(), [&](const auto& e) { return e.first == poly.back(); });
        if (it == rim.end()) return false;
        if (it->second == start) break;
        poly.push_back(it->second);
      }
      if (poly.size() != (open ? rim.size() + 1 : rim.size())) return false;
      const Point3& N = normal[origin];
      int axis = 0;
      for (int d = 1; d < 3; ++d)
        if (std::fabs(N[d]) > std::fabs(N[axis])) axis = d;
      std::vector<Tri> tris;
      if (!ear_clip(mesh, poly, axis, N[axis] > 0.0 ? 1.0 : -1.0, tris)) return false;
      for (const Tri& t : tris) rebuilt.push_back({t, origin});
      g = h;
    }
    // The inner side of each envelope face met: from the records of the star
    // that hold one of its subfaces.
    std::vector<std::pair<std::uint32_t, double>> inner;
    for (std::uint32_t f : fan) {
      const std::uint32_t origin = surface.origin[f];
      if (std::any_of(inner.begin(), inner.end(), [&](const auto& e) { return e.first == origin; })) continue;
      const Tri& sub = surface.faces[f];
      for (Record r : star) {
        const Tet& T = mesh.tet(r);
        if (!T.has(sub[0]) || !T.has(sub[1]) || !T.has(sub[2])) continue;
        PointIndex w = T.v[0];
        for (PointIndex v : T.v)
          if (v != sub[0] && v != sub[1] && v != sub[2]) w = v;
        inner.push_back({origin, mesh.orient(sub[0], sub[1], sub[2], w) > 0.0 ? 1.0 : -1.0});
        break;
      }
    }
    auto inner_sign = [&](std::uint32_t origin) {
      for (const auto& e : inner)
        if (e.first == origin) return e.second;
      return 0.0;
    };
    const auto p = static_cast<PointIndex>(mesh.points.size());
    for (Record r : star) {
      const Tet& T = mesh.tet(r);
      int k = 0;
      while (T.v[k] != s) ++k;
      const Tri f = T.face(k);
      cones.push_back({kInward[k] > 0.0 ? Quad{f[0], f[1], f[2], p} : Quad{f[0], f[2], f[1], p}, T.c[k], T.n[k], r});
    }
    for (const auto& [t, origin] : rebuilt) {
      const double side = inner_sign(origin);
      if (side == 0.0) return false;
      cones.push_back({side > 0.0 ? Quad{t[0], t[1], t[2], p} : Quad{t[0], t[2], t[1], p}, true, -1, -1});
    }
    // The new point: from s towards the centroid of the star's other
    // vertices, the farthest of a halving sequence that every cone accepts.
    Point3 centroid{0.0, 0.0, 0.0};
    std::size_t count = 0;
    {
      std::vector<PointIndex> around;
      for (Record r : star)
        for (PointIndex v : mesh.tet(r).v)
          if (v != s) around.push_back(v);
      std::sort(around.begin(), around.end());
      around.erase(std::unique(around.begin(), around.end()), around.end());
      for (PointIndex v : around)
        for (int d = 0; d < 3; ++d) centroid[d] += mesh.point(v)[d];
      count = around.size();
    }
    for (int d = 0; d < 3; ++d) centroid[d] /= static_cast<double>(count);
    // Or, when that line leaves the solid at once (s on a reflex edge), along
    // the sum of the inward unit normals of the new surface triangles, which
    // points strictly inside each of them.
    Point3 inward{0.0, 0.0, 0.0};
    for (const auto& [tri, origin] : rebuilt) {
      const Point3 &a = mesh.point(tri[0]), &b = mesh.point(tri[1]), &c = mesh.point(tri[2]);
      const Point3 u{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
      Point3 n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
      const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      if (!(len > 0.0)) continue;
      for (int d = 0; d < 3; ++d) inward[d] += inner_sign(origin) * n[d] / len;
    }
    const Point3 S = mesh.point(s);
    double reach = std::sqrt(distance2(S, centroid));
    {
      const double len = std::sqrt(inward[0] * inward[0] + inward[1] * inward[1] + inward[2] * inward[2]);
      if (len > 0.0)
        for (double& x : inward) x *= reach / len;
    }
    mesh.points.push_back(S);
    bool found = false;
    for (const Point3& target : {centroid, Point3{S[0] + inward[0], S[1] + inward[1], S[2] + inward[2]}}) {
      double t = 1.0;
      for (int step = 0; step < 60 && !found; ++step, t *= 0.5) {
        mesh.points[p] = {S[0] + t * (target[0] - S[0]), S[1] + t * (target[1] - S[1]), S[2] + t * (target[2] - S[2])};
        found = std::all_of(cones.begin(), cones.end(),
                            [&](const Cone& c) { return mesh.orient(c.v[0], c.v[1], c.v[2], c.v[3]) > 0.0; });
      }
      if (found) break;
    }
    if (!found) {
      mesh.points.pop_back();
      return false;
    }
    coords.push_back(frame.to_true(mesh.points[p]));
    // Commit: the star goes, the cones come, the surface follows.
    for (Record r : star) mesh.tet(r).dead = true;
    std::vector<Record> fresh, across, replaced;
    for (const Cone& c : cones) {
      Tet t;
      t.v = c.v;
      t.c[3] = c.constrained;
      fresh.push_back(static_cast<Record>(mesh.tets.size()));
      across.push_back(c.across);
      replaced.push_back(c.replaced);
      mesh.tets.push_back(t);
      mesh.inside.push_back(1);
    }
    link_cone(mesh, fresh, across, replaced);
    for (Record r : fresh) note_record(r);
    for (std::uint32_t f : fan) surface.dead[f] = 1;
    for (const auto& [tri, origin] : rebuilt) {
      const auto id = static_cast<std::uint32_t>(surface.faces.size());
      surface.faces.push_back(tri);
      surface.origin.push_back(origin);
      surface.dead.push_back(0);
      note_subface(id);
    }
    incident.erase(s);
    return true;
  }
};

}  // namespace

void relocate_steiner_points(TetMesh& mesh, std::vector<Point3>& coords, Surface& surface, const Frame& frame,
                             PointIndex first, const store::InterruptCheck& interrupt) {
  const auto end = static_cast<PointIndex>(mesh.points.size());
  Relocator r{mesh, coords, surface, frame, {}, {}, {}};
  r.normal.assign(*std::max_element(surface.origin.begin(), surface.origin.end()) + std::size_t{1},
                  Point3{0.0, 0.0, 0.0});
  // An envelope face's normal: the sum of its subfaces' normals (all point
  // the same way), computed on working coordinates.
  for (std::size_t f = 0; f < surface.faces.size(); ++f) {
    if (surface.dead[f]) continue;
    const Tri& t = surface.faces[f];
    const Point3 &a = mesh.point(t[0]), &b = mesh.point(t[1]), &c = mesh.point(t[2]);
    const Point3 u{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    Point3& n = r.normal[surface.origin[f]];
    n[0] += u[1] * v[2] - u[2] * v[1];
    n[1] += u[2] * v[0] - u[0] * v[2];
    n[2] += u[0] * v[1] - u[1] * v[0];
  }
  std::vector<PointIndex> pending;
  for (PointIndex s = first; s < end; ++s) {
    pending.push_back(s);
    r.incident.emplace(s, std::vector<std::uint32_t>{});
  }
  if (pending.empty()) return;
  for (std::size_t t = 0; t < mesh.tets.size(); ++t)
    if (!mesh.tets[t].dead) r.note_record(static_cast<Record>(t));
  for (std::size_t f = 0; f < surface.faces.size(); ++f)
    if (!surface.dead[f]) r.note_subface(static_cast<std::uint32_t>(f));
  // Points off the surface need no move (none are made off it, but a split
  // point of a subedge that later vanished has no subface left).
  for (int pass = 0; pass < 4 && !pending.empty(); ++pass) {
    std::vector<PointIndex> left;
    for (PointIndex s : pending) {
      interrupt();
      if (r.incident.at(s).empty()) {
        r.incident.erase(s);
        continue;
      }
      if (!r.move(s)) left.push_back(s);
    }
    pending = std::move(left);
  }
  if (!pending.empty()) {
    const PointIndex s = pending.front();
    Tri f{s, s, s};
    for (std::uint32_t x : r.incident.at(s))
      if (!surface.dead[x]) f = surface.faces[x];
    unrecoverable(f);
  }
}

}  // namespace quenlith::ops::mesher::vol
