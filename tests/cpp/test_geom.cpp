// Point location and projection internals that the Python tests cannot reach: the
// least-squares step, the bucket grid's sizes and NaN handling, every cell type's
// inverse mapping, and the facet tree against the ordered scan.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <fmt/format.h>

#include "containers/finite_element_space/interpolation.hpp"
#include "containers/mesh/mesh.hpp"
#include "containers/geom/locate.hpp"
#include "containers/geom/project.hpp"
#include "parallel/pool.hpp"
#include "test_support.hpp"

namespace quenlith {
namespace {

namespace mesh = containers::mesh;
namespace fes = containers::finite_element_space;
using mesh::ElementType;
using containers::geom::CellSnapshots;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(LeastSquares, SolvesTheNormalEquationsAndGivesZerosWhenSingular) {
  // J = [[1, 0], [0, 2], [1, 1]], r = (1, 2, 3): JᵀJ = [[2, 1], [1, 5]], Jᵀr = (4, 7).
  const std::vector<double> J{1, 0, 0, 2, 1, 1}, r{1, 2, 3};
  const auto d = containers::geom::least_squares_normal_equations(J, r, 3, 2);
  EXPECT_NEAR(d[0], 13.0 / 9.0, 1e-15);
  EXPECT_NEAR(d[1], 10.0 / 9.0, 1e-15);
  // a zero column, a NaN Jacobian and no rows at all: a zero step
  EXPECT_EQ(containers::geom::least_squares_normal_equations(std::vector<double>{1, 0, 1, 0}, r, 2, 2),
            (std::vector<double>{0, 0}));
  EXPECT_EQ(containers::geom::least_squares_normal_equations(std::vector<double>{kNaN}, r, 1, 1), (std::vector<double>{0}));
  EXPECT_EQ(containers::geom::least_squares_normal_equations({}, {}, 0, 3), (std::vector<double>{0, 0, 0}));
}

// `n` unit boxes along the diagonal of a `dim`-D space, each cell one point.
CellSnapshots diagonal_boxes(std::size_t dim, std::size_t n) {
  CellSnapshots s;
  s.dim = dim;
  for (std::size_t c = 0; c < n; ++c) {
    s.cells.push_back({c, 1, ElementType::TRI3, 0, c});
    s.nodes.push_back(static_cast<mesh::NodeId>(c));
    for (std::size_t a = 0; a < dim; ++a) s.coords.push_back(static_cast<double>(c));
    for (std::size_t a = 0; a < dim; ++a) s.boxes.push_back(static_cast<double>(c));
    for (std::size_t a = 0; a < dim; ++a) s.boxes.push_back(static_cast<double>(c) + 1);
  }
  return s;
}

struct GridCase {
  std::size_t dim, cells;
  std::uint64_t bins;
};
class GridSize : public ::testing::TestWithParam<GridCase> {};

TEST_P(GridSize, BinsPerAxisFollowTheCellCountUpTo128) {
  const auto [dim, cells, bins] = GetParam();
  const auto grid = containers::geom::build_grid(diagonal_boxes(dim, cells));
  EXPECT_EQ(grid.bins, std::vector<std::uint64_t>(dim, bins));
  std::uint64_t total = 1;
  for (auto b : grid.bins) total *= b;
  ASSERT_EQ(grid.offsets.size(), total + 1);
  for (std::uint64_t b = 0; b < total; ++b) {
    const auto list = grid.bucket(b);
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(Geom, GridSize,
                         ::testing::Values(GridCase{3, 8, 2}, GridCase{2, 1000, 32}, GridCase{1, 200, 128},
                                           GridCase{2, 20000, 128}, GridCase{3, 1, 1},
                                           GridCase{22, 15000, 1}, GridCase{4, 100000, 18}),
                         [](const auto& info) { return fmt::format("dim{}_cells{}", info.param.dim, info.param.cells); });

TEST(Grid, FlatAndNonFiniteAxesGetOneBinAndNaNNeverEscapesTheGrid) {
  CellSnapshots s = diagonal_boxes(3, 27);
  for (std::size_t c = 0; c < s.size(); ++c) {
    s.boxes[6 * c + 2] = 5.0;  // every box flat on z
    s.boxes[6 * c + 5] = 5.0;
  }
  // one cell with a NaN box, one reaching to infinity on y
  s.boxes[6 * 3 + 0] = kNaN;
  s.boxes[6 * 3 + 3] = kNaN;
  s.boxes[6 * 4 + 4] = std::numeric_limits<double>::infinity();
  const auto grid = containers::geom::build_grid(s);
  EXPECT_EQ(grid.bins, (std::vector<std::uint64_t>{3, 1, 1}));
  const double inf = std::numeric_limits<double>::infinity();
  for (const std::vector<double>& x : std::vector<std::vector<double>>{
           {kNaN, kNaN, kNaN}, {inf, -inf, 0}, {-1e308, 1e308, kNaN}, {1e300, 0, 0}, {13.5, 2, 5}})
    EXPECT_LT(grid.bucket_of(x), 3u);
  // the NaN cell sits in the first bucket only
  std::size_t seen = 0;
  for (std::uint64_t b = 0; b < 3; ++b)
    for (auto g : grid.bucket(b)) seen += g == 3;
  EXPECT_EQ(seen, 1u);
}

// One cell of type t: the reference nodes mapped by a fixed smooth distortion.
std::vector<double> distorted(ElementType t, std::size_t dim, std::span<const double> ref) {
  const std::size_t rd = mesh::ref_dim(t);
  std::vector<double> out;
  for (std::size_t j = 0; j < mesh::nodes_per_cell(t); ++j) {
    double p[3] = {0, 0, 0};
    for (std::size_t c = 0; c < rd; ++c) p[c] = ref[j * rd + c];
    const double q[3] = {1.5 * p[0] + 0.2 * p[1] + 0.05 * p[1] * p[1], 0.1 * p[0] + 1.2 * p[1] - 0.3 * p[2],
                         0.7 * p[2] + 0.1 * p[0] * p[0]};
    for (std::size_t a = 0; a < dim; ++a) out.push_back(q[a] + 3.0);
  }
  return out;
}

class LocateEveryType : public ::testing::TestWithParam<ElementType> {};

TEST_P(LocateEveryType, FindsPointsMappedFromInsideWithTheirReferenceCoordinates) {
  const ElementType t = GetParam();
  const std::size_t rd = mesh::ref_dim(t);
  const std::size_t dim = rd;
  const std::size_t k = mesh::nodes_per_cell(t);
  const auto X = distorted(t, dim, mesh::reference_nodes(t));
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(static_cast<std::uint8_t>(dim)));
  std::vector<mesh::NodeId> ids;
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (std::size_t j = 0; j < k; ++j) ids.push_back(w->add_node(std::span<const double>(X).subspan(j * dim, dim)));
  }
  mesh::SubMesh sub(t, coords);
  sub.add_cell(ids);
  mesh::Mesh host;
  host.push_sub(store::insert(std::move(sub)));

  // reference points inside every type's domain: the simplex and prism parts in
  // [0.1, 0.3], the box parts in [-0.8, 0.8]
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const bool box = t == ElementType::SEG2 || t == ElementType::SEG3 || t == ElementType::QUA4 ||
                   t == ElementType::QUA8 || t == ElementType::QUA9 || t == ElementType::HEX8 ||
                   t == ElementType::HEX20 || t == ElementType::HEX27;
  std::vector<std::vector<double>> xis, points;
  for (int i = 0; i < 50; ++i) {
    std::vector<double> xi(rd);
    for (auto& v : xi) v = box ? -0.8 + 1.6 * u(rng) : 0.1 + 0.2 * u(rng);
    const auto N = fes::shape(containers::geom::interpolation_of(t), t, xi);
    std::vector<double> x(dim, 0.0);
    for (std::size_t j = 0; j < k; ++j)
      for (std::size_t a = 0; a < dim; ++a) x[a] += N[j] * X[j * dim + a];
    xis.push_back(xi);
    points.push_back(x);
  }
  const auto found = containers::geom::locate_points(host.subs(), points, 1e-6);
  for (std::size_t i = 0; i < points.size(); ++i) {
    ASSERT_TRUE(found[i].has_value()) << i;
    for (std::size_t c = 0; c < rd; ++c) EXPECT_NEAR(found[i]->xi[c], xis[i][c], 1e-10);
    double sum = 0;
    for (double w : found[i]->weights) sum += w;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    EXPECT_EQ(found[i]->nodes, ids);
  }
}

INSTANTIATE_TEST_SUITE_P(Geom, LocateEveryType,
                         ::testing::Values(ElementType::SEG2, ElementType::TRI3, ElementType::QUA4, ElementType::TET4,
                                           ElementType::PENTA6, ElementType::HEX8, ElementType::SEG3,
                                           ElementType::TRI6, ElementType::QUA8, ElementType::TET10,
                                           ElementType::PENTA15, ElementType::HEX20, ElementType::QUA9,
                                           ElementType::HEX27),
                         [](const auto& info) { return std::string(mesh::name(info.param)); });

// A bumpy grid surface of QUA4 and TRI3 facets whose nodes lie on a coarse lattice,
// so that many points sit at equal distances from several facets.
mesh::Mesh bumpy_surface(std::size_t n) {
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(3));
  std::vector<mesh::NodeId> id((n + 1) * (n + 1));
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (std::size_t j = 0; j <= n; ++j)
      for (std::size_t i = 0; i <= n; ++i) {
        const double p[3] = {static_cast<double>(i), static_cast<double>(j), static_cast<double>((i * 7 + j * 3) % 3)};
        id[j * (n + 1) + i] = w->add_node(p);
      }
  }
  mesh::SubMesh quads(ElementType::QUA4, coords), tris(ElementType::TRI3, coords);
  for (std::size_t j = 0; j < n; ++j)
    for (std::size_t i = 0; i < n; ++i) {
      const auto a = id[j * (n + 1) + i], b = id[j * (n + 1) + i + 1], c = id[(j + 1) * (n + 1) + i + 1],
                 d = id[(j + 1) * (n + 1) + i];
      if ((i + j) % 2 == 0) {
        quads.add_cell(std::vector<mesh::NodeId>{a, b, c, d});
      } else {
        tris.add_cell(std::vector<mesh::NodeId>{a, b, c});
        tris.add_cell(std::vector<mesh::NodeId>{a, c, d});
      }
    }
  mesh::Mesh out;
  out.push_sub(store::insert(std::move(quads)));
  out.push_sub(store::insert(std::move(tris)));
  return out;
}

TEST(Project, FacetTreeGivesTheOrderedScansAnswerBitForBit) {
  const mesh::Mesh surface = bumpy_surface(12);
  const CellSnapshots facets = containers::geom::snapshot_facets(surface);
  const auto tree = containers::geom::build_facet_tree(facets);
  ASSERT_FALSE(tree.empty());
  const containers::geom::FacetTree none;
  std::mt19937_64 rng(9);
  std::uniform_int_distribution<int> lattice(-4, 32);
  std::uniform_real_distribution<double> u(-2.0, 14.0);
  for (int i = 0; i < 3000; ++i) {
    // half the points on a half-unit lattice, where ties between facets abound
    const std::vector<double> x = i % 2 ? std::vector<double>{lattice(rng) / 2.0, lattice(rng) / 2.0, lattice(rng) / 4.0}
                                        : std::vector<double>{u(rng), u(rng), u(rng) / 4.0};
    const auto a = containers::geom::project_point(facets, tree, x);
    const auto b = containers::geom::project_point(facets, none, x);
    ASSERT_EQ(a.submesh, b.submesh) << x[0] << " " << x[1] << " " << x[2];
    ASSERT_EQ(a.cell, b.cell) << x[0] << " " << x[1] << " " << x[2];
    EXPECT_EQ(a.xi, b.xi);
    EXPECT_EQ(a.gap, b.gap);
  }
}

TEST(Project, QuadraticFacetsKeepTheScan) {
  store::Handle<mesh::Coords> coords = store::insert(mesh::Coords(2));
  std::vector<mesh::NodeId> ids;
  {
    store::WriteGuard<mesh::Coords> w = store::write(coords);
    for (const auto& p : std::vector<std::vector<double>>{{0, 0}, {2, 0}, {1, 0.5}}) ids.push_back(w->add_node(p));
  }
  mesh::SubMesh sub(ElementType::SEG3, coords);
  sub.add_cell(ids);
  mesh::Mesh m;
  m.push_sub(store::insert(std::move(sub)));
  const CellSnapshots facets = containers::geom::snapshot_facets(m);
  EXPECT_TRUE(containers::geom::build_facet_tree(facets).empty());
  // the arc's apex: the normal points down (clockwise quarter turn of the direction)
  const auto p = containers::geom::project_point(facets, containers::geom::build_facet_tree(facets), std::vector<double>{1, 1});
  EXPECT_NEAR(p.closest[1], 0.5, 1e-12);
  EXPECT_NEAR(p.normal[1], -1.0, 1e-12);
  EXPECT_NEAR(p.gap, -0.5, 1e-12);
}

TEST(Locate, ResultsAreTheSameForOneAndAllThreads) {
  const mesh::Mesh surface = bumpy_surface(30);  // the facets serve as a 3-D host of TRI3/QUA4 cells
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> u(0.0, 30.0);
  std::vector<std::vector<double>> points;
  for (int i = 0; i < 5000; ++i) points.push_back({u(rng), u(rng), 0.0});
  std::vector<std::optional<containers::geom::CellLocation>> one;
  {
    parallel::ThreadLimit limit(1);
    one = containers::geom::locate_points(surface.subs(), points, 1e-6);
  }
  const auto all = containers::geom::locate_points(surface.subs(), points, 1e-6);
  ASSERT_EQ(one.size(), all.size());
  for (std::size_t i = 0; i < one.size(); ++i) {
    ASSERT_EQ(one[i].has_value(), all[i].has_value());
    if (one[i]) EXPECT_TRUE(one[i]->cell == all[i]->cell && one[i]->xi == all[i]->xi);
  }
}

}  // namespace
}  // namespace quenlith
