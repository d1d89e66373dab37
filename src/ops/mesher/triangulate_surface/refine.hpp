#pragma once
// Refinement of the inside triangles of a constrained triangulation by
// circumcentre insertion, without ever splitting a boundary segment: a triangle
// whose circumcentre falls outside the domain, encroaches on a boundary edge or
// lies too close to an existing point is given up instead.
#include <cstdint>
#include <vector>

#include "ops/mesher/triangulate_surface/triangulation.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::tri {

// 20 degrees, in radians, and its cosine.
inline constexpr double kMinAngle = 0.3490658503988659;
inline constexpr double kCosMinAngle = 0.9396926207859084;

// Too long (an edge above h), or too sharp (minimum angle below 20 degrees) while
// its shortest edge is at least h / 100.
bool is_bad(const Triangulation& tr, const Triangle& t, double h) noexcept;
// Whether c lies strictly inside the diametral circle of a constrained edge of
// the live triangle t (real points). A dead or absent t never encroaches.
bool encroaches_segment(const Triangulation& tr, Slot t, const Point2& c) noexcept;
// Why a bad triangle was left as it is.
enum class GiveUp : std::uint8_t { None, Degenerate, NonFinite, Outside, Encroaches, TooClose };

// Runs until no queued triangle is bad. "triangulate_surface: refinement did not
// converge within the point budget" once more than max(100 P, 20 000 000) points
// were inserted, P the point count at the start.
// With `reasons`, entry s tells why slot s was last given up (None once an
// insertion touches it again): every bad inside triangle left has a reason.
void refine_ruppert(Triangulation& tr, double h, const store::InterruptCheck& interrupt,
                    std::vector<GiveUp>* reasons = nullptr);

}  // namespace quenlith::ops::mesher::tri
