#pragma once
// The constrained Delaunay triangulation of one domain (an outer loop and its
// holes): boundary points inserted into a super triangle, every missing boundary
// segment forced in as an edge, boundary edges flagged, the super triangle removed,
// a Lawson pass, and a flood fill from the first outer segment that flags the
// inside triangles.
//
// The phases are public so the tests can run the literal (scanning) form of the
// recovery against the indexed one used here.
#include <array>
#include <span>
#include <vector>

#include "ops/mesher/triangulate_surface/triangulation.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::tri {

struct LoopRange {
  Vertex first;
  Vertex count;
};
using Segment = std::array<Vertex, 2>;
using Triple = std::array<Vertex, 3>;

// Per loop (outer first), the pairs (first + i, first + (i + 1) mod count).
std::vector<Segment> boundary_segments(std::span<const LoopRange> loops);

// Steps up to the inserted boundary: bounding box (zero extent is an error), super
// triangle, perturbation amplitude, the points and slot 0, then the insertion of
// every boundary point in order.
void start_domain(Triangulation& tr, std::span<const Point2> boundary_points, const store::InterruptCheck& interrupt);

// What one recovery did: whether the edge was missing, the crossed (killed) slots
// in walk order with their vertices (their slots may be reused by the new
// triangles), the new slots in allocation order, and the live triangles that
// linked to a crossed one from outside (the ones whose links may change).
struct Recovery {
  bool needed = false;
  std::vector<Slot> killed;
  std::vector<Triple> killed_vertices;
  std::vector<Slot> created;
  std::vector<Slot> outer;
};
// Makes a -> b an edge. `slots_of_a` lists the live slots holding vertex a, in slot
// order. New triangles have -1 links; their neighbours still name killed slots
// until the caller relinks.
Recovery recover_segment(Triangulation& tr, Vertex a, Vertex b, std::span<const Slot> slots_of_a);

// Ear cutting of the closed chain polygon on the jittered points.
std::vector<Triple> triangulate_polygon(const Triangulation& tr, std::span<const Vertex> chain);

// Every segment made an edge, keeping a vertex -> slots index in slot order and
// relinking only around each recovery.
void recover_boundary(Triangulation& tr, std::span<const Segment> segments);
// The constrained flags of every segment, in both triangles; one pass over the
// directed edges. "triangulate_surface: internal error recovering a boundary edge"
// when an edge is missing.
void mark_constraints(Triangulation& tr, std::span<const Segment> segments);
// Kills every triangle with a super vertex, in slot order, and cuts the point lists.
void remove_super_triangle(Triangulation& tr);
// The bounded first-in first-out pass of Delaunay flips over unconstrained edges.
void lawson_pass(Triangulation& tr);
// The first live slot holding the edge 0 -> 1, flood-filled across unconstrained
// edges. "triangulate_surface: internal error locating the domain interior".
void mark_interior(Triangulation& tr, const store::InterruptCheck& interrupt);

// The whole build (every step above in order), given the domain's boundary points
// (outer loop, then holes) and their loop ranges.
void build_constrained(Triangulation& tr, std::span<const Point2> boundary_points, std::span<const LoopRange> loops,
                       const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::mesher::tri
