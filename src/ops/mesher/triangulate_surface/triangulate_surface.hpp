#pragma once
// triangulate_surface: meshes the inside of closed SEG2 loops with TRI3 cells (or
// QUA4 cells and a few TRI3 cells) by constrained Delaunay triangulation and
// circumcentre refinement. Counter-clockwise loops bound domains, clockwise loops
// are holes; a 3-D contour is meshed in its best-fit plane and lifted back. The
// boundary of the result is exactly the contour (its own nodes, no segment
// split); interior nodes are added to the contour's Coords, and only after every
// domain has been meshed, so a failure leaves the Coords unchanged. The mesher
// works on coordinates relative to the contour's bounding box (an exact shift),
// so a contour far from the origin meshes as it would at the origin; the new
// nodes are moved back by that shift.
#include <cstdint>
#include <optional>
#include <vector>

#include "containers/mesh/element_type.hpp"
#include "containers/mesh/mesh.hpp"
#include "ops/mesher/triangulate_surface/improve.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher {

// One contour loop: node ids in loop order and their 2-D points in the contour's
// plane.
struct BoundaryLoop {
  std::vector<containers::mesh::NodeId> ids;
  std::vector<Point2> points;
};

// An outer loop and the holes assigned to it, in contour order.
struct Domain {
  BoundaryLoop outer;
  std::vector<BoundaryLoop> holes;
};

// The mesh of one domain. Vertex numbers index `points`: the boundary points
// (outer loop, then holes; their node ids in `ids`), then the interior points in
// insertion order at their final positions.
struct DomainMesh {
  std::vector<containers::mesh::NodeId> ids;
  std::vector<Point2> points;
  std::vector<tri::Triple> triangles;  // TRI3
  std::vector<tri::Quad> quads;        // QUA4
  std::vector<tri::Triple> leftover;   // QUA4: unpaired triangles
  std::size_t boundary_count = 0;
};

// Outer loops (positive area) in contour order, each hole given to the innermost
// outer loop containing its first point (smallest area, ties to the earlier).
std::vector<Domain> classify_loops(std::vector<BoundaryLoop> loops);
// The whole pipeline for one domain; `size` absent: the mean boundary edge length.
DomainMesh triangulate_domain(const Domain& domain, containers::mesh::ElementType type, std::optional<double> size,
                              const store::InterruptCheck& interrupt);
containers::mesh::Mesh triangulate_surface(const containers::mesh::Mesh& contour,
                                           containers::mesh::ElementType element_type, std::optional<double> size,
                                           const store::InterruptCheck& interrupt);

}  // namespace quenlith::ops::mesher
