// The volume mesher's internals: the fast phases against their literal forms,
// Delaunay properties, links, the inside test, the lattice rules and the
// recovery's crossing test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "parallel/pool.hpp"
#include "ops/mesher/volume/fill.hpp"
#include "ops/mesher/volume/intersect.hpp"
#include "ops/mesher/volume/recover.hpp"
#include "ops/mesher/volume/tet_mesh.hpp"
#include "ops/mesher/volume/volume.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::ops::mesher;
using namespace quenlith::ops::mesher::vol;
using quenlith::store::InterruptCheck;

const InterruptCheck kNever;

struct Envelope {
  std::vector<Point3> points;
  std::vector<Tri> faces;
};

// The unit cube as 12 outward triangles.
Envelope cube(double lo = 0.0, double hi = 1.0) {
  Envelope e;
  for (int x = 0; x < 2; ++x)
    for (int y = 0; y < 2; ++y)
      for (int z = 0; z < 2; ++z) e.points.push_back({x ? hi : lo, y ? hi : lo, z ? hi : lo});
  auto id = [](int x, int y, int z) { return static_cast<PointIndex>(4 * x + 2 * y + z); };
  const std::vector<std::array<PointIndex, 4>> quads{
      {id(0, 0, 0), id(0, 1, 0), id(1, 1, 0), id(1, 0, 0)}, {id(0, 0, 1), id(1, 0, 1), id(1, 1, 1), id(0, 1, 1)},
      {id(0, 0, 0), id(1, 0, 0), id(1, 0, 1), id(0, 0, 1)}, {id(0, 1, 0), id(0, 1, 1), id(1, 1, 1), id(1, 1, 0)},
      {id(0, 0, 0), id(0, 0, 1), id(0, 1, 1), id(0, 1, 0)}, {id(1, 0, 0), id(1, 1, 0), id(1, 1, 1), id(1, 0, 1)}};
  for (const auto& q : quads) {
    e.faces.push_back({q[0], q[1], q[2]});
    e.faces.push_back({q[0], q[2], q[3]});
  }
  // Points numbered by first appearance over the faces, as the driver does.
  std::vector<int> index(8, -1);
  std::vector<Point3> ordered;
  for (Tri& f : e.faces)
    for (PointIndex& v : f) {
      if (index[v] < 0) {
        index[v] = static_cast<int>(ordered.size());
        ordered.push_back(e.points[v]);
      }
      v = static_cast<PointIndex>(index[v]);
    }
  e.points = ordered;
  return e;
}

// A subdivided octahedron pushed onto a sphere whose radius is modulated by
// `bump` (0: a convex sphere; larger: dents that the Delaunay phase cuts across).
Envelope bumpy_sphere(int n, double bump) {
  Envelope e;
  const std::array<Point3, 6> v{{{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}}};
  const std::array<std::array<int, 3>, 8> oct{{{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4},
                                               {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}}};
  std::map<std::array<long, 3>, PointIndex> ids;
  auto point = [&](const Point3& p) {
    const double l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    const Point3 u{p[0] / l, p[1] / l, p[2] / l};
    const std::array<long, 3> key{std::lround(u[0] * 1e9), std::lround(u[1] * 1e9), std::lround(u[2] * 1e9)};
    auto [it, added] = ids.try_emplace(key, static_cast<PointIndex>(e.points.size()));
    if (added) {
      const double r = 1.0 + bump * std::sin(3.0 * std::atan2(u[1], u[0])) * (1.0 - u[2] * u[2]);
      e.points.push_back({r * u[0], r * u[1], r * u[2]});
    }
    return it->second;
  };
  for (const auto& f : oct) {
    const Point3 &a = v[f[0]], &b = v[f[1]], &c = v[f[2]];
    auto at = [&](int i, int j) {
      const double s = static_cast<double>(i) / n, t = static_cast<double>(j) / n;
      return point({a[0] + (b[0] - a[0]) * s + (c[0] - a[0]) * t, a[1] + (b[1] - a[1]) * s + (c[1] - a[1]) * t,
                    a[2] + (b[2] - a[2]) * s + (c[2] - a[2]) * t});
    };
    for (int i = 0; i < n; ++i)
      for (int j = 0; i + j < n; ++j) {
        e.faces.push_back({at(i, j), at(i + 1, j), at(i, j + 1)});
        if (i + j + 1 < n) e.faces.push_back({at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
      }
  }
  return e;
}

double orient(const std::vector<Point3>& p, const Quad& t) { return orient3d(p[t[0]], p[t[1]], p[t[2]], p[t[3]]); }

std::vector<Point3> random_points(unsigned seed, int n) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Point3> p;
  for (int i = 0; i < n; ++i) p.push_back({u(rng), u(rng), u(rng)});
  return p;
}

// --- Delaunay phase -----------------------------------------------------------

TEST(VolumeDelaunay, FastEqualsLiteralAndIsDelaunay) {
  std::vector<std::vector<Point3>> inputs;
  for (unsigned seed : {1u, 2u, 3u}) inputs.push_back(random_points(seed, 80));
  inputs.push_back(cube().points);                // cospherical corners, coplanar faces
  inputs.push_back(bumpy_sphere(3, 0.0).points);  // one sphere
  std::vector<Point3> grid;                       // a 4 x 4 x 4 lattice: ties everywhere
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 4; ++k) grid.push_back({double(i), double(j), double(k)});
  inputs.push_back(grid);
  for (const auto& pts : inputs) {
    const Point3 c{0.5, 0.5, 0.5};
    const auto fast = delaunay_tetrahedralize(pts, c, 3.5, kNever);
    const auto literal = delaunay_tetrahedralize(pts, c, 3.5, kNever, true);
    ASSERT_EQ(fast, literal);
    ASSERT_FALSE(fast.empty());
    for (const Quad& t : fast) {
      EXPECT_GT(orient(pts, t), 0.0);  // never flat, even on four coplanar points
      for (PointIndex v : t) EXPECT_LT(v, pts.size());
      for (std::size_t p = 0; p < pts.size(); ++p) {
        if (std::find(t.begin(), t.end(), p) == t.end()) {
          EXPECT_LE(insphere(pts[t[0]], pts[t[1]], pts[t[2]], pts[t[3]], pts[p]), 0.0);
          EXPECT_FALSE(in_circumsphere(pts, static_cast<PointIndex>(p), t));
        }
      }
    }
  }
}

// The staged signs against the predicates they stand for, on the inputs that
// pass the floating-point filter: points on one sphere (nearly cospherical,
// decided in extended precision), exactly cospherical and coplanar sets
// (exact zeros), and coordinates of many magnitudes (inexact differences).
TEST(VolumePredicates, StagedSignsAgreeWithTheExactPredicates) {
  auto sign = [](double x) { return (x > 0.0) - (x < 0.0); };
  std::vector<std::vector<Point3>> sets;
  sets.push_back(bumpy_sphere(4, 0.0).points);
  std::vector<Point3> shifted;  // the same sphere where the mesher's units put it
  for (const Point3& p : bumpy_sphere(4, 0.0).points)
    shifted.push_back({(p[0] + 1.0) / 0.07, (p[1] + 1.0) / 0.07, (p[2] + 1.0) / 0.07});
  sets.push_back(shifted);
  std::vector<Point3> lattice;  // squares of a lattice with points off it
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) lattice.push_back({double(i), double(j), 0.0});
  for (const Point3& p : random_points(5, 6)) lattice.push_back({1 + p[0], 1 + p[1], 0.7 * p[2]});
  lattice.push_back({0.1, 0.2, 0.0});  // coplanar, not on the lattice
  lattice.push_back({0.3, 0.1, 0.0});
  sets.push_back(lattice);
  std::vector<Point3> scales;  // differences that round
  for (const Point3& p : random_points(6, 12)) {
    const double k = std::ldexp(1.0, static_cast<int>(12 * p[0]));
    scales.push_back({p[0] * k, p[1] * 3.0, p[2] / 7.0});
  }
  scales.push_back({0.1, 0.2, 0.3});
  scales.push_back({0.2, 0.4, 0.6});  // collinear with the one before and the origin
  scales.push_back({0.0, 0.0, 0.0});
  sets.push_back(scales);
  for (const auto& pts : sets) {
    const std::size_t n = pts.size();
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::size_t> pick(0, n - 1);
    for (int trial = 0; trial < 4000; ++trial) {
      const Point3 &a = pts[pick(rng)], &b = pts[pick(rng)], &c = pts[pick(rng)], &d = pts[pick(rng)],
                   &e = pts[pick(rng)];
      const int o = sign(orient3d(a, b, c, d));
      ASSERT_EQ(sign(orient3d_sign(a, b, c, d)), o);
      const int s = sign(insphere(a, b, c, d, e));
      ASSERT_EQ(sign(insphere_sign(a, b, c, d, e)), s);
    }
  }
}

TEST(VolumeDelaunay, FourPointsGiveOnePositiveTetrahedron) {
  const std::vector<Point3> pts{{0, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 1}};
  const auto t = delaunay_tetrahedralize(pts, {0.5, 0.5, 0.5}, std::sqrt(3.0), kNever);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_GT(orient(pts, t[0]), 0.0);
}

TEST(VolumeDelaunay, CircumsphereTiesGoByPointIndex) {
  // The unit tetrahedron's sphere passes through (1, 1, 1).
  const std::vector<Point3> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1},
                                {1, 1, 1.0001}, {1, 1, 0.9999}, {1, 1, 0}};
  EXPECT_FALSE(in_circumsphere(pts, 5, {0, 1, 2, 3}));
  EXPECT_TRUE(in_circumsphere(pts, 6, {0, 1, 2, 3}));
  EXPECT_TRUE(in_circumsphere(pts, 6, {0, 2, 1, 3}));  // either orientation
  EXPECT_TRUE(in_circumsphere(pts, 5, {0, 1, 2, 7}));  // flat: always
  // Five cospherical points 0 to 4 have two tetrahedralisations: two cells on
  // the triangle (1, 2, 3), or three around the edge (0, 4). The point with
  // the highest index counts as outside, so the two cells pass each other's
  // test and a cell of the other choice fails.
  EXPECT_FALSE(in_circumsphere(pts, 4, {0, 1, 2, 3}));
  EXPECT_FALSE(in_circumsphere(pts, 4, {0, 2, 1, 3}));
  EXPECT_FALSE(in_circumsphere(pts, 0, {4, 1, 2, 3}));
  EXPECT_TRUE(in_circumsphere(pts, 3, {0, 4, 1, 2}));
}

TEST(VolumeDelaunay, LinksAreMutualAndMatchTheRebuild) {
  std::vector<Point3> pts = random_points(7, 60);
  for (const Point3& p : random_points(8, 40)) pts.push_back({p[0] * 0.3, p[1] * 0.3, p[2] * 0.3});
  const auto all = with_super_vertices(pts, {0, 0, 0}, 3.5);
  TetMesh m = rebuild_after_delaunay(delaunay_tets(all, 60, 100, {}, kNever), all);
  m.super = 100;
  insert_interior_points(m, 60, 100, kNever);
  TetMesh rebuilt = m;
  tet_adjacency(rebuilt);
  for (std::size_t r = 0; r < m.tets.size(); ++r) {
    const Tet& t = m.tets[r];
    if (t.dead) continue;
    EXPECT_GT(orient(m.points, t.v), 0.0);
    EXPECT_EQ(t.n, rebuilt.tets[r].n) << r;
    for (int k = 0; k < 4; ++k) {
      if (t.n[k] < 0) {
        EXPECT_TRUE(m.outside(t));  // only the super-tetrahedron's faces are open
        continue;
      }
      const Tet& o = m.tet(t.n[k]);
      EXPECT_FALSE(o.dead);
      EXPECT_EQ(std::count(o.n.begin(), o.n.end(), static_cast<Record>(r)), 1);
    }
  }
  const FaceTable table = FaceTable::of(m);
  for (const auto& e : table.entries) EXPECT_FALSE(m.tet(e.record).dead);
}

// A box's 8 corners and the integer lattice strictly inside it, n[0] x n[1]
// x n[2], in a super-tetrahedron; the corners tetrahedralised, the lattice
// not yet inserted (points 8 ..).
TetMesh lattice_in_a_box(std::array<int, 3> n) {
  std::vector<Point3> pts;
  for (int c = 0; c < 8; ++c)
    pts.push_back({(c & 4) ? n[0] + 1.0 : 0.0, (c & 2) ? n[1] + 1.0 : 0.0, (c & 1) ? n[2] + 1.0 : 0.0});
  for (int i = 1; i <= n[0]; ++i)
    for (int j = 1; j <= n[1]; ++j)
      for (int k = 1; k <= n[2]; ++k) pts.push_back({double(i), double(j), double(k)});
  const auto super = static_cast<PointIndex>(pts.size());
  const auto all = with_super_vertices(pts, {n[0] / 2.0, n[1] / 2.0, n[2] / 2.0}, n[0] + n[1] + n[2] + 3.0);
  TetMesh m = rebuild_after_delaunay(delaunay_tets(all, 8, super, {}, kNever), all);
  m.super = super;
  return m;
}

std::vector<Quad> live_sorted(const TetMesh& m) {
  std::vector<Quad> out;
  for (const Tet& t : m.tets)
    if (!t.dead) {
      Quad q = t.v;
      std::sort(q.begin(), q.end());
      out.push_back(q);
    }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(VolumeRegions, SameRecordsForAnyThreadsAndTheDelaunayOfOneThread) {
  // 20 x 20 x 6: the finest level in nine columns, four passes. Without an
  // envelope the result is the Delaunay tetrahedralisation (ties broken by
  // index), which is unique: the regions must give the same tetrahedra as
  // one insertion after the other, and the same records, links included,
  // for one thread and for all.
  const TetMesh start = lattice_in_a_box({20, 20, 6});
  const auto end = start.super;
  TetMesh one_by_one = start;
  insert_lattice(one_by_one, 8, end, kNever, false, std::size_t(-1));
  TetMesh single = start, all = start;
  {
    quenlith::parallel::ThreadLimit limit(1);
    insert_lattice(single, 8, end, kNever, false, 0);
  }
  insert_lattice(all, 8, end, kNever, false, 0);

  ASSERT_EQ(single.tets.size(), all.tets.size());
  for (std::size_t r = 0; r < all.tets.size(); ++r) {
    EXPECT_EQ(single.tets[r].v, all.tets[r].v) << r;
    EXPECT_EQ(single.tets[r].n, all.tets[r].n) << r;
  }
  EXPECT_EQ(live_sorted(all), live_sorted(one_by_one));
  // Every lattice point is a vertex, the records are positive, come out
  // without the dead, and link as a rebuild links them.
  std::vector<int> used(all.points.size(), 0);
  TetMesh rebuilt = all;
  tet_adjacency(rebuilt);
  for (std::size_t r = 0; r < all.tets.size(); ++r) {
    const Tet& t = all.tets[r];
    EXPECT_FALSE(t.dead);
    EXPECT_GT(orient(all.points, t.v), 0.0) << r;
    EXPECT_EQ(t.n, rebuilt.tets[r].n) << r;
    for (PointIndex v : t.v) used[v] = 1;
  }
  for (PointIndex p = 8; p < end; ++p) EXPECT_TRUE(used[p]) << p;
}

// --- the whole pipeline, fast against literal ------------------------------------

struct Case {
  const char* name;
  Envelope envelope;
  std::optional<double> size;
};

TEST(VolumePipeline, FastEqualsLiteral) {
  const std::vector<Case> cases{
      {"cube 0.3", cube(), 0.3},
      {"cube 0.25", cube(), 0.25},
      {"cube 0.5", cube(), 0.5},
      {"sphere", bumpy_sphere(3, 0.0), 0.45},
      {"bumpy sphere", bumpy_sphere(4, 0.25), 0.4},
      {"bumpy sphere, no lattice", bumpy_sphere(5, 0.3), 10.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VolumeResult fast = mesh_volume(c.envelope.points, c.envelope.faces, c.size, kNever, false);
    const VolumeResult literal = mesh_volume(c.envelope.points, c.envelope.faces, c.size, kNever, true);
    EXPECT_EQ(fast.points, literal.points);
    EXPECT_EQ(fast.tets, literal.tets);
    EXPECT_FALSE(fast.tets.empty());
    for (const Quad& t : fast.tets) EXPECT_GT(orient(fast.points, t), 0.0);
  }
}

TEST(VolumePipeline, ConcaveEnvelopeKeepsEveryFaceAndItsVolume) {
  const Envelope e = bumpy_sphere(5, 0.3);
  double L2 = 0.0;
  {
    Point3 lo = e.points[0], hi = e.points[0];
    for (const Point3& p : e.points)
      for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], p[d]), hi[d] = std::max(hi[d], p[d]);
    for (int d = 0; d < 3; ++d) L2 += (hi[d] - lo[d]) * (hi[d] - lo[d]);
  }
  const double L = std::sqrt(L2);
  const auto nb = static_cast<PointIndex>(e.points.size());
  const auto all = with_super_vertices(e.points, {0, 0, 0}, L);
  TetMesh m = rebuild_after_delaunay(delaunay_tets(all, nb, nb, {}, kNever), all);
  m.super = nb;
  recover_edges(m, e.faces, kNever);
  check_faces_recovered(m, e.faces);
  for (const Tri& f : e.faces) EXPECT_FALSE(FaceTable::of(m).find(face_key(f)).empty());
  // Interior volume equals the envelope's (divergence theorem).
  const VolumeResult r = mesh_volume(e.points, e.faces, 0.35, kNever);
  double enclosed = 0.0;
  for (const Tri& f : e.faces) {
    const Point3 &a = e.points[f[0]], &b = e.points[f[1]], &c = e.points[f[2]];
    enclosed += (a[0] * (b[1] * c[2] - b[2] * c[1]) - a[1] * (b[0] * c[2] - b[2] * c[0]) +
                 a[2] * (b[0] * c[1] - b[1] * c[0])) / 6.0;
  }
  double sum = 0.0;
  for (const Quad& t : r.tets) sum += orient(r.points, t) / 6.0;
  EXPECT_NEAR(sum, enclosed, 1e-12);
}

// --- recovery ----------------------------------------------------------------------

TEST(VolumeRecovery, SegmentCrossesOnlyTheOpenTriangle) {
  const Point3 t0{0, 0, 0}, t1{1, 0, 0}, t2{0, 1, 0};
  struct Row {
    Point3 p, q;
    bool crosses;
  };
  const std::vector<Row> rows{
      {{0.2, 0.2, -1}, {0.2, 0.2, 1}, true},   // through the inside
      {{0.2, 0.2, 1}, {0.2, 0.2, -1}, true},   // either direction
      {{0.2, 0.2, 0}, {0.2, 0.2, 1}, false},   // an end on the plane
      {{0.2, 0.2, 1}, {0.2, 0.2, 2}, false},   // same side
      {{0.5, 0.5, -1}, {0.5, 0.5, 1}, false},  // through an edge
      {{0, 0, -1}, {0, 0, 1}, false},          // through a vertex
      {{2, 2, -1}, {2, 2, 1}, false},          // beside
  };
  for (const Row& r : rows) EXPECT_EQ(segment_crosses_triangle(r.p, r.q, t0, t1, t2), r.crosses);
}

TEST(VolumeRecovery, SchonhardtPrismIsFilledWithInteriorPointsAlike) {
  // A triangular prism whose top is twisted by 30 degrees: each side quad is
  // split along its reflex diagonal, and no tetrahedralisation of the six
  // corners exists. Points made on the envelope must all end up inside, the
  // fast and literal forms alike.
  Envelope e;
  for (int level = 0; level < 2; ++level)
    for (int i = 0; i < 3; ++i) {
      const double a = 2.0 * M_PI * i / 3.0 + (level ? M_PI / 6.0 : 0.0);
      e.points.push_back({std::cos(a), std::sin(a), level ? 1.0 : 0.0});
    }
  e.faces = {{0, 2, 1}, {3, 4, 5}};
  for (PointIndex i = 0; i < 3; ++i) {
    const PointIndex j = (i + 1) % 3;
    e.faces.push_back({i, j, static_cast<PointIndex>(3 + j)});
    e.faces.push_back({i, static_cast<PointIndex>(3 + j), static_cast<PointIndex>(3 + i)});
  }
  for (const std::optional<double> size : {std::optional<double>{}, std::optional<double>{0.2}}) {
    const VolumeResult fast = mesh_volume(e.points, e.faces, size, kNever, false);
    const VolumeResult literal = mesh_volume(e.points, e.faces, size, kNever, true);
    EXPECT_EQ(fast.points, literal.points);
    EXPECT_EQ(fast.tets, literal.tets);
    EXPECT_GT(fast.points.size(), e.points.size());
    std::map<FaceKey, int> uses;
    for (const Quad& t : fast.tets) {
      EXPECT_GT(orient(fast.points, t), 0.0);
      for (int k = 0; k < 4; ++k) ++uses[face_key({t[kFace[k][0]], t[kFace[k][1]], t[kFace[k][2]]})];
    }
    std::set<FaceKey> once;
    for (const auto& [key, n] : uses) {
      EXPECT_LE(n, 2);
      if (n == 1) once.insert(key);
    }
    std::set<FaceKey> envelope;
    for (const Tri& f : e.faces) envelope.insert(face_key(f));
    EXPECT_EQ(once, envelope);
  }
}

TEST(VolumeRecovery, FacesIntersectOnlyBeyondWhatTheyShare) {
  const std::vector<Point3> p{{0, 0, 0},    {1, 0, 0},     {0, 1, 0},   {1, 1, 0},     {0.2, 0.3, -1},
                              {0.2, 0.3, 1}, {0.5, 0.5, 0}, {-1, -1, 0}, {0.2, 0.3, 0}, {0, 0, 1}};
  struct Row {
    Tri f, g;
    bool meet;
  };
  const std::vector<Row> rows{
      {{0, 1, 2}, {4, 5, 9}, true},   // an edge of one through the other
      {{0, 1, 2}, {1, 2, 3}, false},  // sharing an edge, side by side in one plane
      {{0, 1, 2}, {1, 2, 6}, true},   // sharing an edge, folded onto each other
      {{0, 1, 2}, {1, 2, 9}, false},  // sharing an edge at an angle
      {{0, 1, 2}, {0, 4, 7}, false},  // sharing a vertex, apart
      {{0, 1, 2}, {0, 3, 9}, true},   // sharing a vertex, cutting across the other
      {{0, 1, 2}, {0, 6, 9}, true},   // sharing a vertex, an edge running into the other
      {{0, 1, 2}, {0, 7, 9}, false},  // sharing a vertex, an edge pointing away in the plane
      {{0, 1, 2}, {8, 5, 9}, true},   // a vertex on the other's inside: touching counts
      {{0, 1, 2}, {0, 1, 2}, true},   // the same triangle twice
      {{0, 1, 3}, {4, 5, 9}, false},  // apart
  };
  for (const Row& r : rows) {
    EXPECT_EQ(faces_intersect(p, r.f, r.g), r.meet) << r.g[0] << " " << r.g[1] << " " << r.g[2];
    EXPECT_EQ(faces_intersect(p, r.g, r.f), r.meet);
  }
  // The sweep reports the first pair in face order.
  const std::vector<Tri> faces{{0, 1, 3}, {8, 5, 9}, {0, 1, 2}, {4, 5, 9}};
  const auto hit = find_self_intersection(p, faces);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(*hit, (std::pair<std::size_t, std::size_t>{0, 2}));  // folded onto each other
  EXPECT_FALSE(find_self_intersection(p, std::vector<Tri>{{0, 1, 3}, {4, 5, 9}}).has_value());
}

// --- inside test and lattice ---------------------------------------------------------

TEST(VolumeFill, InsideTestEitherOrientationAndVertexTolerance) {
  Envelope e = cube();
  std::vector<Tri> reversed;
  for (const Tri& f : e.faces) reversed.push_back({f[0], f[2], f[1]});
  for (const auto* faces : {&e.faces, &reversed}) {
    EXPECT_TRUE(point_inside_surface({0.5, 0.5, 0.5}, *faces, e.points, 1e-9));
    EXPECT_TRUE(point_inside_surface({0.01, 0.99, 0.5}, *faces, e.points, 1e-9));
    EXPECT_FALSE(point_inside_surface({1.5, 0.5, 0.5}, *faces, e.points, 1e-9));
    EXPECT_FALSE(point_inside_surface({-0.01, 0.5, 0.5}, *faces, e.points, 1e-9));
    EXPECT_TRUE(point_inside_surface({1.0 + 1e-10, 1.0, 1.0}, *faces, e.points, 1e-9));  // at a vertex
  }
  EXPECT_FALSE(point_inside_surface({0.5, 0.5, 0.5}, {}, e.points, 1e-9));
}

TEST(VolumeFill, DistanceToTriangleRegions) {
  const Point3 a{0, 0, 0}, b{2, 0, 0}, c{0, 2, 0};
  struct Row {
    Point3 p;
    double d2;
  };
  const std::vector<Row> rows{{{0.5, 0.5, 3}, 9},      {{-1, -1, 0}, 2},   {{3, 0, 1}, 2},  {{0, 3, 0}, 1},
                              {{1, -2, 0}, 4},         {{-3, 1, 0}, 9},    {{2, 2, 0}, 2},  {{1, 1, 0}, 0}};
  for (const Row& r : rows) EXPECT_NEAR(squared_distance_to_triangle(r.p, a, b, c), r.d2, 1e-12);
  EXPECT_NEAR(squared_distance_to_triangle({1, 1, 1}, a, b, {4, 0, 0}), 2.0, 1e-12);  // flat triangle
}

TEST(VolumeFill, LatticeCountsAndTheHalfSizeRule) {
  const Envelope e = cube();
  auto count = [&](double h) {
    const auto n = static_cast<std::int64_t>(std::floor(1.0 / h));
    return lattice_points({{0, 0, 0}, n, n, n, h, 1e-9 * std::sqrt(3.0)}, e.faces, e.points, kNever).size();
  };
  // Candidates closer than h / 2 to a face are refused: at 0.3 the layer at
  // 0.9 (0.1 from the faces), at 0.5 the candidates on the faces; at 0.4 the
  // layer at 0.8 is h / 2 away up to rounding and stays.
  EXPECT_EQ(count(0.3), 8u);
  EXPECT_EQ(count(0.4), 8u);
  EXPECT_EQ(count(0.5), 1u);
  EXPECT_EQ(count(0.25), 27u);
  // A candidate exactly h/2 from an envelope point is kept; a closer one is not.
  Envelope far = cube(-4.0, 4.0);
  far.points.push_back({1.0, 1.0, 1.5});
  const auto kept = lattice_points({{0, 0, 0}, 1, 1, 1, 1.0, 1e-9}, far.faces, far.points, kNever);
  EXPECT_EQ(kept.size(), 1u);
  far.points.back() = {1.0, 1.0, 1.4999};
  EXPECT_TRUE(lattice_points({{0, 0, 0}, 1, 1, 1, 1.0, 1e-9}, far.faces, far.points, kNever).empty());
  // With ny = 0 the interrupt is still polled once per value of i.
  int polls = 0;
  const InterruptCheck counting([&] {
    ++polls;
    return false;
  });
  EXPECT_TRUE(lattice_points({{0, 0, 0}, 5, 0, 3, 0.1, 1e-9}, e.faces, e.points, counting).empty());
  EXPECT_EQ(polls, 5);
}

TEST(VolumeFill, FlatTetrahedraAreNotEmitted) {
  TetMesh m;
  m.points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}};
  m.tets = {Tet{{0, 1, 2, 3}}, Tet{{0, 1, 2, 4}}, Tet{{0, 2, 1, 3}}};
  m.inside = {1, 1, 1};
  const auto out = emit_tet4(m);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], (Quad{0, 1, 2, 3}));
  EXPECT_EQ(out[1], (Quad{0, 1, 2, 3}));  // turned positive
}

TEST(VolumePipeline, ChecksOfTheEnvelope) {
  const Envelope c = cube();
  std::vector<Tri> twice = c.faces;
  twice.push_back(c.faces[0]);
  std::vector<Tri> open(c.faces.begin() + 1, c.faces.end());
  struct Row {
    std::vector<Point3> points;
    std::vector<Tri> faces;
    std::optional<double> size;
    std::string text;
  };
  const std::vector<Row> rows{
      {c.points, {c.faces.begin(), c.faces.begin() + 3}, {}, "volume: envelope must have ≥ 4 triangular faces, got 3"},
      {c.points, twice, {}, "volume: surface is non-manifold — directed edge (0, 1) used 2 times (each must appear once)"},
      {c.points, open, {}, "volume: surface is open or inconsistently oriented — edge (0, 2) has no matching opposite face"},
      {std::vector<Point3>(8, Point3{1, 1, 1}), c.faces, 0.5, "volume: envelope is degenerate (zero extent)"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(quenlith::testing::error_text([&] { mesh_volume(r.points, r.faces, r.size, kNever); }), r.text);
}

TEST(VolumePipeline, InterruptStopsEveryPhase) {
  const Envelope e = bumpy_sphere(4, 0.2);
  for (int stop_at : {1, 5, 40, 200, 2000}) {
    int polls = 0;
    const InterruptCheck check([&] { return ++polls >= stop_at; });
    EXPECT_THROW(mesh_volume(e.points, e.faces, 0.1, check), quenlith::Error);
  }
}

}  // namespace

namespace {

TEST(VolumeFill, CubeCornersGiveCellsOnTheEnvelopeTriangles) {
  // The corners of a cube are cospherical and its faces coplanar: the
  // tetrahedralisation must still come out without a flat cell, and every
  // envelope triangle must be the face of one cell (the face diagonals that
  // the tie rule did not choose are recovered).
  for (std::optional<double> size : {std::optional<double>{}, std::optional<double>{0.5}, std::optional<double>{0.3}}) {
    const Envelope e = cube();
    const VolumeResult r = mesh_volume(e.points, e.faces, size, kNever);
    std::map<FaceKey, int> uses;
    double sum = 0.0;
    for (const Quad& t : r.tets) {
      const double o = orient(r.points, t);
      EXPECT_GT(o, 1e-9);
      sum += o / 6.0;
      for (int k = 0; k < 4; ++k) ++uses[face_key({t[kFace[k][0]], t[kFace[k][1]], t[kFace[k][2]]})];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    std::set<FaceKey> envelope;
    for (const Tri& f : e.faces) envelope.insert(face_key(f));
    for (const auto& [key, n] : uses) EXPECT_EQ(n, envelope.count(key) ? 1 : 2);
    if (!size) {
      EXPECT_EQ(r.tets.size(), 6u);
    }
  }
}

}  // namespace

namespace {

TEST(VolumeRecovery, CubeNumberedByCornerRecoversItsFaceDiagonals) {
  // Numbered by corner (x, y, z bits) rather than by first appearance, the tie
  // rule picks other face diagonals: each missing one crosses a diagonal of
  // the tetrahedralisation exactly, in the plane of the face.
  Envelope e;
  for (int k = 0; k < 8; ++k) e.points.push_back({double(k >> 2), double(k >> 1 & 1), double(k & 1)});
  const int quads[6][4] = {{0, 2, 6, 4}, {1, 5, 7, 3}, {0, 4, 5, 1}, {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 6, 7, 5}};
  for (const auto& q : quads) {
    e.faces.push_back({PointIndex(q[0]), PointIndex(q[1]), PointIndex(q[2])});
    e.faces.push_back({PointIndex(q[0]), PointIndex(q[2]), PointIndex(q[3])});
  }
  for (std::optional<double> size : {std::optional<double>{}, std::optional<double>{0.3}}) {
    const VolumeResult fast = mesh_volume(e.points, e.faces, size, kNever);
    const VolumeResult literal = mesh_volume(e.points, e.faces, size, kNever, true);
    EXPECT_EQ(fast.tets, literal.tets);
    std::map<FaceKey, int> uses;
    double sum = 0.0;
    for (const Quad& t : fast.tets) {
      sum += orient(fast.points, t) / 6.0;
      for (int k = 0; k < 4; ++k) ++uses[face_key({t[kFace[k][0]], t[kFace[k][1]], t[kFace[k][2]]})];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    for (const Tri& f : e.faces) EXPECT_EQ(uses[face_key(f)], 1);
  }
}

}  // namespace

namespace {

// The skin of [0, 1]^3 with each side an m x m grid of squares cut along one
// diagonal, outward: lattice columns at multiples of 1 / m run through its
// vertices and along its edges.
Envelope grid_cube(int m) {
  Envelope e;
  std::map<std::array<int, 3>, PointIndex> ids;
  auto point = [&](std::array<int, 3> g) {
    auto [it, added] = ids.try_emplace(g, static_cast<PointIndex>(e.points.size()));
    if (added) e.points.push_back({double(g[0]) / m, double(g[1]) / m, double(g[2]) / m});
    return it->second;
  };
  for (int ax = 0; ax < 3; ++ax)
    for (int side = 0; side <= m; side += m) {
      const int u = (ax + 1) % 3, v = (ax + 2) % 3;
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
          auto at = [&](int a, int b) {
            std::array<int, 3> g{};
            g[ax] = side, g[u] = a, g[v] = b;
            return point(g);
          };
          const PointIndex q0 = at(i, j), q1 = at(i + 1, j), q2 = at(i + 1, j + 1), q3 = at(i, j + 1);
          // (u, v, ax) is right-handed: counter-clockwise in (u, v) faces +ax.
          if (side == m) {
            e.faces.push_back({q0, q1, q2});
            e.faces.push_back({q0, q2, q3});
          } else {
            e.faces.push_back({q0, q2, q1});
            e.faces.push_back({q0, q3, q2});
          }
        }
    }
  return e;
}

// The octahedron |x| + |y| + |z| <= 1, outward: a column through an apex
// only touches the surface there.
Envelope octahedron() {
  Envelope e;
  e.points = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
  e.faces = {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
  return e;
}

TEST(VolumeFill, LatticeByColumnsEqualsTheLiteralScan) {
  struct Row {
    Envelope e;
    double h;
  };
  std::vector<Row> rows;
  for (double h : {0.5, 0.3, 0.25, 0.1, 1.0 / 7.0}) rows.push_back({cube(), h});
  for (int m : {3, 4}) {
    rows.push_back({grid_cube(m), 1.0 / m});
    rows.push_back({grid_cube(m), 0.5 / m});
  }
  for (double h : {0.5, 0.25, 0.2}) rows.push_back({octahedron(), h});
  for (double h : {0.3, 0.17, 0.08}) rows.push_back({bumpy_sphere(5, 0.3), h});
  rows.push_back({bumpy_sphere(3, 0.0), 0.2});
  for (const Row& r : rows) {
    Point3 lo = r.e.points[0], hi = r.e.points[0];
    for (const Point3& p : r.e.points)
      for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], p[d]), hi[d] = std::max(hi[d], p[d]);
    double l2 = 0.0;
    for (int d = 0; d < 3; ++d) l2 += (hi[d] - lo[d]) * (hi[d] - lo[d]);
    LatticeSpec spec{lo, 0, 0, 0, r.h, 1e-9 * std::sqrt(l2)};
    spec.nx = static_cast<std::int64_t>(std::floor((hi[0] - lo[0]) / r.h));
    spec.ny = static_cast<std::int64_t>(std::floor((hi[1] - lo[1]) / r.h));
    spec.nz = static_cast<std::int64_t>(std::floor((hi[2] - lo[2]) / r.h));
    const auto fast = lattice_points(spec, r.e.faces, r.e.points, kNever);
    EXPECT_EQ(fast, lattice_points(spec, r.e.faces, r.e.points, kNever, true)) << r.h;
    EXPECT_FALSE(fast.empty());
  }
}

}  // namespace

namespace {

TEST(VolumeRecovery, ShuffledCubesRecoverTheirDiagonalsAndMatchTheLiteralForm) {
  // Shuffled and rotated faces renumber the corners, so the tie rule picks
  // other diagonals on the coplanar face pairs; each missing one is recovered
  // through the records on both sides of the hull face.
  const Envelope base = cube();
  for (unsigned seed = 0; seed < 24; ++seed) {
    std::mt19937 rng(seed);
    std::vector<Tri> faces = base.faces;
    std::shuffle(faces.begin(), faces.end(), rng);
    for (Tri& f : faces) std::rotate(f.begin(), f.begin() + rng() % 3, f.end());
    // Numbered by first appearance, as the driver numbers an envelope's nodes.
    std::vector<int> index(base.points.size(), -1);
    std::vector<Point3> points;
    for (Tri& f : faces)
      for (PointIndex& v : f) {
        if (index[v] < 0) {
          index[v] = static_cast<int>(points.size());
          points.push_back(base.points[v]);
        }
        v = static_cast<PointIndex>(index[v]);
      }
    const VolumeResult fast = mesh_volume(points, faces, std::nullopt, kNever);
    const VolumeResult literal = mesh_volume(points, faces, std::nullopt, kNever, true);
    EXPECT_EQ(fast.tets, literal.tets) << seed;
    std::map<FaceKey, int> uses;
    for (const Quad& t : fast.tets)
      for (int k = 0; k < 4; ++k) ++uses[face_key({t[kFace[k][0]], t[kFace[k][1]], t[kFace[k][2]]})];
    for (const Tri& f : faces) EXPECT_EQ(uses[face_key(f)], 1) << seed;
  }
}

}  // namespace
