#pragma once
// The last stage of a domain: angle-improving edge flips, Laplacian smoothing of
// the interior points, and the greedy pairing of adjacent triangles into convex
// quadrilaterals. Everything here reads and writes the real points; the
// perturbed copies are no longer used. Boundary points never move and no point
// is added or removed.
#include <array>
#include <span>
#include <utility>
#include <vector>

#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "ops/mesher/triangulate_surface/inside_mesh.hpp"
#include "ops/mesher/triangulate_surface/triangulation.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::tri {

using Quad = std::array<Vertex, 4>;

// Working memory of the smoothing sweeps, kept from one sweep to the next.
struct SweepBuffers {
  LargeArray<Point2> next;    // per point: after move_points, its position before the sweep
  LargeArray<char> moved;     // per point: whether it moved
  LargeArray<char> inverted;  // per triangle: turned over by the moves
};
// At most `max_passes` passes over the triangles in rank order, flipping each
// flippable edge of a strictly convex pair when it raises the smaller minimum
// angle of the pair by more than 1e-6 radians; stops after a pass without flips.
// With `rings`, every flip updates them. With `untangle_first`, the sweep it
// describes (move_points without untangle) is untangled first.
void improve_by_flips(InsideMesh& mesh, int max_passes, Rings* rings = nullptr, SweepBuffers* untangle_first = nullptr);
// The live inside triangles in slot order, as vertex triples in stored order.
std::vector<Triple> final_triangles(const Triangulation& tr);
// One Jacobi sweep over the interior points on the worker pool: each moves
// halfway to the mean of its successors unless one of its triangles would turn
// over with the others at their old places.
void move_points(InsideMesh& mesh, const Rings& rings, SweepBuffers& buffers);
// Then the moves that together turn a triangle over are undone until none does.
void untangle(InsideMesh& mesh, SweepBuffers& buffers);
// Both.
void smoothing_sweep(InsideMesh& mesh, const Rings& rings, SweepBuffers& buffers);
// Flips (6 passes), then three smoothing cycles: poll, two sweeps, at most 4
// passes of flips. `rings`, when given, are the mesh's (as built with it): the
// first flips keep them up to date; else they are built after those flips.
void improve(InsideMesh& mesh, const store::InterruptCheck& interrupt, Rings* rings = nullptr);
// Pairs triangles of F across shared edges into strictly convex quads, best
// smallest angle first (stable: ties in triangle, then edge order). Returns the
// quads (c, a, d, b) in pairing order and the unpaired triangles in F order.
std::pair<std::vector<Quad>, std::vector<Triple>> recombine_quads(std::span<const Point2> points,
                                                                  std::span<const Triple> f);

}  // namespace quenlith::ops::mesher::tri
