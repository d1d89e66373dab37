#pragma once
// Quality improvement of the volume mesher's tetrahedra, after the fill: on a
// mesh whose live records are exactly the solid (surface faces constrained,
// with no neighbour), badly shaped records (slivers, caps, needles) are
// removed by local moves that each raise the worst quality of the records
// they touch:
//   - edge removal: the ring of records around an interior edge is replaced
//     by the best triangulation of the ring polygon coned to the edge's two
//     ends (a 3-2 flip for a ring of three, up to rings of eight);
//   - face flips: two records on an interior face become three around the
//     segment joining their apexes (2-3);
//   - smoothing: a point off the envelope moves towards the centroid of its
//     neighbours, or part of the way, when every record around it stays
//     positive and its worst quality rises.
// Envelope points never move and the surface faces stay: the boundary is
// still exactly the envelope. Each pass makes the moves of its bad records,
// then of their points, in list order, each as planned on the mesh of its
// turn (plans drawn ahead in parallel serve while nothing they read has
// changed). Every move is decided by exact orientation tests on the working
// coordinates, so the result is the same bits on every run and for any
// number of threads.
#include <vector>

#include "ops/mesher/volume/steiner.hpp"
#include "ops/mesher/volume/tet_mesh.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::vol {

// The volume-length measure: 6 sqrt(2) V / l_rms^3, 1 for the regular
// tetrahedron, 0 for a flat one, negative for an inverted one.
double tet_quality(const Point3& a, const Point3& b, const Point3& c, const Point3& d) noexcept;

// Improves the records of `mesh` in place. Points from `first_free` on may
// move; their true coordinates in `coords` follow through `frame`. Polls
// `interrupt` once per pass.
void improve_quality(TetMesh& mesh, std::vector<Point3>& coords, PointIndex first_free, const Frame& frame,
                     const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::mesher::vol
