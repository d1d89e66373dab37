#include "ops/mesher/volume/recover.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "ops/mesher/flat_map.hpp"
#include "ops/mesher/predicates.hpp"
#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::vol {

bool segment_crosses_triangle(const Point3& p, const Point3& q, const Point3& t0, const Point3& t1, const Point3& t2) {
  const double sp = orient3d_sign(t0, t1, t2, p);
  const double sq = orient3d_sign(t0, t1, t2, q);
  if (sp == 0.0 || sq == 0.0) return false;
  if ((sp > 0.0) == (sq > 0.0)) return false;
  const double e0 = orient3d_sign(p, q, t0, t1);
  const double e1 = orient3d_sign(p, q, t1, t2);
  const double e2 = orient3d_sign(p, q, t2, t0);
  return (e0 > 0.0 && e1 > 0.0 && e2 > 0.0) || (e0 < 0.0 && e1 < 0.0 && e2 < 0.0);
}

namespace {

using Edge = std::pair<PointIndex, PointIndex>;  // smaller first

inline std::uint64_t edge_word(PointIndex a, PointIndex b) noexcept { return std::uint64_t{a} << 32 | b; }

// Where recovery looks things up: presence of an edge, the first record that
// starts a walk, and the relinking after a refill. The literal form scans and
// rebuilds; the fast one keeps counts and per-vertex lists up to date.
class Lookup {
 public:
  Lookup(TetMesh& mesh, const std::vector<Edge>& edges, bool literal)
      : mesh_(mesh), literal_(literal), counts_(literal ? 0 : edges.size()) {
    if (literal_) return;
    for (const Edge& e : edges) counts_.try_emplace(edge_word(e.first, e.second), 0);
    by_vertex_.resize(mesh_.points.size());
    for (std::size_t r = 0; r < mesh_.tets.size(); ++r)
      if (!mesh_.tets[r].dead) add(static_cast<Record>(r), +1);
  }

  bool present(PointIndex a, PointIndex b) const {
    if (!literal_) return *counts_.find(edge_word(a, b)) > 0;
    for (const Tet& t : mesh_.tets)
      if (!t.dead && t.has(a) && t.has(b)) return true;
    return false;
  }

  // The live records with vertex a, in record order.
  std::vector<Record> around(PointIndex a) const {
    std::vector<Record> out;
    if (literal_) {
      for (std::size_t r = 0; r < mesh_.tets.size(); ++r)
        if (!mesh_.tets[r].dead && mesh_.tets[r].has(a)) out.push_back(static_cast<Record>(r));
      return out;
    }
    for (Record r : by_vertex_[a])
      if (!mesh_.tet(r).dead) out.push_back(r);
    std::sort(out.begin(), out.end());
    return out;
  }

  // The pipe records are dead and `fresh` appended: update the lookups and links.
  void replaced(std::span<const Record> pipe, std::span<const Record> fresh) {
    if (literal_) {
      tet_adjacency(mesh_);
      return;
    }
    std::vector<Record> outer;
    for (Record r : pipe) {
      add(r, -1);
      for (Record n : mesh_.tet(r).n)
        if (n >= 0 && !mesh_.tet(n).dead) outer.push_back(n);
    }
    for (Record r : fresh) add(r, +1);
    link_fresh(mesh_, fresh, outer);
  }

 private:
  void add(Record r, int sign) {
    const Quad& v = mesh_.tet(r).v;
    for (int i = 0; i < 4; ++i)
      for (int j = i + 1; j < 4; ++j) {
        const PointIndex lo = std::min(v[i], v[j]), hi = std::max(v[i], v[j]);
        if (std::int32_t* c = counts_.find(edge_word(lo, hi))) *c += sign;
      }
    if (sign > 0)
      for (PointIndex p : v) by_vertex_[p].push_back(r);
    // Dead records stay in the per-vertex lists: start() skips them.
  }

  TetMesh& mesh_;
  bool literal_;
  FlatMap<std::uint64_t, std::int32_t, WordHash> counts_;
  std::vector<std::vector<Record>> by_vertex_;
};

// The refill of one pipe's cavity; returns the new records, or nothing when the
// attempt is abandoned.
struct Refill {
  const TetMesh& mesh;
  PointIndex a, b;

  const Point3& P(PointIndex i) const { return mesh.point(i); }
  double orient(PointIndex p, PointIndex q, PointIndex r, PointIndex s) const { return mesh.orient(p, q, r, s); }

  bool run(const std::vector<Tri>& boundary, const std::vector<PointIndex>& vertices, std::vector<Quad>& out) const {
    // The front, ordered by key: the face taken next is the one of smallest key.
    std::map<FaceKey, Tri> front;
    for (const Tri& f : boundary) front[face_key(f)] = f;
    const std::size_t budget = 50 * (boundary.size() + vertices.size()) + 200;
    std::size_t used = 0;
    std::vector<PointIndex> candidates;
    // The apex for face F (the front without F's key), or -1; with `ab_only`,
    // only the edge's own end points are tried.
    auto choose = [&](const FaceKey& fkey, const Tri& F, bool ab_only) -> std::int64_t {
      const Point3 centroid{(P(F[0])[0] + P(F[1])[0] + P(F[2])[0]) / 3.0,
                            (P(F[0])[1] + P(F[1])[1] + P(F[2])[1]) / 3.0,
                            (P(F[0])[2] + P(F[1])[2] + P(F[2])[2]) / 3.0};
      candidates.clear();
      for (PointIndex v : vertices) {
        if (v == F[0] || v == F[1] || v == F[2]) continue;
        if (!(orient(F[0], F[1], F[2], v) > 0.0)) continue;
        bool blocked = false;
        for (const auto& [key, G] : front)
          if (key != fkey && segment_crosses_triangle(centroid, P(v), P(G[0]), P(G[1]), P(G[2]))) {
            blocked = true;
            break;
          }
        if (!blocked) candidates.push_back(v);
      }
      auto valid = [&](PointIndex v) {
        for (PointIndex w : candidates) {
          if (w == v) continue;
          if (orient(w, F[1], F[2], v) > 0.0 && orient(F[0], w, F[2], v) > 0.0 && orient(F[0], F[1], w, v) > 0.0 &&
              orient(F[0], F[1], F[2], w) > 0.0)
            return false;
        }
        // The new tetrahedron must not cut through the rest of the front: none
        // of its new edges crosses a front face, and no edge of a front face
        // crosses one of its new faces (a shared vertex is no crossing).
        for (const auto& [key, G] : front) {
          if (key == fkey) continue;
          for (int i = 0; i < 3; ++i) {
            if (segment_crosses_triangle(P(F[i]), P(v), P(G[0]), P(G[1]), P(G[2]))) return false;
            const PointIndex g0 = G[i], g1 = G[(i + 1) % 3];
            for (int j = 0; j < 3; ++j)
              if (segment_crosses_triangle(P(g0), P(g1), P(F[j]), P(F[(j + 1) % 3]), P(v))) return false;
          }
        }
        return true;
      };
      auto is_candidate = [&](PointIndex v) {
        return std::find(candidates.begin(), candidates.end(), v) != candidates.end();
      };
      if (is_candidate(a) && valid(a)) return a;
      if (is_candidate(b) && valid(b)) return b;
      if (ab_only) return -1;
      // Empty-sphere rule: no other candidate strictly inside the sphere through
      // F and v.
      for (PointIndex v : candidates) {
        bool empty = true;
        for (PointIndex w : candidates)
          if (w != v && insphere_sign(P(F[0]), P(F[1]), P(F[2]), P(v), P(w)) > 0.0) {
            empty = false;
            break;
          }
        if (empty && valid(v)) return v;
      }
      for (PointIndex v : candidates)
        if (valid(v)) return v;
      return -1;
    };
    while (!front.empty()) {
      if (used >= budget) return false;
      ++used;
      // Front order: the first face, by key, that takes an end point of the
      // edge as its apex (the tetrahedra around the edge come first); else the
      // first face.
      auto pick = front.end();
      std::int64_t apex = -1;
      for (auto it = front.begin(); it != front.end() && apex < 0; ++it) {
        apex = choose(it->first, it->second, true);
        if (apex >= 0) pick = it;
      }
      if (apex < 0) {
        pick = front.begin();
        apex = choose(pick->first, pick->second, false);
      }
      const Tri F = pick->second;
      front.erase(pick);
      if (apex < 0) return false;
      const auto x = static_cast<PointIndex>(apex);
      out.push_back({F[0], F[1], F[2], x});
      const std::array<std::array<PointIndex, 3>, 3> sides{{{F[0], F[1], F[2]}, {F[1], F[2], F[0]}, {F[2], F[0], F[1]}}};
      for (const auto& [p, q, r] : sides) {
        const Tri side = orient(p, q, x, r) > 0.0 ? Tri{q, p, x} : Tri{p, q, x};
        const FaceKey key = face_key(side);
        auto it = front.find(key);
        if (it != front.end()) {
          // The face closes against the unfilled part only when the new
          // record lies on its open side; else the records would overlap.
          const Tri& G = it->second;
          if (!(orient(G[0], G[1], G[2], r) > 0.0)) return false;
          front.erase(it);
        } else {
          front.emplace(key, side);
        }
      }
    }
    for (const Quad& q : out)
      if ((q[0] == a || q[1] == a || q[2] == a || q[3] == a) && (q[0] == b || q[1] == b || q[2] == b || q[3] == b))
        return true;
    return false;
  }
};

// Whether the open segment (p, q) meets the closed triangle t (neither end
// point is a vertex of t nor lies on it: both are vertices of a
// tetrahedralisation that holds t).
bool segment_meets_triangle(const Point3& p, const Point3& q, const Point3& t0, const Point3& t1, const Point3& t2) {
  const double sp = orient3d_sign(t0, t1, t2, p), sq = orient3d_sign(t0, t1, t2, q);
  if ((sp > 0.0 && sq > 0.0) || (sp < 0.0 && sq < 0.0)) return false;
  if (sp != 0.0 && sq != 0.0) {
    const double e0 = orient3d_sign(p, q, t0, t1), e1 = orient3d_sign(p, q, t1, t2), e2 = orient3d_sign(p, q, t2, t0);
    return (e0 >= 0.0 && e1 >= 0.0 && e2 >= 0.0) || (e0 <= 0.0 && e1 <= 0.0 && e2 <= 0.0);
  }
  if (sp != 0.0 || sq != 0.0) return false;  // only an end point on the plane
  // Coplanar: in the projection where the triangle is not flat, the segment
  // meets the triangle through one of its closed edges.
  int drop = 0;
  double best = 0.0;
  for (int axis = 0; axis < 3; ++axis) {
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;
    const double o = std::fabs(orient2d({t0[i], t0[j]}, {t1[i], t1[j]}, {t2[i], t2[j]}));
    if (o > best) best = o, drop = axis;
  }
  const int i = (drop + 1) % 3, j = (drop + 2) % 3;
  const Point2 P{p[i], p[j]}, Q{q[i], q[j]};
  const std::array<Point2, 3> T{{{t0[i], t0[j]}, {t1[i], t1[j]}, {t2[i], t2[j]}}};
  for (int e = 0; e < 3; ++e) {
    const Point2 &u = T[e], &v = T[(e + 1) % 3];
    const double o1 = orient2d(P, Q, u), o2 = orient2d(P, Q, v), o3 = orient2d(u, v, P), o4 = orient2d(u, v, Q);
    if ((o1 > 0.0 && o2 > 0.0) || (o1 < 0.0 && o2 < 0.0) || (o3 > 0.0 && o4 > 0.0) || (o3 < 0.0 && o4 < 0.0))
      continue;
    return true;  // crossing, touching or collinear overlap (a vertex on the segment is refused later)
  }
  return false;
}

// Whether the open segment (a, b) meets the closed record t anywhere but at
// a or b.
bool segment_meets_record(const TetMesh& mesh, const Tet& t, PointIndex a, PointIndex b) {
  const bool has_a = t.has(a), has_b = t.has(b);
  if (has_a && has_b) return true;
  if (has_a || has_b) {
    // From the shared end, the segment starts into the record exactly when
    // the other end lies on the inner side (or the plane) of the three faces
    // through the shared end.
    const PointIndex from = has_a ? a : b, to = has_a ? b : a;
    for (int k = 0; k < 4; ++k) {
      if (t.v[k] == from) continue;
      const Tri f = t.face(k);
      if (kInward[k] * mesh.orient(f[0], f[1], f[2], to) < 0.0) return false;
    }
    return true;
  }
  for (int k = 0; k < 4; ++k) {
    const Tri f = t.face(k);
    if (segment_meets_triangle(mesh.point(a), mesh.point(b), mesh.point(f[0]), mesh.point(f[1]), mesh.point(f[2])))
      return true;
  }
  return false;
}

// Whether v lies on the open segment (a, b).
bool on_open_segment(const Point3& v, const Point3& a, const Point3& b) {
  for (int axis = 0; axis < 3; ++axis) {
    const int i = (axis + 1) % 3, j = (axis + 2) % 3;
    if (orient2d({a[i], a[j]}, {b[i], b[j]}, {v[i], v[j]}) != 0.0) return false;
  }
  for (int d = 0; d < 3; ++d)
    if (a[d] != b[d]) return (a[d] < v[d] && v[d] < b[d]) || (b[d] < v[d] && v[d] < a[d]);
  return false;
}

// When the open segment (a, b) crosses exactly one edge (u, v), the pipe is
// the ring of records around that edge (a and b among the ring's vertices).
// Removing the edge replaces the ring by the pairs of records (t, u), (t, v)
// over the triangles t of a triangulation of the ring polygon that holds the
// diagonal (a, b), each triangle strictly between u and v (all positive, same
// boundary: the same region). Returns whether such a triangulation exists.
bool remove_crossed_edge(const TetMesh& mesh, const std::vector<Record>& pipe, PointIndex a, PointIndex b,
                         std::vector<Quad>& made) {
  const Quad& first = mesh.tet(pipe.front()).v;
  PointIndex u = 0, v = 0;
  bool found = false;
  for (int i = 0; i < 4 && !found; ++i)
    for (int j = i + 1; j < 4 && !found; ++j) {
      const PointIndex x = first[i], y = first[j];
      if (x == a || x == b || y == a || y == b) continue;
      found = std::all_of(pipe.begin(), pipe.end(), [&](Record r) { return mesh.tet(r).has(x) && mesh.tet(r).has(y); });
      if (found) u = x, v = y;
    }
  if (!found || pipe.size() < 3) return false;
  // The ring: each record (u, v, p, q) links p and q.
  std::vector<std::array<PointIndex, 2>> links;
  for (Record r : pipe) {
    std::array<PointIndex, 2> pq{};
    int n = 0;
    for (PointIndex x : mesh.tet(r).v)
      if (x != u && x != v) pq[static_cast<std::size_t>(n++)] = x;
    links.push_back(pq);
  }
  std::vector<PointIndex> ring{links[0][0], links[0][1]};
  std::vector<bool> used(links.size(), false);
  used[0] = true;
  for (std::size_t step = 1; step < links.size(); ++step) {
    bool next = false;
    for (std::size_t i = 0; i < links.size() && !next; ++i) {
      if (used[i]) continue;
      for (int e = 0; e < 2 && !next; ++e)
        if (links[i][static_cast<std::size_t>(e)] == ring.back()) {
          used[i] = true;
          next = true;
          if (step + 1 < links.size()) ring.push_back(links[i][static_cast<std::size_t>(1 - e)]);
          else if (links[i][static_cast<std::size_t>(1 - e)] != ring.front()) return false;
        }
    }
    if (!next) return false;
  }
  const std::size_t m = ring.size();
  if (m != pipe.size()) return false;
  const auto ia = static_cast<std::size_t>(std::find(ring.begin(), ring.end(), a) - ring.begin());
  const auto ib = static_cast<std::size_t>(std::find(ring.begin(), ring.end(), b) - ring.begin());
  if (ia == m || ib == m) return false;
  for (const double sense : {1.0, -1.0}) {
    // Triangle (i, j, k) of ring positions, in ring order: u strictly on its
    // positive side and v on its negative one (or the reverse, by `sense`).
    auto fits = [&](std::size_t i, std::size_t j, std::size_t k) {
      const PointIndex x = ring[i % m], y = ring[j % m], z = ring[k % m];
      return sense * mesh.orient(x, y, z, u) > 0.0 && sense * mesh.orient(x, y, z, v) < 0.0;
    };
    // Triangulates the chain of positions from..to (to > from, cyclic): split
    // by dynamic programming over the apex of each span's first triangle.
    auto chain = [&](std::size_t from, std::size_t to, std::vector<std::array<std::size_t, 3>>& tris) {
      const std::size_t n = to - from + 1;
      std::vector<std::vector<std::size_t>> apex(n, std::vector<std::size_t>(n, 0));  // 0: none
      for (std::size_t len = 2; len < n; ++len)
        for (std::size_t i = 0; i + len < n; ++i) {
          const std::size_t k = i + len;
          for (std::size_t j = i + 1; j < k && !apex[i][k]; ++j) {
            if ((j - i > 1 && !apex[i][j]) || (k - j > 1 && !apex[j][k])) continue;
            if (fits(from + i, from + j, from + k)) apex[i][k] = j;
          }
        }
      if (n > 2 && !apex[0][n - 1]) return false;
      std::vector<std::array<std::size_t, 2>> todo;
      if (n > 2) todo.push_back({0, n - 1});
      while (!todo.empty()) {
        const auto [i, k] = todo.back();
        todo.pop_back();
        const std::size_t j = apex[i][k];
        tris.push_back({from + i, from + j, from + k});
        if (j - i > 1) todo.push_back({i, j});
        if (k - j > 1) todo.push_back({j, k});
      }
      return true;
    };
    const std::size_t lo = std::min(ia, ib), hi = std::max(ia, ib);
    std::vector<std::array<std::size_t, 3>> tris;
    if (!chain(lo, hi, tris) || !chain(hi, lo + m, tris)) continue;
    made.clear();
    for (const auto& t : tris) {
      const PointIndex x = ring[t[0] % m], y = ring[t[1] % m], z = ring[t[2] % m];
      made.push_back(sense > 0.0 ? Quad{x, y, z, u} : Quad{x, z, y, u});
      made.push_back(sense > 0.0 ? Quad{x, z, y, v} : Quad{x, y, z, v});
    }
    return true;
  }
  return false;
}

constexpr int kExtraLayers = 0;

// The pipe of the edge (a, b): every record whose closure the open segment
// meets, grown across faces from the records at a (those the segment meets
// are connected), in record order. A segment through an edge or along a face
// takes every record around that edge or on that face, so coplanar points
// cost no special case. `looked` receives every record read (its vertices or
// its links): records are never changed in place, only killed, and a record
// new since then that holds a or links to the pipe implies the death of one
// of them, so while all of these live, the pipe is the same.
std::vector<Record> find_pipe(const TetMesh& mesh, const Lookup& lookup, PointIndex a, PointIndex b,
                              std::vector<Record>& looked) {
  std::vector<Record> pipe;
  std::vector<Record> stack;
  looked.clear();
  auto seen = [&](Record r) { return std::find(looked.begin(), looked.end(), r) != looked.end(); };
  for (Record r : lookup.around(a)) {
    looked.push_back(r);
    if (segment_meets_record(mesh, mesh.tet(r), a, b)) {
      pipe.push_back(r);
      stack.push_back(r);
    }
  }
  while (!stack.empty()) {
    const Tet& t = mesh.tet(stack.back());
    stack.pop_back();
    for (int k = 0; k < 4; ++k) {
      const Record n = t.n[k];
      if (n < 0 || t.c[k] || seen(n)) continue;
      looked.push_back(n);
      if (mesh.tet(n).dead || mesh.tet(n).any_constrained()) continue;
      if (segment_meets_record(mesh, mesh.tet(n), a, b)) {
        pipe.push_back(n);
        stack.push_back(n);
      }
    }
  }
  std::sort(pipe.begin(), pipe.end());
  return pipe;
}

// Whether a vertex of the pipe lies on the open segment (a, b): then no
// tetrahedralisation of these points holds the edge.
bool blocked_pipe(const TetMesh& mesh, const std::vector<Record>& pipe, PointIndex a, PointIndex b) {
  for (Record r : pipe)
    for (PointIndex v : mesh.tet(r).v)
      if (v != a && v != b && on_open_segment(mesh.point(v), mesh.point(a), mesh.point(b))) return true;
  return false;
}

// The advancing-front refill of the cavity for the edge (a, b): from the
// cavity's outer faces, turned to face into it, and its vertices. A function
// of the cavity's records alone (never changed in place).
bool refill_cavity(const TetMesh& mesh, const std::vector<Record>& cavity, PointIndex a, PointIndex b,
                   std::vector<Quad>& made) {
  auto in_cavity = [&](Record r) { return std::find(cavity.begin(), cavity.end(), r) != cavity.end(); };
  std::vector<Tri> boundary;
  std::vector<PointIndex> vertices;
  for (Record r : cavity) {
    const Tet& t = mesh.tet(r);
    for (int k = 0; k < 4; ++k) {
      if (t.n[k] >= 0 && in_cavity(t.n[k])) continue;
      const Tri f = t.face(k);
      boundary.push_back(mesh.orient(f[0], f[1], f[2], t.v[k]) >= 0.0 ? f : Tri{f[1], f[0], f[2]});
    }
    for (PointIndex v : t.v)
      if (std::find(vertices.begin(), vertices.end(), v) == vertices.end()) vertices.push_back(v);
  }
  made.clear();
  return Refill{mesh, a, b}.run(boundary, vertices, made);
}

// The refill of a pipe, drawn ahead (in parallel) for the pipe an edge had
// then; used when the edge's turn finds the same pipe.
struct PipeRefill {
  std::vector<Record> pipe;  // empty: none drawn
  bool ok = false;
  std::vector<Quad> made;
};

// Draws the refill of the pipe of (a, b) when the cheap removal of a crossed
// edge will not do; leaves `out.pipe` empty otherwise.
void draw_refill(const TetMesh& mesh, const Lookup& lookup, PointIndex a, PointIndex b, PipeRefill& out) {
  std::vector<Record> looked;
  out.pipe.clear();
  std::vector<Record> pipe = find_pipe(mesh, lookup, a, b, looked);
  if (pipe.empty() || blocked_pipe(mesh, pipe, a, b) || remove_crossed_edge(mesh, pipe, a, b, out.made)) return;
  out.ok = refill_cavity(mesh, pipe, a, b, out.made);
  out.pipe = std::move(pipe);
}

// One attempt at the missing edge (a, b); true when a refill was committed.
// `looked` receives what the attempt read (as find_pipe). `ahead`, when not
// null, is a refill drawn ahead, used if drawn for this pipe.
bool restore_edge(TetMesh& mesh, Lookup& lookup, PointIndex a, PointIndex b, std::vector<Record>& looked,
                  const PipeRefill* ahead) {
  const std::vector<Record> pipe = find_pipe(mesh, lookup, a, b, looked);
  if (pipe.empty() || blocked_pipe(mesh, pipe, a, b)) return false;
  // When the pipe alone does not refill (the front found no apex for some
  // face), the records around it join, one layer at a time, for more room.
  std::vector<Record> cavity = pipe;
  std::vector<Quad> made;
  for (int layer = 0; !remove_crossed_edge(mesh, pipe, a, b, made); ++layer) {
    if (layer == 0 && ahead && ahead->pipe == cavity) {
      if (ahead->ok) {
        made = ahead->made;
        break;
      }
    } else if (refill_cavity(mesh, cavity, a, b, made)) {
      break;
    }
    if (layer == kExtraLayers) return false;
    auto in_cavity = [&](Record r) { return std::find(cavity.begin(), cavity.end(), r) != cavity.end(); };
    const std::size_t n = cavity.size();
    for (std::size_t i = 0; i < n; ++i)
      for (Record nb : mesh.tet(cavity[i]).n) {
        if (nb >= 0) looked.push_back(nb);
        if (nb >= 0 && !mesh.tet(nb).dead && !mesh.tet(nb).any_constrained() && !in_cavity(nb)) cavity.push_back(nb);
      }
    if (cavity.size() == n) return false;
    std::sort(cavity.begin(), cavity.end());
  }
  for (Record r : cavity) mesh.tet(r).dead = true;
  std::vector<Record> fresh;
  for (const Quad& q : made) {
    fresh.push_back(static_cast<Record>(mesh.tets.size()));
    mesh.tets.push_back(Tet{q});
  }
  mesh.inside.resize(mesh.tets.size(), 0);
  lookup.replaced(cavity, fresh);
  return true;
}

}  // namespace

std::vector<std::pair<PointIndex, PointIndex>> recover_edges(TetMesh& mesh, std::span<const Tri> faces,
                                                             const store::InterruptCheck& interrupt, bool literal) {
  std::vector<Edge> edges;
  edges.reserve(3 * faces.size());
  for (const Tri& f : faces)
    for (int i = 0; i < 3; ++i) {
      const PointIndex p = f[i], q = f[(i + 1) % 3];
      edges.push_back({std::min(p, q), std::max(p, q)});
    }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
  Lookup lookup(mesh, edges, literal);
  std::vector<Edge> missing;
  // What each failed attempt read, by edge: the edge is tried again only
  // once one of those records has died (else the attempt would fail alike).
  std::vector<Record> looked;
  // With more than one thread, the refills (the costly part, and on flat
  // faces of cospherical points nearly always a failure) are first drawn in
  // parallel for the pipes as the pass finds them; an edge whose turn finds
  // the same pipe takes the result, which depends on the pipe's records
  // alone: the same records for any number of threads.
  const bool draw_ahead = !literal && parallel::max_threads() > 1;
  std::vector<PipeRefill> drawn;
  FlatMap<std::uint64_t, std::uint32_t, WordHash> failed_at(edges.size());
  std::vector<std::vector<Record>> failed_view;
  auto unchanged = [&](const Edge& e) {
    const std::uint32_t* k = failed_at.find(edge_word(e.first, e.second));
    if (!k) return false;
    const std::vector<Record>& view = failed_view[*k];
    return std::all_of(view.begin(), view.end(), [&](Record r) { return !mesh.tet(r).dead; });
  };
  // A refill may take out another envelope edge while it restores one, so
  // passes go on while they shrink the missing list; two passes in a row
  // without a new best end the flips (the Steiner points take over).
  std::size_t best = edges.size() + 1;
  for (int stale = 0;;) {
    interrupt();
    missing.clear();
    for (const Edge& e : edges)
      if (!lookup.present(e.first, e.second)) missing.push_back(e);
    if (missing.size() < best) {
      best = missing.size();
      stale = 0;
    } else if (++stale == 2) {
      return missing;
    }
    if (missing.empty()) return missing;
    bool progress = false;
    if (draw_ahead) {
      drawn.resize(std::max(drawn.size(), missing.size()));
      parallel::for_chunks(missing.size(), 8, [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index i = begin; i < end; ++i) {
          drawn[i].pipe.clear();
          if (!unchanged(missing[i])) draw_refill(mesh, lookup, missing[i].first, missing[i].second, drawn[i]);
        }
      });
    }
    for (std::size_t i = 0; i < missing.size(); ++i) {
      const Edge& e = missing[i];
      if (lookup.present(e.first, e.second) || unchanged(e)) continue;
      if (restore_edge(mesh, lookup, e.first, e.second, looked, draw_ahead ? &drawn[i] : nullptr)) {
        progress = true;
      } else {
        const auto [k, added] =
            failed_at.try_emplace(edge_word(e.first, e.second), static_cast<std::uint32_t>(failed_view.size()));
        if (added) failed_view.emplace_back();
        failed_view[*k] = looked;
      }
    }
    if (!progress) return missing;
  }
}

namespace {

struct FaceHash {
  std::uint64_t operator()(const FaceKey& k) const noexcept {
    return mix64((std::uint64_t{k[0]} << 32 | k[1]) ^ mix64(k[2]));
  }
};

}  // namespace

std::vector<std::uint8_t> held_faces(const TetMesh& mesh, std::span<const Tri> faces,
                                     std::vector<std::pair<Record, int>>* holders) {
  // A table of the few faces asked for, and one look-up per face of each
  // live record: no table of every face of the mesh.
  FlatMap<FaceKey, std::uint32_t, FaceHash> index(faces.size());
  for (std::size_t i = 0; i < faces.size(); ++i) index.try_emplace(face_key(faces[i]), static_cast<std::uint32_t>(i));
  std::vector<std::uint8_t> held(faces.size(), 0);
  for (std::size_t r = 0; r < mesh.tets.size(); ++r) {
    const Tet& t = mesh.tets[r];
    if (t.dead) continue;
    for (int k = 0; k < 4; ++k) {
      const std::uint32_t* i = index.find(face_key(t.face(k)));
      if (!i) continue;
      held[*i] = 1;
      if (holders) holders->push_back({static_cast<Record>(r), k});
    }
  }
  // A face listed twice is held as its first listing is.
  for (std::size_t i = 0; i < faces.size(); ++i) held[i] = held[*index.find(face_key(faces[i]))];
  return held;
}

bool faces_recovered(const TetMesh& mesh, std::span<const Tri> faces) {
  const std::vector<std::uint8_t> held = held_faces(mesh, faces);
  return std::all_of(held.begin(), held.end(), [](std::uint8_t h) { return h != 0; });
}

void check_faces_recovered(TetMesh& mesh, std::span<const Tri> faces) {
  std::vector<std::pair<Record, int>> holders;
  const std::vector<std::uint8_t> held = held_faces(mesh, faces, &holders);
  for (std::size_t i = 0; i < faces.size(); ++i) {
    const Tri& f = faces[i];
    if (!held[i])
      throw Error::message(
          "volume: cannot conform the surface without adding a boundary node — face ({}, {}, {}) is unrecoverable "
          "(Schönhardt-type polyhedron, with no tetrahedralization without a Steiner point).",
          f[0], f[1], f[2]);
  }
  for (const auto& [r, k] : holders) mesh.tet(r).c[k] = true;
}

}  // namespace quenlith::ops::mesher::vol
