#include "ops/mesher/triangulate_surface/improve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::tri {

namespace {

// Points per chunk of the smoothing sweeps, triangles per chunk of the quad scoring.
constexpr parallel::Index kSmoothChunk = 1024;
constexpr parallel::Index kScoreChunk = 1024;
constexpr parallel::Index kFlipChunk = 4096;

double angle_between(const Point2& u, const Point2& v) noexcept {
  const double nu = std::sqrt(u[0] * u[0] + u[1] * u[1]);
  const double nv = std::sqrt(v[0] * v[0] + v[1] * v[1]);
  double c = (u[0] * v[0] + u[1] * v[1]) / (nu * nv);
  c = c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c);
  return std::acos(c);
}

inline Point2 minus(const Point2& a, const Point2& b) noexcept { return {a[0] - b[0], a[1] - b[1]}; }

}  // namespace

Adjacency build_adjacency(std::size_t n_points, const std::vector<Triple>& f) {
  Adjacency adj;
  adj.offset.assign(n_points + 1, 0);
  for (const Triple& t : f)
    for (Vertex v : t) ++adj.offset[v + 1];
  for (std::size_t p = 0; p < n_points; ++p) adj.offset[p + 1] += adj.offset[p];
  adj.succ.resize(adj.offset[n_points]);
  adj.incident.resize(adj.offset[n_points]);
  std::vector<std::uint32_t> fill(adj.offset.begin(), adj.offset.end() - 1);
  for (std::size_t i = 0; i < f.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      const Vertex v = f[i][k];
      adj.succ[fill[v]] = f[i][next3(k)];
      adj.incident[fill[v]++] = static_cast<std::uint32_t>(i);
    }
  }
  return adj;
}

void smoothing_sweep(Triangulation& tr, const std::vector<Triple>& f, const Adjacency& adj) {
  const std::vector<Point2> snap = tr.points;
  const std::size_t n = snap.size();
  std::vector<char> moved(n, 0);
  parallel::for_chunks(n, kSmoothChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index p = begin; p < end; ++p) {
      const std::uint32_t lo = adj.offset[p], hi = adj.offset[p + 1];
      if (tr.boundary[p] || lo == hi) continue;
      double sx = 0.0, sy = 0.0;
      for (std::uint32_t i = lo; i < hi; ++i) {
        sx += snap[adj.succ[i]][0];
        sy += snap[adj.succ[i]][1];
      }
      const double cnt = static_cast<double>(hi - lo);
      const Point2 q{0.5 * (sx / cnt) + 0.5 * snap[p][0], 0.5 * (sy / cnt) + 0.5 * snap[p][1]};
      bool ok = true;
      for (std::uint32_t i = lo; i < hi && ok; ++i) {
        const Triple& t = f[adj.incident[i]];
        const Point2& p0 = t[0] == p ? q : snap[t[0]];
        const Point2& p1 = t[1] == p ? q : snap[t[1]];
        const Point2& p2 = t[2] == p ? q : snap[t[2]];
        ok = orient2d(p0, p1, p2) > 0.0;
      }
      if (ok) {
        tr.points[p] = q;
        moved[p] = 1;
      }
    }
  });
  // Each move was checked against the snapshot alone: two neighbours moving
  // together can still turn a triangle over. Undo the moved corners of every such
  // triangle, and repeat until none is left (the snapshot itself is valid, so this
  // ends).
  std::vector<char> inverted(f.size(), 0);
  std::vector<std::size_t> bad;
  for (;;) {
    parallel::for_chunks(f.size(), kSmoothChunk, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index i = begin; i < end; ++i) {
        const Triple& t = f[i];
        inverted[i] = (moved[t[0]] || moved[t[1]] || moved[t[2]]) &&
                      !(orient2d(tr.points[t[0]], tr.points[t[1]], tr.points[t[2]]) > 0.0);
      }
    });
    bad.clear();
    for (std::size_t i = 0; i < f.size(); ++i)
      if (inverted[i]) bad.push_back(i);
    if (bad.empty()) break;
    for (std::size_t i : bad)
      for (Vertex v : f[i]) {
        if (!moved[v]) continue;
        tr.points[v] = snap[v];
        moved[v] = 0;
      }
  }
}

void improve_by_flips(Triangulation& tr, int max_passes) {
  if (tr.slot_count() == 0) return;
  const auto& P = tr.points;
  const std::size_t n_slots = tr.slot_count();
  // Two shortcuts that change no decision:
  // - cosine[s], the largest cosine of slot s, bounds its minimum angle: a flip
  //   needs the pair's largest cosine to drop, and when it does not, the angle
  //   test below cannot pass (arccos is monotone to within an ulp, far below the
  //   1e-6 margin). Only the few pairs that pass this compare the angles.
  // - stable[s]: s was visited without a flip and neither it nor a neighbour has
  //   changed since, so visiting it again would decide the same.
  std::vector<double> cosine(n_slots, 0.0);
  std::vector<char> stable(n_slots, 0);
  auto cosine_of = [&](Slot s) {
    const auto& v = tr.tri(s).v;
    return max_cosine(P[v[0]], P[v[1]], P[v[2]]);
  };
  auto inside_live = [&](Slot s) { return tr.live(s) && tr.inside[static_cast<std::size_t>(s)]; };
  // Whether edge k of s passes every test of a flip in the current state.
  auto flips = [&](Slot s, int k) {
    const Triangle& t = tr.tri(s);
    if (t.c[k] || t.n[k] < 0) return false;
    const Slot u = t.n[k];
    if (!inside_live(u)) return false;
    const Vertex a = t.v[k], b = t.v[next3(k)], c = t.v[prev3(k)];
    const int eu = tr.find_edge(u, b, a);
    if (eu < 0) return false;
    const Vertex d = tr.tri(u).v[prev3(eu)];
    if (!(orient2d(P[c], P[a], P[d]) > 0.0 && orient2d(P[c], P[d], P[b]) > 0.0)) return false;
    const double cos_after = std::max(max_cosine(P[c], P[a], P[d]), max_cosine(P[c], P[d], P[b]));
    if (!(cos_after < std::max(cosine[static_cast<std::size_t>(s)], cosine[static_cast<std::size_t>(u)])))
      return false;
    const double before = std::min(min_angle(P[a], P[b], P[c]), min_angle(P[b], P[a], P[d]));
    const double after = std::min(min_angle(P[c], P[a], P[d]), min_angle(P[c], P[d], P[b]));
    return before + 1e-6 < after;
  };
  // The first look at every slot reads the unchanged state, so it runs on the
  // pool: each slot's cosine, then whether any of its edges would flip. A slot
  // with none starts stable.
  parallel::for_chunks(n_slots, kFlipChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index si = begin; si < end; ++si)
      if (inside_live(static_cast<Slot>(si))) cosine[si] = cosine_of(static_cast<Slot>(si));
  });
  // A pair decides the same seen from either triangle (the predicates are exact
  // and the angles do not depend on where a triangle's corners start), so each
  // edge is judged once, from its smaller slot.
  std::vector<char> edge_flips(3 * n_slots, 0);
  parallel::for_chunks(n_slots, kFlipChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index si = begin; si < end; ++si) {
      const auto s = static_cast<Slot>(si);
      if (!inside_live(s)) continue;
      for (int k = 0; k < 3; ++k)
        if (tr.tri(s).n[k] > s) edge_flips[3 * si + static_cast<std::size_t>(k)] = flips(s, k);
    }
  });
  parallel::for_chunks(n_slots, kFlipChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index si = begin; si < end; ++si) {
      const auto s = static_cast<Slot>(si);
      if (!inside_live(s)) continue;
      bool any = false;
      for (int k = 0; k < 3 && !any; ++k) {
        const Slot u = tr.tri(s).n[k];
        if (u > s) {
          any = edge_flips[3 * si + static_cast<std::size_t>(k)];
        } else if (u >= 0) {
          const int eu = tr.find_edge(u, tr.tri(s).v[next3(k)], tr.tri(s).v[k]);
          any = eu >= 0 ? edge_flips[3 * static_cast<std::size_t>(u) + static_cast<std::size_t>(eu)] != 0 : flips(s, k);
        }
      }
      stable[si] = !any;
    }
  });
  auto unsettle = [&](Slot s) {
    stable[static_cast<std::size_t>(s)] = 0;
    for (Slot nb : tr.tri(s).n)
      if (nb >= 0) stable[static_cast<std::size_t>(nb)] = 0;
  };
  for (int pass = 1; pass <= max_passes; ++pass) {
    bool flipped = false;
    for (std::size_t si = 0; si < n_slots; ++si) {
      const auto s = static_cast<Slot>(si);
      if (!tr.live(s) || !tr.inside[si] || stable[si]) continue;
      bool flipped_here = false;
      for (int k = 0; k < 3; ++k) {
        if (!flips(s, k)) continue;
        const Slot u = tr.tri(s).n[k];
        tr.flip_edge(s, k);
        cosine[si] = cosine_of(s);
        cosine[static_cast<std::size_t>(u)] = cosine_of(u);
        unsettle(s);
        unsettle(u);
        flipped = flipped_here = true;
      }
      if (!flipped_here) stable[si] = 1;
    }
    if (!flipped) break;
  }
}

std::vector<Triple> final_triangles(const Triangulation& tr) {
  std::vector<Triple> f;
  for (std::size_t s = 0; s < tr.slot_count(); ++s)
    if (!tr.triangles[s].dead && tr.inside[s]) f.push_back(tr.triangles[s].v);
  return f;
}

void smoothing_cycle(Triangulation& tr, const store::InterruptCheck& interrupt) {
  interrupt();
  const std::vector<Triple> f = final_triangles(tr);
  const Adjacency adj = build_adjacency(tr.points.size(), f);
  smoothing_sweep(tr, f, adj);
  smoothing_sweep(tr, f, adj);
  improve_by_flips(tr, 4);
}

void improve(Triangulation& tr, const store::InterruptCheck& interrupt) {
  improve_by_flips(tr, 6);
  for (int cycle = 0; cycle < 3; ++cycle) smoothing_cycle(tr, interrupt);
}

std::pair<std::vector<Quad>, std::vector<Triple>> recombine_quads(const std::vector<Point2>& points,
                                                                  const std::vector<Triple>& f) {
  // Directed edge -> triangle of F, a later triangle replacing an earlier one.
  EdgeTable edges;
  edges.reserve(3 * f.size());
  for (std::size_t i = 0; i < f.size(); ++i)
    for (int k = 0; k < 3; ++k) edges.add(f[i][k], f[i][next3(k)], static_cast<std::uint32_t>(i));
  edges.finish();

  struct Candidate {
    double quality;
    std::uint32_t i, j;
    Vertex a, b, c, d;
    bool valid = false;
  };
  // Scored triangle by triangle on the pool, three slots per triangle, then
  // gathered in triangle and edge order: the same list as a sequential scan.
  std::vector<Candidate> slots(3 * f.size());
  parallel::for_chunks(f.size(), kScoreChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index i = begin; i < end; ++i) {
      for (int k = 0; k < 3; ++k) {
        const Vertex a = f[i][k], b = f[i][next3(k)], c = f[i][prev3(k)];
        const std::int64_t j = edges.last(b, a);
        if (j < 0 || static_cast<std::size_t>(j) <= i) continue;
        const Triple& tj = f[static_cast<std::size_t>(j)];
        Vertex d = 0;
        bool has_d = false;
        for (Vertex v : tj)
          if (v != a && v != b) {
            d = v;
            has_d = true;
            break;
          }
        if (!has_d) continue;
        const Point2 &A = points[a], &B = points[b], &C = points[c], &D = points[d];
        if (!(orient2d(B, C, A) > 0.0 && orient2d(C, A, D) > 0.0 && orient2d(A, D, B) > 0.0 &&
              orient2d(D, B, C) > 0.0))
          continue;
        const double q = std::min({angle_between(minus(B, C), minus(A, C)), angle_between(minus(D, A), minus(C, A)),
                                   angle_between(minus(B, D), minus(A, D)), angle_between(minus(D, B), minus(C, B))});
        slots[3 * i + static_cast<std::size_t>(k)] =
            Candidate{q, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), a, b, c, d, true};
      }
    }
  });
  // Largest quality first, ties in scan order; a NaN quality (only from
  // non-finite points) sorts last. The keys are distinct, so a plain sort of
  // small records gives the stable order.
  struct Key {
    double quality;
    std::uint32_t slot;
  };
  std::vector<Key> order;
  for (std::size_t i = 0; i < slots.size(); ++i)
    if (slots[i].valid)
      order.push_back({std::isnan(slots[i].quality) ? -std::numeric_limits<double>::infinity() : slots[i].quality,
                       static_cast<std::uint32_t>(i)});
  std::sort(order.begin(), order.end(), [](const Key& x, const Key& y) {
    return x.quality != y.quality ? x.quality > y.quality : x.slot < y.slot;
  });
  std::vector<char> paired(f.size(), 0);
  std::vector<Quad> quads;
  for (const Key& key : order) {
    const Candidate& c = slots[key.slot];
    if (paired[c.i] || paired[c.j]) continue;
    paired[c.i] = paired[c.j] = 1;
    quads.push_back({c.c, c.a, c.d, c.b});
  }
  std::vector<Triple> leftover;
  for (std::size_t i = 0; i < f.size(); ++i)
    if (!paired[i]) leftover.push_back(f[i]);
  return {std::move(quads), std::move(leftover)};
}

}  // namespace quenlith::ops::mesher::tri
