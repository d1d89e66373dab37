#pragma once
// volume: fills the inside of a closed, consistently oriented TRI3 surface (the
// envelope) with TET4 cells. The envelope's nodes are the boundary nodes; new
// interior nodes, spaced by a target edge length, are added to the envelope's
// Coords; no node is ever added on the boundary: the output's boundary is
// exactly the envelope. An envelope that crosses itself bounds no solid and is
// refused.
//
// Phases: checks of the envelope (closed, oriented, not crossing itself), the
// interior lattice (true coordinates), the Delaunay tetrahedralisation of the
// envelope's points, boundary recovery (flips, then points on the envelope
// where flips cannot), insertion of the lattice, the fill from a seed inside
// each component, the move of recovery's points into the interior, and the
// emission of positively oriented cells. New nodes are created only at the
// end, so a failure before it leaves the Coords unchanged.
#include <optional>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "ops/mesher/volume/tet_mesh.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::vol {

// The tetrahedra of an envelope given as points and faces (point indices).
// `points` grows by the interior points, in insertion order; each emitted
// tetrahedron lists point indices, positively oriented on the true points.
struct VolumeResult {
  std::vector<Point3> points;
  std::vector<Quad> tets;
  std::size_t n_boundary = 0;
};

// Everything after the gathering: the envelope checks, the size, the phases.
// `literal` runs the reference form of every phase (small inputs only).
VolumeResult mesh_volume(std::vector<Point3> points, const std::vector<Tri>& faces, std::optional<double> size,
                         const store::InterruptCheck& interrupt, bool literal = false);

}  // namespace quenlith::ops::mesher::vol

namespace quenlith::ops::mesher {

containers::mesh::Mesh volume(const containers::mesh::Mesh& envelope, std::optional<double> size,
                              const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::mesher
