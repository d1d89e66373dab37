#include "ops/mesher/transfinite.hpp"

#include <array>

#include <fmt/format.h>

#include "base/error.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/mesher/chain.hpp"
#include "containers/mesh/node_refs.hpp"
#include "containers/mesh/rewrite.hpp"
#include "ops/mesher/sweep.hpp"
#include "ops/mesher/sweep_kernel.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::NodeRefs;
using containers::mesh::SubMeshSnapshot;
using containers::mesh::snapshot;
using containers::mesh::finite_points;
using containers::mesh::check_new_points;
using containers::mesh::sat_mul;
using containers::mesh::sat_add;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

TransfiniteSide transfinite_read_side(const Mesh& mesh, std::string_view name) {
  QUENLITH_VERIFY(mesh.size() == 1, "transfinite: {} must have exactly one submesh", name);
  TransfiniteSide side;
  const SubMeshSnapshot snap = snapshot(mesh.subs()[0]);
  side.coords = mesh.coords();
  QUENLITH_VERIFY(snap.element_type == ElementType::SEG2, "transfinite: {} must be a SEG2 mesh", name);
  side.chain = line_chain(snap.connectivity);
  side.points = finite_points("transfinite", side.coords, side.chain, side.dim);
  return side;
}

Mesh transfinite(const Mesh& side1, const Mesh& side2, const Mesh& side3, const Mesh& side4, ElementType type) {
  const std::array<TransfiniteSide, 4> s{transfinite_read_side(side1, "side1"), transfinite_read_side(side2, "side2"),
                                         transfinite_read_side(side3, "side3"), transfinite_read_side(side4, "side4")};
  for (std::size_t k = 1; k < 4; ++k)
    QUENLITH_VERIFY(s[k].coords == s[0].coords, "transfinite: side1 and side{} belong to different Coords", k + 1);
  const std::uint64_t m = s[0].cell_count();
  const std::uint64_t n = s[1].cell_count();
  QUENLITH_VERIFY(m >= 1 && n >= 1, "transfinite: every side must have at least 1 element");
  QUENLITH_VERIFY(s[2].cell_count() == m, "transfinite: side1 has {} elements but side3 (opposite) has {}", m,
                  s[2].cell_count());
  QUENLITH_VERIFY(s[3].cell_count() == n, "transfinite: side2 has {} elements but side4 (opposite) has {}", n,
                  s[3].cell_count());
  for (std::size_t k = 0; k < 4; ++k)
    QUENLITH_VERIFY(s[k].chain.back() == s[(k + 1) % 4].chain.front(),
                    "transfinite: last node of side{} must equal first node of side{}", k + 1, (k + 1) % 4 + 1);
  check_node_room("transfinite", fmt::format("{}×{} cells", m, n), s[0].coords,
                  sat_add(sat_mul(m - 1, n - 1), patch_conversion_nodes(m, n, type)));

  const std::size_t d = s[0].dim;
  const auto point = [&](const TransfiniteSide& side, std::uint64_t i) { return side.points.data() + i * d; };
  const TransfiniteSide& bottom = s[0];
  const TransfiniteSide& right = s[1];
  const TransfiniteSide& top = s[2];
  const TransfiniteSide& left = s[3];
  // The grid, column by column; side nodes first, then the new interior nodes.
  const std::uint64_t rows = n + 1;
  std::vector<NodeId> grid((m + 1) * rows);
  for (std::uint64_t i = 0; i <= m; ++i) {
    for (std::uint64_t j = 0; j <= n; ++j) {
      NodeId& id = grid[i * rows + j];
      if (j == 0) id = bottom.chain[i];
      else if (j == n) id = top.chain[m - i];
      else if (i == 0) id = left.chain[n - j];
      else if (i == m) id = right.chain[j];
    }
  }
  // The Coons points of column i of interior nodes, j = 1 to n - 1. Every column is
  // checked before any node is made, then computed again as it is made.
  const double* p00 = point(bottom, 0);
  const double* p10 = point(right, 0);
  const double* p11 = point(top, 0);
  const double* p01 = point(left, 0);
  std::vector<double> column((n - 1) * d);
  const auto coons_column = [&](std::uint64_t i) {
    const double u = static_cast<double>(i) / static_cast<double>(m);
    const double* b = point(bottom, i);
    const double* t = point(top, m - i);
    for (std::uint64_t j = 1; j < n; ++j) {
      const double v = static_cast<double>(j) / static_cast<double>(n);
      const double* l = point(left, n - j);
      const double* r = point(right, j);
      double* out = column.data() + (j - 1) * d;
      for (std::size_t k = 0; k < d; ++k) {
        const double sum = ((b[k] * (1 - v) + t[k] * v) + l[k] * (1 - u)) + r[k] * u;
        const double corners =
            ((p00[k] * ((1 - v) * (1 - u)) + p10[k] * ((1 - v) * u)) + p01[k] * (v * (1 - u))) + p11[k] * (v * u);
        out[k] = sum - corners;
      }
    }
  };
  for (std::uint64_t i = 1; i < m; ++i) {
    coons_column(i);
    check_new_points("transfinite", column, d);
  }
  NodeRefs refs(s[0].coords);
  refs.reserve((m + 1) * rows);
  // References on the side nodes in grid order, then the interior nodes.
  {
    std::vector<NodeId> sides;
    sides.reserve(2 * (m + n));
    for (std::uint64_t i = 0; i <= m; ++i)
      for (std::uint64_t j = 0; j <= n; ++j)
        if (i == 0 || i == m || j == 0 || j == n) sides.push_back(grid[i * rows + j]);
    refs.acquire(sides);
  }
  for (std::uint64_t i = 1; i < m; ++i) {
    coons_column(i);
    const std::uint64_t first = refs.size();
    refs.create(column);
    for (std::uint64_t j = 1; j < n; ++j) grid[i * rows + j] = refs[first + j - 1];
  }

  // Cells one column of the grid at a time.
  SubMesh quads(ElementType::QUA4, s[0].coords);
  std::vector<NodeId> cells(4 * n);
  for (std::uint64_t i = 0; i < m; ++i) {
    for (std::uint64_t j = 0; j < n; ++j) {
      NodeId* cell = cells.data() + 4 * j;
      cell[0] = grid[i * rows + j];
      cell[1] = grid[(i + 1) * rows + j];
      cell[2] = grid[(i + 1) * rows + j + 1];
      cell[3] = grid[i * rows + j + 1];
    }
    quads.add_cells(cells);
  }
  return convert_patch("transfinite", Mesh::from_submesh(std::move(quads)), type);
}

}  // namespace quenlith::ops::mesher
