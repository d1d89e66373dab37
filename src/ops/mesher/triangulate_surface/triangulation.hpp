#pragma once
// Triangulation: the triangle structure of one domain of the surface mesher, and
// its incremental Delaunay operations (locate, insert with Lawson flips, flip an
// edge, rebuild the links).
//
// Stored arrays (P points, T slots):
//   points     P real points: the domain's boundary points first (outer loop in
//              loop order, then each hole), the three super vertices while they
//              exist, then refinement points
//   jittered   P perturbed copies: entry k is points[k] + a * (hash_jitter(k, x),
//              hash_jitter(k, y)), fixed when the point is added. Every
//              combinatorial predicate reads these; the output never does
//   boundary   P flags: true for boundary points
//   triangles  T slots; a slot index names a triangle for its whole life
//   inside     T flags: the triangle lies inside the domain
//   free       killed slots, handed out again last-in first-out
//
// Invariants between operations: live triangles are counter-clockwise on the
// jittered points; links are mutual (t.n[k] = u implies u holds the edge
// (v[k+1], v[k]) and links back to t); a constrained edge is flagged in both
// triangles that share it; a killed slot is on the free stack once and no live
// triangle links to it. Boundary recovery suspends the link invariant for one
// segment at a time and restores it before the next.
//
// Single-threaded: one domain's triangulation lives on the calling thread.
#include <array>
#include <cstdint>
#include <vector>

#include "ops/mesher/predicates.hpp"
#include "store/interrupt.hpp"

namespace quenlith::ops::mesher::tri {

using Slot = std::int32_t;  // -1: no triangle
using Vertex = std::uint32_t;

struct Triangle {
  std::array<Vertex, 3> v{0, 0, 0};     // counter-clockwise
  std::array<Slot, 3> n{-1, -1, -1};    // n[k]: across edge k = (v[k], v[k+1])
  std::array<bool, 3> c{false, false, false};  // c[k]: edge k is constrained
  bool dead = false;
};

inline int next3(int k) noexcept { return k == 2 ? 0 : k + 1; }
inline int prev3(int k) noexcept { return k == 0 ? 2 : k - 1; }

struct Triangulation {
  std::vector<Point2> points;
  std::vector<Point2> jittered;
  std::vector<char> boundary;
  std::vector<char> inside;
  std::vector<Triangle> triangles;
  std::vector<Slot> free;
  Slot hint = 0;
  double jitter_amplitude = 0.0;
  Vertex super_first = 0;

  std::size_t slot_count() const noexcept { return triangles.size(); }
  bool live(Slot s) const noexcept { return s >= 0 && !triangles[static_cast<std::size_t>(s)].dead; }
  Triangle& tri(Slot s) noexcept { return triangles[static_cast<std::size_t>(s)]; }
  const Triangle& tri(Slot s) const noexcept { return triangles[static_cast<std::size_t>(s)]; }

  // Appends a point with its perturbed copy (index = the current point count).
  Vertex add_point(Point2 p, bool is_boundary);
  // Pops the free stack, else appends a blank slot; the slot's inside flag is false.
  Slot alloc_triangle();
  // Marks the slot dead and pushes it on the free stack.
  void kill(Slot s);
  // The first live slot in slot order, or -1.
  Slot first_live() const noexcept;

  // The three edge values o_k(q) = orient2d(J[v[k]], J[v[k+1]], q) of a triangle.
  std::array<double, 3> edge_values(const Triangle& t, const Point2& q) const;
  // The bounded walk from `start`, with the linear fallback. With `values`, the
  // edge values of the triangle found (when there is one).
  Slot locate(Slot start, const Point2& q, std::array<double, 3>* values = nullptr) const;
  // Inserts the already added point k, starting the walk at `start`; returns the
  // touched slots (valid until the next insertion) and sets `hint` to the last
  // one. Polls `interrupt` first.
  const std::vector<Slot>& insert_point(Vertex k, Slot start, const store::InterruptCheck& interrupt);
  // Splits t into three around k: [t, s1, s2].
  std::array<Slot, 3> split_triangle(Slot t, Vertex k);
  // Splits edge f of t and the triangle across it into four: [h, l, p, o].
  std::array<Slot, 4> split_edge_2(Slot t, int f, Vertex k);
  // Flips edge e of t; both slots keep their indices: (t, u).
  std::array<Slot, 2> flip_edge(Slot t, int e);
  // Rebuilds every link of the live triangles from their vertices.
  void link_triangles();

  // The edge of slot u running from a to b (0..2), or -1. (A triangle's corners
  // are distinct, so a is found at most once.)
  int find_edge(Slot u, Vertex a, Vertex b) const noexcept {
    const auto& v = tri(u).v;
    const int k = v[0] == a ? 0 : (v[1] == a ? 1 : (v[2] == a ? 2 : -1));
    return k >= 0 && v[next3(k)] == b ? k : -1;
  }

 private:
  // Sets the link of the live neighbour `nb` across edge (a, b) (its edge
  // running b -> a) to `to`.
  void relink(Slot nb, Vertex a, Vertex b, Slot to) noexcept {
    if (!live(nb)) return;
    const int k = find_edge(nb, b, a);
    if (k >= 0) tri(nb).n[k] = to;
  }
  // Working memory of insert_point, kept between insertions.
  std::vector<Slot> touched_;
  std::vector<Slot> stack_;
  std::vector<std::uint32_t> touch_stamp_;
  std::uint32_t touch_epoch_ = 0;
};

// Directed edges (a, b) of a list of triangles, each with its triangle's index;
// add them in list order, then `finish`. Lookups return the first or the last
// index holding an edge (-1 when none), which is what "the first triangle in slot
// order" and "a later triangle replaces an earlier one" ask for.
class EdgeTable {
 public:
  void reserve(std::size_t n) { added_.reserve(n); }
  void add(Vertex a, Vertex b, std::uint32_t index) { added_.push_back({a, b, index}); }
  // The three edges of each live triangle, in slot order.
  static EdgeTable of_live(const std::vector<Triangle>& triangles);
  // Groups the edges by their first vertex (a counting sort, stable: each group
  // keeps the order of adding), so a lookup scans the few edges leaving a.
  void finish();
  std::int64_t first(Vertex a, Vertex b) const noexcept;
  std::int64_t last(Vertex a, Vertex b) const noexcept;

 private:
  struct Added {
    Vertex a, b;
    std::uint32_t index;
  };
  struct Entry {
    Vertex b;
    std::uint32_t index;
  };
  std::vector<Added> added_;
  std::vector<std::size_t> offset_;  // first vertex -> start in entries_; one more than the vertices
  std::vector<Entry> entries_;
};

// The minimum angle, in radians, of the triangle with these real corners: the
// arccos of the largest law-of-cosines cosine (clamped to [-1, 1]); 0 when an edge
// has length 0.
double min_angle(const Point2& p0, const Point2& p1, const Point2& p2) noexcept;
// The largest of those cosines (1 when an edge has length 0): min_angle is its
// arccos. Both are invariant, to the last bit, under a rotation of the corners.
double max_cosine(const Point2& p0, const Point2& p1, const Point2& p2) noexcept;

}  // namespace quenlith::ops::mesher::tri
