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
#include "ops/mesher/triangulate_surface/triangulation.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::tri {

using Quad = std::array<Vertex, 4>;

// At most `max_passes` passes over the inside triangles in slot order, flipping
// each unconstrained inside edge of a strictly convex pair when it raises the
// smaller minimum angle of the pair by more than 1e-6 radians; stops after a
// pass without flips.
void improve_by_flips(Triangulation& tr, int max_passes);
// The live inside triangles in slot order, as vertex triples in stored order.
std::vector<Triple> final_triangles(const Triangulation& tr);
// The adjacency of a triangle list in compressed rows: for each point p, its
// successors succ[offset[p] .. offset[p + 1]) and the triangles incident[...]
// holding them, in triangle order.
struct Adjacency {
  std::vector<std::uint32_t> offset;  // points + 1
  std::vector<Vertex> succ;
  std::vector<std::uint32_t> incident;
};
Adjacency build_adjacency(std::size_t n_points, const std::vector<Triple>& f);
// One Jacobi sweep over the interior points of F on the worker pool, each move
// checked against the snapshot, then the moves that together turn a triangle of F
// over undone until none does.
void smoothing_sweep(Triangulation& tr, const std::vector<Triple>& f, const Adjacency& adj);
// One smoothing cycle: poll, two Jacobi sweeps on the worker pool (each point
// moves halfway to the mean of its neighbours unless a triangle would turn over;
// after each sweep, moves that together turn a triangle over are undone until
// none does), then at most 4 passes of flips.
void smoothing_cycle(Triangulation& tr, const store::InterruptCheck& interrupt);
// Flips (6 passes) and three smoothing cycles.
void improve(Triangulation& tr, const store::InterruptCheck& interrupt);
// Pairs triangles of F across shared edges into strictly convex quads, best
// smallest angle first (stable: ties in triangle, then edge order). Returns the
// quads (c, a, d, b) in pairing order and the unpaired triangles in F order.
std::pair<std::vector<Quad>, std::vector<Triple>> recombine_quads(const std::vector<Point2>& points,
                                                                  const std::vector<Triple>& f);

}  // namespace quenlith::ops::mesher::tri
