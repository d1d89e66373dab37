// Material zones from (name, value) pairs: declared order, first value wins, the
// missing-component message.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/build/material_field.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith;
using containers::finite_element_space::SubFiniteElementSpace;
using containers::mesh::NodeId;
using ops::build::MaterialPair;
using ops::build::material_zone;

class MaterialZone : public ::testing::Test {
 protected:
  void SetUp() override {
    coords_ = store::insert(containers::mesh::Coords(2));
    {
      store::WriteGuard<containers::mesh::Coords> w = store::write(coords_);
      const double pts[] = {0, 0, 1, 0, 1, 1, 0, 1};
      for (int p = 0; p < 4; ++p) w->decref(w->add_node(std::span<const double>(pts + 2 * p, 2)));
    }
    containers::mesh::SubMesh sub(containers::mesh::ElementType::TRI3, coords_);
    const NodeId cells[] = {0, 1, 2, 0, 2, 3};
    sub.add_cell(std::span<const NodeId>(cells, 3));
    sub.add_cell(std::span<const NodeId>(cells + 3, 3));
    space_ = store::insert(SubFiniteElementSpace::create(
        store::insert(std::move(sub)), containers::finite_element_space::Interpolation::LAGRANGE1,
        containers::finite_element_space::QuadratureRule::GAUSS));
  }
  store::Handle<containers::mesh::Coords> coords_;
  store::Handle<SubFiniteElementSpace> space_;
  const std::vector<std::string> required_{"E", "nu"};
  const std::vector<std::string> optional_{"alpha", "rho"};
};

TEST_F(MaterialZone, DeclaredOrderFirstValueWinsUnknownNamesIgnored) {
  const MaterialPair pairs[] = {{"rho", 7.8}, {"nu", 0.3}, {"e", 9.0}, {"E", 2.0}, {"nu", 0.4}, {"zeta", 1.0}};
  const auto zone = material_zone(space_, required_, optional_, pairs);
  EXPECT_EQ(std::vector<std::string>(zone.components().begin(), zone.components().end()),
            (std::vector<std::string>{"E", "nu", "rho"}));
  for (std::uint64_t c = 0; c < zone.cell_count(); ++c)
    for (std::uint64_t g = 0; g < zone.gauss_count(); ++g) {
      EXPECT_EQ(zone.value(c, g, "E"), 2.0);
      EXPECT_EQ(zone.value(c, g, "nu"), 0.3);
      EXPECT_EQ(zone.value(c, g, "rho"), 7.8);
    }
  // Values are stored as given, non-finite ones included.
  const double inf = std::numeric_limits<double>::infinity();
  const MaterialPair odd[] = {{"E", -1.0}, {"nu", inf}, {"alpha", 0.0}};
  const auto z2 = material_zone(space_, required_, optional_, odd);
  EXPECT_EQ(z2.component_count(), 3u);
  EXPECT_EQ(z2.value(1, 0, "nu"), inf);
}

TEST_F(MaterialZone, MissingRequiredComponent) {
  const auto text = [&](std::vector<MaterialPair> pairs) {
    return quenlith::testing::error_text([&] { material_zone(space_, required_, optional_, pairs); });
  };
  EXPECT_EQ(text({{"E", 2.0}}), "material_field: missing required component 'nu' (this physics expects: [\"E\", \"nu\"])");
  EXPECT_EQ(text({}), "material_field: missing required component 'E' (this physics expects: [\"E\", \"nu\"])");
  EXPECT_EQ(text({{"e", 2.0}, {"nu", 0.3}}),
            "material_field: missing required component 'E' (this physics expects: [\"E\", \"nu\"])");
}

}  // namespace
