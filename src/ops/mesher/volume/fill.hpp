#pragma once
// Interior fill of the volume mesher: the lattice of candidate interior points,
// their insertion by a Bowyer-Watson step that never crosses an envelope face,
// and the selection of the tetrahedra inside the envelope (seed, flood, emission
// as positively oriented TET4 cells).
#include <cstdint>
#include <span>
#include <vector>

#include "ops/mesher/volume/tet_mesh.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::vol {

// Winding-number test by solid angles on true coordinates: inside when the sum
// of the faces' signed solid angles exceeds 2 pi in magnitude (either orientation
// of a closed surface works), or when p lies within eps of a face's vertex.
bool point_inside_surface(const Point3& p, std::span<const Tri> faces, std::span<const Point3> coords, double eps);

// Squared distance from p to the closed triangle (a, b, c).
double squared_distance_to_triangle(const Point3& p, const Point3& a, const Point3& b, const Point3& c) noexcept;

struct LatticeSpec {
  Point3 min;                  // the envelope's box minimum
  std::int64_t nx, ny, nz;     // floor(extent / h) per axis, saturated
  double h;
  double eps_in;               // inside tolerance
};

// The accepted candidates min + (i, j, k) * h, i, j, k from 1 to the counts (x
// outermost, z innermost): inside the envelope, and at least h / 2 from every
// face and every envelope point (at least eps_in from a face when h / 2 is
// smaller). Polls `interrupt` once per
// value of i. `literal` tests every candidate against every face and point (the
// reference form); otherwise each column of candidates along z sees only the
// faces and points whose boxes reach it, and the inside answer is the winding
// number counted along the column's line: its crossings with the faces, found
// exactly (the line moved infinitely little off every edge and vertex), with
// the sign of each face's normal along z. Away from the faces, where every
// accepted candidate is, both answers agree.
std::vector<Point3> lattice_points(const LatticeSpec& spec, std::span<const Tri> faces,
                                   std::span<const Point3> coords, const store::InterruptCheck& interrupt,
                                   bool literal = false);

// Inserts the points first .. end - 1 of the mesh (already in its point list):
// each located in the first live record that contains it (on the boundary
// counts as inside; a point no record contains is skipped), then a cavity
// grown from there across unconstrained faces to the records whose sphere
// holds it, cut back until every boundary face is seen from the point, and
// refilled by cones on the cavity's boundary. Polls `interrupt` once per
// point. `literal` scans every record to locate and rebuilds every link;
// otherwise a walk and local relinking give the same result on a
// tetrahedralisation whose live records do not overlap.
void insert_interior_points(TetMesh& mesh, PointIndex first, PointIndex end, const store::InterruptCheck& interrupt,
                            bool literal = false);
// The same for the points of `order`, in that order.
void insert_interior_points(TetMesh& mesh, std::span<const PointIndex> order, const store::InterruptCheck& interrupt,
                            bool literal = false);
// The points first .. end - 1 in an order of insertion that keeps cavities
// small on a lattice: coarse levels first (every 2^k-th point along each
// axis, k from the largest down), each level in index order. A sweep in
// index order instead drags a front of large records along, rebuilt at
// every point.
std::vector<PointIndex> coarse_to_fine(const TetMesh& mesh, PointIndex first, PointIndex end);

// The lattice points first .. end - 1, coarse to fine (coarse_to_fine). From
// `min_regions` points on (and not `literal`), the two finest levels go in
// parallel regions: each level in four passes over columns (along z) eight
// finest spacings wide, every column owning the records inside itself grown
// by half its width, so that the columns of a pass never share a record; a
// point whose walk or cavity leaves its column's records is deferred to one
// thread after the level. Columns and their order depend on the points
// alone, so the records are the same for any number of threads; they then
// come out without the dead ones, in slot order. Polls `interrupt` once per
// pass and once per point inserted on one thread.
void insert_lattice(TetMesh& mesh, PointIndex first, PointIndex end, const store::InterruptCheck& interrupt,
                    bool literal = false, std::size_t min_regions = 4096);

// Marks the inside records: floods from the first live record, in record order,
// with |orient3d| >= eps_vol (true coordinates) and its centroid inside the
// envelope, across unconstrained faces; then from each later unmarked record that
// passes the same test (one per further component of the envelope). Fails when no
// record qualifies. Polls `interrupt` once per front of the flood.
void fill_interior(TetMesh& mesh, std::span<const Tri> faces, std::span<const Point3> coords, double eps_in,
                   double eps_vol, const store::InterruptCheck& interrupt);

// Marks every live record outside the fill dead and unlinks the inside ones
// from them: what stays is the solid alone, its surface faces constrained
// with no neighbour.
void prune_outside(TetMesh& mesh);

// The live inside records in record order, each turned positive by the exact
// orientation of its working coordinates; a flat one (never live in a sound
// structure) is dropped.
std::vector<Quad> emit_tet4(const TetMesh& mesh);

}  // namespace quenlith::ops::mesher::vol
