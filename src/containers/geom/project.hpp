#pragma once
// Projection of points onto the closest point of a surface mesh (segments in 2-D,
// triangles and quadrilaterals in 3-D), with the facet's weights, unit normal and
// the signed gap along it.
#include <cstdint>
#include <span>
#include <vector>

#include "containers/mesh/mesh.hpp"
#include "containers/geom/locate.hpp"

namespace quenlith::containers::geom {

struct SurfaceProjection {
  std::vector<double> xi;       // parametric position on the facet, clamped to it
  std::vector<double> weights;  // the facet's shape functions at xi
  std::vector<NodeId> nodes;    // the facet's node ids, connectivity order
  std::vector<double> closest;  // Σ N_j(xi) X_j
  std::vector<double> normal;   // unit normal at xi: right-hand rule on the node order
  std::uint64_t submesh;
  std::uint64_t cell;
  double gap;  // (point − closest) · normal
};

// The facet copies of a surface whose Coords is `dim`-D: every submesh must have
// reference dimension dim − 1, else "project_points: submesh {} is {} (topological
// dim {}) but the surface of a {}-D space must have dim {}"; a space of 4 or more
// dimensions has no facet normal: "project_points: no facet normal is defined in a
// {}-D space". No cell at all: "project_points: the surface mesh carries no facet".
CellSnapshots snapshot_facets(const containers::mesh::Mesh& surface);

// A bounding-volume tree over the facets when every one is linear (SEG2, TRI3,
// QUA4); empty otherwise, and the queries then scan the facets in order.
struct FacetTree {
  struct Node {
    std::uint32_t begin, end;  // range of `order` below this node
    std::uint32_t left;        // first child (the second follows it); 0 for a leaf
    std::uint32_t min_index;   // smallest global facet index below this node
  };
  std::size_t dim = 0;
  std::vector<Node> nodes;
  std::vector<double> boxes;  // 2 * dim per node: minimum then maximum
  std::vector<std::uint32_t> order;

  bool empty() const { return nodes.empty(); }
};
FacetTree build_facet_tree(const CellSnapshots& facets);

// The projection of one point. The facet reached minimises (squared distance of
// its clamped closest point, global index): a facet whose distance is NaN never
// beats a number. Errors: "project_points: point has dim {} but the surface lives
// in {}-D", shape-function errors (POI1 facets of a 1-D space), "project_points:
// degenerate facet (zero normal)".
SurfaceProjection project_point(const CellSnapshots& facets, const FacetTree& tree, std::span<const double> x);

// project_point for every point, in input order, on the worker pool; the first
// failing point fails the call. The surface checks run even with no point.
std::vector<SurfaceProjection> project_points(const containers::mesh::Mesh& surface,
                                              std::span<const std::vector<double>> points);

}  // namespace quenlith::containers::geom
