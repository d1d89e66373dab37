// The Gauss-point driver and the shared behaviour integration, through laws made for
// the test: the order of points, what the law is handed (previous state, time step,
// material zone), outputs left alone, the failing cell reported, empty subspaces.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/element_field/sub_element_field.hpp"
#include "containers/finite_element_space/finite_element_space.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "models/model/model.hpp"
#include "models/kernel/gauss_point_field.hpp"
#include "models/kernel/integrate_behavior.hpp"
#include "models/mod/kind.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith;
using containers::element_field::SubElementField;
using containers::finite_element_space::QuadratureRule;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::Coords;
using containers::mesh::ElementType;
using containers::mesh::NodeId;
using containers::mesh::SubMesh;
using models::kernel::CellContext;
using models::kernel::SpaceHandle;
using models::kernel::ZoneHandle;
using quenlith::testing::error_text;

// n SEG2 cells along x in 2-D.
SpaceHandle chain(std::size_t n) {
  store::Handle<Coords> coords = store::insert(Coords(2));
  {
    store::WriteGuard<Coords> w = store::write(coords);
    for (std::size_t p = 0; p <= n; ++p) {
      const double xy[] = {double(p), 0.0};
      w->decref(w->add_node(xy));
    }
  }
  SubMesh sub(ElementType::SEG2, coords);
  for (std::size_t c = 0; c < n; ++c) {
    const NodeId ids[] = {NodeId(c), NodeId(c + 1)};
    sub.add_cell(ids);
  }
  return store::insert(SubFiniteElementSpace::create(store::insert(std::move(sub)),
                                                     quenlith::testing::interpolation_of(ElementType::SEG2),
                                                     QuadratureRule::GAUSS));
}

ZoneHandle uniform(const SpaceHandle& space, std::vector<std::string> names, std::vector<double> values) {
  return store::insert(SubElementField::from_uniform_per_component(space, std::move(names), values));
}

TEST(GaussPointField, EveryPointOnceInOrderAndUnwrittenOutputsStayZero) {
  const SpaceHandle space = chain(700);
  const ZoneHandle input = uniform(space, {"eps"}, {0.5});
  for (const parallel::Index threads : {parallel::Index(1), parallel::max_threads()}) {
    parallel::ThreadLimit limit(threads);
    const SubElementField zone = models::kernel::gauss_point_field(
        space, input, std::nullopt, {"a", "b", "c"},
        [&](const CellContext& ctx, const SubElementField& in, const SubElementField* mat, std::uint64_t g,
            std::span<double> out) {
          ASSERT_EQ(mat, nullptr);
          ASSERT_EQ(out.size(), 3u);
          // Every output arrives zeroed; the points of a cell come in order.
          ASSERT_EQ(out[0] + out[1] + out[2], 0.0);
          out[0] = double(ctx.cell()) * 10 + double(g);
          out[2] = in.value(ctx.cell(), g, "eps");
        });
    EXPECT_EQ(zone.support(), space);
    ASSERT_EQ(zone.cell_count(), 700u);
    const std::uint64_t n_g = zone.gauss_count();
    ASSERT_GE(n_g, 1u);
    for (std::uint64_t c = 0; c < 700; ++c)
      for (std::uint64_t g = 0; g < n_g; ++g) {
        EXPECT_EQ(zone.value(c, g, "a"), double(c) * 10 + double(g));
        EXPECT_EQ(zone.value(c, g, "b"), 0.0);
        EXPECT_EQ(zone.value(c, g, "c"), 0.5);
      }
  }
}

TEST(GaussPointField, ReportsTheLowestFailingCellAndShortZones) {
  const SpaceHandle space = chain(900);
  const ZoneHandle input = uniform(space, {"eps"}, {1.0});
  for (const parallel::Index threads : {parallel::Index(1), parallel::max_threads()}) {
    parallel::ThreadLimit limit(threads);
    EXPECT_EQ(error_text([&] {
                models::kernel::gauss_point_field(space, input, std::nullopt, {"s"},
                                                  [](const CellContext& ctx, const SubElementField&,
                                                     const SubElementField*, std::uint64_t g, std::span<double>) {
                                                    if (ctx.cell() >= 333 && ctx.cell() % 2 == 1)
                                                      throw Error::message("cell {} point {}", ctx.cell(), g);
                                                  });
              }),
              "cell 333 point 0");
  }
  // An input zone of fewer cells than the subspace: the first read past it fails.
  const ZoneHandle short_input = uniform(chain(3), {"eps"}, {1.0});
  auto read_input = [](const CellContext& ctx, const SubElementField& in, const SubElementField*, std::uint64_t g,
                       std::span<double> out) { out[0] = in.value(ctx.cell(), g, "eps"); };
  EXPECT_EQ(error_text([&] {
              models::kernel::gauss_point_field(chain(5), short_input, std::nullopt, {"s"}, read_input);
            }),
            "SubElementField: cell index 3 \u2265 cell_count 3");
  // The zone's own errors come first.
  EXPECT_EQ(error_text([&] { models::kernel::gauss_point_field(space, input, std::nullopt, {}, read_input); }),
            "SubElementField requires at least one component");
  EXPECT_EQ(error_text([&] { models::kernel::gauss_point_field(space, input, std::nullopt, {"s", "s"}, read_input); }),
            "duplicate component name: s");
}

TEST(GaussPointField, EmptySubspaceCallsNoLaw) {
  const SpaceHandle space = chain(0);
  const ZoneHandle input = uniform(space, {"eps"}, {1.0});
  bool called = false;
  const SubElementField zone = models::kernel::gauss_point_field(
      space, input, std::nullopt, {"s", "t"},
      [&](const CellContext&, const SubElementField&, const SubElementField*, std::uint64_t, std::span<double>) {
        called = true;
      });
  EXPECT_FALSE(called);
  EXPECT_EQ(zone.cell_count(), 0u);
  EXPECT_TRUE(zone.values().empty());
  EXPECT_EQ(zone.components().size(), 2u);
}

TEST(GaussPointField, ThermalStrainLaw) {
  const SpaceHandle space = chain(2);
  const ZoneHandle temperature = uniform(space, {"T"}, {30.0});
  const ZoneHandle alpha = uniform(space, {"alpha", "E"}, {0.5, 7.0});
  static constexpr std::array<std::uint8_t, 2> kPairs[] = {{0, 0}, {0, 1}, {1, 1}};
  const models::kernel::ThermalStrainLaw law{20.0, kPairs};
  const SubElementField zone =
      models::kernel::gauss_point_field(space, temperature, alpha, {"eps_xx", "eps_xy", "eps_yy"}, law);
  for (std::uint64_t c = 0; c < 2; ++c)
    for (std::uint64_t g = 0; g < zone.gauss_count(); ++g) {
      EXPECT_EQ(zone.value(c, g, "eps_xx"), 5.0);
      EXPECT_EQ(zone.value(c, g, "eps_xy"), 0.0);
      EXPECT_EQ(zone.value(c, g, "eps_yy"), 5.0);
    }
  EXPECT_EQ(error_text([&] {
              models::kernel::gauss_point_field(space, temperature, std::nullopt, {"eps_xx", "eps_xy", "eps_yy"},
                                                law);
            }),
            "thermal_strain supplies a material field");
}

// A behaviour whose law writes what it was handed: the previous state's "s" at the
// point (or -1 without one) and the time step (or -1 without one).
class EchoBehaviour final : public models::Behaviour {
 public:
  explicit EchoBehaviour(SpaceHandle space) : space_(std::move(space)) {}
  SpaceHandle material_fespace() const override { return space_; }
  std::span<const std::string_view> material_components() const override { return {}; }
  std::span<const std::string_view> optional_materials() const override { return {}; }
  SpaceHandle behaviour_fespace() const override { return space_; }
  std::vector<std::string> output_components() const override { return {"prev", "dt", "mat"}; }
  void gauss_point_law(const CellContext& ctx, const SubElementField&, const SubElementField* previous,
                       const SubElementField* materials, std::uint64_t g, std::optional<double> dt,
                       std::span<double> out) const override {
    out[0] = previous ? previous->value(ctx.cell(), g, "s") : -1.0;
    out[1] = dt.value_or(-1.0);
    out[2] = materials ? materials->value(ctx.cell(), 0, "E") : -1.0;
  }

 protected:
  std::string_view behaviour_name() const override { return "Echo"; }

 private:
  SpaceHandle space_;
};

TEST(IntegrateBehavior, HandsThePreviousStateAndTimeStepToEveryPoint) {
  const SpaceHandle space = chain(300);
  const EchoBehaviour echo(space);
  const ZoneHandle strain = uniform(space, {"eps"}, {0.0});
  const ZoneHandle prev = uniform(space, {"s"}, {4.0});
  const ZoneHandle mat = uniform(space, {"E"}, {9.0});
  const SubElementField with = echo.integrate_behavior(strain, prev, mat, 0.25);
  const SubElementField without = echo.integrate_behavior(strain, std::nullopt, std::nullopt, std::nullopt);
  ASSERT_EQ(with.values().size(), 300 * with.gauss_count() * 3);
  for (std::size_t i = 0; i < with.values().size(); i += 3) {
    EXPECT_EQ(with.values()[i], 4.0);
    EXPECT_EQ(with.values()[i + 1], 0.25);
    EXPECT_EQ(with.values()[i + 2], 9.0);
    EXPECT_EQ(without.values()[i], -1.0);
    EXPECT_EQ(without.values()[i + 1], -1.0);
    EXPECT_EQ(without.values()[i + 2], -1.0);
  }
  // A stale previous state (a handle naming no zone) fails the call.
  EXPECT_EQ(error_text([&] { echo.integrate_behavior(strain, ZoneHandle(), std::nullopt, std::nullopt); }),
            "stale handle (slot freed or generation mismatch)");
}

std::size_t live_zones() {
  auto& zones = store::Store<SubElementField>::instance();
  return zones.n_entries() - zones.n_free();
}

TEST(IntegrateBehavior, AFailingSubModelReleasesTheZonesOfTheEarlierOnes) {
  // Three elastic sub-models on three subspaces of one triangle; the third one's strain
  // lacks eps_xx.
  store::Handle<Coords> coords = store::insert(Coords(2));
  {
    store::WriteGuard<Coords> w = store::write(coords);
    for (const auto& p : {std::array{0.0, 0.0}, std::array{1.0, 0.0}, std::array{0.0, 1.0}}) w->decref(w->add_node(p));
  }
  SubMesh sub(ElementType::TRI3, coords);
  const NodeId ids[] = {0, 1, 2};
  sub.add_cell(ids);
  const store::Handle<SubMesh> submesh = store::insert(std::move(sub));
  std::vector<SpaceHandle> spaces;
  for (int i = 0; i < 3; ++i)
    spaces.push_back(store::insert(SubFiniteElementSpace::create(
        submesh, containers::finite_element_space::Interpolation::LAGRANGE1, QuadratureRule::GAUSS)));
  const auto model = containers::model::Model::elasticity(containers::finite_element_space::FiniteElementSpace(spaces),
                                                          models::ContinuumModel::PlaneStress);
  std::vector<ZoneHandle> strains, materials;
  for (int i = 0; i < 3; ++i) {
    strains.push_back(i < 2 ? uniform(spaces[i], {"eps_xx", "eps_xy", "eps_yy"}, {1.0, 0.0, 0.0})
                            : uniform(spaces[i], {"eps_xy"}, {0.0}));
    materials.push_back(uniform(spaces[i], {"E", "nu"}, {2.0, 0.0}));
  }
  const containers::element_field::ElementField strain(strains), material(materials);
  const std::size_t before = live_zones();
  EXPECT_EQ(error_text([&] {
              models::kernel::integrate_behavior_core(model.subs(), strain, nullptr, material, std::nullopt);
            }),
            "unknown component: eps_xx");
  EXPECT_EQ(live_zones(), before);
  // A sub-model handle naming nothing stops the call likewise, after the first zone.
  const store::Handle<containers::model::SubModel> stale_list[] = {model.subs()[0], {}};
  EXPECT_EQ(error_text([&] {
              models::kernel::integrate_behavior_core(stale_list, strain, nullptr, material, std::nullopt);
            }),
            "stale handle (slot freed or generation mismatch)");
  EXPECT_EQ(live_zones(), before);
  // Without the third sub-model: two stored zones, sigma_xx = E eps_xx.
  const auto two = models::kernel::integrate_behavior_core(model.subs().first(2), strain, nullptr, material, 1.0);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(live_zones(), before + 2);
  EXPECT_EQ(store::read(two.subs()[1])->value(0, 2, "sigma_xx"), 2.0);
}

}  // namespace
