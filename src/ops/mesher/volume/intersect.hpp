#pragma once
// Self-intersection of the volume mesher's envelope: two faces that meet
// anywhere but along the vertices or the edge they share. Such an envelope
// bounds no solid, and no point added anywhere makes it conform; it is refused
// before any meshing, in time about linear in the number of faces (a sweep over
// the faces' boxes, then exact predicates on the pairs whose boxes overlap).
#include <cstddef>
#include <optional>
#include <span>
#include <utility>

#include "ops/mesher/volume/tet_mesh.hpp"

namespace quenlith::ops::mesher::vol {

// Whether the closed segment pq meets the closed triangle (t0, t1, t2),
// decided exactly (a degenerate triangle counts through its edges).
bool segment_meets_closed_triangle(const Point3& p, const Point3& q, const Point3& t0, const Point3& t1,
                                   const Point3& t2);

// Whether faces f and g of `points` meet anywhere but at their shared
// vertices (and along their shared edge).
bool faces_intersect(std::span<const Point3> points, const Tri& f, const Tri& g);

// The first pair (i, j), i < j, of faces that intersect, in ascending order of
// i then j; none when the surface does not cross itself.
std::optional<std::pair<std::size_t, std::size_t>> find_self_intersection(std::span<const Point3> points,
                                                                           std::span<const Tri> faces);

}  // namespace quenlith::ops::mesher::vol
