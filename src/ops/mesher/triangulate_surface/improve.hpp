#pragma once
// The last stage of a domain: angle-improving edge flips, Laplacian smoothing of
// the interior points, and the greedy pairing of adjacent triangles into convex
// quadrilaterals. Everything here reads and writes the real points; the
// perturbed copies are no longer used. Boundary points never move and no point
// is added or removed.
#include <array>
#include <utility>
#include <vector>

#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "ops/mesher/triangulate_surface/inside_mesh.hpp"
#include "ops/mesher/triangulate_surface/triangulation.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::tri {

using Quad = std::array<Vertex, 4>;

// Per point, the triangles holding it in rank order, each as the two corners that
// follow the point counter-clockwise (successor, then predecessor). Row p holds
// entries start[p] .. end[p] and has room up to start[p + 1]: two entries more
// than it needs when built, so that a flip, which takes a triangle from two rows
// and gives one to two others, updates the rows in place. A row that runs out of
// room marks the whole `stale` (to be built again).
struct Rings {
  explicit Rings(const InsideMesh& mesh);
  // The rows of the corners of t and u after they were flipped together.
  void after_flip(const InsideMesh& mesh, InsideMesh::Id t, InsideMesh::Id u);

  std::vector<std::uint32_t> start;                // points + 1
  std::vector<std::uint32_t> end;                  // points
  std::vector<std::array<InsideMesh::Id, 2>> ring;  // (successor, predecessor)
  std::vector<InsideMesh::Id> rank;                 // the rank of each entry's triangle
  bool stale = false;
};

// At most `max_passes` passes over the triangles in rank order, flipping each
// flippable edge of a strictly convex pair when it raises the smaller minimum
// angle of the pair by more than 1e-6 radians; stops after a pass without flips.
// With `rings`, every flip updates them.
void improve_by_flips(InsideMesh& mesh, int max_passes, Rings* rings = nullptr);
// The live inside triangles in slot order, as vertex triples in stored order.
std::vector<Triple> final_triangles(const Triangulation& tr);
// One Jacobi sweep over the interior points on the worker pool: each moves
// halfway to the mean of its successors unless one of its triangles would turn
// over with the others at their old places; then the moves that together turn a
// triangle over are undone until none does. `scratch` is working memory.
void smoothing_sweep(InsideMesh& mesh, const Rings& rings, std::vector<Point2>& scratch);
// Flips (6 passes), then three smoothing cycles: poll, two sweeps, at most 4
// passes of flips.
void improve(InsideMesh& mesh, const store::InterruptCheck& interrupt);
// Pairs triangles of F across shared edges into strictly convex quads, best
// smallest angle first (stable: ties in triangle, then edge order). Returns the
// quads (c, a, d, b) in pairing order and the unpaired triangles in F order.
std::pair<std::vector<Quad>, std::vector<Triple>> recombine_quads(const std::vector<Point2>& points,
                                                                  const std::vector<Triple>& f);

}  // namespace quenlith::ops::mesher::tri
