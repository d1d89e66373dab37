#include "ops/mesher/triangulate_surface/improve.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::tri {

namespace {

// Points per chunk of the smoothing sweeps, triangles per chunk of the quad scoring
// and of the flips' first look.
constexpr parallel::Index kSmoothChunk = 1024;
constexpr parallel::Index kScoreChunk = 1024;
constexpr parallel::Index kFlipChunk = 4096;

// The cosine of the angle between u and v, clamped to [-1, 1]; the angle is its
// arccos.
double cosine_between(const Point2& u, const Point2& v) noexcept {
  const double nu = std::sqrt(u[0] * u[0] + u[1] * u[1]);
  const double nv = std::sqrt(v[0] * v[0] + v[1] * v[1]);
  const double c = (u[0] * v[0] + u[1] * v[1]) / (nu * nv);
  return c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c);
}

// The smallest of the arccos of four cosines, taking the arccos only of the
// largest cosine and of those within 1e-12 of it: arccos falls by at least 1e-12
// over any step of 1e-12, far more than its last-bit error, so every other one
// is larger. (NaN cosines, from non-finite points, go through the arccos too.)
double smallest_angle(const std::array<double, 4>& cosines) noexcept {
  double largest = cosines[0];
  for (const double c : cosines) largest = c > largest ? c : largest;
  double smallest = std::acos(largest);
  for (const double c : cosines)
    if (!(c < largest - 1e-12) && c != largest) smallest = std::min(smallest, std::acos(c));
  if (std::isnan(largest) || std::isnan(smallest)) {
    smallest = std::acos(cosines[0]);
    for (const double c : cosines) smallest = std::min(smallest, std::acos(c));
  }
  return smallest;
}

inline Point2 minus(const Point2& a, const Point2& b) noexcept { return {a[0] - b[0], a[1] - b[1]}; }

using Id = InsideMesh::Id;

// The shape classes of a triangle for the flip test.
enum Shape : char {
  kAnyShape = 0,
  // Counter-clockwise with every angle at least atan(1/10), about 5.7 degrees.
  kWellShaped = 1,
  // Well shaped and every angle below 90 degrees.
  kAcute = 2,
};

// The class of the triangle (p0, p1, p2), from twice its area (cr) and the dot
// products of the two edges at each corner: an angle is at least atan(1/10) when
// its dot product is at most 10 cr (or not positive), and below 90 degrees when
// its dot product is positive, here with a margin (1e-12 cr) far above the
// rounding of a dot product on a well-shaped triangle. A rough test in plain
// arithmetic for the first class: it only sorts triangles between the fast and
// the literal flip test, and both decide alike wherever it errs.
inline Shape shape_of(const Point2& p0, const Point2& p1, const Point2& p2) noexcept {
  const double ax = p1[0] - p0[0], ay = p1[1] - p0[1];
  const double bx = p2[0] - p0[0], by = p2[1] - p0[1];
  const double cx = p2[0] - p1[0], cy = p2[1] - p1[1];
  const double cr = ax * by - ay * bx;
  // Corner 0 between a and b, corner 1 between -a and c, corner 2 between -b and -c.
  const double d0 = ax * bx + ay * by, d1 = -(ax * cx + ay * cy), d2 = bx * cx + by * cy;
  const double most = 10.0 * cr, least = 1e-12 * cr;
  if (!(cr > 0.0 && d0 <= most && d1 <= most && d2 <= most)) return kAnyShape;
  return d0 > least && d1 > least && d2 > least ? kAcute : kWellShaped;
}

// What the flip test reads, as plain pointers: copied into the locals of a loop,
// they are not reloaded after every store through a char pointer (which may
// alias anything).
struct FlipView {
  const std::array<Id, 3>* corners;
  const std::array<std::int32_t, 3>* across;
  const Point2* pos;
  const char* shape;

  // Whether edge k of t passes every test of a flip in the current state.
  //
  // Three shortcuts change no decision. For two well-shaped triangles the
  // in-circle test decides where it is clear: a strictly convex quadrilateral's
  // Delaunay diagonal (the fourth corner not inside the circle of the other
  // three) gives the larger smallest angle of its two triangulations, so the
  // angle test could only pass through rounding, and on such triangles the
  // computed angles are within 1e-8 of the true ones, far inside the 1e-6
  // margin. Two acute (hence well-shaped) triangles need no test at all: their
  // angles facing the shared edge add up to less than pi, which puts each far
  // corner outside the other's circle. Otherwise the largest cosine of the pair
  // must drop before the angles are compared (arccos is monotone to within an
  // ulp, far below the margin).
  bool flips(Id t, int k) const noexcept {
    const std::int32_t u = across[t][k];
    return u >= 0 && judge(t, k, static_cast<Id>(u), shape[t], shape[u]);
  }
  // The same for the edge k of t facing u, the two triangles being of shapes st
  // and su.
  bool judge(Id t, int k, Id u, char st, char su) const noexcept {
    if (st == kAcute && su == kAcute) return false;
    const std::array<Id, 3>& c = corners[t];
    const Id a = c[k], b = c[next3(k)], cc = c[prev3(k)];
    const std::array<Id, 3>& cu = corners[u];
    const Id d = cu[0] != a && cu[0] != b ? cu[0] : (cu[1] != a && cu[1] != b ? cu[1] : cu[2]);
    const Point2 &A = pos[a], &B = pos[b], &C = pos[cc], &D = pos[d];
    if (st != kAnyShape && su != kAnyShape) {
      // The angles at c (in t) and at d (across) add up to less than pi, with a
      // margin far above the rounding of this plain evaluation: d lies outside
      // t's circle. sin(c + d) from the sines and cosines of both, each a cross
      // and a dot product of the two edges leaving its corner.
      const double ux = A[0] - C[0], uy = A[1] - C[1], vx = B[0] - C[0], vy = B[1] - C[1];
      const double wx = B[0] - D[0], wy = B[1] - D[1], zx = A[0] - D[0], zy = A[1] - D[1];
      const double sin_c = ux * vy - uy * vx, cos_c = ux * vx + uy * vy;
      const double sin_d = wx * zy - wy * zx, cos_d = wx * zx + wy * zy;
      const double sum = sin_c * cos_d + cos_c * sin_d;
      const double scale = (std::fabs(sin_c) + std::fabs(cos_c)) * (std::fabs(sin_d) + std::fabs(cos_d));
      if (sum > 1e-12 * scale) return false;
    }
    if (!(orient2d_positive(C, A, D) && orient2d_positive(C, D, B))) return false;
    const double cos_before = std::max(max_cosine(A, B, C), max_cosine(B, A, D));
    const double cos_after = std::max(max_cosine(C, A, D), max_cosine(C, D, B));
    if (!(cos_after < cos_before)) return false;
    const double before = std::min(min_angle(A, B, C), min_angle(B, A, D));
    const double after = std::min(min_angle(C, A, D), min_angle(C, D, B));
    return before + 1e-6 < after;
  }
};

// The flip passes over one InsideMesh.
class Flipper {
 public:
  Flipper(InsideMesh& mesh, Rings* rings) : m_(mesh), rings_(rings) {}

  void run(int max_passes) {
    const std::size_t n = m_.triangle_count();
    if (n == 0) return;
    shape_.assign(n, kAnyShape);
    const FlipView view{m_.corners.data(), m_.across.data(), m_.pos.data(), shape_.data()};
    // The first look at every triangle reads the unchanged mesh, so it runs on the
    // pool, in one loop: each triangle's shape class, then its edges judged
    // towards lower-numbered triangles, so that each edge is judged once (both
    // sides decide alike, the predicates being exact and the angles not depending
    // on where a triangle's corners start). A neighbour in an earlier chunk may
    // not have its class written yet: it is computed again.
    char* const shape = shape_.data();
    std::vector<std::uint8_t> own(n, 0);  // bit k: edge k flips, judged from this side
    std::uint8_t* const own_bits = own.data();
    parallel::for_chunks(n, kFlipChunk, [&](parallel::Index begin, parallel::Index end) {
      const FlipView v = view;
      char* const out = shape;
      std::uint8_t* const bits_out = own_bits;
      auto shape_at = [&](Id x) -> char {
        const auto& c = v.corners[x];
        return shape_of(v.pos[c[0]], v.pos[c[1]], v.pos[c[2]]);
      };
      for (parallel::Index i = begin; i < end; ++i) {
        const char si = shape_at(static_cast<Id>(i));
        out[i] = si;
        std::uint8_t bits = 0;
        for (int k = 0; k < 3; ++k) {
          const std::int32_t u = v.across[i][k];
          if (u < 0 || u >= static_cast<std::int32_t>(i)) continue;
          const char su = u >= static_cast<std::int32_t>(begin) ? out[u] : shape_at(static_cast<Id>(u));
          if (si == kAcute && su == kAcute) continue;  // judge's first test, without the call
          if (v.judge(static_cast<Id>(i), k, static_cast<Id>(u), si, su)) bits |= static_cast<std::uint8_t>(1u << k);
        }
        bits_out[i] = bits;
      }
    });
    // A triangle with an edge that would flip (from either side) starts unsettled,
    // every other one stable.
    unstable_.assign((n + 63) / 64, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (own_bits[i] == 0) continue;
      unsettle_one(static_cast<Id>(i));
      for (int k = 0; k < 3; ++k)
        if (own_bits[i] >> k & 1u) unsettle_one(static_cast<Id>(view.across[i][k]));
    }
    // The passes visit, in rank order, only the triangles that are not stable: a
    // stable one was seen without a flip and neither it nor a neighbour has
    // changed since, so a visit would decide the same. A triangle unsettled ahead
    // of the pass's position is visited in this pass, one behind it in the next,
    // as a scan of every triangle would.
    for (int pass = 1; pass <= max_passes; ++pass) {
      bool flipped = false;
      for (std::size_t r = next_unstable(0); r < n; r = next_unstable(r + 1)) {
        const Id t = m_.by_rank[r];
        bool flipped_here = false;
        for (int k = 0; k < 3; ++k) {
          if (!view.flips(t, k)) continue;
          const auto u = static_cast<Id>(m_.across[t][k]);
          m_.flip_edge(t, k);
          if (rings_ && !rings_->stale) rings_->after_flip(m_, t, u);
          for (const Id x : {t, u}) {
            const auto& c = m_.corners[x];
            shape[x] = shape_of(m_.pos[c[0]], m_.pos[c[1]], m_.pos[c[2]]);
          }
          unsettle(t);
          unsettle(u);
          flipped = flipped_here = true;
        }
        if (!flipped_here) unstable_[r >> 6] &= ~(std::uint64_t{1} << (r & 63));
      }
      if (!flipped) break;
    }
  }

 private:
  void unsettle_one(Id t) noexcept {
    const std::size_t r = m_.rank[t];
    unstable_[r >> 6] |= std::uint64_t{1} << (r & 63);
  }
  void unsettle(Id t) noexcept {
    unsettle_one(t);
    for (const std::int32_t nb : m_.across[t])
      if (nb >= 0) unsettle_one(static_cast<Id>(nb));
  }
  // The first unstable rank at or after r, or the triangle count.
  std::size_t next_unstable(std::size_t r) const noexcept {
    const std::size_t n = m_.triangle_count();
    if (r >= n) return n;
    std::size_t w = r >> 6;
    std::uint64_t bits = unstable_[w] & (~std::uint64_t{0} << (r & 63));
    while (bits == 0) {
      if (++w == unstable_.size()) return n;
      bits = unstable_[w];
    }
    return std::min(n, (w << 6) + static_cast<std::size_t>(std::countr_zero(bits)));
  }

  InsideMesh& m_;
  Rings* rings_;
  std::vector<char> shape_;
  std::vector<std::uint64_t> unstable_;  // one bit per rank
};

}  // namespace

void improve_by_flips(InsideMesh& mesh, int max_passes, Rings* rings) { Flipper(mesh, rings).run(max_passes); }

Rings::Rings(const InsideMesh& mesh) {
  const std::size_t n_points = mesh.point_count(), n = mesh.triangle_count();
  start.assign(n_points + 1, 0);
  end.resize(n_points);
  const std::array<Id, 3>* const corners = mesh.corners.data();
  std::uint32_t* const first = start.data();
  std::uint32_t* const last = end.data();
  for (std::size_t i = 0; i < n; ++i)
    for (const Id v : corners[i]) ++first[v + 1];
  for (std::size_t p = 0; p < n_points; ++p) {
    const std::uint32_t degree = first[p + 1];
    last[p] = first[p];
    first[p + 1] = first[p] + degree + (degree > 0 ? 2 : 0);
  }
  ring.resize(first[n_points]);
  rank.resize(first[n_points]);
  std::array<Id, 2>* const rows = ring.data();
  Id* const ranks = rank.data();
  // Filled in rank order, so that each row comes out in rank order.
  const Id* const by_rank = mesh.by_rank.data();
  for (std::size_t r = 0; r < n; ++r) {
    const std::array<Id, 3> c = corners[by_rank[r]];
    for (int k = 0; k < 3; ++k) {
      const std::uint32_t e = last[c[k]]++;
      rows[e] = {c[next3(k)], c[prev3(k)]};
      ranks[e] = static_cast<Id>(r);
    }
  }
}

void Rings::after_flip(const InsideMesh& mesh, Id t, Id u) {
  // The flip keeps the four corners of the pair: each row among them loses its
  // entries of t and u and gets those of their new corners, in rank order.
  const Id rt = mesh.rank[t], ru = mesh.rank[u];
  std::array<Id, 4> corners{};
  std::size_t n_corners = 0;
  for (const Id tri : {t, u})
    for (const Id v : mesh.corners[tri])
      if (std::find(corners.begin(), corners.begin() + static_cast<std::ptrdiff_t>(n_corners), v) ==
          corners.begin() + static_cast<std::ptrdiff_t>(n_corners))
        corners[n_corners++] = v;
  for (std::size_t ci = 0; ci < n_corners; ++ci) {
    const Id v = corners[ci];
    std::uint32_t w = start[v];
    for (std::uint32_t i = start[v]; i < end[v]; ++i) {
      if (rank[i] == rt || rank[i] == ru) continue;
      rank[w] = rank[i];
      ring[w++] = ring[i];
    }
    end[v] = w;
    for (const Id tri : {t, u}) {
      const int k = mesh.corners[tri][0] == v ? 0 : (mesh.corners[tri][1] == v ? 1 : (mesh.corners[tri][2] == v ? 2 : -1));
      if (k < 0) continue;
      if (end[v] == start[v + 1]) {
        stale = true;
        return;
      }
      const Id r = mesh.rank[tri];
      std::uint32_t j = end[v]++;
      for (; j > start[v] && rank[j - 1] > r; --j) {
        rank[j] = rank[j - 1];
        ring[j] = ring[j - 1];
      }
      rank[j] = r;
      ring[j] = {mesh.corners[tri][next3(k)], mesh.corners[tri][prev3(k)]};
    }
  }
}

namespace {

// What a sweep reads and writes, as plain pointers; each loop body copies it
// into locals, which no store through a char pointer can alias (a captured
// reference or the lambda's own members could be, and would be reloaded after
// every such store).
struct SweepView {
  const Point2* snap;
  Point2* next;
  char* moved;
  const char* fixed;
  const std::uint32_t* row_start;
  const std::uint32_t* row_end;
  const std::array<Id, 2>* ring;
  const std::array<Id, 3>* corners;
};

}  // namespace

void smoothing_sweep(InsideMesh& mesh, const Rings& rings, std::vector<Point2>& scratch) {
  const std::size_t n_points = mesh.point_count(), n = mesh.triangle_count();
  scratch.resize(n_points);
  std::vector<char> moved(n_points, 0);
  const SweepView view{mesh.pos.data(),    scratch.data(),     moved.data(),      mesh.fixed.data(),
                       rings.start.data(), rings.end.data(),   rings.ring.data(), mesh.corners.data()};
  parallel::for_chunks(n_points, kSmoothChunk, [&](parallel::Index begin, parallel::Index end) {
    const SweepView v = view;
    for (parallel::Index p = begin; p < end; ++p) {
      const std::uint32_t lo = v.row_start[p], hi = v.row_end[p];
      const Point2 old = v.snap[p];
      v.next[p] = old;
      if (v.fixed[p] || lo == hi) continue;
      double sx = 0.0, sy = 0.0;
      for (std::uint32_t i = lo; i < hi; ++i) {
        const Point2& s = v.snap[v.ring[i][0]];
        sx += s[0];
        sy += s[1];
      }
      const double cnt = static_cast<double>(hi - lo);
      const Point2 q{0.5 * (sx / cnt) + 0.5 * old[0], 0.5 * (sy / cnt) + 0.5 * old[1]};
      // Each triangle with p moved to q, read from p (a rotation of its corners
      // keeps the exact sign of the orientation).
      bool ok = true;
      for (std::uint32_t i = lo; i < hi && ok; ++i) ok = orient2d_positive(q, v.snap[v.ring[i][0]], v.snap[v.ring[i][1]]);
      if (ok) {
        v.next[p] = q;
        v.moved[p] = 1;
      }
    }
  });
  // Each move was checked against the snapshot alone: two neighbours moving
  // together can still turn a triangle over (a triangle with one moved corner
  // cannot: that move was checked with the others where they are). Undo the
  // moved corners of every such triangle, and repeat until none is left (the
  // snapshot itself is valid, so this ends).
  std::vector<char> inverted_flags(n, 0);
  char* const inverted = inverted_flags.data();
  for (;;) {
    parallel::for_chunks(n, kSmoothChunk, [&](parallel::Index begin, parallel::Index end) {
      const SweepView v = view;
      char* const out = inverted;
      for (parallel::Index i = begin; i < end; ++i) {
        const auto& t = v.corners[i];
        out[i] = v.moved[t[0]] + v.moved[t[1]] + v.moved[t[2]] >= 2 &&
                 !orient2d_positive(v.next[t[0]], v.next[t[1]], v.next[t[2]]);
      }
    });
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (!inverted[i]) continue;
      any = true;
      for (const Id x : view.corners[i]) {
        if (!view.moved[x]) continue;
        view.next[x] = view.snap[x];
        view.moved[x] = 0;
      }
    }
    if (!any) break;
  }
  mesh.pos.swap(scratch);
}

std::vector<Triple> final_triangles(const Triangulation& tr) {
  std::vector<Triple> f;
  for (std::size_t s = 0; s < tr.slot_count(); ++s)
    if (!tr.triangles[s].dead && tr.inside[s]) f.push_back(tr.triangles[s].v);
  return f;
}

void improve(InsideMesh& mesh, const store::InterruptCheck& interrupt) {
  improve_by_flips(mesh, 6);
  // The rings are built for the first cycle and kept up to date by the flips
  // after it (few: the refined mesh is nearly Delaunay).
  std::optional<Rings> rings;
  std::vector<Point2> scratch;
  for (int cycle = 0; cycle < 3; ++cycle) {
    interrupt();
    if (!rings || rings->stale) rings.emplace(mesh);
    smoothing_sweep(mesh, *rings, scratch);
    smoothing_sweep(mesh, *rings, scratch);
    improve_by_flips(mesh, 4, cycle < 2 ? &*rings : nullptr);
  }
}

std::pair<std::vector<Quad>, std::vector<Triple>> recombine_quads(const std::vector<Point2>& points,
                                                                  const std::vector<Triple>& f) {
  // Directed edge -> triangle of F, a later triangle replacing an earlier one.
  EdgeTable edges;
  edges.reserve(3 * f.size());
  for (std::size_t i = 0; i < f.size(); ++i)
    for (int k = 0; k < 3; ++k) edges.add(f[i][k], f[i][next3(k)], static_cast<std::uint32_t>(i));
  edges.finish();

  // Per candidate slot (3 per triangle, edge k of triangle i at 3i + k): the
  // triangle across, and a sort key that orders the qualities as numbers (the
  // bits of a non-negative double, plus one; 0 for a NaN quality, which comes
  // from non-finite points only and sorts last). Scored triangle by triangle on
  // the pool.
  constexpr std::uint32_t kNoCandidate = ~std::uint32_t{0};
  std::vector<std::uint32_t> across(3 * f.size(), kNoCandidate);
  std::vector<std::uint64_t> quality(3 * f.size(), 0);
  parallel::for_chunks(f.size(), kScoreChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index i = begin; i < end; ++i) {
      for (int k = 0; k < 3; ++k) {
        const Vertex a = f[i][k], b = f[i][next3(k)], c = f[i][prev3(k)];
        const std::int64_t j = edges.last(b, a);
        if (j < 0 || static_cast<std::size_t>(j) <= i) continue;
        const Triple& tj = f[static_cast<std::size_t>(j)];
        const auto other = std::find_if(tj.begin(), tj.end(), [&](Vertex v) { return v != a && v != b; });
        if (other == tj.end()) continue;
        const Vertex d = *other;
        const Point2 &A = points[a], &B = points[b], &C = points[c], &D = points[d];
        if (!(orient2d(B, C, A) > 0.0 && orient2d(C, A, D) > 0.0 && orient2d(A, D, B) > 0.0 &&
              orient2d(D, B, C) > 0.0))
          continue;
        const double q = smallest_angle({cosine_between(minus(B, C), minus(A, C)), cosine_between(minus(D, A), minus(C, A)),
                                         cosine_between(minus(B, D), minus(A, D)), cosine_between(minus(D, B), minus(C, B))});
        const std::size_t slot = 3 * i + static_cast<std::size_t>(k);
        across[slot] = static_cast<std::uint32_t>(j);
        quality[slot] = std::isnan(q) ? 0 : std::bit_cast<std::uint64_t>(q) + 1;
      }
    }
  });
  // Largest quality first, ties in slot order (triangle, then edge): a stable
  // radix sort on the keys, a byte per pass (passes where every key has the same
  // byte change nothing and are skipped), of the slots taken in order.
  struct Entry {
    std::uint64_t key;  // the complement: ascending keys are descending qualities
    std::uint32_t slot;
  };
  std::vector<Entry> order, next;
  for (std::size_t slot = 0; slot < across.size(); ++slot)
    if (across[slot] != kNoCandidate) order.push_back({~quality[slot], static_cast<std::uint32_t>(slot)});
  next.resize(order.size());
  for (int shift = 0; shift < 64; shift += 8) {
    std::array<std::size_t, 257> start{};
    for (const Entry& e : order) ++start[((e.key >> shift) & 0xffu) + 1];
    if (std::find(start.begin() + 1, start.end(), order.size()) != start.end()) continue;
    for (std::size_t b = 0; b < 256; ++b) start[b + 1] += start[b];
    for (const Entry& e : order) next[start[(e.key >> shift) & 0xffu]++] = e;
    order.swap(next);
  }
  std::vector<char> paired(f.size(), 0);
  std::vector<Quad> quads;
  for (const Entry& e : order) {
    const std::size_t i = e.slot / 3, j = across[e.slot];
    if (paired[i] || paired[j]) continue;
    paired[i] = paired[j] = 1;
    const int k = static_cast<int>(e.slot % 3);
    const Vertex a = f[i][k], b = f[i][next3(k)], c = f[i][prev3(k)];
    const Triple& tj = f[j];
    const Vertex d = *std::find_if(tj.begin(), tj.end(), [&](Vertex v) { return v != a && v != b; });
    quads.push_back({c, a, d, b});
  }
  std::vector<Triple> leftover;
  for (std::size_t i = 0; i < f.size(); ++i)
    if (!paired[i]) leftover.push_back(f[i]);
  return {std::move(quads), std::move(leftover)};
}

}  // namespace quenlith::ops::mesher::tri
