#include "ops/mesher/volume/intersect.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel/pool.hpp"

namespace quenlith::ops::mesher::vol {

namespace {

// The axis to drop so that the plane of (a, b, c) projects one to one, or -1
// for a degenerate (collinear) triangle. Exact: the projected orientation is
// tested, not the computed normal.
int projection_axis(const Point3& a, const Point3& b, const Point3& c) {
  const double nx = (b[1] - a[1]) * (c[2] - a[2]) - (b[2] - a[2]) * (c[1] - a[1]);
  const double ny = (b[2] - a[2]) * (c[0] - a[0]) - (b[0] - a[0]) * (c[2] - a[2]);
  const double nz = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
  std::array<int, 3> order{0, 1, 2};
  const std::array<double, 3> size{std::fabs(nx), std::fabs(ny), std::fabs(nz)};
  std::stable_sort(order.begin(), order.end(), [&](int i, int j) { return size[i] > size[j]; });
  for (int d : order) {
    const int i = (d + 1) % 3, j = (d + 2) % 3;
    if (orient2d({a[i], a[j]}, {b[i], b[j]}, {c[i], c[j]}) != 0.0) return d;
  }
  return -1;
}

Point2 drop(const Point3& p, int d) { return {p[(d + 1) % 3], p[(d + 2) % 3]}; }

// Whether c lies on the closed segment ab, given that the three are collinear.
bool within(const Point2& a, const Point2& b, const Point2& c) {
  for (int k = 0; k < 2; ++k)
    if (a[k] != b[k]) return std::min(a[k], b[k]) <= c[k] && c[k] <= std::max(a[k], b[k]);
  return a == c;
}

bool segments_meet(const Point2& p, const Point2& q, const Point2& u, const Point2& v) {
  const double o1 = orient2d(p, q, u), o2 = orient2d(p, q, v), o3 = orient2d(u, v, p), o4 = orient2d(u, v, q);
  if (((o1 > 0.0 && o2 < 0.0) || (o1 < 0.0 && o2 > 0.0)) && ((o3 > 0.0 && o4 < 0.0) || (o3 < 0.0 && o4 > 0.0)))
    return true;
  return (o1 == 0.0 && within(p, q, u)) || (o2 == 0.0 && within(p, q, v)) || (o3 == 0.0 && within(u, v, p)) ||
         (o4 == 0.0 && within(u, v, q));
}

bool in_closed_triangle(const Point2& p, const Point2& a, const Point2& b, const Point2& c) {
  const double o1 = orient2d(a, b, p), o2 = orient2d(b, c, p), o3 = orient2d(c, a, p);
  return (o1 >= 0.0 && o2 >= 0.0 && o3 >= 0.0) || (o1 <= 0.0 && o2 <= 0.0 && o3 <= 0.0);
}

// The closed segment pq and the closed triangle abc, all in one plane.
bool coplanar_segment_meets(const Point3& p, const Point3& q, const Point3& a, const Point3& b, const Point3& c) {
  int d = projection_axis(a, b, c);
  if (d < 0) {  // a flat triangle: its edges
    d = projection_axis(p, q, a);
    if (d < 0) d = projection_axis(p, q, b);
    if (d < 0) d = projection_axis(p, q, c);
    if (d < 0) d = 0;  // everything on one line: any projection that keeps the line apart will do
  }
  const Point2 P = drop(p, d), Q = drop(q, d), A = drop(a, d), B = drop(b, d), C = drop(c, d);
  if (in_closed_triangle(P, A, B, C) && orient2d(A, B, C) != 0.0) return true;
  return segments_meet(P, Q, A, B) || segments_meet(P, Q, B, C) || segments_meet(P, Q, C, A);
}

// Whether the ray from v through x enters the closed angle of the triangle
// (v, c, d) at v, all four points in one plane.
bool ray_in_angle(const Point3& v, const Point3& c, const Point3& d, const Point3& x) {
  const int axis = projection_axis(v, c, d);
  if (axis < 0) return false;
  const Point2 V = drop(v, axis), C = drop(c, axis), D = drop(d, axis), X = drop(x, axis);
  const double s = orient2d(V, C, D) > 0.0 ? 1.0 : -1.0;
  const double o1 = s * orient2d(V, C, X), o2 = s * orient2d(V, X, D);
  if (o1 < 0.0 || o2 < 0.0) return false;
  if (o1 > 0.0 && o2 > 0.0) return true;
  // Along one side of the angle: the same direction, not the opposite one.
  const Point2& side = o1 == 0.0 ? C : D;
  for (int k = 0; k < 2; ++k)
    if (side[k] != V[k]) return (side[k] > V[k]) == (X[k] > V[k]) && X[k] != V[k];
  return false;
}

}  // namespace

bool segment_meets_closed_triangle(const Point3& p, const Point3& q, const Point3& t0, const Point3& t1,
                                   const Point3& t2) {
  const double sp = orient3d_sign(t0, t1, t2, p), sq = orient3d_sign(t0, t1, t2, q);
  if ((sp > 0.0 && sq > 0.0) || (sp < 0.0 && sq < 0.0)) return false;
  if (sp == 0.0 && sq == 0.0) return coplanar_segment_meets(p, q, t0, t1, t2);
  const double e0 = orient3d_sign(p, q, t0, t1), e1 = orient3d_sign(p, q, t1, t2), e2 = orient3d_sign(p, q, t2, t0);
  return (e0 >= 0.0 && e1 >= 0.0 && e2 >= 0.0) || (e0 <= 0.0 && e1 <= 0.0 && e2 <= 0.0);
}

bool faces_intersect(std::span<const Point3> pts, const Tri& f, const Tri& g) {
  std::array<PointIndex, 3> shared{};
  int n = 0;
  for (PointIndex x : f)
    if (x == g[0] || x == g[1] || x == g[2]) shared[static_cast<std::size_t>(n++)] = x;
  auto other = [&](const Tri& t, std::array<PointIndex, 2>& out) {
    int k = 0;
    for (PointIndex x : t)
      if (std::find(shared.begin(), shared.begin() + n, x) == shared.begin() + n) out[static_cast<std::size_t>(k++)] = x;
  };
  if (n == 3) return true;  // the same triangle twice
  if (n == 2) {
    // Only a fold onto each other: both far vertices in the plane, on the
    // same side of the shared edge.
    std::array<PointIndex, 2> x{}, y{};
    other(f, x);
    other(g, y);
    const Point3 &a = pts[shared[0]], &b = pts[shared[1]], &c = pts[x[0]], &d = pts[y[0]];
    if (orient3d_sign(a, b, c, d) != 0.0) return false;
    const int axis = projection_axis(a, b, c);
    if (axis < 0) return true;  // a flat face lying along its neighbour
    const double s1 = orient2d(drop(a, axis), drop(b, axis), drop(c, axis));
    const double s2 = orient2d(drop(a, axis), drop(b, axis), drop(d, axis));
    return (s1 > 0.0) == (s2 > 0.0) || s2 == 0.0;
  }
  const Point3 &f0 = pts[f[0]], &f1 = pts[f[1]], &f2 = pts[f[2]];
  const Point3 &g0 = pts[g[0]], &g1 = pts[g[1]], &g2 = pts[g[2]];
  if (n == 1) {
    std::array<PointIndex, 2> x{}, y{};
    other(f, x);
    other(g, y);
    const Point3& v = pts[shared[0]];
    if (segment_meets_closed_triangle(pts[x[0]], pts[x[1]], g0, g1, g2)) return true;
    if (segment_meets_closed_triangle(pts[y[0]], pts[y[1]], f0, f1, f2)) return true;
    // An edge from the shared vertex running into the other face.
    for (PointIndex e : x)
      if (orient3d_sign(v, pts[y[0]], pts[y[1]], pts[e]) == 0.0 && ray_in_angle(v, pts[y[0]], pts[y[1]], pts[e]))
        return true;
    for (PointIndex e : y)
      if (orient3d_sign(v, pts[x[0]], pts[x[1]], pts[e]) == 0.0 && ray_in_angle(v, pts[x[0]], pts[x[1]], pts[e]))
        return true;
    return false;
  }
  return segment_meets_closed_triangle(f0, f1, g0, g1, g2) || segment_meets_closed_triangle(f1, f2, g0, g1, g2) ||
         segment_meets_closed_triangle(f2, f0, g0, g1, g2) || segment_meets_closed_triangle(g0, g1, f0, f1, f2) ||
         segment_meets_closed_triangle(g1, g2, f0, f1, f2) || segment_meets_closed_triangle(g2, g0, f0, f1, f2);
}

std::optional<std::pair<std::size_t, std::size_t>> find_self_intersection(std::span<const Point3> pts,
                                                                           std::span<const Tri> faces) {
  struct Box {
    Point3 lo, hi;
  };
  std::vector<Box> boxes(faces.size());
  for (std::size_t i = 0; i < faces.size(); ++i) {
    Box& b = boxes[i];
    b.lo = b.hi = pts[faces[i][0]];
    for (int v = 1; v < 3; ++v)
      for (int d = 0; d < 3; ++d) {
        b.lo[d] = std::min(b.lo[d], pts[faces[i][v]][d]);
        b.hi[d] = std::max(b.hi[d], pts[faces[i][v]][d]);
      }
  }
  // Sweep along x: each face meets the faces after it in box order whose box
  // starts before its own ends.
  std::vector<std::size_t> order(faces.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
    return boxes[i].lo[0] < boxes[j].lo[0] || (boxes[i].lo[0] == boxes[j].lo[0] && i < j);
  });
  // Each face's sweep is independent: the faces run in parallel, each
  // keeping the smallest intersecting pair it finds, and the smallest of
  // those is the answer (the same pair for any number of threads).
  using Pair = std::pair<std::size_t, std::size_t>;
  constexpr Pair kNone{std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max()};
  std::vector<Pair> found(order.size(), kNone);
  parallel::for_chunks(order.size(), 64, [&](parallel::Index begin, parallel::Index end) {
    for (std::size_t a = begin; a < end; ++a) {
      const Box& A = boxes[order[a]];
      Pair& first = found[a];
      for (std::size_t b = a + 1; b < order.size() && boxes[order[b]].lo[0] <= A.hi[0]; ++b) {
        const Box& B = boxes[order[b]];
        if (B.lo[1] > A.hi[1] || A.lo[1] > B.hi[1] || B.lo[2] > A.hi[2] || A.lo[2] > B.hi[2]) continue;
        const std::size_t i = std::min(order[a], order[b]), j = std::max(order[a], order[b]);
        if (Pair{i, j} >= first) continue;
        if (faces_intersect(pts, faces[i], faces[j])) first = Pair{i, j};
      }
    }
  });
  std::optional<Pair> first;
  const Pair smallest = *std::min_element(found.begin(), found.end());
  if (smallest != kNone) first = smallest;
  return first;
}

}  // namespace quenlith::ops::mesher::vol
