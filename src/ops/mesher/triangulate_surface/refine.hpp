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
class BadTest {
 public:
  explicit BadTest(double h);
  // The triangle with these real corners.
  bool operator()(const Point2& p0, const Point2& p1, const Point2& p2) const noexcept {
    auto square = [](const Point2& a, const Point2& b) {
      const double dx = b[0] - a[0], dy = b[1] - a[1];
      return dx * dx + dy * dy;
    };
    const double s01 = square(p0, p1), s12 = square(p1, p2), s20 = square(p2, p0);
    // The longest and shortest lengths are the square roots of the extreme squares
    // (a correctly rounded square root is monotone); the thresholds compare the
    // squares with what those roots are compared with.
    const double smax = s01 > s12 ? (s01 > s20 ? s01 : s20) : (s12 > s20 ? s12 : s20);
    const double smin = s01 < s12 ? (s01 < s20 ? s01 : s20) : (s12 < s20 ? s12 : s20);
    if (!by_squares_) return by_roots(s01, s12, s20, smax, smin);
    if (smax >= long2_) return true;
    if (!(smin >= short2_)) return false;
    return sharp(s01, s12, s20, smin);
  }

 private:
  bool by_roots(double s01, double s12, double s20, double smax, double smin) const noexcept;
  // Whether the smallest angle, facing the shortest edge (its square smin), is
  // below 20 degrees.
  bool sharp(double s01, double s12, double s20, double smin) const noexcept;

  double h_;
  double long2_;   // the least square whose root exceeds h
  double short2_;  // the least square whose root is at least h / 100
  bool by_squares_;  // both thresholds were found (else the roots are compared)
};
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
