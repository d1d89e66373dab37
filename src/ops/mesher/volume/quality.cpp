#include "ops/mesher/volume/quality.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::vol {

double tet_quality(const Point3& a, const Point3& b, const Point3& c, const Point3& d) noexcept {
  auto sq = [](const Point3& x, const Point3& y) {
    return (x[0] - y[0]) * (x[0] - y[0]) + (x[1] - y[1]) * (x[1] - y[1]) + (x[2] - y[2]) * (x[2] - y[2]);
  };
  const double l2 = (sq(a, b) + sq(a, c) + sq(a, d) + sq(b, c) + sq(b, d) + sq(c, d)) / 6.0;
  if (!(l2 > 0.0)) return -1.0;
  const double v = triple_product(a, b, c, d) / 6.0;
  return 6.0 * std::sqrt(2.0) * v / (l2 * std::sqrt(l2));
}

namespace {

// Records worse than this are worked on (a sliver of about 12 degrees, a cap
// of radius-edge ratio about 2.5); a few passes take out nearly all, and the
// last ones left are rare and far better than what the fill gave.
constexpr double kBad = 0.3;
constexpr int kPasses = 8;
constexpr std::size_t kMaxRing = 8;

struct Improver {
  TetMesh& mesh;
  std::vector<Point3>& coords;
  PointIndex first_free;
  const Frame& frame;
  std::vector<Record> anchor;

  double q(const Quad& v) const {
    return tet_quality(mesh.point(v[0]), mesh.point(v[1]), mesh.point(v[2]), mesh.point(v[3]));
  }
  double q(Record r) const { return q(mesh.tet(r).v); }
  bool positive(const Quad& v) const { return mesh.orient(v[0], v[1], v[2], v[3]) > 0.0; }

  void note(Record r) {
    for (PointIndex v : mesh.tet(r).v) {
      if (v >= anchor.size()) anchor.resize(v + 1, -1);
      anchor[v] = r;
    }
  }

  // Replaces the records `old` by `made`: surface flags follow the faces,
  // links are rebuilt locally.
  void replace(const std::vector<Record>& old, const std::vector<Quad>& made) {
    std::vector<std::pair<FaceKey, bool>> flags;
    std::vector<Record> outer;
    for (Record r : old) {
      const Tet& t = mesh.tet(r);
      for (int k = 0; k < 4; ++k) {
        if (t.c[k]) flags.push_back({face_key(t.face(k)), true});
        if (t.n[k] >= 0 && std::find(old.begin(), old.end(), t.n[k]) == old.end()) outer.push_back(t.n[k]);
      }
    }
    for (Record r : old) mesh.tet(r).dead = true;
    std::vector<Record> fresh;
    for (const Quad& v : made) {
      Tet t;
      t.v = v;
      for (int k = 0; k < 4; ++k) {
        const FaceKey key = face_key(t.face(k));
        t.c[k] = std::any_of(flags.begin(), flags.end(), [&](const auto& f) { return f.first == key; });
      }
      fresh.push_back(static_cast<Record>(mesh.tets.size()));
      mesh.tets.push_back(t);
      mesh.inside.push_back(1);
    }
    link_fresh(mesh, fresh, outer);
    // A constrained face has no neighbour: the solid ends there.
    for (Record r : fresh) {
      Tet& t = mesh.tet(r);
      for (int k = 0; k < 4; ++k)
        if (t.c[k]) t.n[k] = -1;
      note(r);
    }
  }

  // The ring around the edge (u, v) of record r0, in order: records and the
  // polygon's vertices (record i joins vertices i and i + 1). Fails on an edge
  // of the surface (a constrained face or the solid's end on the way).
  bool ring(Record r0, PointIndex u, PointIndex v, std::vector<Record>& recs, std::vector<PointIndex>& poly) const {
    recs.assign(1, r0);
    poly.clear();
    const Tet& T0 = mesh.tet(r0);
    PointIndex a = 0, b = 0;
    {
      int n = 0;
      for (PointIndex x : T0.v)
        if (x != u && x != v) (n++ == 0 ? a : b) = x;
    }
    poly.push_back(a);
    poly.push_back(b);
    Record r = r0;
    PointIndex from = a, to = b;  // leave r across the face (u, v, to)
    for (std::size_t step = 0; step < kMaxRing + 1; ++step) {
      const Tet& T = mesh.tet(r);
      int k = 0;
      while (T.v[k] != from) ++k;  // the face opposite `from` holds u, v and `to`
      if (T.c[k] || T.n[k] < 0) return false;
      const Record n = T.n[k];
      if (n == r0) {
        poly.pop_back();  // back at the start: `to` is poly[0]
        return true;
      }
      PointIndex next = 0;
      for (PointIndex x : mesh.tet(n).v)
        if (x != u && x != v && x != to) next = x;
      recs.push_back(n);
      poly.push_back(next);
      from = to;
      to = next;
      r = n;
      if (recs.size() > kMaxRing) return false;
    }
    return false;
  }

  // The best replacement of the ring of (u, v): triangles of the polygon
  // coned to u and to v, by dynamic programming over the polygon's
  // triangulations; returns its worst quality (or -inf).
  double best_ring(PointIndex u, PointIndex v, const std::vector<PointIndex>& poly, std::vector<Quad>& made) const {
    const std::size_t m = poly.size();
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    std::array<std::array<double, kMaxRing + 1>, kMaxRing + 1> best{};
    std::array<std::array<std::size_t, kMaxRing + 1>, kMaxRing + 1> apex{};
    // The ring turns one way about u -> v: a triangle in ring order has v on
    // its positive side when the ring runs counter-clockwise seen from v.
    const bool ccw = mesh.orient(poly[0], poly[1], v, u) < 0.0;
    const PointIndex above = ccw ? v : u, below = ccw ? u : v;
    auto cone = [&](std::size_t i, std::size_t j, std::size_t k, std::array<Quad, 2>& out) {
      const PointIndex x = poly[i], y = poly[j], z = poly[k];
      out = {Quad{x, y, z, above}, Quad{x, z, y, below}};
      if (!positive(out[0]) || !positive(out[1])) return kNone;
      return std::min(q(out[0]), q(out[1]));
    };
    for (std::size_t i = 0; i + 1 < m; ++i) best[i][i + 1] = std::numeric_limits<double>::infinity();
    std::array<Quad, 2> pair;
    for (std::size_t len = 2; len < m; ++len)
      for (std::size_t i = 0; i + len < m; ++i) {
        const std::size_t k = i + len;
        best[i][k] = kNone;
        for (std::size_t j = i + 1; j < k; ++j) {
          const double inner = std::min(best[i][j], best[j][k]);
          if (!(inner > best[i][k])) continue;
          const double value = std::min(inner, cone(i, j, k, pair));
          if (value > best[i][k]) best[i][k] = value, apex[i][k] = j;
        }
      }
    const double result = best[0][m - 1];
    if (result == kNone) return kNone;
    made.clear();
    std::vector<std::array<std::size_t, 2>> todo{{0, m - 1}};
    while (!todo.empty()) {
      const auto [i, k] = todo.back();
      todo.pop_back();
      const std::size_t j = apex[i][k];
      cone(i, j, k, pair);
      made.push_back(pair[0]);
      made.push_back(pair[1]);
      if (j - i > 1) todo.push_back({i, j});
      if (k - j > 1) todo.push_back({j, k});
    }
    return result;
  }

  // A move planned on the mesh as it stood: the records it replaces and the
  // ones it makes (none when no move helps).
  struct Move {
    std::vector<Record> old;
    std::vector<Quad> made;
    std::vector<Record> read;  // every record the plan looked at
  };

  // The best move that takes record r out: an edge removal or a 2-3 flip,
  // kept when it raises the worst quality of what it replaces. Reads the
  // mesh only, so plans for many records run in parallel.
  void plan_mend(Record r, Move& move) const {
    const Tet T = mesh.tet(r);
    double gain_to = q(r);
    move.read.assign(1, r);
    std::vector<Record> old_best;
    std::vector<Quad> made_best;
    std::vector<Record> recs;
    std::vector<PointIndex> poly;
    std::vector<Quad> made;
    for (int i = 0; i < 4; ++i)
      for (int j = i + 1; j < 4; ++j) {
        const PointIndex u = T.v[i], v = T.v[j];
        const bool closed = ring(r, u, v, recs, poly);
        move.read.insert(move.read.end(), recs.begin(), recs.end());
        if (!closed || poly.size() < 3) continue;
        double now = std::numeric_limits<double>::infinity();
        for (Record x : recs) now = std::min(now, q(x));
        const double after = best_ring(u, v, poly, made);
        if (after > now && after > gain_to) {
          gain_to = after;
          old_best = recs;
          made_best = made;
        }
      }
    for (int k = 0; k < 4; ++k) {
      const Record n = T.n[k];
      if (n < 0 || T.c[k]) continue;
      move.read.push_back(n);
      const Tet& N = mesh.tet(n);
      // The face turned so that d is on its positive side and e on its
      // negative one; the three records about d -> e replace the vertex of
      // the face they miss by e, and are all positive exactly when the
      // segment de crosses the face's inside.
      Tri f = T.face(k);
      const PointIndex d = T.v[k];
      if (kInward[k] < 0.0) std::swap(f[1], f[2]);
      PointIndex e = N.v[0];
      for (PointIndex x : N.v)
        if (x != f[0] && x != f[1] && x != f[2]) e = x;
      std::array<Quad, 3> three{};
      double after = std::numeric_limits<double>::infinity();
      for (int s = 0; s < 3; ++s) {
        const Quad x{f[s], f[(s + 1) % 3], e, d};
        three[static_cast<std::size_t>(s)] = x;
        if (!positive(x)) {
          after = -2.0;
          break;
        }
        after = std::min(after, q(x));
      }
      if (after <= -1.0) continue;
      const double now = std::min(q(r), q(n));
      if (after > now && after > gain_to) {
        gain_to = after;
        old_best = {r, n};
        made_best.assign(three.begin(), three.end());
      }
    }
    move.old = std::move(old_best);
    move.made = std::move(made_best);
  }

  Record find_anchor(PointIndex v) const {
    if (v < anchor.size() && mesh.live(anchor[v]) && mesh.tet(anchor[v]).has(v)) return anchor[v];
    return -1;
  }

  // The records around v, across faces through v.
  bool star(PointIndex v, std::vector<Record>& out) const {
    out.clear();
    const Record r0 = find_anchor(v);
    if (r0 < 0) return false;
    out.push_back(r0);
    for (std::size_t x = 0; x < out.size(); ++x) {
      const Tet& T = mesh.tet(out[x]);
      for (int k = 0; k < 4; ++k) {
        if (T.v[k] == v || T.n[k] < 0) continue;
        if (std::find(out.begin(), out.end(), T.n[k]) == out.end()) out.push_back(T.n[k]);
      }
    }
    return true;
  }

  // The best of the moves of v towards the centroid of its neighbours, or
  // part of the way, that keeps every record around it positive and raises
  // their worst quality; false when none does (or `around`, v's star, is
  // empty: v is used by no record). Reads the mesh only: the trial positions
  // stand in for v's own without being stored.
  bool plan_smooth(PointIndex v, const std::vector<Record>& around, Point3& to) const {
    if (around.empty()) return false;
    double now = std::numeric_limits<double>::infinity();
    Point3 centroid{0.0, 0.0, 0.0};
    std::size_t count = 0;
    for (Record r : around) {
      now = std::min(now, q(r));
      for (PointIndex x : mesh.tet(r).v)
        if (x != v) {
          for (int d = 0; d < 3; ++d) centroid[d] += mesh.point(x)[d];
          ++count;
        }
    }
    for (double& c : centroid) c /= static_cast<double>(count);
    const Point3 old = mesh.point(v);
    Point3 best = old;
    double best_q = now;
    for (const double t : {1.0, 0.5, 0.25}) {
      const Point3 trial{old[0] + t * (centroid[0] - old[0]), old[1] + t * (centroid[1] - old[1]),
                         old[2] + t * (centroid[2] - old[2])};
      double worst = std::numeric_limits<double>::infinity();
      for (Record r : around) {
        std::array<const Point3*, 4> x{};
        const Quad& w = mesh.tet(r).v;
        for (int i = 0; i < 4; ++i) x[i] = w[i] == v ? &trial : &mesh.point(w[i]);
        if (!(orient3d_sign(*x[0], *x[1], *x[2], *x[3]) > 0.0)) {
          worst = -1.0;
          break;
        }
        worst = std::min(worst, tet_quality(*x[0], *x[1], *x[2], *x[3]));
      }
      if (worst > best_q) best_q = worst, best = trial;
    }
    to = best;
    return best != old;
  }

  void move_point(PointIndex v, const Point3& to) {
    mesh.points[v] = to;
    coords[v] = frame.to_true(to);
  }
};

}  // namespace

void improve_quality(TetMesh& mesh, std::vector<Point3>& coords, PointIndex first_free, const Frame& frame,
                     const store::InterruptCheck& interrupt) {
  Improver im{mesh, coords, first_free, frame, {}};
  // Only records made or moved since a pass can have turned bad: each pass
  // looks at those and at the ones still bad. A move that failed is tried
  // again only once something it looked at has changed: `touched` holds,
  // per point, the clock of the last move that made a record on it or moved
  // it or a neighbour; `failed` the clock of a record's or a point's last
  // failed attempt.
  std::vector<Record> bad, seen;
  std::vector<std::uint8_t> low, listed;
  std::vector<PointIndex> movable;
  std::uint64_t clock = 1;
  std::vector<std::uint64_t> touched(mesh.points.size(), 0), failed_point(mesh.points.size(), 0);
  std::vector<std::uint64_t> failed_record;
  std::vector<Improver::Move> moves;
  std::vector<Point3> targets;
  std::vector<std::vector<Record>> stars;
  std::vector<std::uint8_t> planned;  // 0: not tried, 1: a move, 2: none
  std::vector<std::uint32_t> wave, place, by_wave, order;
  constexpr std::uint32_t kNowhere = 0xffffffffu;
  auto newer = [&](const Quad& v, std::uint64_t since) {
    return touched[v[0]] > since || touched[v[1]] > since || touched[v[2]] > since || touched[v[3]] > since;
  };
  // The first pass looks at every live record, already in order.
  for (std::size_t r = 0; r < mesh.tets.size(); ++r)
    if (!mesh.tets[r].dead) {
      im.note(static_cast<Record>(r));
      seen.push_back(static_cast<Record>(r));
    }
  for (int pass = 0; pass < kPasses; ++pass) {
    interrupt();
    bad.clear();
    if (pass > 0) {
      // In record order without repeats: a flag per record and one scan,
      // cheaper than sorting the list, where each star comes many times.
      listed.resize(mesh.tets.size(), 0);
      for (Record r : seen) listed[static_cast<std::size_t>(r)] = 1;
      seen.clear();
      for (std::size_t r = 0; r < listed.size(); ++r)
        if (listed[r]) {
          seen.push_back(static_cast<Record>(r));
          listed[r] = 0;
        }
    }
    // The measure of every record looked at, in parallel (the first pass
    // looks at them all); the list of the bad ones keeps their order.
    low.assign(seen.size(), 0);
    parallel::for_chunks(seen.size(), 4096, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index i = begin; i < end; ++i)
        low[i] = !mesh.tet(seen[i]).dead && im.q(seen[i]) < kBad;
    });
    for (std::size_t i = 0; i < seen.size(); ++i)
      if (low[i]) bad.push_back(seen[i]);
    if (bad.empty()) return;
    failed_record.resize(mesh.tets.size(), 0);
    const auto made_from = static_cast<Record>(mesh.tets.size());
    bool changed = false;
    movable.clear();
    // Moves are made one record after the other, in the order of the list,
    // each planned on the mesh as the moves before it left it. With more
    // than one thread the plans are first drawn in parallel on the mesh as
    // the pass found it: a plan stays good while every record it looked at
    // lives (points do not move before the smoothing), and is drawn again
    // when an earlier move took one of them. Either way each move is the one
    // planned on the mesh of its turn: the same bits for any threads.
    const bool ahead = parallel::max_threads() > 1;
    moves.resize(bad.size());
    if (ahead)
      parallel::for_chunks(bad.size(), 16, [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index i = begin; i < end; ++i) im.plan_mend(bad[i], moves[i]);
      });
    for (std::size_t i = 0; i < bad.size(); ++i) {
      const Record r = bad[i];
      const Tet& t = mesh.tet(r);
      if (t.dead) continue;
      for (PointIndex v : t.v)
        if (v >= first_free) movable.push_back(v);
      const auto idx = static_cast<std::size_t>(r);
      if (failed_record[idx] != 0 && !newer(t.v, failed_record[idx])) continue;
      Improver::Move& m = moves[i];
      if (!ahead || !std::all_of(m.read.begin(), m.read.end(), [&](Record x) { return mesh.live(x); }))
        im.plan_mend(r, m);
      if (m.old.empty()) {
        failed_record[idx] = clock;
        continue;
      }
      const auto before = static_cast<Record>(mesh.tets.size());
      im.replace(m.old, m.made);
      changed = true;
      ++clock;
      for (auto x = before; x < static_cast<Record>(mesh.tets.size()); ++x)
        for (PointIndex v : mesh.tet(x).v) touched[v] = clock;
    }
    std::sort(movable.begin(), movable.end());
    movable.erase(std::unique(movable.begin(), movable.end()), movable.end());
    seen = bad;
    // Smoothing, in point order: each point moves as planned on the
    // positions the points before it left. A plan reads only the point's
    // star and its neighbours, so a point whose earlier neighbours have all
    // moved is planned exactly as in that order, while the others wait: the
    // points go in waves, a point's wave one past the latest of its earlier
    // neighbours', each wave planned in parallel and applied in order. The
    // clock a move or failure gets is its place in the list (above the
    // clock of the pass), which orders them as the list does.
    const std::uint64_t base = clock;
    targets.resize(movable.size());
    stars.resize(movable.size());
    planned.assign(movable.size(), 0);
    wave.assign(movable.size(), 0);
    parallel::for_chunks(movable.size(), 64, [&](parallel::Index begin, parallel::Index end) {
      for (parallel::Index i = begin; i < end; ++i)
        if (!im.star(movable[i], stars[i])) stars[i].clear();
    });
    if (place.size() < mesh.points.size()) place.resize(mesh.points.size(), kNowhere);
    for (std::size_t i = 0; i < movable.size(); ++i) place[movable[i]] = static_cast<std::uint32_t>(i);
    std::uint32_t waves = 0;
    for (std::size_t i = 0; i < movable.size(); ++i) {
      std::uint32_t w = 0;
      for (Record x : stars[i])
        for (PointIndex u : mesh.tet(x).v)
          if (place[u] < i) w = std::max(w, wave[place[u]] + 1);
      wave[i] = w;
      waves = std::max(waves, w + 1);
    }
    for (PointIndex v : movable) place[v] = kNowhere;
    // The places of each wave, in list order (a counting sort).
    by_wave.assign(waves + std::size_t{1}, 0);
    for (std::uint32_t w : wave) ++by_wave[w + std::size_t{1}];
    for (std::size_t w = 1; w < by_wave.size(); ++w) by_wave[w] += by_wave[w - 1];
    order.resize(movable.size());
    {
      std::vector<std::uint32_t> next(by_wave.begin(), by_wave.end() - 1);
      for (std::size_t i = 0; i < movable.size(); ++i) order[next[wave[i]]++] = static_cast<std::uint32_t>(i);
    }
    for (std::uint32_t w = 0; w < waves; ++w) {
      const std::span<const std::uint32_t> members(order.data() + by_wave[w], by_wave[w + 1] - by_wave[w]);
      // A point that failed and whose neighbourhood has not changed since
      // fails again: it is not planned.
      auto tried = [&](std::size_t i) {
        const PointIndex v = movable[i];
        return !(failed_point[v] != 0 && touched[v] <= failed_point[v]);
      };
      parallel::for_chunks(members.size(), 8, [&](parallel::Index begin, parallel::Index end) {
        for (parallel::Index k = begin; k < end; ++k) {
          const std::size_t i = members[k];
          planned[i] = tried(i) ? (im.plan_smooth(movable[i], stars[i], targets[i]) ? 1 : 2) : 0;
        }
      });
      for (const std::uint32_t i : members) {
        if (planned[i] == 0) continue;
        const PointIndex v = movable[i];
        if (planned[i] == 2) {
          failed_point[v] = base + i;
          continue;
        }
        const std::uint64_t at = base + i + 1;
        im.move_point(v, targets[i]);
        changed = true;
        seen.insert(seen.end(), stars[i].begin(), stars[i].end());
        for (Record x : stars[i])
          for (PointIndex u : mesh.tet(x).v) touched[u] = std::max(touched[u], at);
      }
    }
    clock = base + movable.size() + 1;
    for (auto r = made_from; r < static_cast<Record>(mesh.tets.size()); ++r) seen.push_back(r);
    if (!changed) return;
  }
}

}  // namespace quenlith::ops::mesher::vol
