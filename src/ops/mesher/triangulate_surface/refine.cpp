#include "ops/mesher/triangulate_surface/refine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/error.hpp"

namespace quenlith::ops::mesher::tri {

namespace {

inline double dist(const Point2& a, const Point2& b) noexcept {
  const double dx = b[0] - a[0], dy = b[1] - a[1];
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace

namespace {

// The least double x with sqrt(x) `above` y (strictly greater, or at least when
// `or_equal`), or NaN when a short search from y^2 does not settle it. A correctly
// rounded square root is monotone, so comparing a square with it is comparing the
// root with y, without the root.
double sqrt_threshold(double y, bool or_equal) noexcept {
  auto holds = [&](double x) { return or_equal ? std::sqrt(x) >= y : std::sqrt(x) > y; };
  double x = y * y;
  constexpr int kSteps = 64;
  const double inf = std::numeric_limits<double>::infinity();
  if (holds(x)) {
    for (int i = 0; i < kSteps; ++i) {
      const double below = std::nextafter(x, -inf);
      if (!holds(below)) return x;
      x = below;
    }
  } else {
    for (int i = 0; i < kSteps; ++i) {
      x = std::nextafter(x, inf);
      if (holds(x)) return x;
    }
  }
  return std::numeric_limits<double>::quiet_NaN();
}

// Room for the points and triangles refinement is expected to add: a domain
// refined to edges of about h holds about 2.5 points and 5 triangles per h^2 of
// its area. Growing by doubling instead would copy every array several times and
// fault in twice the memory. A poor guess only costs the growth it would have
// saved; a huge one (a size far below the domain's) is capped.
void reserve_for_refinement(Triangulation& tr, double h) {
  double area = 0.0;
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    const Triangle& t = tr.triangles[s];
    if (t.dead || !tr.inside[s]) continue;
    const Point2 &a = tr.points[t.v[0]], &b = tr.points[t.v[1]], &c = tr.points[t.v[2]];
    area += 0.5 * ((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]));
  }
  const double per_cell = area / (h * h);
  constexpr double kMaxPoints = 1 << 23;
  if (!(per_cell > 0.0)) return;
  const double points = std::min(2.6 * per_cell, kMaxPoints);
  const auto n_points = tr.points.size() + static_cast<std::size_t>(points);
  const auto n_slots = tr.slot_count() + static_cast<std::size_t>(2.0 * points);
  tr.points.reserve(n_points);
  tr.jittered.reserve(n_points);
  tr.boundary.reserve(n_points);
  tr.triangles.reserve(n_slots);
  tr.inside.reserve(n_slots);
}

}  // namespace

BadTest::BadTest(double h)
    : h_(h), long2_(sqrt_threshold(h, false)), short2_(sqrt_threshold(0.01 * h, true)),
      by_squares_(long2_ == long2_ && short2_ == short2_) {}

bool BadTest::by_roots(double s01, double s12, double s20, double smax, double smin) const noexcept {
  if (std::sqrt(smax) > h_) return true;
  if (!(std::sqrt(smin) >= 0.01 * h_)) return false;
  return sharp(s01, s12, s20, smin);
}

bool BadTest::sharp(double s01, double s12, double s20, double smin) const noexcept {
  // The smallest angle faces the shortest edge; its cosine, squared without any
  // root or division, settles the test unless it is within 1e-9 of cos(20
  // degrees) (its rounding is below 1e-13 here, the edges being within a factor
  // of 100 of each other).
  const double sa = smin == s01 ? s12 : s01, sb = smin == s01 || smin == s12 ? s20 : s12;
  const double num = sa + sb - smin, den2 = 4.0 * sa * sb;
  if (num * num > den2 * ((kCosMinAngle + 1e-9) * (kCosMinAngle + 1e-9))) return true;
  if (num * num < den2 * ((kCosMinAngle - 1e-9) * (kCosMinAngle - 1e-9))) return false;
  // Between: the cosines of max_cosine, from the same lengths, and their arccos
  // where the largest is too close to cos(20 degrees) for the order to be plain
  // (arccos has slope -2.9 there: 1e-9 in the cosine is far above its last-bit
  // error).
  const double l01 = std::sqrt(s01), l12 = std::sqrt(s12), l20 = std::sqrt(s20);
  auto clamp = [](double c) { return c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c); };
  const double cos0 = clamp((l01 * l01 + l20 * l20 - l12 * l12) / (2.0 * l01 * l20));
  const double cos1 = clamp((l12 * l12 + l01 * l01 - l20 * l20) / (2.0 * l01 * l12));
  const double cos2 = clamp((l12 * l12 + l20 * l20 - l01 * l01) / (2.0 * l12 * l20));
  const double c = std::max({cos0, cos1, cos2});
  if (c > kCosMinAngle + 1e-9) return true;
  if (c < kCosMinAngle - 1e-9) return false;
  return std::acos(c) < kMinAngle;
}

bool is_bad(const Triangulation& tr, const Triangle& t, double h) noexcept {
  return BadTest(h)(tr.points[t.v[0]], tr.points[t.v[1]], tr.points[t.v[2]]);
}

namespace {

inline bool encroaches(const Triangulation& tr, Slot s, const Point2& c) noexcept {
  if (!tr.live(s)) return false;
  const Triangle& t = tr.tri(s);
  if (!(t.c[0] || t.c[1] || t.c[2])) return false;  // most triangles
  for (int k = 0; k < 3; ++k) {
    if (!t.c[k]) continue;
    const Point2 &p = tr.points[t.v[k]], &q = tr.points[t.v[next3(k)]];
    if ((c[0] - p[0]) * (c[0] - q[0]) + (c[1] - p[1]) * (c[1] - q[1]) < 0.0) return true;
  }
  return false;
}

}  // namespace

bool encroaches_segment(const Triangulation& tr, Slot s, const Point2& c) noexcept { return encroaches(tr, s, c); }

void refine_ruppert(Triangulation& tr, double h, const store::InterruptCheck& interrupt,
                    std::vector<GiveUp>* reasons) {
  if (reasons) reasons->assign(tr.slot_count(), GiveUp::None);
  if (tr.slot_count() == 0) return;
  auto give_up = [&](Slot s, GiveUp why) {
    if (reasons) (*reasons)[static_cast<std::size_t>(s)] = why;
  };
  const BadTest bad_test(h);
  auto bad = [&](const Triangle& t) { return bad_test(tr.points[t.v[0]], tr.points[t.v[1]], tr.points[t.v[2]]); };
  const std::size_t budget = std::max<std::size_t>(100 * tr.points.size(), 20'000'000);
  // Per slot: whether it is in the queue, and whether it is live, inside and bad.
  // A slot's corners change only through an insertion, which reports it as
  // touched: its badness is taken then, while its triangle and points are fresh in
  // the cache, and holds until it is touched again. Most triangles taken from the
  // queue are not bad, and are passed over on this byte alone.
  enum : std::uint8_t { kQueued = 1, kBad = 2 };
  LargeArray<std::uint8_t> state(tr.slot_count(), 0);
  reserve_for_refinement(tr, h);
  LargeArray<Slot> queue;  // first in, first out, through `head`
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    const Triangle& t = tr.triangles[s];
    if (!t.dead && tr.inside[s]) {
      queue.push_back(static_cast<Slot>(s));
      state[s] = static_cast<std::uint8_t>(kQueued | (bad(t) ? kBad : 0));
    }
  }
  std::size_t head = 0, inserted = 0, taken = 0;
  const store::InterruptCheck polled_above;  // the insertions' poll, made by this loop
  while (head < queue.size()) {
    const Slot t = queue[head++];
    // Compact the consumed front now and then, so the queue's memory follows
    // the work still pending rather than all the work ever queued.
    if (head > 4096 && head * 2 > queue.size()) {
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
    const std::uint8_t st = state[static_cast<std::size_t>(t)];
    state[static_cast<std::size_t>(t)] = static_cast<std::uint8_t>(st & ~kQueued);
    // A poll costs more than passing over a triangle that is not bad, or than
    // most of an insertion: every 64th triangle taken polls, for the insertions
    // too (a few microseconds of work apart).
    if ((++taken & 63) == 0) interrupt();
    if (!(st & kBad)) continue;  // dead, outside or not bad
    const Triangle tt = tr.tri(t);
    if (inserted > budget)
      throw Error::message("triangulate_surface: refinement did not converge within the point budget");
    const Point2 L = tr.points[tt.v[0]], M = tr.points[tt.v[1]], O = tr.points[tt.v[2]];
    if (std::fabs((M[0] - L[0]) * (O[1] - L[1]) - (M[1] - L[1]) * (O[0] - L[0])) < 1e-24) {
      give_up(t, GiveUp::Degenerate);
      continue;
    }
    const double d = 2.0 * (L[0] * (M[1] - O[1]) + M[0] * (O[1] - L[1]) + O[0] * (L[1] - M[1]));
    const double l2 = L[0] * L[0] + L[1] * L[1], m2 = M[0] * M[0] + M[1] * M[1], o2 = O[0] * O[0] + O[1] * O[1];
    const Point2 c{(l2 * (M[1] - O[1]) + m2 * (O[1] - L[1]) + o2 * (L[1] - M[1])) / d,
                   (l2 * (O[0] - M[0]) + m2 * (L[0] - O[0]) + o2 * (M[0] - L[0])) / d};
    if (!std::isfinite(c[0]) || !std::isfinite(c[1])) {
      give_up(t, GiveUp::NonFinite);
      continue;
    }
    const Slot s = tr.locate(t, c);
    bool outside = !tr.live(s) || !tr.inside[static_cast<std::size_t>(s)];
    if (!outside) {
      const Triangle& ts = tr.tri(s);
      for (int k = 0; k < 3 && !outside; ++k)
        if (!(orient2d(tr.points[ts.v[k]], tr.points[ts.v[next3(k)]], c) >= 0.0)) outside = true;
    }
    if (outside) {
      give_up(t, GiveUp::Outside);
      continue;
    }
    bool encroached = encroaches(tr, t, c);
    for (int k = 0; k < 3 && !encroached; ++k) encroached = encroaches(tr, tt.n[k], c);
    // When c lies in t itself (s == t), s and its neighbours were just asked.
    const Triangle& ts = tr.tri(s);
    if (s != t) {
      if (!encroached) encroached = encroaches(tr, s, c);
      for (int k = 0; k < 3 && !encroached; ++k) encroached = encroaches(tr, ts.n[k], c);
    }
    if (encroached) {
      give_up(t, GiveUp::Encroaches);
      continue;
    }
    // Spacing: too close to a vertex of s or of its live neighbours. The square
    // root of the smallest square is the smallest distance (a correctly rounded
    // square root is monotone).
    const double radius = dist(c, L);
    auto square = [&](Vertex v) {
      const double dx = tr.points[v][0] - c[0], dy = tr.points[v][1] - c[1];
      return dx * dx + dy * dy;
    };
    double nearest2 = std::min({square(ts.v[0]), square(ts.v[1]), square(ts.v[2])});
    for (int k = 0; k < 3; ++k) {
      if (!tr.live(ts.n[k])) continue;
      for (Vertex v : tr.tri(ts.n[k]).v) nearest2 = std::min(nearest2, square(v));
    }
    if (std::sqrt(nearest2) < 0.5 * radius) {
      give_up(t, GiveUp::TooClose);
      continue;
    }
    const Vertex k = tr.add_point(c, false);
    const std::vector<Slot>& touched = tr.insert_point(k, s, polled_above);
    if (state.size() < tr.slot_count()) state.resize(std::max(tr.slot_count(), state.size() + state.size() / 2), 0);
    if (reasons) {
      reasons->resize(tr.slot_count(), GiveUp::None);
      for (Slot x : touched) (*reasons)[static_cast<std::size_t>(x)] = GiveUp::None;
    }
    for (Slot x : touched) {
      if (!tr.live(x)) continue;
      const auto i = static_cast<std::size_t>(x);
      tr.inside[i] = true;
      const bool queued = state[i] & kQueued;
      state[i] = static_cast<std::uint8_t>(kQueued | (bad(tr.tri(x)) ? kBad : 0));
      if (!queued) queue.push_back(x);
    }
    ++inserted;
  }
}

}  // namespace quenlith::ops::mesher::tri
