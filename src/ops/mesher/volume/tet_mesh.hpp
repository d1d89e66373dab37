#pragma once
// TetMesh: the working tetrahedralisation of the volume mesher, and its first
// phase, the Delaunay tetrahedralisation of the envelope's points.
//
// Stored arrays (P points, T records):
//   points   P points in working coordinates: (true - origin) / unit per axis,
//            so that lattice points sit exactly on integers. Every
//            combinatorial predicate reads these, exactly (adaptive exact
//            orient3d and insphere); the output never does
//   super    index of the first of the four vertices of the enclosing
//            super-tetrahedron; records holding one lie outside every envelope
//            and are never emitted. Points made during recovery follow them
//   tets     T records; a record's index never changes within a phase: records
//            are appended or marked dead, so "record order" is creation order.
//            The parallel lattice insertion (fill.hpp) is the exception: its
//            regions make records in slots reserved for them or freed by
//            them, and it ends by dropping the dead records
//   inside   T flags, set by the fill; all zero before it
//
// Ties between cospherical points are broken symbolically (in_circumsphere):
// the result is the regular triangulation for infinitesimal weights (biases
// drawn from the envelope, then the point index), a true tetrahedralisation
// of the unperturbed points, so no record is ever flat (orient3d exactly 0)
// and lattices give no slivers.
//
// Local face k of a record is the face opposite vertex k, its vertices in record
// order (kFace). Invariants between operations: every live record is positively
// oriented (orient3d(v0, v1, v2, v3) > 0); neighbour k of a live record is the
// other live record that holds the same face (same ascending key) when exactly
// two live records hold it, else -1.
//
// Each phase has two forms giving the same records in the same order: the fast
// one (local cavity growth, incremental links, walks) that the mesher runs, and a
// literal one (every record scanned, every link rebuilt) kept as the reference
// that tests compare the fast one with on small inputs.
//
// One call's structure lives on the calling thread; only the lattice insertion
// and a few read-only scans share it with the worker pool.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ops/mesher/predicates.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::vol {

using PointIndex = std::uint32_t;
using Record = std::int32_t;  // -1: no record
using Quad = std::array<PointIndex, 4>;
using Tri = std::array<PointIndex, 3>;
using FaceKey = std::array<PointIndex, 3>;  // ascending

inline constexpr int kFace[4][3] = {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}};
// orient3d(face k in record order, v[k]) has the sign kInward[k] times that of
// orient3d(v0, v1, v2, v3), whatever point stands at v[k].
inline constexpr double kInward[4] = {-1.0, 1.0, -1.0, 1.0};

struct Tet {
  Quad v{0, 0, 0, 0};
  std::array<Record, 4> n{-1, -1, -1, -1};  // n[k]: across local face k
  std::array<bool, 4> c{false, false, false, false};  // c[k]: face k is an envelope face
  bool dead = false;

  Tri face(int k) const noexcept { return {v[kFace[k][0]], v[kFace[k][1]], v[kFace[k][2]]}; }
  bool has(PointIndex p) const noexcept { return v[0] == p || v[1] == p || v[2] == p || v[3] == p; }
  bool any_constrained() const noexcept { return c[0] || c[1] || c[2] || c[3]; }
};

inline FaceKey face_key(Tri f) noexcept {
  if (f[0] > f[1]) std::swap(f[0], f[1]);
  if (f[1] > f[2]) std::swap(f[1], f[2]);
  if (f[0] > f[1]) std::swap(f[0], f[1]);
  return f;
}

struct TetMesh {
  std::vector<Tet> tets;
  std::vector<std::uint8_t> inside;
  std::vector<Point3> points;
  PointIndex super = 0xffffffffu;
  std::vector<double> bias;  // tie-breaking weights of the first points (in_circumsphere)

  bool is_super(PointIndex p) const noexcept { return p >= super && p - super < 4u; }
  bool outside(const Tet& t) const noexcept {
    return is_super(t.v[0]) || is_super(t.v[1]) || is_super(t.v[2]) || is_super(t.v[3]);
  }
  bool live(Record r) const noexcept { return r >= 0 && !tets[static_cast<std::size_t>(r)].dead; }
  Tet& tet(Record r) noexcept { return tets[static_cast<std::size_t>(r)]; }
  const Tet& tet(Record r) const noexcept { return tets[static_cast<std::size_t>(r)]; }
  const Point3& point(PointIndex p) const noexcept { return points[p]; }
  double orient(PointIndex a, PointIndex b, PointIndex c, PointIndex d) const {
    return orient3d_sign(points[a], points[b], points[c], points[d]);
  }
  // Whether point p lies in the closed tetrahedron of record r.
  bool contains(Record r, const Point3& p) const;
};

// (d - a) . ((b - a) x (c - a)) in plain floating point, six times the signed
// volume: the measure of true coordinates, only ever compared with the volume
// tolerance (whose size dwarfs its rounding), never used for a sign near zero.
inline double triple_product(const Point3& a, const Point3& b, const Point3& c, const Point3& d) noexcept {
  const double ux = b[0] - a[0], uy = b[1] - a[1], uz = b[2] - a[2];
  const double vx = c[0] - a[0], vy = c[1] - a[1], vz = c[2] - a[2];
  const double wx = d[0] - a[0], wy = d[1] - a[1], wz = d[2] - a[2];
  return wx * (uy * vz - vy * uz) + (vx * uz - vz * ux) * wy + wz * (ux * vy - vx * uy);
}

// Whether point p of `pts` lies inside the circumsphere of the tetrahedron t
// (either orientation). A point exactly on the sphere is decided as if every
// point k were lifted by the infinitesimal weight eps * bias[k] + eps^(2 + N - k)
// (points beyond `bias` have bias 0): first the biases, then the point with
// the highest index dominates. Consistent over all tests, so Bowyer-Watson
// insertion builds the regular triangulation of those weights. A flat
// tetrahedron (orient3d exactly 0) always counts as holding p.
bool in_circumsphere(std::span<const Point3> pts, PointIndex p, const Quad& t, std::span<const double> bias = {});
// The same for a tetrahedron whose orient3d is known to have the sign of o
// (non-zero): every live record of a TetMesh is positive.
bool in_circumsphere_oriented(std::span<const Point3> pts, PointIndex p, const Quad& t, std::span<const double> bias,
                              double o);

// The faces of the live records, grouped by key: each group lists (record, local
// face) in record order then face order. Sorted by key for lookups.
struct FaceTable {
  struct Entry {
    FaceKey key;
    Record record;
    std::int8_t face;
  };
  std::vector<Entry> entries;

  static FaceTable of(const TetMesh& mesh);
  // The group of `key` (possibly empty).
  std::span<const Entry> find(const FaceKey& key) const noexcept;
};

// Rebuilds every link of the live records from scratch.
void tet_adjacency(TetMesh& mesh);
// Relinks after local surgery: the records `fresh` were just appended and the
// records they replace marked dead; `outer` lists live records that may have
// linked to a dead one. Gives the links that tet_adjacency would give, provided
// no key of a fresh record's face is held by a live record outside both lists.
void link_fresh(TetMesh& mesh, std::span<const Record> fresh, std::span<const Record> outer);

// Links the cones just appended by one insertion: record fresh[i] has as face 3
// a face of the cavity's boundary, whose record on the other side was across[i]
// (-1 for none) and on this side the now dead replaced[i]; its faces 0 to 2
// hold its apex v[3] and pair with one another. Gives the links of
// tet_adjacency on a sound cavity, in time linear in its size.
void link_cone(TetMesh& mesh, std::span<const Record> fresh, std::span<const Record> across,
               std::span<const Record> replaced);

// `points` followed by the four super vertices, the corners of a regular
// tetrahedron of radius 1000 * extent + 1 about `centre`.
std::vector<Point3> with_super_vertices(std::span<const Point3> points, const Point3& centre, double extent);

// Bowyer-Watson insertion of the points 0 .. count - 1 of `pts`, in rounds of
// growing density each along a Morton curve (not index order), into the
// super-tetrahedron on the points super .. super + 3, ties broken with `bias`. Returns the live
// tetrahedra, super ones included, in creation order: the survivors of each
// insertion keep their order, the new ones follow, in the order of their
// cavity's records, each record's faces in local order. Polls `interrupt` once
// per point. `literal` tests every tetrahedron against every point.
std::vector<Quad> delaunay_tets(std::span<const Point3> pts, PointIndex count, PointIndex super,
                                std::span<const double> bias, const store::InterruptCheck& interrupt,
                                bool literal = false);

// The Delaunay tetrahedralisation of `points` (inside a super-tetrahedron about
// `centre` of radius 1000 * extent + 1), without the super tetrahedra.
std::vector<Quad> delaunay_tetrahedralize(std::span<const Point3> points, const Point3& centre, double extent,
                                          const store::InterruptCheck& interrupt, bool literal = false);
// The TetMesh of those tetrahedra over `points`, linked.
TetMesh rebuild_after_delaunay(std::span<const Quad> tets, std::vector<Point3> points);

}  // namespace quenlith::ops::mesher::vol
