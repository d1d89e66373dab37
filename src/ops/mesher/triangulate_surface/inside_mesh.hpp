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
  std::vector<Triple> triangles_by_rank() const;
  // The positions in Triangulation point order.
  std::vector<Point2> points_by_index() const;

  std::vector<Point2> pos;
  std::vector<Vertex> index;
  std::vector<char> fixed;
  std::vector<std::array<Id, 3>> corners;
  std::vector<std::array<std::int32_t, 3>> across;
  std::vector<Id> rank;
  std::vector<Id> by_rank;
};

}  // namespace quenlith::ops::mesher::tri
