#include "ops/mesher/triangulate_surface/triangulate_surface.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "containers/mesh/submesh.hpp"
#include "dump/number_format.hpp"
#include "ops/mesher/triangulate_surface/constrain.hpp"
#include "containers/mesh/node_refs.hpp"
#include "ops/mesher/triangulate_surface/refine.hpp"
#include "base/error.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::ops::mesher {

using containers::mesh::NodeRefs;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::Mesh;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;

namespace {

using Point3 = std::array<double, 3>;

// A loop as read: ids and their coordinates (2 or 3 values each).
struct RawLoop {
  std::vector<NodeId> ids;
  std::vector<Point3> coords;
};

RawLoop extract_loop(const store::Handle<SubMesh>& handle, std::uint8_t dim) {
  store::ReadGuard<SubMesh> sub = store::read(handle);
  QUENLITH_VERIFY(sub->element_type() == ElementType::SEG2,
                  "triangulate_surface: contour submeshes must be SEG2, got {}",
                  containers::mesh::name(sub->element_type()));
  const std::uint64_t n_cells = sub->cell_count();
  QUENLITH_VERIFY(n_cells >= 3, "triangulate_surface: a boundary loop needs at least 3 segments");
  std::unordered_map<NodeId, NodeId> succ;
  succ.reserve(n_cells);
  for (std::uint64_t c = 0; c < n_cells; ++c) {
    const auto cell = sub->cell(c);
    QUENLITH_VERIFY(succ.emplace(cell[0], cell[1]).second,
                    "triangulate_surface: a boundary submesh is not a simple loop (branching)");
  }
  RawLoop loop;
  loop.ids.reserve(n_cells);
  std::unordered_set<NodeId> visited;
  visited.reserve(n_cells);
  const NodeId start = sub->cell(0)[0];
  NodeId cur = start;
  for (std::uint64_t i = 0; i < n_cells; ++i) {
    QUENLITH_VERIFY(visited.insert(cur).second,
                    "triangulate_surface: a boundary submesh is not a simple loop (repeated node)");
    loop.ids.push_back(cur);
    const auto it = succ.find(cur);
    QUENLITH_VERIFY(it != succ.end(), "triangulate_surface: a boundary submesh is not closed");
    cur = it->second;
  }
  QUENLITH_VERIFY(cur == start, "triangulate_surface: a boundary submesh is not closed");
  {
    store::ReadGuard<Coords> coords = store::read(sub->coords());
    loop.coords.reserve(loop.ids.size());
    for (NodeId id : loop.ids) {
      const std::vector<double> x = coords->coord(id);
      Point3 p{0.0, 0.0, 0.0};
      for (std::uint8_t d = 0; d < dim; ++d) p[d] = x[d];
      // Non-finite points would make every predicate and area meaningless.
      for (std::uint8_t d = 0; d < dim; ++d)
        QUENLITH_VERIFY(std::isfinite(p[d]), "triangulate_surface: contour node {} has a non-finite coordinate", id);
      loop.coords.push_back(p);
    }
  }
  return loop;
}

// Per axis, the middle of the loops' bounding box rounded to a multiple of the
// largest power of two not above the box's extent (0 on unused axes). Subtracting
// it is exact wherever the box lies away from the origin compared with its size
// (the coordinates and the shift then share their last bits), and a contour moved
// by a multiple of that power of two is meshed from the very same relative
// coordinates, so it gives the same cells. A box around the origin gets 0.
Point3 contour_shift(const std::vector<RawLoop>& loops, std::uint8_t dim) {
  Point3 shift{0.0, 0.0, 0.0};
  for (std::uint8_t d = 0; d < dim; ++d) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const RawLoop& l : loops)
      for (const Point3& p : l.coords) {
        lo = std::min(lo, p[d]);
        hi = std::max(hi, p[d]);
      }
    const double extent = hi - lo;
    if (!(extent < std::numeric_limits<double>::infinity())) continue;  // no point, or an overflowing box
    if (extent == 0.0) {
      shift[d] = lo;  // a flat axis: every coordinate becomes exactly 0
      continue;
    }
    int e = 0;
    std::frexp(extent, &e);
    const double step = std::ldexp(1.0, e - 1);
    shift[d] = std::nearbyint((lo + extent / 2.0) / step) * step;
  }
  return shift;
}

// A relative coordinate back in place; without a shift the value is kept as it
// is (adding 0 would turn -0 into +0).
inline double unshift(double x, double shift) noexcept { return shift == 0.0 ? x : x + shift; }

struct PlaneBasis {
  Point3 origin, u, v;
};

inline double dot3(const Point3& a, const Point3& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

PlaneBasis fit_plane(const std::vector<RawLoop>& loops) {
  Point3 sum{0.0, 0.0, 0.0};
  std::size_t count = 0;
  for (const RawLoop& l : loops)
    for (const Point3& p : l.coords) {
      for (int d = 0; d < 3; ++d) sum[d] += p[d];
      ++count;
    }
  QUENLITH_VERIFY(count > 0, "triangulate_surface: empty contour");
  const double nc = static_cast<double>(count);
  const Point3 origin{sum[0] / nc, sum[1] / nc, sum[2] / nc};
  Point3 n{0.0, 0.0, 0.0};
  for (const RawLoop& l : loops) {
    const std::size_t m = l.coords.size();
    for (std::size_t i = 0; i < m; ++i) {
      const Point3& a = l.coords[i];
      const Point3& b = l.coords[(i + 1) % m];
      n[0] += (a[1] - b[1]) * (a[2] + b[2]);
      n[1] += (a[2] - b[2]) * (a[0] + b[0]);
      n[2] += (a[0] - b[0]) * (a[1] + b[1]);
    }
  }
  const double len = std::sqrt(dot3(n, n));
  QUENLITH_VERIFY(len >= 1e-30, "triangulate_surface: contour points are collinear or degenerate");
  for (double& x : n) x /= len;
  const Point3 t = std::fabs(n[0]) < 0.9 ? Point3{1.0, 0.0, 0.0} : Point3{0.0, 1.0, 0.0};
  const double tn = dot3(t, n);
  Point3 u{t[0] - tn * n[0], t[1] - tn * n[1], t[2] - tn * n[2]};
  const double ul = std::sqrt(dot3(u, u));
  for (double& x : u) x /= ul;
  const Point3 v{n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2], n[0] * u[1] - n[1] * u[0]};
  return {origin, u, v};
}

double signed_area(const std::vector<Point2>& pts) noexcept {
  double s = 0.0;
  const std::size_t m = pts.size();
  for (std::size_t i = 0; i < m; ++i) {
    const Point2& a = pts[i];
    const Point2& b = pts[(i + 1) % m];
    s += a[0] * b[1] - a[1] * b[0];
  }
  return 0.5 * s;
}

// Even-odd rule.
bool contains(const std::vector<Point2>& poly, const Point2& q) noexcept {
  bool in = false;
  const std::size_t m = poly.size();
  for (std::size_t i = 0, j = m - 1; i < m; j = i++) {
    const Point2 &pi = poly[i], &pj = poly[j];
    if ((pi[1] > q[1]) != (pj[1] > q[1]) && q[0] < (pj[0] - pi[0]) * (q[1] - pi[1]) / (pj[1] - pi[1]) + pi[0])
      in = !in;
  }
  return in;
}

}  // namespace

std::vector<Domain> classify_loops(std::vector<BoundaryLoop> loops) {
  std::vector<Domain> domains;
  std::vector<double> outer_area;
  std::vector<BoundaryLoop> holes;
  for (BoundaryLoop& l : loops) {
    const double area = signed_area(l.points);
    QUENLITH_VERIFY(!(std::fabs(area) < 1e-300), "triangulate_surface: a boundary loop has zero area");
    if (area > 0.0) {
      domains.push_back(Domain{std::move(l), {}});
      outer_area.push_back(area);
    } else {
      holes.push_back(std::move(l));
    }
  }
  QUENLITH_VERIFY(!domains.empty(), "triangulate_surface: no counter-clockwise (outer) loop found");
  for (BoundaryLoop& h : holes) {
    // The innermost containing outer loop: a hole inside an island inside another
    // domain's hole belongs to the island.
    std::size_t best = domains.size();
    for (std::size_t d = 0; d < domains.size(); ++d) {
      if (!contains(domains[d].outer.points, h.points.front())) continue;
      if (best == domains.size() || outer_area[d] < outer_area[best]) best = d;
    }
    QUENLITH_VERIFY(best < domains.size(),
                    "triangulate_surface: a hole (clockwise) loop is not contained in any outer loop");
    domains[best].holes.push_back(std::move(h));
  }
  return domains;
}

DomainMesh triangulate_domain(const Domain& domain, ElementType type, std::optional<double> size,
                              const store::InterruptCheck& interrupt) {
  DomainMesh out;
  std::vector<Point2> boundary;
  std::vector<tri::LoopRange> ranges;
  auto add_loop = [&](const BoundaryLoop& l) {
    ranges.push_back({static_cast<tri::Vertex>(boundary.size()), static_cast<tri::Vertex>(l.points.size())});
    boundary.insert(boundary.end(), l.points.begin(), l.points.end());
    out.ids.insert(out.ids.end(), l.ids.begin(), l.ids.end());
  };
  add_loop(domain.outer);
  for (const BoundaryLoop& h : domain.holes) add_loop(h);
  double h;
  if (size) {
    h = *size;
  } else {
    double total = 0.0;
    std::size_t n_segments = 0;
    for (const tri::LoopRange& r : ranges)
      for (tri::Vertex i = 0; i < r.count; ++i) {
        const Point2& a = boundary[r.first + i];
        const Point2& b = boundary[r.first + (i + 1) % r.count];
        total += std::sqrt((b[0] - a[0]) * (b[0] - a[0]) + (b[1] - a[1]) * (b[1] - a[1]));
        ++n_segments;
      }
    h = total / static_cast<double>(n_segments == 0 ? 1 : n_segments);
  }
  QUENLITH_VERIFY(h > 0.0, "triangulate_surface: could not determine a positive element size");
  std::optional<tri::InsideMesh> inside;
  {
    tri::Triangulation tr;
    tri::build_constrained(tr, boundary, ranges, interrupt);
    tri::refine_ruppert(tr, h, interrupt);
    inside.emplace(tr);
  }  // the last stage needs only the inside triangles: its rings take the memory freed here
  tri::Rings rings(*inside);
  tri::improve(*inside, interrupt, &rings);
  tri::LargeArray<tri::Triple> f = inside->triangles_by_rank();
  out.points = inside->points_by_index();
  inside.reset();
  QUENLITH_VERIFY(!f.empty(), "triangulate_surface: produced no cell for a domain (degenerate contour?)");
  if (type == ElementType::TRI3) {
    out.triangles = std::move(f);
  } else {
    auto [quads, leftover] = tri::recombine_quads(out.points, f);
    out.quads = std::move(quads);
    out.leftover = std::move(leftover);
  }
  out.boundary_count = boundary.size();
  return out;
}

Mesh triangulate_surface(const Mesh& contour, ElementType element_type, std::optional<double> size,
                         const store::InterruptCheck& interrupt) {
  QUENLITH_VERIFY(element_type == ElementType::TRI3 || element_type == ElementType::QUA4,
                  "triangulate_surface: element_type must be TRI3 or QUA4, got {}",
                  containers::mesh::name(element_type));
  if (size)
    QUENLITH_VERIFY(*size > 0.0, "triangulate_surface: target_size must be > 0, got {}", dump::plain_number(*size));
  const store::Handle<Coords> coords = contour.coords();
  std::uint8_t dim;
  {
    store::ReadGuard<Coords> guard = store::read(coords);
    dim = guard->dim();
  }
  QUENLITH_VERIFY(dim == 2 || dim == 3, "triangulate_surface: contour must be 2-D or 3-D, got dim={}", dim);
  std::vector<RawLoop> raw;
  for (const auto& sub : contour.subs()) raw.push_back(extract_loop(sub, dim));
  QUENLITH_VERIFY(!raw.empty(), "triangulate_surface: contour has no boundary loop");

  // The mesher works on coordinates relative to the contour's bounding box: far
  // from the origin the areas, the circumcentres and the predicates' filters would
  // otherwise lose every digit of the contour's own size.
  const Point3 shift = contour_shift(raw, dim);
  for (RawLoop& r : raw)
    for (Point3& p : r.coords)
      for (std::uint8_t d = 0; d < dim; ++d) p[d] -= shift[d];
  std::optional<PlaneBasis> basis;
  if (dim == 3) basis = fit_plane(raw);
  std::vector<BoundaryLoop> loops;
  loops.reserve(raw.size());
  for (RawLoop& r : raw) {
    BoundaryLoop l;
    l.points.reserve(r.coords.size());
    for (const Point3& p : r.coords) {
      if (basis) {
        const Point3 d{p[0] - basis->origin[0], p[1] - basis->origin[1], p[2] - basis->origin[2]};
        l.points.push_back({dot3(d, basis->u), dot3(d, basis->v)});
      } else {
        l.points.push_back({p[0], p[1]});
      }
    }
    l.ids = std::move(r.ids);
    loops.push_back(std::move(l));
  }
  const std::vector<Domain> domains = classify_loops(std::move(loops));
  std::vector<DomainMesh> meshes;
  meshes.reserve(domains.size());
  for (const Domain& d : domains) meshes.push_back(triangulate_domain(d, element_type, size, interrupt));

  // Emit: interior nodes first (domain after domain, in insertion order), then
  // cells. The new nodes are held by `fresh` (one reference each, given back when
  // it goes) until the cells have taken theirs; it is declared before the
  // submeshes so that a partial output gives its references back first.
  std::size_t n_fresh = 0;
  for (const DomainMesh& dm : meshes) n_fresh += dm.points.size() - dm.boundary_count;
  tri::LargeArray<double> lifted;
  lifted.reserve(n_fresh * dim);
  for (const DomainMesh& dm : meshes) {
    for (std::size_t i = dm.boundary_count; i < dm.points.size(); ++i) {
      const Point2& p = dm.points[i];
      if (basis) {
        for (int d = 0; d < 3; ++d) lifted.push_back(unshift(basis->origin[d] + p[0] * basis->u[d] + p[1] * basis->v[d], shift[d]));
      } else {
        lifted.push_back(unshift(p[0], shift[0]));
        lifted.push_back(unshift(p[1], shift[1]));
      }
    }
  }
  NodeRefs fresh(coords);
  fresh.reserve(n_fresh);
  fresh.create(lifted);
  std::optional<SubMesh> tris, quads;
  tri::LargeArray<NodeId> cells;
  // Every cell of `list` through the domain's vertex map: its boundary ids, then
  // its new nodes in order.
  auto append = [&](std::optional<SubMesh>& sub, ElementType type, const DomainMesh& dm, std::size_t first_fresh,
                    const auto& list) {
    if (list.empty()) return;
    if (!sub) sub.emplace(type, coords);
    cells.clear();
    cells.reserve(list.size() * list.front().size());
    for (const auto& cell : list)
      for (const tri::Vertex v : cell)
        cells.push_back(v < dm.boundary_count ? dm.ids[v] : fresh[first_fresh + (v - dm.boundary_count)]);
    sub->add_cells(cells);
  };
  std::size_t first_fresh = 0;
  for (const DomainMesh& dm : meshes) {
    if (element_type == ElementType::TRI3) {
      if (!tris) tris.emplace(ElementType::TRI3, coords);
      append(tris, ElementType::TRI3, dm, first_fresh, dm.triangles);
    } else {
      if (!quads) quads.emplace(ElementType::QUA4, coords);
      append(quads, ElementType::QUA4, dm, first_fresh, dm.quads);
      append(tris, ElementType::TRI3, dm, first_fresh, dm.leftover);
    }
    first_fresh += dm.points.size() - dm.boundary_count;
  }
  Mesh result;
  for (std::optional<SubMesh>* sub : {&quads, &tris}) {
    if (*sub && (*sub)->cell_count() > 0) result.push_sub(store::insert(std::move(**sub)));
    sub->reset();
  }
  QUENLITH_VERIFY(!result.empty(), "triangulate_surface: produced no cell");
  return result;
}

}  // namespace quenlith::ops::mesher
