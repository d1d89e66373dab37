#include "containers/geom/project.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "base/error.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::geom {

namespace fes = containers::finite_element_space;
using containers::mesh::Coords;
using containers::mesh::Mesh;

namespace {

constexpr parallel::Index kPointChunk = 256;
constexpr std::uint32_t kLeafSize = 4;

// Keeps xi on the reference facet after every Newton step.
void clamp_to_facet(ElementType t, std::span<double> xi) {
  using enum ElementType;
  switch (t) {
    case SEG2:
    case SEG3:
    case QUA4:
    case QUA8:
    case QUA9:
      for (double& v : xi) v = std::min(1.0, std::max(-1.0, v));
      return;
    case TRI3:
    case TRI6: {
      xi[0] = std::max(xi[0], 0.0);
      xi[1] = std::max(xi[1], 0.0);
      const double e = xi[0] + xi[1] - 1.0;
      if (e > 0.0) {
        xi[0] = std::max(xi[0] - e / 2.0, 0.0);
        xi[1] = std::max(xi[1] - e / 2.0, 0.0);
        const double s = xi[0] + xi[1];
        if (s > 1.0) {
          xi[0] /= s;
          xi[1] /= s;
        }
      }
      return;
    }
    default:
      return;
  }
}

bool is_linear_facet(ElementType t) {
  return t == ElementType::SEG2 || t == ElementType::TRI3 || t == ElementType::QUA4;
}

// Squared distance from x to the box [mn, mx]; NaN when x or the box is NaN.
double box_distance2(std::span<const double> x, std::span<const double> mn, std::span<const double> mx) {
  double l = 0.0;
  for (std::size_t a = 0; a < x.size(); ++a) {
    if (x[a] < mn[a]) {
      l += (mn[a] - x[a]) * (mn[a] - x[a]);
    } else if (x[a] > mx[a]) {
      l += (x[a] - mx[a]) * (x[a] - mx[a]);
    } else if (std::isnan(x[a]) || std::isnan(mn[a]) || std::isnan(mx[a])) {
      return std::numeric_limits<double>::quiet_NaN();
    }
  }
  return l;
}

// The best facet so far: (distance, index) ordered with NaN distances after every
// number, so that a facet with NaN coordinates never hides a sound one.
struct Best {
  bool found = false;
  std::uint32_t index = 0;
  ReferencePoint at;

  bool beaten_by(double d2, std::uint32_t g) const {
    if (!found) return true;
    if (std::isnan(at.dist2)) return !std::isnan(d2) || g < index;
    return d2 < at.dist2 || (d2 == at.dist2 && g < index);
  }
  // Whether a box at squared distance l whose facets have indices of at least
  // `min_index` may hold a facet that beats this one. A NaN bound cannot rule out.
  bool may_be_beaten(double l, std::uint32_t min_index) const {
    if (!found || std::isnan(at.dist2)) return true;
    return !(l > at.dist2) && !(l == at.dist2 && min_index > index);
  }
};

void consider(const CellSnapshots& facets, std::uint32_t g, std::span<const double> x, Best& best) {
  ReferencePoint p = gauss_newton(facets, g, x, clamp_to_facet);
  if (best.beaten_by(p.dist2, g)) {
    best.found = true;
    best.index = g;
    best.at = std::move(p);
  }
}

// The facets in order, each skipped once a best exists and its box is not nearer.
void scan(const CellSnapshots& facets, std::span<const double> x, Best& best) {
  for (std::uint32_t g = 0; g < facets.size(); ++g) {
    if (best.found && box_distance2(x, facets.box_min(g), facets.box_max(g)) >= best.at.dist2) continue;
    consider(facets, g, x, best);
  }
}

// The tree, nearer child first. For linear facets the clamped closest point lies
// in the convex hull of the nodes, so a box's distance bounds its facets' and the
// result is the (distance, index) minimum that the ordered scan gives.
void descend(const FacetTree& tree, const CellSnapshots& facets, std::span<const double> x, Best& best) {
  const std::size_t dim = tree.dim;
  auto box_l = [&](std::uint32_t node) {
    const std::span<const double> b = std::span<const double>(tree.boxes).subspan(2 * dim * node, 2 * dim);
    return box_distance2(x, b.first(dim), b.last(dim));
  };
  std::vector<std::pair<double, std::uint32_t>> stack{{box_l(0), 0}};
  while (!stack.empty()) {
    const auto [l, id] = stack.back();
    stack.pop_back();
    const FacetTree::Node& node = tree.nodes[id];
    if (!best.may_be_beaten(l, node.min_index)) continue;
    if (node.left == 0) {
      for (std::uint32_t i = node.begin; i < node.end; ++i) {
        const std::uint32_t g = tree.order[i];
        if (best.may_be_beaten(box_distance2(x, facets.box_min(g), facets.box_max(g)), g))
          consider(facets, g, x, best);
      }
      continue;
    }
    const double l0 = box_l(node.left), l1 = box_l(node.left + 1);
    // Pushed far first, so the near child is visited first.
    if (l1 < l0) {
      stack.push_back({l0, node.left});
      stack.push_back({l1, node.left + 1});
    } else {
      stack.push_back({l1, node.left + 1});
      stack.push_back({l0, node.left});
    }
  }
}

}  // namespace

CellSnapshots snapshot_facets(const Mesh& surface) {
  std::size_t d;
  {
    const store::Handle<Coords> coords = surface.coords();
    d = store::read(coords)->dim();
  }
  CellSnapshots facets = snapshot_cells(surface.subs(), [d](std::uint64_t s, ElementType t, std::size_t) {
    const std::uint64_t rd = containers::mesh::ref_dim(t);
    QUENLITH_VERIFY(rd + 1 == d,
                    "project_points: submesh {} is {} (topological dim {}) but the surface of a {}-D space must "
                    "have dim {}",
                    s, t, rd, d, d - 1);
    QUENLITH_VERIFY(d <= 3, "project_points: no facet normal is defined in a {}-D space", d);
    return true;
  });
  QUENLITH_VERIFY(facets.size() > 0, "project_points: the surface mesh carries no facet");
  QUENLITH_VERIFY(facets.size() <= std::numeric_limits<std::uint32_t>::max(), "project_points: too many facets ({})",
                  facets.size());
  return facets;
}

FacetTree build_facet_tree(const CellSnapshots& facets) {
  FacetTree tree;
  for (const CellSnapshot& c : facets.cells)
    if (!is_linear_facet(c.element_type)) return tree;
  const std::size_t dim = facets.dim;
  tree.dim = dim;
  const auto n = static_cast<std::uint32_t>(facets.size());
  tree.order.resize(n);
  std::iota(tree.order.begin(), tree.order.end(), 0u);
  // Box centres as sort keys; NaN becomes +inf so that the order stays strict.
  std::vector<double> centre(n * dim);
  for (std::uint32_t g = 0; g < n; ++g)
    for (std::size_t a = 0; a < dim; ++a) {
      const double c = 0.5 * (facets.box_min(g)[a] + facets.box_max(g)[a]);
      centre[g * dim + a] = std::isnan(c) ? std::numeric_limits<double>::infinity() : c;
    }
  struct Task {
    std::uint32_t node, begin, end;
  };
  tree.nodes.push_back({0, n, 0, 0});
  std::vector<Task> tasks{{0, 0, n}};
  const double inf = std::numeric_limits<double>::infinity();
  while (!tasks.empty()) {
    const Task task = tasks.back();
    tasks.pop_back();
    // The node's box over its facets (NaN values left out) and its smallest index.
    std::vector<double> box(2 * dim);
    std::fill(box.begin(), box.begin() + dim, inf);
    std::fill(box.begin() + dim, box.end(), -inf);
    std::vector<double> cmin(dim, inf), cmax(dim, -inf);
    std::uint32_t min_index = std::numeric_limits<std::uint32_t>::max();
    for (std::uint32_t i = task.begin; i < task.end; ++i) {
      const std::uint32_t g = tree.order[i];
      min_index = std::min(min_index, g);
      for (std::size_t a = 0; a < dim; ++a) {
        if (facets.box_min(g)[a] < box[a]) box[a] = facets.box_min(g)[a];
        if (facets.box_max(g)[a] > box[dim + a]) box[dim + a] = facets.box_max(g)[a];
        cmin[a] = std::min(cmin[a], centre[g * dim + a]);
        cmax[a] = std::max(cmax[a], centre[g * dim + a]);
      }
    }
    tree.boxes.resize(tree.nodes.size() * 2 * dim);
    std::copy(box.begin(), box.end(), tree.boxes.begin() + 2 * dim * task.node);
    tree.nodes[task.node].min_index = min_index;
    if (task.end - task.begin <= kLeafSize) continue;
    std::size_t axis = 0;
    for (std::size_t a = 1; a < dim; ++a)
      if (cmax[a] - cmin[a] > cmax[axis] - cmin[axis]) axis = a;
    const std::uint32_t mid = task.begin + (task.end - task.begin) / 2;
    std::nth_element(tree.order.begin() + task.begin, tree.order.begin() + mid, tree.order.begin() + task.end,
                     [&](std::uint32_t p, std::uint32_t q) {
                       const double cp = centre[p * dim + axis], cq = centre[q * dim + axis];
                       return cp < cq || (cp == cq && p < q);
                     });
    const auto left = static_cast<std::uint32_t>(tree.nodes.size());
    tree.nodes[task.node].left = left;
    tree.nodes.push_back({task.begin, mid, 0, 0});
    tree.nodes.push_back({mid, task.end, 0, 0});
    tree.boxes.resize(tree.nodes.size() * 2 * dim);
    tasks.push_back({left + 1, mid, task.end});
    tasks.push_back({left, task.begin, mid});
  }
  return tree;
}

SurfaceProjection project_point(const CellSnapshots& facets, const FacetTree& tree, std::span<const double> x) {
  const std::size_t d = facets.dim;
  QUENLITH_VERIFY(x.size() == d, "project_points: point has dim {} but the surface lives in {}-D", x.size(), d);
  Best best;
  if (tree.empty()) {
    scan(facets, x, best);
  } else {
    descend(tree, facets, x, best);
  }
  const std::uint32_t g = best.index;
  const ElementType t = facets.cells[g].element_type;
  const std::size_t n = containers::mesh::ref_dim(t);
  const std::size_t k = facets.cells[g].node_count;
  const std::span<const double> X = facets.coords_of(g);
  SurfaceProjection out;
  out.xi = std::move(best.at.xi);
  out.weights = std::move(best.at.weights);
  out.closest.assign(d, 0.0);
  for (std::size_t l = 0; l < d; ++l)
    for (std::size_t j = 0; j < k; ++j) out.closest[l] += out.weights[j] * X[j * d + l];
  const std::vector<double> dN = fes::dshape_dxi(interpolation_of(t), t, out.xi);
  double T[2][3] = {};
  for (std::size_t c = 0; c < n; ++c)
    for (std::size_t l = 0; l < d; ++l)
      for (std::size_t j = 0; j < k; ++j) T[c][l] += dN[j * n + c] * X[j * d + l];
  out.normal.assign(d, 0.0);
  if (d == 2) {
    out.normal = {T[0][1], -T[0][0]};
  } else if (d == 3) {
    out.normal = {T[0][1] * T[1][2] - T[0][2] * T[1][1], T[0][2] * T[1][0] - T[0][0] * T[1][2],
                  T[0][0] * T[1][1] - T[0][1] * T[1][0]};
  }
  double norm2 = 0.0;
  for (const double v : out.normal) norm2 += v * v;
  const double norm = std::sqrt(norm2);
  QUENLITH_VERIFY(norm >= 1e-300, "project_points: degenerate facet (zero normal)");
  for (double& v : out.normal) v /= norm;
  const std::span<const NodeId> nodes = facets.nodes_of(g);
  out.nodes.assign(nodes.begin(), nodes.end());
  out.submesh = facets.cells[g].submesh;
  out.cell = facets.cells[g].cell;
  out.gap = 0.0;
  for (std::size_t a = 0; a < d; ++a) out.gap += (x[a] - out.closest[a]) * out.normal[a];
  return out;
}

std::vector<SurfaceProjection> project_points(const Mesh& surface, std::span<const std::vector<double>> points) {
  const CellSnapshots facets = snapshot_facets(surface);
  const FacetTree tree = build_facet_tree(facets);
  std::vector<SurfaceProjection> out(points.size());
  parallel::for_chunks(points.size(), kPointChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index p = begin; p < end; ++p) out[p] = project_point(facets, tree, points[p]);
  });
  return out;
}

}  // namespace quenlith::containers::geom
