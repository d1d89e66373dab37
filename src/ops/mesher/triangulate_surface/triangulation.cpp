#include "ops/mesher/triangulate_surface/triangulation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "base/error.hpp"

namespace quenlith::ops::mesher::tri {

namespace {

// IEEE-754 total order (NaNs sort after +inf or before -inf by their sign):
// point location must pick an edge whatever the values are.
inline std::int64_t total_key(double x) noexcept {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits < 0 ? bits ^ INT64_MAX : bits;
}

// The edge with the smallest value: edge 1 only when strictly smaller than edge
// 0, edge 2 only when strictly smaller than both.
inline int smallest_edge(const std::array<double, 3>& o) noexcept {
  int f = 0;
  if (total_key(o[1]) < total_key(o[0])) f = 1;
  if (total_key(o[2]) < total_key(o[f])) f = 2;
  return f;
}

inline Point2 minus(const Point2& a, const Point2& b) noexcept { return {a[0] - b[0], a[1] - b[1]}; }

}  // namespace

Vertex Triangulation::add_point(Point2 p, bool is_boundary) {
  const auto k = static_cast<Vertex>(points.size());
  const double a = jitter_amplitude;
  points.push_back(p);
  jittered.push_back({p[0] + hash_jitter(k, kJitterSaltX) * a, p[1] + hash_jitter(k, kJitterSaltY) * a});
  boundary.push_back(is_boundary);
  return k;
}

Slot Triangulation::alloc_triangle() {
  if (!free.empty()) {
    const Slot s = free.back();
    free.pop_back();
    inside[static_cast<std::size_t>(s)] = false;
    return s;
  }
  triangles.emplace_back();
  inside.push_back(false);
  return static_cast<Slot>(triangles.size() - 1);
}

void Triangulation::kill(Slot s) {
  tri(s).dead = true;
  free.push_back(s);
}

Slot Triangulation::first_live() const noexcept {
  for (std::size_t s = 0; s < triangles.size(); ++s)
    if (!triangles[s].dead) return static_cast<Slot>(s);
  return -1;
}

std::array<double, 3> Triangulation::edge_values(const Triangle& t, const Point2& q) const {
  const Point2& a = jittered[t.v[0]];
  const Point2& b = jittered[t.v[1]];
  const Point2& c = jittered[t.v[2]];
  return {orient2d(a, b, q), orient2d(b, c, q), orient2d(c, a, q)};
}

Slot Triangulation::locate(Slot start, const Point2& q, std::array<double, 3>* values) const {
  const std::size_t n_slots = triangles.size();
  Slot t = live(start) ? start : first_live();
  const std::size_t max_visits = 4 * n_slots + 64;
  for (std::size_t visit = 0; visit < max_visits; ++visit) {
    if (!live(t)) {
      t = first_live();
      if (t < 0) return t;
      continue;
    }
    const Triangle& tr = tri(t);
    const auto o = edge_values(tr, q);
    const int f = o[0] >= 0.0 && o[1] >= 0.0 && o[2] >= 0.0 ? -1 : smallest_edge(o);
    if (f < 0 || tr.n[f] < 0) {
      if (values) *values = o;
      return t;
    }
    t = tr.n[f];
  }
  // The walk cycled (it cannot on exact predicates over a valid triangulation):
  // take the first triangle that contains q up to a small tolerance.
  for (std::size_t s = 0; s < n_slots; ++s) {
    if (triangles[s].dead) continue;
    const auto o = edge_values(triangles[s], q);
    if (o[0] >= -1e-12 && o[1] >= -1e-12 && o[2] >= -1e-12) {
      if (values) *values = o;
      return static_cast<Slot>(s);
    }
  }
  if (values && live(t)) *values = edge_values(tri(t), q);
  return t;
}

std::array<Slot, 3> Triangulation::split_triangle(Slot t, Vertex k) {
  const Triangle old = tri(t);
  const Vertex a = old.v[0], b = old.v[1], c = old.v[2];
  const Slot s1 = alloc_triangle();
  const Slot s2 = alloc_triangle();
  Triangle& T = tri(t);
  T.v = {a, b, k};
  T.n = {old.n[0], s1, s2};
  T.c = {old.c[0], false, false};
  Triangle& S1 = tri(s1);
  S1.v = {b, c, k};
  S1.n = {old.n[1], s2, t};
  S1.c = {old.c[1], false, false};
  S1.dead = false;
  Triangle& S2 = tri(s2);
  S2.v = {c, a, k};
  S2.n = {old.n[2], t, s1};
  S2.c = {old.c[2], false, false};
  S2.dead = false;
  relink(old.n[1], b, c, s1);
  relink(old.n[2], c, a, s2);
  return {t, s1, s2};
}

std::array<Slot, 4> Triangulation::split_edge_2(Slot t, int f, Vertex k) {
  const Triangle tt = tri(t);
  const Vertex H = tt.v[f], U = tt.v[next3(f)], At = tt.v[prev3(f)];
  const Slot g = tt.n[f];
  const int fg = live(g) ? find_edge(g, U, H) : -1;
  QUENLITH_VERIFY(fg >= 0, "split_edge_2: inconsistent adjacency");
  const Triangle gg = tri(g);
  const Vertex Ag = gg.v[prev3(fg)];
  // Outer edges: (U, At) and (At, H) of t; (H, Ag) and (Ag, U) of g.
  const Slot l_UAt = tt.n[next3(f)], l_AtH = tt.n[prev3(f)];
  const bool c_UAt = tt.c[next3(f)], c_AtH = tt.c[prev3(f)];
  const Slot l_HAg = gg.n[next3(fg)], l_AgU = gg.n[prev3(fg)];
  const bool c_HAg = gg.c[next3(fg)], c_AgU = gg.c[prev3(fg)];
  kill(t);
  kill(g);
  const Slot h = alloc_triangle();
  const Slot l = alloc_triangle();
  const Slot p = alloc_triangle();
  const Slot o = alloc_triangle();
  tri(h) = Triangle{{H, k, At}, {o, l, l_AtH}, {false, false, c_AtH}, false};
  tri(l) = Triangle{{k, U, At}, {p, l_UAt, h}, {false, c_UAt, false}, false};
  tri(p) = Triangle{{U, k, Ag}, {l, o, l_AgU}, {false, false, c_AgU}, false};
  tri(o) = Triangle{{k, H, Ag}, {h, l_HAg, p}, {false, c_HAg, false}, false};
  relink(l_AtH, At, H, h);
  relink(l_UAt, U, At, l);
  relink(l_AgU, Ag, U, p);
  relink(l_HAg, H, Ag, o);
  return {h, l, p, o};
}

std::array<Slot, 2> Triangulation::flip_edge(Slot t, int e) {
  const Triangle tt = tri(t);
  const Vertex a = tt.v[e], d = tt.v[next3(e)], f = tt.v[prev3(e)];
  const Slot u = tt.n[e];
  const int eu = live(u) ? find_edge(u, d, a) : -1;
  QUENLITH_VERIFY(eu >= 0, "flip_edge: inconsistent adjacency");
  const Triangle uu = tri(u);
  const Vertex o = uu.v[prev3(eu)];
  // Kept: (f, a) and (d, f) of t; (a, o) and (o, d) of u.
  const Slot l_fa = tt.n[prev3(e)], l_df = tt.n[next3(e)];
  const bool c_fa = tt.c[prev3(e)], c_df = tt.c[next3(e)];
  const Slot l_ao = uu.n[next3(eu)], l_od = uu.n[prev3(eu)];
  const bool c_ao = uu.c[next3(eu)], c_od = uu.c[prev3(eu)];
  tri(t) = Triangle{{f, a, o}, {l_fa, l_ao, u}, {c_fa, c_ao, false}, false};
  tri(u) = Triangle{{f, o, d}, {t, l_od, l_df}, {false, c_od, c_df}, false};
  relink(l_ao, a, o, t);
  relink(l_df, d, f, u);
  return {t, u};
}

const std::vector<Slot>& Triangulation::insert_point(Vertex k, Slot start, const store::InterruptCheck& interrupt) {
  interrupt();
  const Point2 q = jittered[k];
  std::array<double, 3> o{};
  const Slot t = locate(start, q, &o);
  QUENLITH_VERIFY(t >= 0, "triangulate_surface: internal error: no triangle to insert into");
  const int f = smallest_edge(o);
  std::vector<Slot>& touched = touched_;
  touched.clear();
  if (std::min({o[0], o[1], o[2]}) > 0.0 || tri(t).n[f] < 0 || tri(t).c[f]) {
    const auto s = split_triangle(t, k);
    touched.assign(s.begin(), s.end());
  } else {
    const auto s = split_edge_2(t, f, k);
    touched.assign(s.begin(), s.end());
  }
  // Membership of the touched list, O(1) per test: a stamp per slot.
  if (touch_stamp_.size() < triangles.size()) touch_stamp_.resize(triangles.size() + triangles.size() / 2 + 16, 0);
  if (++touch_epoch_ == 0) {
    std::fill(touch_stamp_.begin(), touch_stamp_.end(), 0);
    touch_epoch_ = 1;
  }
  for (Slot s : touched) touch_stamp_[static_cast<std::size_t>(s)] = touch_epoch_;
  std::vector<Slot>& stack = stack_;
  stack.assign(touched.begin(), touched.end());
  const std::size_t max_taken = 8 * triangles.size() + 256;
  const Point2& pk = points[k];
  const Point2& jk = jittered[k];
  for (std::size_t taken = 0; taken < max_taken && !stack.empty(); ++taken) {
    const Slot s = stack.back();
    stack.pop_back();
    if (!live(s)) continue;
    const Triangle& ts = tri(s);
    int e;
    if (ts.v[0] == k) e = 1;
    else if (ts.v[1] == k) e = 2;
    else if (ts.v[2] == k) e = 0;
    else continue;
    const Vertex X = ts.v[e], Y = ts.v[next3(e)];
    if (ts.c[e] || ts.n[e] < 0) continue;
    const Slot u = ts.n[e];
    if (!live(u)) continue;
    const int eu = find_edge(u, Y, X);
    if (eu < 0) continue;
    const Vertex W = tri(u).v[prev3(eu)];
    if (!(incircle(jittered[X], jittered[Y], jk, jittered[W]) > 0.0)) continue;
    if (!(orient2d(pk, points[X], points[W]) > 0.0 && orient2d(pk, points[W], points[Y]) > 0.0)) continue;
    const auto [a, b] = flip_edge(s, e);
    if (touch_stamp_.size() < triangles.size()) touch_stamp_.resize(triangles.size() + 16, 0);
    for (Slot x : {a, b}) {
      if (touch_stamp_[static_cast<std::size_t>(x)] != touch_epoch_) {
        touch_stamp_[static_cast<std::size_t>(x)] = touch_epoch_;
        touched.push_back(x);
      }
    }
    stack.push_back(a);
    stack.push_back(b);
  }
  hint = touched.back();
  return touched;
}

void Triangulation::link_triangles() {
  const EdgeTable edges = EdgeTable::of_live(triangles);
  for (Triangle& t : triangles) {
    if (t.dead) continue;
    for (int k = 0; k < 3; ++k) t.n[k] = static_cast<Slot>(edges.last(t.v[next3(k)], t.v[k]));
  }
}

EdgeTable EdgeTable::of_live(const std::vector<Triangle>& triangles) {
  EdgeTable table;
  table.reserve(3 * triangles.size());
  for (std::size_t s = 0; s < triangles.size(); ++s) {
    const Triangle& t = triangles[s];
    if (t.dead) continue;
    for (int k = 0; k < 3; ++k) table.add(t.v[k], t.v[next3(k)], static_cast<std::uint32_t>(s));
  }
  table.finish();
  return table;
}

void EdgeTable::finish() {
  Vertex n = 0;
  for (const Added& e : added_) n = std::max(n, e.a + 1);
  offset_.assign(std::size_t{n} + 1, 0);
  for (const Added& e : added_) ++offset_[e.a + 1];
  for (std::size_t v = 0; v < n; ++v) offset_[v + 1] += offset_[v];
  entries_.resize(added_.size());
  std::vector<std::size_t> fill(offset_.begin(), offset_.end() - 1);
  for (const Added& e : added_) entries_[fill[e.a]++] = {e.b, e.index};
  added_.clear();
  added_.shrink_to_fit();
}

std::int64_t EdgeTable::first(Vertex a, Vertex b) const noexcept {
  if (std::size_t{a} + 1 >= offset_.size()) return -1;
  for (std::size_t i = offset_[a]; i < offset_[a + 1]; ++i)
    if (entries_[i].b == b) return entries_[i].index;
  return -1;
}

std::int64_t EdgeTable::last(Vertex a, Vertex b) const noexcept {
  if (std::size_t{a} + 1 >= offset_.size()) return -1;
  for (std::size_t i = offset_[a + 1]; i > offset_[a]; --i)
    if (entries_[i - 1].b == b) return entries_[i - 1].index;
  return -1;
}

double max_cosine(const Point2& p0, const Point2& p1, const Point2& p2) noexcept {
  const Point2 d01 = minus(p1, p0), d12 = minus(p2, p1), d20 = minus(p0, p2);
  const double l01 = std::sqrt(d01[0] * d01[0] + d01[1] * d01[1]);
  const double l12 = std::sqrt(d12[0] * d12[0] + d12[1] * d12[1]);
  const double l20 = std::sqrt(d20[0] * d20[0] + d20[1] * d20[1]);
  if (l01 == 0.0 || l12 == 0.0 || l20 == 0.0) return 1.0;
  auto clamp = [](double c) { return c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c); };
  const double cos0 = clamp((l01 * l01 + l20 * l20 - l12 * l12) / (2.0 * l01 * l20));
  const double cos1 = clamp((l12 * l12 + l01 * l01 - l20 * l20) / (2.0 * l01 * l12));
  const double cos2 = clamp((l12 * l12 + l20 * l20 - l01 * l01) / (2.0 * l12 * l20));
  return std::max({cos0, cos1, cos2});
}

double min_angle(const Point2& p0, const Point2& p1, const Point2& p2) noexcept {
  return std::acos(max_cosine(p0, p1, p2));  // acos(1) is exactly 0
}

}  // namespace quenlith::ops::mesher::tri
