#include "ops/mesher/triangulate_surface/inside_mesh.hpp"

#include <algorithm>
#include <limits>

namespace quenlith::ops::mesher::tri {

namespace {

// The 16 low bits of x spread to the even bits of the result.
inline std::uint32_t spread_bits(std::uint32_t x) noexcept {
  x &= 0xffffu;
  x = (x | (x << 8)) & 0x00ff00ffu;
  x = (x | (x << 4)) & 0x0f0f0f0fu;
  x = (x | (x << 2)) & 0x33333333u;
  x = (x | (x << 1)) & 0x55555555u;
  return x;
}

// The point indices sorted by the Z-order key of their positions on a 65536 x
// 65536 grid over the bounding box (one cell size for both axes), equal keys in
// index order: a stable radix sort, one byte of the key per pass.
std::vector<Vertex> z_order(const std::vector<Point2>& points) {
  const std::size_t n = points.size();
  double lo_x = std::numeric_limits<double>::infinity(), hi_x = -lo_x, lo_y = lo_x, hi_y = hi_x;
  for (const Point2& p : points) {
    lo_x = std::min(lo_x, p[0]);
    hi_x = std::max(hi_x, p[0]);
    lo_y = std::min(lo_y, p[1]);
    hi_y = std::max(hi_y, p[1]);
  }
  const double extent = std::max(hi_x - lo_x, hi_y - lo_y);
  const double scale = extent > 0.0 ? 65535.0 / extent : 0.0;
  auto cell = [&](double x, double lo) {
    const double c = (x - lo) * scale;
    return c >= 0.0 ? static_cast<std::uint32_t>(std::min(c, 65535.0)) : 0u;  // NaN goes to 0
  };
  // (key, index) records sorted together, so that each pass reads them in order.
  std::vector<std::uint64_t> records(n), next(n);
  for (std::size_t i = 0; i < n; ++i)
    records[i] = std::uint64_t{spread_bits(cell(points[i][0], lo_x)) | (spread_bits(cell(points[i][1], lo_y)) << 1)}
                     << 32 |
                 i;
  for (int shift = 32; shift < 64; shift += 8) {
    std::array<std::size_t, 257> start{};
    for (const std::uint64_t r : records) ++start[((r >> shift) & 0xffu) + 1];
    for (std::size_t b = 0; b < 256; ++b) start[b + 1] += start[b];
    for (const std::uint64_t r : records) next[start[(r >> shift) & 0xffu]++] = r;
    records.swap(next);
  }
  std::vector<Vertex> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<Vertex>(records[i] & 0xffffffffu);
  return order;
}

}  // namespace

InsideMesh::InsideMesh(const Triangulation& tr) {
  const std::size_t n_points = tr.points.size();
  const std::size_t n_slots = tr.slot_count();
  std::vector<Slot> slot_of_rank;
  for (std::size_t s = 0; s < n_slots; ++s)
    if (!tr.triangles[s].dead && tr.inside[s]) slot_of_rank.push_back(static_cast<Slot>(s));
  const std::size_t n_triangles = slot_of_rank.size();

  index = z_order(tr.points);
  std::vector<Id> where(n_points);
  pos.resize(n_points);
  fixed.resize(n_points);
  for (std::size_t p = 0; p < n_points; ++p) {
    where[index[p]] = static_cast<Id>(p);
    pos[p] = tr.points[index[p]];
    fixed[p] = tr.boundary[index[p]];
  }

  // Triangles grouped by their lowest stored corner (a counting sort: within a
  // group, by rank).
  std::vector<Id> low(n_triangles);
  std::vector<std::size_t> start(n_points + 1, 0);
  for (std::size_t r = 0; r < n_triangles; ++r) {
    const auto& v = tr.tri(slot_of_rank[r]).v;
    low[r] = std::min({where[v[0]], where[v[1]], where[v[2]]});
    ++start[low[r] + 1];
  }
  for (std::size_t p = 0; p < n_points; ++p) start[p + 1] += start[p];
  rank.resize(n_triangles);
  by_rank.resize(n_triangles);
  // Storage number of every slot; -1 for a slot that is dead or outside.
  std::vector<std::int32_t> stored(n_slots, kNone);
  for (std::size_t r = 0; r < n_triangles; ++r) {
    const auto t = static_cast<Id>(start[low[r]]++);
    by_rank[r] = t;
    rank[t] = static_cast<Id>(r);
    stored[static_cast<std::size_t>(slot_of_rank[r])] = static_cast<std::int32_t>(t);
  }
  corners.resize(n_triangles);
  across.resize(n_triangles);
  for (std::size_t r = 0; r < n_triangles; ++r) {
    const Triangle& t = tr.tri(slot_of_rank[r]);
    const Id i = by_rank[r];
    for (int k = 0; k < 3; ++k) {
      corners[i][k] = where[t.v[k]];
      const Slot nb = t.n[k];
      across[i][k] = t.c[k] || nb < 0 ? kNone : stored[static_cast<std::size_t>(nb)];
    }
  }
}

void InsideMesh::flip_edge(Id t, int e) noexcept {
  const auto ct = corners[t];
  const auto at = across[t];
  const Id a = ct[e], d = ct[next3(e)], f = ct[prev3(e)];
  const auto u = static_cast<Id>(at[e]);
  const int eu = find_edge(u, d, a);
  const auto cu = corners[u];
  const auto au = across[u];
  const Id o = cu[prev3(eu)];
  const std::int32_t l_fa = at[prev3(e)], l_df = at[next3(e)];
  const std::int32_t l_ao = au[next3(eu)], l_od = au[prev3(eu)];
  corners[t] = {f, a, o};
  across[t] = {l_fa, l_ao, static_cast<std::int32_t>(u)};
  corners[u] = {f, o, d};
  across[u] = {static_cast<std::int32_t>(t), l_od, l_df};
  // The neighbours across (a, o) and (d, f) now face t and u.
  if (l_ao >= 0) across[static_cast<Id>(l_ao)][find_edge(static_cast<Id>(l_ao), o, a)] = static_cast<std::int32_t>(t);
  if (l_df >= 0) across[static_cast<Id>(l_df)][find_edge(static_cast<Id>(l_df), f, d)] = static_cast<std::int32_t>(u);
}

std::vector<Triple> InsideMesh::triangles_by_rank() const {
  std::vector<Triple> out(by_rank.size());
  for (std::size_t r = 0; r < by_rank.size(); ++r) {
    const auto& c = corners[by_rank[r]];
    out[r] = {index[c[0]], index[c[1]], index[c[2]]};
  }
  return out;
}

std::vector<Point2> InsideMesh::points_by_index() const {
  std::vector<Point2> out(pos.size());
  for (std::size_t p = 0; p < pos.size(); ++p) out[index[p]] = pos[p];
  return out;
}

}  // namespace quenlith::ops::mesher::tri
