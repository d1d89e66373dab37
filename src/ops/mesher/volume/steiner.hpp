#pragma once
// Boundary recovery with Steiner points, for what the flips of recover.hpp
// leave missing (a Schönhardt-type polyhedron, flat faces whose diagonals the
// Delaunay phase did not pick).
//
// conform_surface splits the envelope into subfaces: a missing subedge, or the
// longest edge of a missing subface, is split at its midpoint, and the point is
// inserted into the tetrahedralisation, until every subface is a face of it.
// The points so made lie on the envelope; once the outside is gone,
// relocate_steiner_points takes each one out again: the records around it are
// removed, the subfaces around it are triangulated again without it (so the
// envelope's own faces come back once the last point of a face has gone), and
// the cavity is coned from a new point strictly inside the volume, which the
// cavity's every face sees. The output thus has exactly the envelope as its
// boundary and adds nodes only inside.
#include <cstdint>
#include <span>
#include <vector>

#include "ops/mesher/volume/tet_mesh.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::vol {

// Working coordinates: true = origin + unit * working.
struct Frame {
  Point3 origin{0.0, 0.0, 0.0};
  double unit = 1.0;
  Point3 to_true(const Point3& w) const noexcept {
    return {origin[0] + unit * w[0], origin[1] + unit * w[1], origin[2] + unit * w[2]};
  }
};

// The envelope as recovery sees it: subfaces, each inside one envelope face
// and oriented as it.
struct Surface {
  std::vector<Tri> faces;
  std::vector<std::uint32_t> origin;  // the envelope face of each subface
  std::vector<std::uint8_t> dead;     // subfaces split or replaced

  static Surface of(std::span<const Tri> envelope);
  // The live subfaces.
  std::vector<Tri> live() const;
};

// Splits subedges until every subface is a face of the tetrahedralisation;
// each new point is appended to mesh.points (working) and `coords` (true),
// which must have the same length. Polls `interrupt` once per round. Fails
// with the unrecoverable-face message when the splits run past a budget.
void conform_surface(TetMesh& mesh, std::vector<Point3>& coords, Surface& surface,
                     const store::InterruptCheck& interrupt, bool literal = false);

// Moves every point from `first` on that lies on the surface into the
// interior, on a mesh whose live records are exactly the inside ones (faces
// on the surface constrained, with no neighbour). New points are appended as
// above; the old ones stay in the lists, used by no record. Fails when a point
// cannot be moved (never seen: a point close enough to the old one always
// qualifies).
void relocate_steiner_points(TetMesh& mesh, std::vector<Point3>& coords, Surface& surface, const Frame& frame,
                             PointIndex first, const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::mesher::vol
