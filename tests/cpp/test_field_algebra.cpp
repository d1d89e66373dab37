// The field algebra's cores that Python reaches only later (through the module
// functions of the field operators): squared norms and scalar products, the
// point-wise product, renaming, mapping values; and the parallel pieces under them,
// which must give the same bits for any number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "containers/field/algebra.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "containers/node_field/node_field.hpp"
#include "containers/node_field/sub_node_field.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace store = quenlith::store;
namespace algebra = quenlith::containers::field;
using namespace quenlith::containers::mesh;
using quenlith::containers::node_field::NodeField;
using quenlith::containers::node_field::SubNodeField;
using quenlith::parallel::ThreadLimit;
using quenlith::testing::coords_with;
using quenlith::testing::error_text;
using store::Handle;
using Names = std::vector<std::string>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Handle<SubMesh> poi1(const Handle<Coords>& c, std::uint32_t first, std::uint32_t count) {
  SubMesh s(ElementType::POI1, c);
  for (NodeId id = first; id < first + count; ++id) s.add_cell(std::span<const NodeId>(&id, 1));
  return store::insert(std::move(s));
}

Handle<SubNodeField> zone(const Handle<SubMesh>& support, Names names, std::vector<double> values) {
  return store::insert(SubNodeField::create(support, std::move(names), std::move(values)));
}

NodeField field_of(std::initializer_list<Handle<SubNodeField>> zones) {
  NodeField f;
  for (const auto& z : zones) f.push_sub(z);
  return f;
}

std::vector<double> values(const Handle<SubNodeField>& h) {
  const auto v = store::read(h)->values();
  return {v.begin(), v.end()};
}

struct Fixture : ::testing::Test {
  Handle<Coords> c = coords_with(8);
  Handle<SubMesh> s1 = poi1(c, 0, 2), s2 = poi1(c, 2, 2), s3 = poi1(c, 4, 2);
};

TEST_F(Fixture, SquaredNormsOfZonesAndFields) {
  const auto a = zone(s1, {"ux", "uy"}, {1, 2, 3, 4});
  const auto b = zone(s2, {"uy", "uz"}, {5, 6, 7, 8});
  EXPECT_EQ(algebra::xtx(*store::read(a)), 30.0);
  EXPECT_EQ(algebra::xtx(field_of({a, b})), 30.0 + 174.0);
  EXPECT_TRUE(same_bits(algebra::xtx(NodeField()), 0.0));
  EXPECT_TRUE(same_bits(algebra::xtx(*store::read(zone(poi1(c, 0, 0), {"u"}, {}))), -0.0));

  // Listed names, each counted once; the whole array when they cover every component.
  EXPECT_EQ(algebra::xtx_components(*store::read(a), Names{"uy", "uy"}), 4.0 + 16.0);
  EXPECT_EQ(algebra::xtx_components(*store::read(a), Names{"uy", "ux", "uy"}), 30.0);
  EXPECT_EQ(algebra::xtx_components(field_of({a, b}), Names{"uy"}), 20.0 + 25.0 + 49.0);
  EXPECT_EQ(algebra::xtx_components(field_of({a, b}), Names{"ux", "rho"}), 10.0);  // b is skipped
  EXPECT_EQ(error_text([&] { algebra::xtx_components(*store::read(a), Names{"rho"}); }),
            R"(xtx_components: none of ["rho"] present in this sub-field)");
  EXPECT_EQ(error_text([&] { algebra::xtx_components(*store::read(a), Names{}); }),
            "xtx_components: none of [] present in this sub-field");
  EXPECT_EQ(error_text([&] { algebra::xtx_components(field_of({a, b}), Names{"rho", "nu"}); }),
            R"(xtx_components: no zone defines any of ["rho", "nu"])");
  EXPECT_EQ(error_text([&] { algebra::xtx_components(NodeField(), Names{"ux"}); }),
            R"(xtx_components: no zone defines any of ["ux"])");
}

TEST_F(Fixture, ScalarProductsPairZonesBySupportAndComponentsByName) {
  const auto a1 = zone(s1, {"ux", "uy"}, {1, 2, 3, 4});
  const auto a2 = zone(s2, {"ux"}, {1, 1});
  const auto b1 = zone(s1, {"uz", "uy", "ux"}, {100, 10, 1, 100, 20, 2});
  const auto b1_again = zone(s1, {"ux"}, {1000, 1000});  // never a partner: b1 comes first
  const auto b3 = zone(s3, {"ux"}, {7, 7});
  // ux·ux + uy·uy row by row: (1·1 + 2·10) + (3·2 + 4·20)
  EXPECT_EQ(algebra::dot(*store::read(a1), *store::read(b1)), 107.0);
  EXPECT_EQ(algebra::xty(field_of({a1, a2}), field_of({b1, b1_again, b3})), 107.0);
  EXPECT_TRUE(same_bits(algebra::xty(field_of({a2}), field_of({b3})), 0.0));
  EXPECT_EQ(algebra::dot(*store::read(a2), *store::read(zone(s2, {"T"}, {1, 2}))), 0.0);
  EXPECT_EQ(error_text([&] { algebra::dot(*store::read(a1), *store::read(b3)); }),
            "dot: operands are not on the same support");

  const SubNodeField p = algebra::psca(*store::read(a1), *store::read(b1));
  EXPECT_EQ(std::vector<std::string>(p.components().begin(), p.components().end()), Names{"psca"});
  EXPECT_EQ(std::vector<double>(p.values().begin(), p.values().end()), (std::vector<double>{21, 86}));
  EXPECT_TRUE(p.support() == s1);
  const SubNodeField none = algebra::psca(*store::read(a2), *store::read(zone(s2, {"T"}, {1, 2})));
  EXPECT_EQ(std::vector<double>(none.values().begin(), none.values().end()), (std::vector<double>{0, 0}));
  EXPECT_EQ(error_text([&] { algebra::psca(*store::read(a1), *store::read(b3)); }),
            "pscal: operands are not on the same support");
  // Field psca: one zone per left zone that has a partner, in order.
  const NodeField pf = algebra::psca(field_of({a2, a1}), field_of({b1, b3}));
  ASSERT_EQ(pf.size(), 1u);
  EXPECT_EQ(values(pf.subs()[0]), (std::vector<double>{21, 86}));
  EXPECT_EQ(algebra::psca(field_of({a2}), field_of({b3})).size(), 0u);
}

TEST_F(Fixture, RenameMakesNewZonesAndSharesTheOthers) {
  const auto a = zone(s1, {"ux", "uy"}, {1, 2, 3, 4});
  const auto b = zone(s2, {"T"}, {5, 6});
  const NodeField r = algebra::rename_component(field_of({a, b}), "uy", "v");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_FALSE(r.subs()[0] == a);
  EXPECT_TRUE(r.subs()[1] == b);
  {
    const auto z = store::read(r.subs()[0]);
    EXPECT_EQ(std::vector<std::string>(z->components().begin(), z->components().end()), (Names{"ux", "v"}));
    EXPECT_EQ(std::vector<double>(z->values().begin(), z->values().end()), (std::vector<double>{1, 2, 3, 4}));
  }
  const SubNodeField same = algebra::rename_component(*store::read(a), "ux", "ux");
  EXPECT_EQ(std::vector<double>(same.values().begin(), same.values().end()), values(a));
  EXPECT_EQ(error_text([&] { algebra::rename_component(*store::read(a), "ux", "uy"); }),
            "rename_component: target `uy` already names another component");
  EXPECT_EQ(error_text([&] { algebra::rename_component(*store::read(a), "rho", "nu"); }), "unknown component: rho");
  EXPECT_EQ(error_text([&] { algebra::rename_component(field_of({b}), "ux", "w"); }),
            "rename_component: no zone carries component `ux`");
  EXPECT_EQ(error_text([&] { algebra::rename_component(NodeField(), "ux", "w"); }),
            "rename_component: no zone carries component `ux`");
  EXPECT_EQ(error_text([&] { algebra::rename_component(field_of({a}), "ux", "uy"); }),
            "rename_component: target `uy` already names another component");
}

TEST_F(Fixture, MapValuesAndComponentChecks) {
  const auto a = zone(s1, {"ux", "uy"}, {-0.0, -4.0, kNaN, 9.0});
  const NodeField m = algebra::map_values(field_of({a, a}), [](double v) { return std::fabs(v); });
  ASSERT_EQ(m.size(), 2u);
  const auto got = values(m.subs()[1]);
  EXPECT_TRUE(same_bits(got[0], 0.0));
  EXPECT_EQ(got[1], 4.0);
  EXPECT_TRUE(std::isnan(got[2]) && !std::signbit(got[2]));
  const SubNodeField r = algebra::map_values(*store::read(a), [](double v) { return std::sqrt(v); });
  EXPECT_TRUE(std::isnan(r.values()[1]));
  EXPECT_EQ(r.values()[3], 3.0);
  EXPECT_FALSE(m.subs()[0] == a);

  const auto b = zone(s1, {"uy", "ux"}, {0, 0, 0, 0});
  EXPECT_NO_THROW(algebra::check_same_components(*store::read(a), *store::read(b)));
  EXPECT_EQ(error_text([&] { algebra::check_same_components(*store::read(a), *store::read(zone(s1, {"ux"}, {0, 0}))); }),
            R"(check_same_components: mismatched components (["ux", "uy"] vs ["ux"]))");
  EXPECT_EQ(error_text([&] { algebra::check_same_components(*store::read(a), *store::read(zone(s2, {"ux", "uy"}, {0, 0, 0, 0}))); }),
            "check_same_components: operands are not on the same support");
}

// Every reduction and every result on a zone large enough for many chunks, with 1,
// 2 and 8 threads: the same bits.
TEST(FieldAlgebraThreads, SameBitsForEveryThreadCount) {
  const std::uint32_t n = 70001;
  const Handle<Coords> c = coords_with(n);
  const Handle<SubMesh> s = poi1(c, 0, n);
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1e3, 1e3);
  std::vector<double> va(std::size_t{n} * 3), vb(std::size_t{n} * 2);
  for (double& v : va) v = u(rng) * std::pow(10.0, double(rng() % 9) - 4);
  for (double& v : vb) v = u(rng);
  va[17] = kNaN;
  const NodeField a = field_of({zone(s, {"ux", "uy", "uz"}, va)});
  const NodeField b = field_of({zone(s, {"uz", "ux"}, vb)});

  struct Results {
    double sum, min, max, xtx, xtx_sel, xty;
    std::vector<double> merged, scaled, psca;
  };
  auto run = [&] {
    Results r;
    r.sum = algebra::sum(a, "uy");
    r.min = algebra::extremum(a, "ux", algebra::Extremum::Min);
    r.max = algebra::extremum(a, "uz", algebra::Extremum::Max);
    r.xtx = algebra::xtx(a);
    r.xtx_sel = algebra::xtx_components(a, Names{"uz", "uy"});
    r.xty = algebra::xty(a, b);
    r.merged = values(algebra::binary_op(a, b, algebra::FieldOp::Div).subs()[0]);
    r.scaled = values(algebra::scalar_op(a, algebra::FieldOp::Pow, 1.5).subs()[0]);
    r.psca = values(algebra::psca(a, b).subs()[0]);
    return r;
  };
  std::optional<Results> first;
  for (std::size_t threads : {1u, 2u, 8u}) {
    ThreadLimit limit(threads);
    const Results r = run();
    if (!first) {
      first = r;
      continue;
    }
    for (auto [x, y] : {std::pair{r.sum, first->sum}, {r.min, first->min}, {r.max, first->max},
                        {r.xtx, first->xtx}, {r.xtx_sel, first->xtx_sel}, {r.xty, first->xty}})
      EXPECT_TRUE(same_bits(x, y)) << threads;
    EXPECT_EQ(std::memcmp(r.merged.data(), first->merged.data(), r.merged.size() * 8), 0);
    EXPECT_EQ(std::memcmp(r.scaled.data(), first->scaled.data(), r.scaled.size() * 8), 0);
    EXPECT_EQ(std::memcmp(r.psca.data(), first->psca.data(), r.psca.size() * 8), 0);
  }
  double lo = kNaN;
  for (std::size_t i = 0; i < n; ++i) lo = quenlith::parallel::min_ignoring_nan(lo, va[i * 3]);
  EXPECT_TRUE(same_bits(first->min, lo));
}

TEST(FieldAlgebraThreads, ExtremesKeepTheLastOfEqualValuesAndPassOverNaN) {
  using quenlith::parallel::par_component_max;
  using quenlith::parallel::par_component_min;
  std::vector<double> v(3000, 0.0);
  for (std::size_t i = 0; i < v.size(); i += 2) v[i] = -0.0;  // -0.0 and 0.0 alternate; 0.0 is last
  for (std::size_t threads : {1u, 8u}) {
    ThreadLimit limit(threads);
    EXPECT_TRUE(same_bits(par_component_max(v, 1, 0), 0.0));
    EXPECT_TRUE(same_bits(par_component_min(v, 1, 0), 0.0));
  }
  const std::vector<double> nans(600, kNaN);
  EXPECT_TRUE(std::isnan(par_component_min(nans, 3, 1)));
  EXPECT_TRUE(std::isnan(par_component_max(std::vector<double>{}, 1, 0)));
  std::vector<double> w(600, kNaN);
  w[599] = 2.0;
  w[0] = 1.0;
  EXPECT_EQ(par_component_max(w, 2, 1), 2.0);
  EXPECT_EQ(par_component_min(w, 2, 1), 2.0);
  EXPECT_EQ(par_component_min(w, 2, 0), 1.0);
}

}  // namespace
