#include "ops/mesher/volume/recover.hpp"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "ops/mesher/flat_map.hpp"

namespace quenlith::ops::mesher::vol {

bool segment_crosses_triangle(const Point3& p, const Point3& q, const Point3& t0, const Point3& t1, const Point3& t2) {
  const double sp = orient3d(t0, t1, t2, p);
  const double sq = orient3d(t0, t1, t2, q);
  if (sp == 0.0 || sq == 0.0) return false;
  if ((sp > 0.0) == (sq > 0.0)) return false;
  const double e0 = orient3d(p, q, t0, t1);
  const double e1 = orient3d(p, q, t1, t2);
  const double e2 = orient3d(p, q, t2, t0);
  return (e0 > 0.0 && e1 > 0.0 && e2 > 0.0) || (e0 < 0.0 && e1 < 0.0 && e2 < 0.0);
}

namespace {

using Edge = std::pair<PointIndex, PointIndex>;  // smaller first

struct EdgeHash {
  std::uint64_t operator()(std::uint64_t k) const noexcept { return mix64(k); }
};

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

  // The first live record, in record order, without a constrained face, with a
  // as a vertex and whose face opposite a the segment a -> b crosses.
  Record start(PointIndex a, PointIndex b) const {
    auto fits = [&](Record r) {
      const Tet& t = mesh_.tet(r);
      if (t.dead || t.any_constrained() || !t.has(a)) return false;
      const int k = static_cast<int>(std::find(t.v.begin(), t.v.end(), a) - t.v.begin());
      const Tri f = t.face(k);
      return segment_crosses_triangle(mesh_.point(a), mesh_.point(b), mesh_.point(f[0]), mesh_.point(f[1]),
                                      mesh_.point(f[2]));
    };
    if (literal_) {
      for (std::size_t r = 0; r < mesh_.tets.size(); ++r)
        if (fits(static_cast<Record>(r))) return static_cast<Record>(r);
      return -1;
    }
    for (Record r : by_vertex_[a])
      if (fits(r)) return r;
    return -1;
  }

  // `fresh` was appended outside the hull, on faces of the records `under`.
  void glued(Record fresh, std::span<const Record> under) {
    if (literal_) {
      tet_adjacency(mesh_);
      return;
    }
    add(fresh, +1);
    std::vector<FaceTable::Entry> entries;
    for (int k = 0; k < 4; ++k)
      entries.push_back({face_key(mesh_.tet(fresh).face(k)), fresh, static_cast<std::int8_t>(k)});
    for (Record u : under) {
      Tet& U = mesh_.tet(u);
      for (int k = 0; k < 4; ++k) {
        const FaceKey key = face_key(U.face(k));
        for (const auto& e : entries)
          if (e.key == key && U.n[k] < 0) {
            U.n[k] = fresh;
            mesh_.tet(fresh).n[e.face] = u;
          }
      }
    }
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
  FlatMap<std::uint64_t, std::int32_t, EdgeHash> counts_;
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
          if (w != v && insphere(P(F[0]), P(F[1]), P(F[2]), P(v), P(w)) > 0.0) {
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
        if (it != front.end())
          front.erase(it);
        else
          front.emplace(key, side);
      }
    }
    for (const Quad& q : out)
      if ((q[0] == a || q[1] == a || q[2] == a || q[3] == a) && (q[0] == b || q[1] == b || q[2] == b || q[3] == b))
        return true;
    return false;
  }
};

// A missing edge (a, b) that leaves the tetrahedralisation at once: the hull
// folds inward along (c, d) where the envelope's two faces on (a, b) lie (the
// flat tetrahedron on four coplanar points was left out of the hull with the
// records of the far vertices). Glues the tetrahedron (a, b, c, d) on the two
// hull faces (a, c, d) and (b, c, d) when it lies outside both; returns it.
bool glue_outside(const TetMesh& mesh, PointIndex a, PointIndex b, Quad& out, std::array<Record, 2>& under) {
  for (std::size_t r = 0; r < mesh.tets.size(); ++r) {
    const Tet& t = mesh.tets[r];
    if (t.dead || !t.has(a) || t.has(b)) continue;
    for (int k = 0; k < 4; ++k) {
      if (t.n[k] >= 0 || t.v[k] == a) continue;
      const Tri f = t.face(k);  // a hull face holding a
      for (int e = 0; e < 3; ++e) {
        if (f[e] != a) continue;
        const PointIndex c = f[(e + 1) % 3], d = f[(e + 2) % 3];
        // a and the record's own vertex on opposite sides: b is outside.
        const double side_b = mesh.orient(a, c, d, b), side_t = mesh.orient(a, c, d, t.v[k]);
        if (side_b == 0.0 || (side_b > 0.0) == (side_t > 0.0)) continue;
        for (std::size_t s = 0; s < mesh.tets.size(); ++s) {
          const Tet& u = mesh.tets[s];
          if (u.dead || !u.has(b) || !u.has(c) || !u.has(d) || u.has(a)) continue;
          const int j = static_cast<int>(std::find_if(u.v.begin(), u.v.end(), [&](PointIndex v) {
                                           return v != b && v != c && v != d;
                                         }) - u.v.begin());
          if (u.n[j] >= 0) continue;  // (b, c, d) must be on the hull too
          const double side_a = mesh.orient(b, c, d, a), side_u = mesh.orient(b, c, d, u.v[j]);
          if (side_a == 0.0 || (side_a > 0.0) == (side_u > 0.0)) continue;
          const double o = mesh.orient(a, b, c, d);
          if (o == 0.0) continue;
          out = o > 0.0 ? Quad{a, b, c, d} : Quad{a, b, d, c};
          under = {static_cast<Record>(r), static_cast<Record>(s)};
          return true;
        }
      }
    }
  }
  return false;
}

constexpr int kExtraLayers = 2;

// One attempt at the missing edge (a, b); true when a refill was committed.
bool restore_edge(TetMesh& mesh, Lookup& lookup, PointIndex a, PointIndex b) {
  const Record first = lookup.start(a, b);
  if (first < 0) {
    Quad glued;
    std::array<Record, 2> under;
    if (!glue_outside(mesh, a, b, glued, under)) return false;
    const Record fresh = static_cast<Record>(mesh.tets.size());
    mesh.tets.push_back(Tet{glued});
    mesh.inside.resize(mesh.tets.size(), 0);
    lookup.glued(fresh, under);
    return true;
  }
  std::vector<Record> pipe{first};
  const Tet& t0 = mesh.tet(first);
  int leave = static_cast<int>(std::find(t0.v.begin(), t0.v.end(), a) - t0.v.begin());
  FaceKey crossed = face_key(t0.face(leave));
  const auto n_records = static_cast<std::int64_t>(mesh.tets.size());
  std::int64_t steps = -4;
  for (;;) {
    const Record n = mesh.tet(pipe.back()).n[leave];
    if (n < 0 || mesh.tet(n).dead || mesh.tet(n).any_constrained()) return false;
    pipe.push_back(n);
    const Tet& t = mesh.tet(n);
    if (t.has(b)) break;
    int next = -1;
    for (int k = 0; k < 4 && next < 0; ++k) {
      const Tri f = t.face(k);
      const FaceKey key = face_key(f);
      if (key == crossed) continue;
      if (segment_crosses_triangle(mesh.point(a), mesh.point(b), mesh.point(f[0]), mesh.point(f[1]), mesh.point(f[2]))) {
        next = k;
        crossed = key;
      }
    }
    if (next < 0) return false;
    leave = next;
    if (++steps >= n_records) return false;
  }
  // The cavity: the pipe's outer faces, turned to face into it, and its
  // vertices. When the pipe alone does not refill (coplanar points folded by
  // the perturbation can leave no room for the edge), the records around it
  // join, one layer at a time, for more room.
  std::vector<Record> cavity = pipe;
  std::vector<Quad> made;
  for (int layer = 0;; ++layer) {
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
    if (Refill{mesh, a, b}.run(boundary, vertices, made)) break;
    if (layer == kExtraLayers) return false;
    const std::size_t n = cavity.size();
    for (std::size_t i = 0; i < n; ++i)
      for (Record nb : mesh.tet(cavity[i]).n)
        if (nb >= 0 && !mesh.tet(nb).dead && !mesh.tet(nb).any_constrained() && !in_cavity(nb)) cavity.push_back(nb);
    if (cavity.size() == n) return false;
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

void recover_edges(TetMesh& mesh, std::span<const Tri> faces, const store::InterruptCheck& interrupt, bool literal) {
  std::vector<Edge> edges;
  edges.reserve(3 * faces.size());
  for (const Tri& f : faces)
    for (int i = 0; i < 3; ++i) {
      const PointIndex p = f[i], q = f[(i + 1) % 3];
      edges.push_back({std::min(p, q), std::max(p, q)});
    }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
  const std::size_t pass_limit = 4 * edges.size() + 15;
  Lookup lookup(mesh, edges, literal);
  std::vector<Edge> missing;
  for (std::size_t pass = 0;; ++pass) {
    interrupt();
    missing.clear();
    for (const Edge& e : edges)
      if (!lookup.present(e.first, e.second)) missing.push_back(e);
    if (missing.empty()) return;
    bool progress = false;
    for (const Edge& e : missing) {
      if (lookup.present(e.first, e.second)) continue;
      if (restore_edge(mesh, lookup, e.first, e.second)) progress = true;
    }
    if (!progress)
      throw Error::message(
          "volume: cannot conform the surface without adding a boundary node — edge ({}, {}) is unrecoverable "
          "(Schönhardt-type polyhedron, with no tetrahedralization without a Steiner point).",
          missing.front().first, missing.front().second);
    if (pass == pass_limit) return;
  }
}

void check_faces_recovered(TetMesh& mesh, std::span<const Tri> faces) {
  const FaceTable table = FaceTable::of(mesh);
  for (const Tri& f : faces) {
    const auto group = table.find(face_key(f));
    if (group.empty())
      throw Error::message(
          "volume: cannot conform the surface without adding a boundary node — face ({}, {}, {}) is unrecoverable "
          "(Schönhardt-type polyhedron, with no tetrahedralization without a Steiner point).",
          f[0], f[1], f[2]);
    for (const FaceTable::Entry& e : group) mesh.tet(e.record).c[e.face] = true;
  }
}

}  // namespace quenlith::ops::mesher::vol
