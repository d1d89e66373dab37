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

// The point indices sorted by the Z-order key of their positions on a grid over
// the bounding box (one cell size for both axes, about as many cells per axis as
// points along a side, at least 16), equal keys in index order: a stable radix
// sort of (key, index) records, eleven bits of the key per pass.
LargeArray<Vertex> z_order(const LargeArray<Point2>& points) {
  const std::size_t n = points.size();
  double lo_x = std::numeric_limits<double>::infinity(), hi_x = -lo_x, lo_y = lo_x, hi_y = hi_x;
  for (const Point2& p : points) {
    lo_x = std::min(lo_x, p[0]);
    hi_x = std::max(hi_x, p[0]);
    lo_y = std::min(lo_y, p[1]);
    hi_y = std::max(hi_y, p[1]);
  }
  int bits = 4;
  while (bits < 16 && (std::size_t{1} << (2 * bits)) < 4 * n) ++bits;
  const double cells = static_cast<double>((1u << bits) - 1);
  const double extent = std::max(hi_x - lo_x, hi_y - lo_y);
  const double scale = extent > 0.0 ? cells / extent : 0.0;
  auto cell = [&](double x, double lo) {
    const double c = (x - lo) * scale;
    return c >= 0.0 ? static_cast<std::uint32_t>(std::min(c, cells)) : 0u;  // NaN goes to 0
  };
  LargeArray<std::uint64_t> records(n), next(n);
  for (std::size_t i = 0; i < n; ++i)
    records[i] = std::uint64_t{spread_bits(cell(points[i][0], lo_x)) | (spread_bits(cell(points[i][1], lo_y)) << 1)}
                     << 32 |
                 i;
  constexpr int kRadix = 11;
  constexpr std::uint64_t kMask = (1u << kRadix) - 1;
  for (int shift = 32; shift < 32 + 2 * bits; shift += kRadix) {
    std::vector<std::size_t> start((1u << kRadix) + 1, 0);
    for (const std::uint64_t r : records) ++start[((r >> shift) & kMask) + 1];
    for (std::size_t b = 0; b < (1u << kRadix); ++b) start[b + 1] += start[b];
    for (const std::uint64_t r : records) next[start[(r >> shift) & kMask]++] = r;
    records.swap(next);
  }
  LargeArray<Vertex> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<Vertex>(records[i] & 0xffffffffu);
  return order;
}

using Id = InsideMesh::Id;

}  // namespace

InsideMesh::InsideMesh(const Triangulation& tr) {
  const std::size_t n_points = tr.points.size();
  const std::size_t n_slots = tr.slot_count();
  std::size_t n_triangles = 0;
  for (std::size_t s = 0; s < n_slots; ++s) n_triangles += !tr.triangles[s].dead && tr.inside[s];
  LargeArray<Slot> slot_of_rank;
  slot_of_rank.reserve(n_triangles);
  for (std::size_t s = 0; s < n_slots; ++s)
    if (!tr.triangles[s].dead && tr.inside[s]) slot_of_rank.push_back(static_cast<Slot>(s));

  index = z_order(tr.points);
  LargeArray<Id> where(n_points);
  pos.resize(n_points);
  fixed.resize(n_points);
  for (std::size_t p = 0; p < n_points; ++p) {
    where[index[p]] = static_cast<Id>(p);
    pos[p] = tr.points[index[p]];
    fixed[p] = tr.boundary[index[p]];
  }

  // Triangles grouped by their lowest stored corner (a counting sort: within a
  // group, by rank); with rings, each point's degree counted on the way.
  LargeArray<Id> low(n_triangles);
  LargeArray<std::uint32_t> start(n_points + 1, 0);
  for (std::size_t r = 0; r < n_triangles; ++r) {
    const auto& v = tr.tri(slot_of_rank[r]).v;
    low[r] = std::min({where[v[0]], where[v[1]], where[v[2]]});
    ++start[low[r] + 1];
  }
  for (std::size_t p = 0; p < n_points; ++p) start[p + 1] += start[p];
  rank.resize(n_triangles);
  by_rank.resize(n_triangles);
  // Storage number of every slot; -1 for a slot that is dead or outside.
  LargeArray<std::int32_t> stored(n_slots, kNone);
  for (std::size_t r = 0; r < n_triangles; ++r) {
    const Id t = start[low[r]]++;
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

Rings::Rings(const InsideMesh& mesh) {
  const std::size_t n_points = mesh.point_count(), n = mesh.triangle_count();
  start.assign(n_points + 1, 0);
  std::uint32_t* const degree = start.data() + 1;
  for (std::size_t i = 0; i < n; ++i)
    for (const Id v : mesh.corners[i]) degree[v] += !mesh.fixed[v];
  lay_out(n_points);
  // Filled in rank order, so that each row comes out in rank order.
  for (std::size_t r = 0; r < n; ++r) append(mesh.corners[mesh.by_rank[r]], mesh.fixed);
}

void Rings::lay_out(std::size_t n_points) {
  end.resize(n_points);
  std::uint32_t* const first = start.data();
  for (std::size_t p = 0; p < n_points; ++p) {
    const std::uint32_t degree = first[p + 1];
    end[p] = first[p];
    first[p + 1] = first[p] + degree + (degree > 0 ? 2 : 0);
  }
  ring.resize(first[n_points]);
}

void Rings::after_flip(const InsideMesh& mesh, Id t, Id u) {
  // The flip keeps the four corners of the pair; the row of each that moves is
  // made again from its fan, walked through the links (a point that moves is an
  // interior point: its fan is closed), in rank order. Flips after refinement are
  // few, so this need not be fast.
  std::array<Id, 4> corners{};
  std::size_t n_corners = 0;
  for (const Id x : {t, u})
    for (const Id v : mesh.corners[x])
      if (std::find(corners.begin(), corners.begin() + static_cast<std::ptrdiff_t>(n_corners), v) ==
          corners.begin() + static_cast<std::ptrdiff_t>(n_corners))
        corners[n_corners++] = v;
  std::vector<std::pair<Id, std::array<Id, 2>>> fan;
  for (std::size_t ci = 0; ci < n_corners; ++ci) {
    const Id v = corners[ci];
    if (mesh.fixed[v]) continue;
    const std::uint32_t room = start[v + 1] - start[v];
    fan.clear();
    const Id first = mesh.corners[t][0] == v || mesh.corners[t][1] == v || mesh.corners[t][2] == v ? t : u;
    Id x = first;
    do {
      const auto& c = mesh.corners[x];
      const int k = c[0] == v ? 0 : (c[1] == v ? 1 : 2);
      fan.push_back({mesh.rank[x], {c[next3(k)], c[prev3(k)]}});
      const std::int32_t next = mesh.across[x][prev3(k)];
      if (next < 0 || fan.size() > room) {  // an open fan, or more than the row holds
        stale = true;
        return;
      }
      x = static_cast<Id>(next);
    } while (x != first);
    std::sort(fan.begin(), fan.end());
    end[v] = start[v];
    for (const auto& entry : fan) ring[end[v]++] = entry.second;
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

LargeArray<Triple> InsideMesh::triangles_by_rank() const {
  LargeArray<Triple> out(by_rank.size());
  for (std::size_t r = 0; r < by_rank.size(); ++r) {
    const auto& c = corners[by_rank[r]];
    out[r] = {index[c[0]], index[c[1]], index[c[2]]};
  }
  return out;
}

LargeArray<Point2> InsideMesh::points_by_index() const {
  LargeArray<Point2> out(pos.size());
  for (std::size_t p = 0; p < pos.size(); ++p) out[index[p]] = pos[p];
  return out;
}

}  // namespace quenlith::ops::mesher::tri
