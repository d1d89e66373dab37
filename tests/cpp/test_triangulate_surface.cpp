// The surface mesher's internals: insertion invariants, the indexed boundary
// recovery against its literal (scanning) form, the refinement's end state, the
// interruption path and the independence from the number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "ops/mesher/triangulate_surface/improve.hpp"
#include "ops/mesher/triangulate_surface/refine.hpp"
#include "ops/mesher/triangulate_surface/triangulate_surface.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::ops::mesher;
using namespace quenlith::ops::mesher::tri;
using quenlith::Error;
using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::ElementType;
using quenlith::containers::mesh::Mesh;
using quenlith::containers::mesh::NodeId;
using quenlith::containers::mesh::SubMesh;
using quenlith::store::Handle;
using quenlith::store::InterruptCheck;
namespace store = quenlith::store;

const InterruptCheck kNever;

// ---------------------------------------------------------------------------
// Fixtures: loops of points.

std::vector<Point2> regular(int n, double r, double cx = 0.0, double cy = 0.0, bool clockwise = false) {
  std::vector<Point2> out;
  for (int i = 0; i < n; ++i) {
    const double t = 2.0 * M_PI * i / n * (clockwise ? -1.0 : 1.0);
    out.push_back({cx + r * std::cos(t), cy + r * std::sin(t)});
  }
  return out;
}

std::vector<Point2> rect(double x0, double y0, double x1, double y1, int per_side, bool clockwise = false) {
  std::vector<Point2> out;
  const Point2 corners[4] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  for (int c = 0; c < 4; ++c) {
    const Point2 a = corners[c], b = corners[(c + 1) % 4];
    for (int i = 0; i < per_side; ++i) {
      const double t = double(i) / per_side;
      out.push_back({a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1])});
    }
  }
  if (clockwise) std::reverse(out.begin() + 1, out.end());
  return out;
}

// A star: alternating radii, concave at every other point.
std::vector<Point2> star(int tips, double r_out, double r_in, bool clockwise = false) {
  std::vector<Point2> out;
  for (int i = 0; i < 2 * tips; ++i) {
    const double t = M_PI * i / tips * (clockwise ? -1.0 : 1.0);
    const double r = i % 2 ? r_in : r_out;
    out.push_back({r * std::cos(t), r * std::sin(t)});
  }
  return out;
}

// A comb: long teeth whose segments cross many triangles of the unconstrained
// Delaunay triangulation.
std::vector<Point2> comb(int teeth) {
  std::vector<Point2> out{{0, 0}, {double(2 * teeth), 0}};
  for (int i = teeth - 1; i >= 0; --i) {
    out.push_back({2.0 * i + 1.9, 10.0});
    out.push_back({2.0 * i + 1.0, 0.3});
    out.push_back({2.0 * i + 0.1, 10.0});
  }
  return out;
}

struct DomainCase {
  std::string name;
  std::vector<std::vector<Point2>> loops;  // outer first, then holes
};

std::vector<DomainCase> domain_cases() {
  return {
      {"square", {rect(0, 0, 1, 1, 1)}},
      {"square_with_hole", {rect(0, 0, 4, 4, 4), rect(1.5, 1.5, 2.5, 2.5, 1, true)}},
      {"star_with_hole", {star(7, 3.0, 1.0), regular(5, 0.4, 0.1, 0.05, true)}},
      {"comb", {comb(6)}},
      {"thin_sliver", {{{0, 0}, {10, 0}, {10, 0.01}, {5, 0.02}, {0, 0.01}}}},
      {"cocircular", {regular(24, 1.0), regular(12, 0.5, 0, 0, true)}},
      {"diagonal", {{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {2, 3}, {1, 2}, {0, 1}}}},
      {"rotated_square_grid", {{{0, -2}, {1, -1}, {2, 0}, {1, 1}, {0, 2}, {-1, 1}, {-2, 0}, {-1, -1}}}},
  };
}

struct FlatDomain {
  std::vector<Point2> points;
  std::vector<LoopRange> ranges;
};

FlatDomain flatten(const DomainCase& c) {
  FlatDomain d;
  for (const auto& loop : c.loops) {
    d.ranges.push_back({Vertex(d.points.size()), Vertex(loop.size())});
    d.points.insert(d.points.end(), loop.begin(), loop.end());
  }
  return d;
}

// ---------------------------------------------------------------------------
// Invariant checks.

void expect_valid(const Triangulation& tr, const std::string& where) {
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    const Triangle& t = tr.triangles[s];
    if (t.dead) continue;
    ASSERT_GT(orient2d(tr.jittered[t.v[0]], tr.jittered[t.v[1]], tr.jittered[t.v[2]]), 0.0) << where << " slot " << s;
    for (int k = 0; k < 3; ++k) {
      const Slot u = t.n[k];
      if (u < 0) continue;
      ASSERT_TRUE(tr.live(u)) << where << " slot " << s;
      const int back = tr.find_edge(u, t.v[next3(k)], t.v[k]);
      ASSERT_GE(back, 0) << where << " slot " << s;
      ASSERT_EQ(tr.tri(u).n[back], Slot(s)) << where << " slot " << s;
      ASSERT_EQ(tr.tri(u).c[back], t.c[k]) << where << " slot " << s;
    }
  }
  std::vector<int> on_free(tr.slot_count(), 0);
  for (Slot s : tr.free) ++on_free[std::size_t(s)];
  for (std::size_t s = 0; s < tr.slot_count(); ++s) ASSERT_EQ(on_free[s], tr.triangles[s].dead ? 1 : 0) << where;
}

// ---------------------------------------------------------------------------
// Insertion.

class InsertionInvariants : public ::testing::TestWithParam<int> {};

TEST_P(InsertionInvariants, EveryInsertionKeepsTheStructureValid) {
  // Point sets that stress ties: a grid (cocircular squares, points on lines),
  // points on the diagonal x = y, repeated points and random points.
  std::vector<Point2> pts;
  std::mt19937_64 rng(GetParam());
  std::uniform_real_distribution<double> u(0.0, 1.0);
  switch (GetParam()) {
    case 0:
      for (int i = 0; i < 12; ++i)
        for (int j = 0; j < 12; ++j) pts.push_back({double(i), double(j)});
      break;
    case 1:
      for (int i = 0; i < 100; ++i) pts.push_back({i * 0.01, i * 0.01});
      for (int i = 0; i < 50; ++i) pts.push_back({u(rng), u(rng)});
      break;
    case 2:
      for (int i = 0; i < 60; ++i) pts.push_back({std::floor(u(rng) * 4), std::floor(u(rng) * 4)});
      break;
    default:
      for (int i = 0; i < 500; ++i) pts.push_back({u(rng), u(rng)});
  }
  Triangulation tr;
  start_domain(tr, std::vector<Point2>(pts.begin(), pts.begin() + 3), kNever);
  // start_domain inserted the first three; insert the rest one by one, checking.
  // (Further points are added after the super vertices, like refinement points.)
  for (std::size_t i = 3; i < pts.size(); ++i) {
    const Vertex k = tr.add_point(pts[i], false);
    tr.insert_point(k, tr.hint, kNever);
    expect_valid(tr, "after point " + std::to_string(i));
    if (HasFatalFailure()) return;
  }
  std::size_t live = 0;
  for (const Triangle& t : tr.triangles) live += !t.dead;
  EXPECT_EQ(live, 2 * tr.points.size() - 3 - 2);  // 2n - h - 2 with the 3 super vertices as hull
}

INSTANTIATE_TEST_SUITE_P(PointSets, InsertionInvariants, ::testing::Values(0, 1, 2, 3));

TEST(Insertion, CocircularSquareDiagonalDependsOnlyOnThePerturbation) {
  const std::vector<Point2> square{{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  Triangulation a, b;
  start_domain(a, square, kNever);
  start_domain(b, square, kNever);
  ASSERT_EQ(a.triangles.size(), b.triangles.size());
  for (std::size_t s = 0; s < a.triangles.size(); ++s) EXPECT_EQ(a.triangles[s].v, b.triangles[s].v);
}

// ---------------------------------------------------------------------------
// The literal form of the recovery and marking phases: every scan as written,
// a full link rebuild after each recovered segment.

void literal_build(Triangulation& tr, const FlatDomain& d) {
  start_domain(tr, d.points, kNever);
  const std::vector<Segment> segments = boundary_segments(d.ranges);
  for (const Segment& seg : segments) {
    std::vector<Slot> slots_of_a;
    for (std::size_t s = 0; s < tr.slot_count(); ++s) {
      const Triangle& t = tr.triangles[s];
      if (!t.dead && (t.v[0] == seg[0] || t.v[1] == seg[0] || t.v[2] == seg[0])) slots_of_a.push_back(Slot(s));
    }
    if (recover_segment(tr, seg[0], seg[1], slots_of_a).needed) tr.link_triangles();
  }
  tr.link_triangles();
  for (const Segment& seg : segments) {
    Slot t1 = -1, t2 = -1;
    for (std::size_t s = 0; s < tr.slot_count(); ++s) {
      if (tr.triangles[s].dead) continue;
      if (t1 < 0 && tr.find_edge(Slot(s), seg[0], seg[1]) >= 0) t1 = Slot(s);
      if (t2 < 0 && tr.find_edge(Slot(s), seg[1], seg[0]) >= 0) t2 = Slot(s);
    }
    if (t1 < 0 || t2 < 0) throw Error::message("triangulate_surface: internal error recovering a boundary edge");
    tr.tri(t1).c[tr.find_edge(t1, seg[0], seg[1])] = true;
    tr.tri(t2).c[tr.find_edge(t2, seg[1], seg[0])] = true;
  }
  remove_super_triangle(tr);
  tr.link_triangles();
  lawson_pass(tr);
  mark_interior(tr, kNever);
}

void expect_same(const Triangulation& a, const Triangulation& b) {
  ASSERT_EQ(a.triangles.size(), b.triangles.size());
  for (std::size_t s = 0; s < a.triangles.size(); ++s) {
    const Triangle &x = a.triangles[s], &y = b.triangles[s];
    ASSERT_EQ(x.dead, y.dead) << "slot " << s;
    if (x.dead) continue;
    EXPECT_EQ(x.v, y.v) << "slot " << s;
    EXPECT_EQ(x.n, y.n) << "slot " << s;
    EXPECT_EQ(x.c, y.c) << "slot " << s;
    EXPECT_EQ(bool(a.inside[s]), bool(b.inside[s])) << "slot " << s;
  }
  EXPECT_EQ(a.free, b.free);
}

class Recovery : public ::testing::TestWithParam<DomainCase> {};

TEST_P(Recovery, IndexedRecoveryEqualsTheLiteralOne) {
  const FlatDomain d = flatten(GetParam());
  Triangulation fast, literal;
  build_constrained(fast, d.points, d.ranges, kNever);
  literal_build(literal, d);
  expect_same(fast, literal);
  expect_valid(fast, GetParam().name);
  // Refinement and the last stage then see the same structure: same output.
  std::vector<std::vector<Triple>> triangles;
  std::vector<std::vector<Point2>> points;
  for (Triangulation* tr : {&fast, &literal}) {
    refine_ruppert(*tr, 0.5, kNever);
    InsideMesh mesh(*tr);
    improve(mesh, kNever);
    triangles.push_back(mesh.triangles_by_rank());
    points.push_back(mesh.points_by_index());
  }
  EXPECT_EQ(triangles[0], triangles[1]);
  EXPECT_EQ(points[0], points[1]);
}

TEST_P(Recovery, InsideTrianglesTileTheDomainWithEveryBoundaryEdge) {
  const FlatDomain d = flatten(GetParam());
  Triangulation tr;
  build_constrained(tr, d.points, d.ranges, kNever);
  double area = 0.0;
  for (const auto& loop : GetParam().loops)
    for (std::size_t i = 0; i < loop.size(); ++i) {
      const Point2 &a = loop[i], &b = loop[(i + 1) % loop.size()];
      area += 0.5 * (a[0] * b[1] - a[1] * b[0]);
    }
  double covered = 0.0;
  for (const Triple& t : final_triangles(tr)) {
    const double a2 = orient2d(tr.points[t[0]], tr.points[t[1]], tr.points[t[2]]);
    EXPECT_GT(a2, 0.0);
    covered += 0.5 * a2;
  }
  EXPECT_NEAR(covered, area, 1e-12 * std::fabs(area));
  // Each directed boundary segment is an edge of exactly one inside triangle.
  for (const Segment& seg : boundary_segments(d.ranges)) {
    int count = 0;
    for (const Triple& t : final_triangles(tr))
      for (int k = 0; k < 3; ++k) count += t[k] == seg[0] && t[next3(k)] == seg[1];
    EXPECT_EQ(count, 1) << seg[0] << "->" << seg[1];
  }
}

INSTANTIATE_TEST_SUITE_P(Domains, Recovery, ::testing::ValuesIn(domain_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(Recovery, ASegmentCrossingOneEdgeIsTheFlipOfThatEdge) {
  // A convex quadrilateral whose Delaunay diagonal is 1-3, with the loop
  // starting so that the segments are already edges: nothing to recover, two
  // inside triangles.
  const std::vector<Point2> kite{{0, 0}, {4, -1}, {8, 0}, {4, 1}};
  Triangulation tr;
  const std::vector<LoopRange> ranges{{0, 4}};
  build_constrained(tr, kite, ranges, kNever);
  EXPECT_EQ(final_triangles(tr).size(), 2u);
}

TEST(Recovery, ChainPolygonTriangulationEmitsEars) {
  Triangulation tr;
  tr.jitter_amplitude = 0.0;
  for (const Point2& p : std::vector<Point2>{{0, 0}, {2, 0}, {2, 2}, {1, 0.5}, {0, 2}}) tr.add_point(p, true);
  const std::vector<Vertex> chain{0, 1, 2, 3, 4};
  const auto tris = triangulate_polygon(tr, chain);
  ASSERT_EQ(tris.size(), 3u);
  for (const Triple& t : tris) EXPECT_GT(orient2d(tr.points[t[0]], tr.points[t[1]], tr.points[t[2]]), 0.0);
  // A clockwise chain is reversed first.
  const std::vector<Vertex> cw{4, 3, 2, 1, 0};
  EXPECT_EQ(triangulate_polygon(tr, cw).size(), 3u);
}

// ---------------------------------------------------------------------------
// Refinement.

TEST_P(Recovery, AfterRefinementEveryBadTriangleHasAGiveUpReason) {
  const FlatDomain d = flatten(GetParam());
  Triangulation tr;
  build_constrained(tr, d.points, d.ranges, kNever);
  double extent = 0.0;
  for (const Point2& p : d.points) extent = std::max({extent, std::fabs(p[0]), std::fabs(p[1])});
  const double h = extent / 8.0;
  std::vector<GiveUp> reasons;
  refine_ruppert(tr, h, kNever, &reasons);
  expect_valid(tr, "refined");
  ASSERT_EQ(reasons.size(), tr.slot_count());
  int bad = 0;
  for (std::size_t s = 0; s < tr.slot_count(); ++s) {
    if (tr.triangles[s].dead || !tr.inside[s] || !is_bad(tr, tr.triangles[s], h)) continue;
    EXPECT_NE(reasons[s], GiveUp::None) << "slot " << s;
    ++bad;
  }
  // Every point refinement added is inside the domain and no boundary point moved.
  for (std::size_t k = d.points.size(); k < tr.points.size(); ++k) EXPECT_FALSE(tr.boundary[k]);
  RecordProperty("bad_left", bad);
}

TEST(Refinement, UnitSquareGetsItsCentreAndNothingElse) {
  for (double h : {1.0, 0.1}) {
    Triangulation tr;
    const std::vector<LoopRange> ranges{{0, 4}};
    build_constrained(tr, rect(0, 0, 1, 1, 1), ranges, kNever);
    refine_ruppert(tr, h, kNever);
    ASSERT_EQ(tr.points.size(), 5u) << h;
    EXPECT_EQ(tr.points[4], (Point2{0.5, 0.5}));
    EXPECT_EQ(final_triangles(tr).size(), 4u);
  }
}

TEST(Refinement, SharpButTinyTrianglesAreLeftAlone) {
  Triangulation tr;
  tr.jitter_amplitude = 0.0;
  for (const Point2& p : std::vector<Point2>{{0, 0}, {1e-3, 0}, {0, 1e-4}}) tr.add_point(p, true);
  Triangle t;
  t.v = {0, 1, 2};
  EXPECT_FALSE(is_bad(tr, t, 1.0));   // shortest edge below h / 100
  EXPECT_TRUE(is_bad(tr, t, 0.005));  // now it counts: about 5.7 degrees
  EXPECT_TRUE(is_bad(tr, t, 5e-4));   // too long
}

// The bad-triangle test as first written: three lengths, the longest against h,
// the shortest against h / 100, then the arccos of the largest cosine.
bool literal_is_bad(const Triangulation& tr, const Triangle& t, double h) {
  const Point2 &p0 = tr.points[t.v[0]], &p1 = tr.points[t.v[1]], &p2 = tr.points[t.v[2]];
  auto length = [](const Point2& a, const Point2& b) {
    const double dx = b[0] - a[0], dy = b[1] - a[1];
    return std::sqrt(dx * dx + dy * dy);
  };
  const double l01 = length(p0, p1), l12 = length(p1, p2), l20 = length(p2, p0);
  if (std::max({l01, l12, l20}) > h) return true;
  if (!(std::min({l01, l12, l20}) >= 0.01 * h)) return false;
  return min_angle(p0, p1, p2) < kMinAngle;
}

TEST(Refinement, BadTestEqualsTheLiteralOne) {
  // Random triangles against random sizes, and triangles whose smallest angle is
  // within 1e-6 .. 1e-15 of 20 degrees or whose edges are within an ulp of the
  // size, where the shortcuts of the fast test must hand over to the literal one.
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<std::array<Point2, 3>> triangles;
  std::vector<double> sizes;
  for (int i = 0; i < 20000; ++i) {
    triangles.push_back({Point2{u(rng), u(rng)}, Point2{u(rng), u(rng)}, Point2{u(rng), u(rng)}});
    sizes.push_back(std::exp(3.0 * u(rng)));
  }
  // Isosceles triangles turned about, their apex angle (the smallest) off 20
  // degrees by a given amount, many of them at the scale of the rounding.
  std::vector<std::pair<double, double>> cases;  // (offset of the angle, turn)
  for (double delta : {-1e-6, -1e-9, -1e-11, -1e-13, 0.0, 1e-13, 1e-11, 1e-9, 1e-6})
    for (double turn : {0.0, 0.7, 2.1}) cases.push_back({delta, turn});
  for (int i = 0; i < 2000; ++i) cases.push_back({1e-15 * u(rng), 3.0 * u(rng)});
  for (const auto& [delta, turn] : cases) {
    const double a = kMinAngle + delta;
    const Point2 apex{std::cos(turn), std::sin(turn)};
    const Point2 p1{apex[0] + 2.0 * std::cos(turn + 1.0), apex[1] + 2.0 * std::sin(turn + 1.0)};
    const Point2 p2{apex[0] + 2.0 * std::cos(turn + 1.0 + a), apex[1] + 2.0 * std::sin(turn + 1.0 + a)};
    for (double h : {2.5, 2.0, std::nextafter(2.0, 3.0), std::nextafter(2.0, 1.0)}) {
      triangles.push_back({apex, p1, p2});
      sizes.push_back(h);
    }
  }
  int bad = 0;
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    Triangulation tr;
    tr.jitter_amplitude = 0.0;
    for (const Point2& p : triangles[i]) tr.add_point(p, false);
    Triangle t;
    t.v = {0, 1, 2};
    const bool expected = literal_is_bad(tr, t, sizes[i]);
    EXPECT_EQ(is_bad(tr, t, sizes[i]), expected) << i;
    bad += expected;
  }
  EXPECT_GT(bad, 100);
  EXPECT_LT(bad, int(triangles.size()) - 100);
}

// ---------------------------------------------------------------------------
// The literal forms of the last stage, on the Triangulation itself: every pass
// over every slot, adjacency lists rebuilt each cycle, every move checked
// against the snapshot and the moves that tangle together undone.

void literal_improve_by_flips(Triangulation& tr, int max_passes) {
  const auto& P = tr.points;
  for (int pass = 1; pass <= max_passes; ++pass) {
    bool flipped = false;
    for (std::size_t si = 0; si < tr.slot_count(); ++si) {
      const auto s = Slot(si);
      if (!tr.live(s) || !tr.inside[si]) continue;
      for (int k = 0; k < 3; ++k) {
        const Triangle& t = tr.tri(s);
        if (t.c[k] || t.n[k] < 0) continue;
        const Slot u = t.n[k];
        if (!tr.live(u) || !tr.inside[std::size_t(u)]) continue;
        const Vertex a = t.v[k], b = t.v[next3(k)], c = t.v[prev3(k)];
        const int eu = tr.find_edge(u, b, a);
        if (eu < 0) continue;
        const Vertex d = tr.tri(u).v[prev3(eu)];
        if (!(orient2d(P[c], P[a], P[d]) > 0.0 && orient2d(P[c], P[d], P[b]) > 0.0)) continue;
        const double before = std::min(min_angle(P[a], P[b], P[c]), min_angle(P[b], P[a], P[d]));
        const double after = std::min(min_angle(P[c], P[a], P[d]), min_angle(P[c], P[d], P[b]));
        if (before + 1e-6 < after) {
          tr.flip_edge(s, k);
          flipped = true;
        }
      }
    }
    if (!flipped) break;
  }
}

// Successors and incident triangles of every point, triangle by triangle of F.
struct LiteralAdjacency {
  std::vector<std::vector<Vertex>> succ;
  std::vector<std::vector<std::size_t>> incident;
};

LiteralAdjacency literal_adjacency(std::size_t n_points, const std::vector<Triple>& f) {
  LiteralAdjacency adj{std::vector<std::vector<Vertex>>(n_points), std::vector<std::vector<std::size_t>>(n_points)};
  for (std::size_t i = 0; i < f.size(); ++i)
    for (int k = 0; k < 3; ++k) {
      adj.succ[f[i][k]].push_back(f[i][next3(k)]);
      adj.incident[f[i][k]].push_back(i);
    }
  return adj;
}

// Every move checked against the snapshot alone.
void snapshot_only_sweep(Triangulation& tr, const std::vector<Triple>& f, const LiteralAdjacency& adj) {
  const std::vector<Point2> snap = tr.points;
  for (std::size_t p = 0; p < snap.size(); ++p) {
    if (tr.boundary[p] || adj.succ[p].empty()) continue;
    double sx = 0.0, sy = 0.0;
    for (Vertex q : adj.succ[p]) sx += snap[q][0], sy += snap[q][1];
    const double n = double(adj.succ[p].size());
    const Point2 q{0.5 * (sx / n) + 0.5 * snap[p][0], 0.5 * (sy / n) + 0.5 * snap[p][1]};
    bool ok = true;
    for (std::size_t i : adj.incident[p]) {
      auto at = [&](Vertex v) { return v == p ? q : snap[v]; };
      ok = ok && orient2d(at(f[i][0]), at(f[i][1]), at(f[i][2])) > 0.0;
    }
    if (ok) tr.points[p] = q;
  }
}

// The snapshot-only sweep, then the moved corners of every triangle turned over
// put back, until none is.
void literal_sweep(Triangulation& tr, const std::vector<Triple>& f, const LiteralAdjacency& adj) {
  const std::vector<Point2> snap = tr.points;
  snapshot_only_sweep(tr, f, adj);
  for (;;) {
    std::vector<std::size_t> bad;
    for (std::size_t i = 0; i < f.size(); ++i) {
      bool moved = false;
      for (Vertex v : f[i]) moved = moved || tr.points[v] != snap[v];
      if (moved && !(orient2d(tr.points[f[i][0]], tr.points[f[i][1]], tr.points[f[i][2]]) > 0.0)) bad.push_back(i);
    }
    if (bad.empty()) return;
    for (std::size_t i : bad)
      for (Vertex v : f[i]) tr.points[v] = snap[v];
  }
}

void literal_improve(Triangulation& tr) {
  literal_improve_by_flips(tr, 6);
  for (int cycle = 0; cycle < 3; ++cycle) {
    const std::vector<Triple> f = final_triangles(tr);
    const LiteralAdjacency adj = literal_adjacency(tr.points.size(), f);
    literal_sweep(tr, f, adj);
    literal_sweep(tr, f, adj);
    literal_improve_by_flips(tr, 4);
  }
}

std::pair<std::vector<Quad>, std::vector<Triple>> literal_recombine(const std::vector<Point2>& P,
                                                                   const std::vector<Triple>& f) {
  struct Candidate {
    double quality;
    std::size_t i, j;
    Vertex a, b, c, d;
  };
  auto angle = [](Point2 u, Point2 v) {
    const double nu = std::sqrt(u[0] * u[0] + u[1] * u[1]), nv = std::sqrt(v[0] * v[0] + v[1] * v[1]);
    const double c = (u[0] * v[0] + u[1] * v[1]) / (nu * nv);
    return std::acos(std::clamp(c, -1.0, 1.0));
  };
  auto sub = [](Point2 p, Point2 q) { return Point2{p[0] - q[0], p[1] - q[1]}; };
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < f.size(); ++i)
    for (int k = 0; k < 3; ++k) {
      const Vertex a = f[i][k], b = f[i][next3(k)], c = f[i][prev3(k)];
      std::int64_t j = -1;
      for (std::size_t x = 0; x < f.size(); ++x)
        for (int e = 0; e < 3; ++e)
          if (f[x][e] == b && f[x][next3(e)] == a) j = std::int64_t(x);
      if (j < 0 || std::size_t(j) <= i) continue;
      Vertex d = 0;
      bool found = false;
      for (Vertex v : f[std::size_t(j)])
        if (!found && v != a && v != b) d = v, found = true;
      if (!found) continue;
      if (!(orient2d(P[b], P[c], P[a]) > 0 && orient2d(P[c], P[a], P[d]) > 0 && orient2d(P[a], P[d], P[b]) > 0 &&
            orient2d(P[d], P[b], P[c]) > 0))
        continue;
      const double q = std::min({angle(sub(P[b], P[c]), sub(P[a], P[c])), angle(sub(P[d], P[a]), sub(P[c], P[a])),
                                 angle(sub(P[b], P[d]), sub(P[a], P[d])), angle(sub(P[d], P[b]), sub(P[c], P[b]))});
      candidates.push_back({q, i, std::size_t(j), a, b, c, d});
    }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& x, const Candidate& y) { return x.quality > y.quality; });
  std::vector<char> paired(f.size(), 0);
  std::vector<Quad> quads;
  for (const Candidate& c : candidates) {
    if (paired[c.i] || paired[c.j]) continue;
    paired[c.i] = paired[c.j] = 1;
    quads.push_back({c.c, c.a, c.d, c.b});
  }
  std::vector<Triple> left;
  for (std::size_t i = 0; i < f.size(); ++i)
    if (!paired[i]) left.push_back(f[i]);
  return {quads, left};
}

// A refined domain with its interior points pushed about, so that the passes have
// flips to make and the sweeps tangles to undo (a push that would turn a
// triangle over is not made).
Triangulation roughened(const FlatDomain& d, double h, double amount, std::uint64_t seed) {
  Triangulation tr;
  build_constrained(tr, d.points, d.ranges, kNever);
  refine_ruppert(tr, h, kNever);
  const std::vector<Triple> f = final_triangles(tr);
  const LiteralAdjacency adj = literal_adjacency(tr.points.size(), f);
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> push(-amount * h, amount * h);
  for (std::size_t p = d.points.size(); p < tr.points.size(); ++p) {
    const Point2 old = tr.points[p];
    tr.points[p] = {old[0] + push(rng), old[1] + push(rng)};
    for (std::size_t i : adj.incident[p])
      if (!(orient2d(tr.points[f[i][0]], tr.points[f[i][1]], tr.points[f[i][2]]) > 0.0)) {
        tr.points[p] = old;
        break;
      }
  }
  return tr;
}

int inverted(const std::vector<Point2>& points, const std::vector<Triple>& f) {
  int n = 0;
  for (const Triple& t : f) n += !(orient2d(points[t[0]], points[t[1]], points[t[2]]) > 0.0);
  return n;
}

double extent_of(const FlatDomain& d) {
  double extent = 0.0;
  for (const Point2& p : d.points) extent = std::max({extent, std::fabs(p[0]), std::fabs(p[1])});
  return extent;
}

TEST_P(Recovery, FlipsEqualTheLiteralOnes) {
  const FlatDomain d = flatten(GetParam());
  for (double h : {extent_of(d) / 4.0, extent_of(d) / 15.0}) {
    Triangulation literal = roughened(d, h, 0.2, 1);
    InsideMesh mesh(literal);
    improve_by_flips(mesh, 6);
    literal_improve_by_flips(literal, 6);
    const std::vector<Triple> f = final_triangles(literal);
    EXPECT_EQ(mesh.triangles_by_rank(), f) << h;
    const auto [quads, left] = recombine_quads(literal.points, f);
    const auto [quads2, left2] = literal_recombine(literal.points, f);
    EXPECT_EQ(quads, quads2);
    EXPECT_EQ(left, left2);
  }
}

TEST_P(Recovery, LastStageEqualsTheLiteralOne) {
  // Flips, sweeps and their rings kept up to date by later flips, against the
  // literal stage on the Triangulation: the same triangles and the same bits.
  const FlatDomain d = flatten(GetParam());
  for (double h : {extent_of(d) / 6.0, extent_of(d) / 20.0}) {
    for (double amount : {0.0, 0.3}) {
      Triangulation literal = roughened(d, h, amount, 7);
      InsideMesh mesh(literal);
      improve(mesh, kNever);
      literal_improve(literal);
      EXPECT_EQ(mesh.triangles_by_rank(), final_triangles(literal)) << h << " " << amount;
      EXPECT_EQ(mesh.points_by_index(), literal.points) << h << " " << amount;
    }
  }
}

TEST(Rings, FlipsKeepThemEqualToRingsBuiltAfresh) {
  int compared = 0;
  for (int seed = 0; seed < 10; ++seed) {
    const FlatDomain d = flatten(domain_cases()[2]);
    Triangulation tr = roughened(d, 0.3, 0.35, std::uint64_t(seed));
    InsideMesh mesh(tr);
    Rings kept(mesh);
    const std::vector<Triple> before = mesh.triangles_by_rank();
    improve_by_flips(mesh, 4, &kept);
    ASSERT_NE(mesh.triangles_by_rank(), before) << seed;  // flips happened
    if (kept.stale) continue;
    ++compared;
    const Rings fresh(mesh);
    for (std::size_t p = 0; p < mesh.point_count(); ++p) {
      const std::vector<std::array<InsideMesh::Id, 2>> a(kept.ring.begin() + kept.start[p], kept.ring.begin() + kept.end[p]);
      const std::vector<std::array<InsideMesh::Id, 2>> b(fresh.ring.begin() + fresh.start[p], fresh.ring.begin() + fresh.end[p]);
      EXPECT_EQ(a, b) << "seed " << seed << " point " << p;
    }
  }
  EXPECT_GT(compared, 0);
}

// ---------------------------------------------------------------------------
// Smoothing.

// A Triangulation holding exactly the triangles f, all inside.
Triangulation holding(const std::vector<std::pair<Point2, bool>>& points, const std::vector<Triple>& f) {
  Triangulation tr;
  tr.jitter_amplitude = 0.0;
  for (const auto& [p, b] : points) tr.add_point(p, b);
  for (const Triple& t : f) {
    const Slot s = tr.alloc_triangle();
    tr.tri(s).v = t;
    tr.inside[std::size_t(s)] = 1;
  }
  tr.link_triangles();
  return tr;
}

TEST(Flips, EveryShortcutDecidesAsTheLiteralTest) {
  // Pairs of triangles (a, b, c) and (b, a, d) of every kind: acute, obtuse,
  // thin, with d near the circle through a, b and c (within rounding, or inside
  // it by about what moves the smallest angle by the 1e-6 margin), each given one
  // pass of the last stage's flips and one of the literal test.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  int flipped = 0;
  for (int i = 0; i < 20000; ++i) {
    const double scale = std::exp(5.0 * u(rng)), turn = 3.2 * u(rng);
    auto place = [&](double x, double y) {
      return Point2{scale * (x * std::cos(turn) - y * std::sin(turn)) + 3.0, scale * (x * std::sin(turn) + y * std::cos(turn))};
    };
    // a = (0, 0), b = (1, 0); c above the line, d below it.
    const double cx = 0.5 + u(rng), cy = i % 4 == 0 ? 0.1 * std::fabs(u(rng)) : 0.05 + std::fabs(u(rng));
    double dx = 0.5 + u(rng), dy = -(0.05 + std::fabs(u(rng)));
    if (i % 2 == 1) {
      // On the circle through a, b, c (centre (0.5, k)), then moved in or out.
      const double k = (cx * cx - cx + cy * cy) / (2.0 * cy), r = std::hypot(0.5, k);
      const double phi = -M_PI / 2 + 1.2 * u(rng);
      const double off = i % 3 == 0 ? 1e-15 * u(rng) : (i % 3 == 1 ? 3e-7 * u(rng) : 1e-3 * u(rng));
      dx = 0.5 + r * (1.0 + off) * std::cos(phi);
      dy = k + r * (1.0 + off) * std::sin(phi);
      if (!(dy < 0.0)) continue;
    }
    const Triangulation tr = holding({{place(0, 0), true}, {place(1, 0), true}, {place(cx, cy), true}, {place(dx, dy), true}},
                                     {{0, 1, 2}, {1, 0, 3}});
    InsideMesh mesh(tr);
    improve_by_flips(mesh, 1);
    Triangulation literal = tr;
    literal_improve_by_flips(literal, 1);
    const std::vector<Triple> expected = final_triangles(literal);
    ASSERT_EQ(mesh.triangles_by_rank(), expected) << i;
    flipped += expected[0] != Triple{0, 1, 2};
  }
  EXPECT_GT(flipped, 1000);
}

std::vector<Point2> swept_once(const Triangulation& tr) {
  InsideMesh mesh(tr);
  const Rings rings(mesh);
  std::vector<Point2> scratch;
  smoothing_sweep(mesh, rings, scratch);
  return mesh.points_by_index();
}

TEST(Smoothing, MovesThatTogetherTurnATriangleOverAreUndone) {
  // A flat triangle (p, q, r) whose interior corners p and q are both pulled
  // upwards past the boundary point r: each move alone keeps every triangle
  // turning the right way, both together turn (p, q, r) over.
  const std::vector<std::pair<Point2, bool>> pts{{{-1, 0}, false}, {{1, 0}, false}, {{0, 0.1}, true},
                                                 {{0, -1}, true},  {{-1, 3}, true},  {{-2, -1}, true},
                                                 {{2, -1}, true},  {{1, 3}, true}};
  enum : Vertex { P, Q, R, S, A1, B, C, D };
  const std::vector<Triple> f{{P, Q, R}, {Q, P, S}, {P, R, A1}, {P, A1, B}, {P, B, S}, {Q, S, C}, {Q, C, D}, {Q, D, R}};
  Triangulation tr = holding(pts, f);
  ASSERT_EQ(inverted(tr.points, f), 0);
  Triangulation literal = tr;
  snapshot_only_sweep(literal, f, literal_adjacency(tr.points.size(), f));
  EXPECT_EQ(inverted(literal.points, f), 1);
  EXPECT_NE(literal.points[P], tr.points[P]);
  EXPECT_NE(literal.points[Q], tr.points[Q]);
  const std::vector<Point2> after = swept_once(tr);
  EXPECT_EQ(inverted(after, f), 0);
  EXPECT_EQ(after, tr.points);  // both moves undone
}

TEST(Smoothing, WithoutTanglesTheSweepIsTheSnapshotOnlyOne) {
  for (int seed = 0; seed < 20; ++seed) {
    const FlatDomain d = flatten(domain_cases()[2]);
    const Triangulation tr = roughened(d, 0.4, 0.35 / 0.4, std::uint64_t(seed));
    const std::vector<Triple> f = final_triangles(tr);
    ASSERT_EQ(inverted(tr.points, f), 0);
    Triangulation literal = tr;
    snapshot_only_sweep(literal, f, literal_adjacency(tr.points.size(), f));
    const std::vector<Point2> after = swept_once(tr);
    EXPECT_EQ(inverted(after, f), 0) << seed;
    // Where nothing turned over, the sweep is the snapshot-only one.
    if (inverted(literal.points, f) == 0) {
      EXPECT_EQ(after, literal.points) << seed;
    }
    for (std::size_t p = 0; p < d.points.size(); ++p) EXPECT_EQ(after[p], tr.points[p]);
    EXPECT_NE(after, tr.points);
  }
}

// ---------------------------------------------------------------------------
// Recombination.

TEST(Recombination, SquarePairsIntoOneQuadAndStraightAnglesNever) {
  const std::vector<Point2> pts{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {0.5, 0.5}};
  {
    const std::vector<Triple> f{{0, 1, 2}, {0, 2, 3}};
    const auto [quads, left] = recombine_quads(pts, f);
    ASSERT_EQ(quads.size(), 1u);
    EXPECT_EQ(quads[0], (Quad{1, 2, 3, 0}));  // (c, a, d, b) across the edge 2 -> 0
    EXPECT_TRUE(left.empty());
  }
  {
    // Four triangles around the centre: every pair has a straight angle there.
    const std::vector<Triple> f{{0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}};
    const auto [quads, left] = recombine_quads(pts, f);
    EXPECT_TRUE(quads.empty());
    EXPECT_EQ(left, f);
  }
}

TEST(Recombination, EqualQualitiesPairInTriangleThenEdgeOrder) {
  // A row of three unit squares, each split by its rising diagonal.
  std::vector<Point2> pts;
  for (int i = 0; i <= 3; ++i) pts.push_back({double(i), 0.0});
  for (int i = 0; i <= 3; ++i) pts.push_back({double(i), 1.0});
  std::vector<Triple> f;
  for (Vertex i = 0; i < 3; ++i) {
    f.push_back({i, i + 1, i + 5});
    f.push_back({i, i + 5, i + 4});
  }
  const auto [quads, left] = recombine_quads(pts, f);
  ASSERT_EQ(quads.size(), 3u);
  EXPECT_EQ(quads[0], (Quad{1, 5, 4, 0}));
  EXPECT_EQ(quads[1], (Quad{2, 6, 5, 1}));
  EXPECT_EQ(quads[2], (Quad{3, 7, 6, 2}));
  EXPECT_TRUE(left.empty());
}

// ---------------------------------------------------------------------------
// The driver: interruption and threads.

Mesh contour_mesh(const std::vector<std::vector<Point2>>& loops, Handle<Coords>& coords) {
  coords = store::insert(Coords(2));
  Mesh mesh;
  for (const auto& loop : loops) {
    std::vector<NodeId> ids;
    {
      store::WriteGuard<Coords> g = store::write(coords);
      for (const Point2& p : loop) ids.push_back(g->add_node(std::vector<double>{p[0], p[1]}));
    }
    SubMesh sub(ElementType::SEG2, coords);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const NodeId cell[2] = {ids[i], ids[(i + 1) % ids.size()]};
      sub.add_cell(cell);
    }
    mesh.push_sub(store::insert(std::move(sub)));
  }
  return mesh;
}

TEST(Driver, InterruptionLeavesTheCoordsUnchanged) {
  Handle<Coords> coords;
  const Mesh contour = contour_mesh({regular(40, 1.0)}, coords);
  const std::uint64_t before = store::read(coords)->capacity();
  for (int polls : {1, 30, 2000}) {
    int seen = 0;
    const InterruptCheck stop_after([&] { return ++seen > polls; });
    try {
      triangulate_surface(contour, ElementType::TRI3, 0.05, stop_after);
      FAIL() << "not interrupted after " << polls << " polls";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::Interrupted);
    }
    EXPECT_EQ(store::read(coords)->capacity(), before);
  }
}

TEST(Driver, OneThreadAndAllThreadsGiveTheSameMesh) {
  const Domain domain{{{}, star(9, 3.0, 1.5)}, {{{}, regular(13, 0.5, 0.2, 0.1, true)}}};
  Domain d = domain;
  d.outer.ids.resize(d.outer.points.size());
  d.holes[0].ids.resize(d.holes[0].points.size());
  for (ElementType type : {ElementType::TRI3, ElementType::QUA4}) {
    DomainMesh one, all;
    {
      quenlith::parallel::ThreadLimit limit(1);
      one = triangulate_domain(d, type, 0.05, kNever);
    }
    all = triangulate_domain(d, type, 0.05, kNever);
    EXPECT_GT(one.points.size(), 1000u);
    EXPECT_EQ(one.points, all.points);
    EXPECT_EQ(one.triangles, all.triangles);
    EXPECT_EQ(one.quads, all.quads);
    EXPECT_EQ(one.leftover, all.leftover);
  }
}

}  // namespace
