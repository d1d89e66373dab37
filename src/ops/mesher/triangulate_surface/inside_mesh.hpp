#pragma once
// InsideMesh: the inside triangles of one refined domain, laid out for the last
// stage (angle-improving flips and smoothing), which adds and removes neither
// points nor triangles.
//
// Two orders are part of the result. The rank of a triangle is its position among
// the live inside slots of the Triangulation in slot order: the output follows it,
// and so do the flip passes and the order in which a point adds up its
// neighbours. The index of a point is its index in the Triangulation: the order
// of the new nodes. Storage follows neither. Points are stored along a Z-order
// curve of their positions and triangles by their lowest stored corner, so that a
// triangle, its neighbours and their corners lie close together in memory: a
// refined mesh numbers both in insertion order, which scatters neighbours across
// the whole mesh. Every decision reads ranks and positions, never a storage
// number, so the result does not depend on the layout.
//
// Stored arrays (P points, T triangles, both in storage order; a point or a
// triangle is named by its storage number):
//   pos       P real positions
//   index     P: the point's index in the Triangulation
//   fixed     P: boundary points, which never move
//   corners   T: corners counter-clockwise, in the slot's stored order
//   across    T: per edge k = (corners[k], corners[k+1]), the triangle across it
//             when the edge may flip (unconstrained, with an inside neighbour),
//             else -1; links are mutual like the Triangulation's
//   rank      T: the triangle's rank; by_rank (T) is its inverse
//
// Single-threaded but for the loops that the last stage runs on the worker pool,
// which read it and write disjoint entries.
#include <array>
#include <cstdint>
#include <vector>

#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "ops/mesher/triangulate_surface/triangulation.hpp"

namespace quenlith::ops::mesher::tri {

struct InsideMesh {
  using Id = std::uint32_t;
  static constexpr std::int32_t kNone = -1;

  // The live inside triangles of `tr` and all its points; `tr` is only read.
  explicit InsideMesh(const Triangulation& tr);

  std::size_t point_count() const noexcept { return pos.size(); }
  std::size_t triangle_count() const noexcept { return corners.size(); }

  // Flips edge e of triangle t with the triangle across it, as
  // Triangulation::flip_edge does (the same stored corner orders): t becomes
  // (f, a, o) and the other (f, o, d), where (a, d, f) were t's corners from
  // edge e and o the apex across it.
  void flip_edge(Id t, int e) noexcept;
  // The edge of triangle u running from a to b (0..2), or -1.
  int find_edge(Id u, Id a, Id b) const noexcept {
    const auto& c = corners[u];
    for (int k = 0; k < 3; ++k)
      if (c[k] == a && c[next3(k)] == b) return k;
    return -1;
  }

  // The triangles in rank order as Triangulation point indices: the final
  // triangle list of the domain.
  LargeArray<Triple> triangles_by_rank() const;
  // The positions in Triangulation point order.
  LargeArray<Point2> points_by_index() const;

  LargeArray<Point2> pos;
  LargeArray<Vertex> index;
  LargeArray<char> fixed;
  LargeArray<std::array<Id, 3>> corners;
  LargeArray<std::array<std::int32_t, 3>> across;
  LargeArray<Id> rank;
  LargeArray<Id> by_rank;
};

// Per point that moves (not fixed), the triangles holding it in rank order, each
// as the two corners that follow the point counter-clockwise (successor, then
// predecessor); the rows of fixed points are empty (nothing reads them). Row p
// holds entries start[p] .. end[p] and has room up to start[p + 1]: two entries
// more than it needs when built, so that a flip, which takes a triangle from two
// rows and gives one to two others, updates the rows in place. A row that runs
// out of room marks the whole `stale` (to be built again).
struct Rings {
  using Id = InsideMesh::Id;
  Rings() = default;
  explicit Rings(const InsideMesh& mesh);
  // The rows of the corners of t and u after they were flipped together.
  void after_flip(const InsideMesh& mesh, Id t, Id u);
  // Building: with start[p + 1] holding the degree of point p (0 for a fixed
  // point), the rows' places; then the triangles in rank order, each giving an
  // entry to the rows of its corners that move.
  void lay_out(std::size_t n_points);
  void append(const std::array<Id, 3>& c, const LargeArray<char>& fixed) noexcept {
    for (int k = 0; k < 3; ++k)
      if (!fixed[c[k]]) ring[end[c[k]]++] = {c[next3(k)], c[prev3(k)]};
  }

  LargeArray<std::uint32_t> start;     // points + 1
  LargeArray<std::uint32_t> end;       // points
  LargeArray<std::array<Id, 2>> ring;  // (successor, predecessor)
  bool stale = false;
};

}  // namespace quenlith::ops::mesher::tri
