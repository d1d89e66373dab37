#include "ops/mesher/triangulate_surface/refine.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/error.hpp"

namespace quenlith::ops::mesher::tri {

namespace {

inline double dist(const Point2& a, const Point2& b) noexcept {
  const double dx = b[0] - a[0], dy = b[1] - a[1];
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace

bool is_bad(const Triangulation& tr, const Triangle& t, double h) noexcept {
  const Point2 &p0 = tr.points[t.v[0]], &p1 = tr.points[t.v[1]], &p2 = tr.points[t.v[2]];
  auto square = [](const Point2& a, const Point2& b) {
    const double dx = b[0] - a[0], dy = b[1] - a[1];
    return dx * dx + dy * dy;
  };
  const double s01 = square(p0, p1), s12 = square(p1, p2), s20 = square(p2, p0);
  // The longest and shortest lengths as the square roots of the extreme squares:
  // the same values as the extremes of the three roots (a correctly rounded
  // square root is monotone).
  const double smax = std::max({s01, s12, s20}), smin = std::min({s01, s12, s20});
  if (std::sqrt(smax) > h) return true;
  if (!(std::sqrt(smin) >= 0.01 * h)) return false;
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

bool encroaches_segment(const Triangulation& tr, Slot s, const Point2& c) noexcept {
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

void refine_ruppert(Triangulation& tr, double h, const store::InterruptCheck& interrupt,
                    std::vector<GiveUp>* reasons) {
  if (reasons) reasons->assign(tr.slot_count(), GiveUp::None);
  if (tr.slot_count() == 0) return;
  auto give_up = [&](Slot s, GiveUp why) {
    if (reasons) (*reasons)[static_cast<std::size_t>(s)] = why;
  };
  const std::size_t budget = std::max<std::size_t>(100 * tr.points.size(), 20'000'000);
  std::vector<Slot> queue;  // first in, first out, through `head`
  std::vector<char> queued(tr.slot_count(), 0);
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    if (!tr.triangles[s].dead && tr.inside[s]) {
      queue.push_back(static_cast<Slot>(s));
      queued[s] = 1;
    }
  }
  std::size_t head = 0, inserted = 0;
  while (head < queue.size()) {
    const Slot t = queue[head++];
    // Compact the consumed front now and then, so the queue's memory follows
    // the work still pending rather than all the work ever queued.
    if (head > 4096 && head * 2 > queue.size()) {
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
    queued[static_cast<std::size_t>(t)] = 0;
    interrupt();
    if (!tr.live(t) || !tr.inside[static_cast<std::size_t>(t)]) continue;
    const Triangle tt = tr.tri(t);
    if (!is_bad(tr, tt, h)) continue;
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
    bool encroaches = encroaches_segment(tr, t, c);
    for (int k = 0; k < 3 && !encroaches; ++k)
      if (tt.n[k] >= 0) encroaches = encroaches_segment(tr, tt.n[k], c);
    // When c lies in t itself (s == t), s and its neighbours were just asked.
    const Triangle& ts = tr.tri(s);
    if (s != t) {
      if (!encroaches) encroaches = encroaches_segment(tr, s, c);
      for (int k = 0; k < 3 && !encroaches; ++k)
        if (ts.n[k] >= 0) encroaches = encroaches_segment(tr, ts.n[k], c);
    }
    if (encroaches) {
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
    const std::vector<Slot>& touched = tr.insert_point(k, s, interrupt);
    if (queued.size() < tr.slot_count()) queued.resize(tr.slot_count(), 0);
    if (reasons) {
      reasons->resize(tr.slot_count(), GiveUp::None);
      for (Slot x : touched) (*reasons)[static_cast<std::size_t>(x)] = GiveUp::None;
    }
    for (Slot x : touched) {
      if (!tr.live(x)) continue;
      tr.inside[static_cast<std::size_t>(x)] = true;
      if (!queued[static_cast<std::size_t>(x)]) {
        queued[static_cast<std::size_t>(x)] = 1;
        queue.push_back(x);
      }
    }
    ++inserted;
  }
}

}  // namespace quenlith::ops::mesher::tri
