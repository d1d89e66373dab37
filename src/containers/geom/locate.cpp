#include "containers/geom/locate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/error.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"

namespace quenlith::containers::geom {

namespace fes = containers::finite_element_space;
using containers::mesh::Coords;
using containers::mesh::SubMesh;

namespace {

constexpr double kThird = 1.0 / 3.0;
constexpr std::uint64_t kMaxBins = 128;
constexpr double kMaxBuckets = 128.0 * 128.0 * 128.0;
constexpr int kNewtonPasses = 40;
constexpr double kStepTol = 1e-12;
// Points of one worker task.
constexpr parallel::Index kPointChunk = 256;

// Widening of a cell's box in the bucket fill and in the query prefilter.
double box_margin(double lo, double hi) { return 0.1 * std::abs(hi - lo) + 1e-12; }

// floor(v) as a bin index clamped to [0, bins - 1]; NaN goes to 0.
std::uint64_t clamp_bin(double v, std::uint64_t bins) {
  const double f = std::floor(v);
  if (!(f >= 0.0)) return 0;
  if (f >= static_cast<double>(bins - 1)) return bins - 1;
  return static_cast<std::uint64_t>(f);
}

bool inside_reference(ElementType t, std::span<const double> xi, double tol) {
  using enum ElementType;
  switch (t) {
    case SEG2:
    case SEG3:
      return xi[0] >= -1.0 - tol && xi[0] <= 1.0 + tol;
    case TRI3:
    case TRI6:
      return xi[0] >= -tol && xi[1] >= -tol && xi[0] + xi[1] <= 1.0 + tol;
    case TET4:
    case TET10:
      return xi[0] >= -tol && xi[1] >= -tol && xi[2] >= -tol && xi[0] + xi[1] + xi[2] <= 1.0 + tol;
    case PENTA6:
    case PENTA15:
      return xi[0] >= -tol && xi[1] >= -tol && xi[0] + xi[1] <= 1.0 + tol && xi[2] >= -tol && xi[2] <= 1.0 + tol;
    case QUA4:
    case QUA8:
    case QUA9:
    case HEX8:
    case HEX20:
    case HEX27:
      return std::all_of(xi.begin(), xi.end(), [tol](double v) { return v >= -1.0 - tol && v <= 1.0 + tol; });
    case POI1:
      return false;
  }
  return false;
}

}  // namespace

fes::Interpolation interpolation_of(ElementType t) {
  return static_cast<int>(t) >= static_cast<int>(ElementType::SEG3) ? fes::Interpolation::LAGRANGE2
                                                                    : fes::Interpolation::LAGRANGE1;
}

std::vector<double> reference_centroid(ElementType t) {
  using enum ElementType;
  switch (t) {
    case POI1:
      return {};
    case SEG2:
    case SEG3:
      return {0.0};
    case TRI3:
    case TRI6:
      return {kThird, kThird};
    case QUA4:
    case QUA8:
    case QUA9:
      return {0.0, 0.0};
    case TET4:
    case TET10:
      return {0.25, 0.25, 0.25};
    case PENTA6:
    case PENTA15:
      return {kThird, kThird, 0.5};
    case HEX8:
    case HEX20:
    case HEX27:
      return {0.0, 0.0, 0.0};
  }
  return {};
}

namespace {

// The elimination of least_squares_normal_equations into `delta` (n values), with
// A (n × n) and b (n) as scratch; false when the system is singular.
bool solve_normal_equations(std::span<const double> J, std::span<const double> r, std::size_t rows, std::size_t n,
                            double* A, double* b, double* delta) {
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double s = 0.0;
      for (std::size_t l = 0; l < rows; ++l) s += J[l * n + i] * J[l * n + j];
      A[i * n + j] = s;
    }
    double s = 0.0;
    for (std::size_t l = 0; l < rows; ++l) s += J[l * n + i] * r[l];
    b[i] = s;
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t p = i;
    for (std::size_t k = i + 1; k < n; ++k)
      if (std::abs(A[k * n + i]) > std::abs(A[p * n + i])) p = k;
    // `!(>=)` so that a NaN pivot also counts as singular.
    if (!(std::abs(A[p * n + i]) >= 1e-300)) return false;
    if (p != i) {
      for (std::size_t j = 0; j < n; ++j) std::swap(A[i * n + j], A[p * n + j]);
      std::swap(b[i], b[p]);
    }
    for (std::size_t l = i + 1; l < n; ++l) {
      const double f = A[l * n + i] / A[i * n + i];
      for (std::size_t j = i; j < n; ++j) A[l * n + j] -= f * A[i * n + j];
      b[l] -= f * b[i];
    }
  }
  for (std::size_t l = n; l-- > 0;) {
    double s = b[l];
    for (std::size_t m = l + 1; m < n; ++m) s -= A[l * n + m] * delta[m];
    delta[l] = s / A[l * n + l];
  }
  return true;
}

}  // namespace

std::vector<double> least_squares_normal_equations(std::span<const double> J, std::span<const double> r,
                                                   std::size_t rows, std::size_t n) {
  std::vector<double> A(n * n), b(n), delta(n, 0.0);
  if (!solve_normal_equations(J, r, rows, n, A.data(), b.data(), delta.data())) std::fill(delta.begin(), delta.end(), 0.0);
  return delta;
}

CellSnapshots snapshot_cells(std::span<const store::Handle<SubMesh>> submeshes, const SubmeshFilter& keep) {
  CellSnapshots out;
  for (std::uint64_t s = 0; s < submeshes.size(); ++s) {
    ElementType t;
    std::vector<NodeId> conn;
    store::Handle<Coords> coords;
    {
      store::ReadGuard<SubMesh> guard = store::read(submeshes[s]);
      t = guard->element_type();
      conn.assign(guard->connectivity().begin(), guard->connectivity().end());
      coords = guard->coords();
    }
    store::ReadGuard<Coords> c = store::read(coords);
    const std::size_t dim = c->dim();
    if (!keep(s, t, dim)) continue;
    out.dim = dim;
    const std::uint64_t k = containers::mesh::nodes_per_cell(t);
    const std::uint64_t n = conn.size() / k;
    const std::span<const double> xyz = c->active_buffer();
    out.cells.reserve(out.cells.size() + n);
    out.nodes.reserve(out.nodes.size() + n * k);
    out.coords.reserve(out.coords.size() + n * k * dim);
    out.boxes.reserve(out.boxes.size() + 2 * n * dim);
    for (std::uint64_t cell = 0; cell < n; ++cell) {
      const std::uint64_t begin = out.nodes.size();
      const std::size_t box = out.boxes.size();
      out.boxes.resize(box + 2 * dim);
      for (std::uint64_t j = 0; j < k; ++j) {
        const NodeId id = conn[cell * k + j];
        QUENLITH_VERIFY(c->is_alive(id), "node {} not found or collected", id);
        out.nodes.push_back(id);
        for (std::size_t a = 0; a < dim; ++a) {
          const double v = xyz[static_cast<std::size_t>(id) * dim + a];
          out.coords.push_back(v);
          double& mn = out.boxes[box + a];
          double& mx = out.boxes[box + dim + a];
          if (j == 0) {
            mn = mx = v;
          } else {
            mn = std::min(mn, v);
            mx = std::max(mx, v);
          }
        }
      }
      out.cells.push_back({begin, static_cast<std::uint32_t>(k), t, s, cell});
    }
  }
  return out;
}

BucketGrid build_grid(const CellSnapshots& cells) {
  const std::size_t dim = cells.dim;
  const std::size_t n = cells.size();
  QUENLITH_VERIFY(n <= std::numeric_limits<std::uint32_t>::max(), "locate_points: too many cells ({})", n);
  BucketGrid g;
  g.origin.assign(dim, std::numeric_limits<double>::infinity());
  std::vector<double> top(dim, -std::numeric_limits<double>::infinity());
  for (std::size_t c = 0; c < n; ++c)
    for (std::size_t a = 0; a < dim; ++a) {
      // Written so that NaN boxes leave the extent alone.
      if (cells.box_min(c)[a] < g.origin[a]) g.origin[a] = cells.box_min(c)[a];
      if (cells.box_max(c)[a] > top[a]) top[a] = cells.box_max(c)[a];
    }
  const double root = std::round(std::pow(static_cast<double>(n), 1.0 / static_cast<double>(dim)));
  std::uint64_t m = root >= static_cast<double>(kMaxBins) ? kMaxBins
                    : root >= 1.0                         ? static_cast<std::uint64_t>(root)
                                                          : 1;
  // In 4 or more dimensions the rounding of the root can multiply into far more
  // buckets than cells (2 per axis in 30-D is 2^30): the bucket array is held to
  // the 128^3 of a 3-D grid.
  while (m > 1 && std::pow(static_cast<double>(m), static_cast<double>(dim)) > kMaxBuckets) --m;
  g.inv_width.assign(dim, 0.0);
  g.bins.assign(dim, 1);
  g.strides.assign(dim, 1);
  std::uint64_t total = 1;
  for (std::size_t a = 0; a < dim; ++a) {
    const double extent = top[a] - g.origin[a];
    // A flat axis, or one with no finite extent (every box NaN or infinite), gets
    // a single bin.
    if (std::isfinite(extent) && extent > 1e-12) {
      g.bins[a] = m;
      g.inv_width[a] = static_cast<double>(m) / extent;
    } else {
      g.origin[a] = std::isfinite(g.origin[a]) ? g.origin[a] : 0.0;
    }
    g.strides[a] = total;
    total *= g.bins[a];
  }
  // Each cell's range of bins per axis (computed once), then a counting fill of
  // the packed buckets.
  std::vector<std::uint64_t> range(2 * dim * n);
  for (std::size_t c = 0; c < n; ++c)
    for (std::size_t a = 0; a < dim; ++a) {
      std::uint64_t& lo = range[2 * dim * c + a];
      std::uint64_t& hi = range[2 * dim * c + dim + a];
      if (g.inv_width[a] == 0.0) {
        lo = hi = 0;
        continue;
      }
      const double mn = cells.box_min(c)[a], mx = cells.box_max(c)[a];
      const double margin = box_margin(mn, mx);
      lo = clamp_bin((mn - margin - g.origin[a]) * g.inv_width[a], g.bins[a]);
      hi = clamp_bin((mx + margin - g.origin[a]) * g.inv_width[a], g.bins[a]);
      if (hi < lo) hi = lo;  // a NaN bound
    }
  // Visits every bucket of cell c's box of bins, the first axis fastest.
  std::vector<std::uint64_t> idx(dim);
  auto for_box = [&](std::size_t c, auto&& visit) {
    const std::uint64_t* lo = &range[2 * dim * c];
    const std::uint64_t* hi = lo + dim;
    std::copy(lo, lo + dim, idx.begin());
    std::uint64_t b = 0;
    for (std::size_t a = 0; a < dim; ++a) b += idx[a] * g.strides[a];
    while (true) {
      visit(b);
      std::size_t a = 0;
      while (a < dim && idx[a] == hi[a]) {
        b -= (idx[a] - lo[a]) * g.strides[a];
        idx[a] = lo[a];
        ++a;
      }
      if (a == dim) break;
      ++idx[a];
      b += g.strides[a];
    }
  };
  g.offsets.assign(total + 1, 0);
  for (std::size_t c = 0; c < n; ++c) for_box(c, [&](std::uint64_t b) { ++g.offsets[b + 1]; });
  for (std::uint64_t b = 0; b < total; ++b) g.offsets[b + 1] += g.offsets[b];
  g.entries.resize(g.offsets[total]);
  std::vector<std::uint64_t> fill(g.offsets.begin(), g.offsets.end() - 1);
  for (std::size_t c = 0; c < n; ++c)
    for_box(c, [&](std::uint64_t b) { g.entries[fill[b]++] = static_cast<std::uint32_t>(c); });
  return g;
}

std::uint64_t BucketGrid::bucket_of(std::span<const double> x) const {
  std::uint64_t b = 0;
  for (std::size_t a = 0; a < origin.size(); ++a)
    if (inv_width[a] != 0.0) b += clamp_bin(inv_width[a] * (x[a] - origin[a]), bins[a]) * strides[a];
  return b;
}

ReferencePoint gauss_newton(const CellSnapshots& cells, std::size_t g, std::span<const double> x,
                            void (*clamp)(ElementType, std::span<double>)) {
  const ElementType t = cells.cells[g].element_type;
  const fes::Interpolation interp = interpolation_of(t);
  const std::size_t dim = cells.dim;
  const std::size_t n = containers::mesh::ref_dim(t);
  const std::size_t k = cells.cells[g].node_count;
  const std::span<const double> X = cells.coords_of(g);
  ReferencePoint m{reference_centroid(t), {}, 0.0};
  std::vector<double> r(dim), J(dim * n);
  for (int pass = 0; pass < kNewtonPasses; ++pass) {
    const std::vector<double> N = fes::shape(interp, t, m.xi);
    for (std::size_t l = 0; l < dim; ++l) {
      double s = 0.0;
      for (std::size_t j = 0; j < k; ++j) s += N[j] * X[j * dim + l];
      r[l] = x[l] - s;
    }
    const std::vector<double> dN = fes::dshape_dxi(interp, t, m.xi);
    for (std::size_t l = 0; l < dim; ++l)
      for (std::size_t c = 0; c < n; ++c) {
        double s = 0.0;
        for (std::size_t j = 0; j < k; ++j) s += dN[j * n + c] * X[j * dim + l];
        J[l * n + c] = s;
      }
    // Reference dimensions are at most 3: the step is solved on the stack.
    double A[9], b[3], delta[3] = {0.0, 0.0, 0.0};
    if (!solve_normal_equations(J, r, dim, n, A, b, delta)) delta[0] = delta[1] = delta[2] = 0.0;
    double norm2 = 0.0;
    for (std::size_t c = 0; c < n; ++c) {
      m.xi[c] += delta[c];
      norm2 += delta[c] * delta[c];
    }
    if (clamp != nullptr) clamp(t, m.xi);
    if (std::sqrt(norm2) <= kStepTol) break;
  }
  m.weights = fes::shape(interp, t, m.xi);
  double d2 = 0.0;
  for (std::size_t l = 0; l < dim; ++l) {
    double s = 0.0;
    for (std::size_t j = 0; j < k; ++j) s += m.weights[j] * X[j * dim + l];
    d2 += (x[l] - s) * (x[l] - s);
  }
  m.dist2 = d2;
  return m;
}

std::optional<CellLocation> locate_point_in_candidates(const BucketGrid& grid, const CellSnapshots& cells, double tol,
                                                       std::span<const double> x) {
  const std::size_t dim = cells.dim;
  for (std::size_t a = 0; a < dim; ++a)
    if (std::isnan(x[a])) return std::nullopt;
  for (const std::uint32_t g : grid.bucket(grid.bucket_of(x))) {
    const std::span<const double> mn = cells.box_min(g), mx = cells.box_max(g);
    bool outside = false;
    double size2 = 0.0;
    for (std::size_t a = 0; a < dim && !outside; ++a) {
      const double margin = box_margin(mn[a], mx[a]);
      outside = x[a] < mn[a] - margin || x[a] > mx[a] + margin;
      size2 += (mx[a] - mn[a]) * (mx[a] - mn[a]);
    }
    if (outside) continue;
    ReferencePoint m = gauss_newton(cells, g, x, nullptr);
    if (!(std::sqrt(m.dist2) <= 1e-9 * std::max(1.0, std::sqrt(size2)))) continue;
    if (!inside_reference(cells.cells[g].element_type, m.xi, tol)) continue;
    const std::span<const NodeId> nodes = cells.nodes_of(g);
    return CellLocation{std::move(m.xi), std::move(m.weights), std::vector<NodeId>(nodes.begin(), nodes.end()),
                        cells.cells[g].submesh, cells.cells[g].cell};
  }
  return std::nullopt;
}

std::vector<std::optional<CellLocation>> locate_points(std::span<const store::Handle<SubMesh>> host,
                                                       std::span<const std::vector<double>> points, double tol) {
  const CellSnapshots cells =
      snapshot_cells(host, [](std::uint64_t, ElementType t, std::size_t) { return t != ElementType::POI1; });
  std::vector<std::optional<CellLocation>> out(points.size());
  if (cells.size() == 0) return out;
  for (std::size_t p = 0; p < points.size(); ++p)
    QUENLITH_VERIFY(points[p].size() == cells.dim, "locate_points: point {} has {} coordinates, the host is {}-D", p,
                    points[p].size(), cells.dim);
  const BucketGrid grid = build_grid(cells);
  parallel::for_chunks(points.size(), kPointChunk, [&](parallel::Index begin, parallel::Index end) {
    for (parallel::Index p = begin; p < end; ++p) out[p] = locate_point_in_candidates(grid, cells, tol, points[p]);
  });
  return out;
}

}  // namespace quenlith::containers::geom
