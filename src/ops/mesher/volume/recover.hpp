#pragma once
// Boundary recovery of the volume mesher, the part without new points: a
// missing envelope edge is restored by removing the records its segment
// crosses (the pipe) and refilling that cavity from its own vertices by an
// advancing front; the face check then flags every envelope face as
// constrained, so that later insertions and the fill never cross it. What the
// flips cannot restore (a Schönhardt-type polyhedron, flat faces whose
// diagonals disagree) is left to the Steiner points of steiner.hpp.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "ops/mesher/volume/tet_mesh.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::vol {

// Whether the segment pq crosses the triangle's interior: p and q strictly on
// opposite sides of its plane and the line pq strictly inside its three edges
// (through a vertex or an edge does not count).
bool segment_crosses_triangle(const Point3& p, const Point3& q, const Point3& t0, const Point3& t1, const Point3& t2);

// Restores missing envelope edges by flips; polls `interrupt` once per pass.
// Returns the edges still missing (smaller index first, ascending) when the
// passes stop improving. `literal` scans every record for presence and starts
// and rebuilds every link after a refill (the reference form); otherwise
// per-edge counts, per-vertex record lists and local relinking give the same
// records in the same order.
std::vector<std::pair<PointIndex, PointIndex>> recover_edges(TetMesh& mesh, std::span<const Tri> faces,
                                                             const store::InterruptCheck& interrupt,
                                                             bool literal = false);
// For each of `faces`, whether some live record holds it; `holders`, when
// given, receives each (record, local face) holding one of them.
std::vector<std::uint8_t> held_faces(const TetMesh& mesh, std::span<const Tri> faces,
                                     std::vector<std::pair<Record, int>>* holders = nullptr);
// Whether every face is a face of some live record.
bool faces_recovered(const TetMesh& mesh, std::span<const Tri> faces);
// Flags every envelope face as constrained on each record holding it; a face held
// by no record fails with the unrecoverable-face message.
void check_faces_recovered(TetMesh& mesh, std::span<const Tri> faces);

}  // namespace quenlith::ops::mesher::vol
