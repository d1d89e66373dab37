// Element fields in the core: zones and their accessors, uniform fills, the
// container's uniqueness rule and lookups by subspace, value bands and masks, and
// the swap record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "containers/element_field/element_field.hpp"
#include "containers/element_field/sub_element_field.hpp"
#include "containers/field/mask.hpp"
#include "containers/field/value_band.hpp"
#include "containers/field/values.hpp"
#include "containers/finite_element_space/sub_finite_element_space.hpp"
#include "containers/mesh/submesh.hpp"
#include "ops/field/mask.hpp"
#include "parallel/pool.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace store = quenlith::store;
using namespace quenlith::containers::mesh;
using quenlith::containers::element_field::ElementField;
using quenlith::containers::element_field::SubElementField;
using quenlith::containers::field::ValueBand;
using quenlith::containers::field::value_band;
using quenlith::containers::finite_element_space::Interpolation;
using quenlith::containers::finite_element_space::QuadratureRule;
using quenlith::containers::finite_element_space::SubFiniteElementSpace;
using quenlith::testing::coords_with;
using quenlith::testing::error_text;
using store::Handle;
using store::Store;
using Names = std::vector<std::string>;
using Values = std::vector<double>;
using SpaceHandle = Handle<SubFiniteElementSpace>;
using ZoneHandle = Handle<SubElementField>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A TRI3 submesh of `cells` triangles over nodes 0..3 of a fresh Coords.
Handle<SubMesh> triangles(std::size_t cells) {
  Handle<Coords> c = coords_with(4);
  SubMesh s(ElementType::TRI3, c);
  for (std::size_t i = 0; i < cells; ++i) {
    const NodeId tri[] = {NodeId(i % 2), 2, 3};
    s.add_cell(tri);
  }
  return store::insert(std::move(s));
}

SpaceHandle space_on(const Handle<SubMesh>& sub, QuadratureRule q = QuadratureRule::GAUSS) {
  return store::insert(SubFiniteElementSpace::create(sub, Interpolation::LAGRANGE1, q));
}

ZoneHandle zone(const SpaceHandle& s, Names names) { return store::insert(SubElementField::create(s, names)); }

ElementField field_of(std::vector<ZoneHandle> zones) {
  ElementField f;
  for (auto& z : zones) f.push_sub(std::move(z));
  return f;
}

Values values_of(const ZoneHandle& z) {
  auto v = store::read(z)->values();
  return {v.begin(), v.end()};
}

std::string slot_text(const SpaceHandle& s) {
  return "slot " + std::to_string(s.idx()) + " (generation " + std::to_string(s.gen()) + ")";
}

// ---------------------------------------------------------------------------
// Zones

TEST(SubElementField, ShapeComesFromTheSubspaceAndValuesStartAtZero) {
  const SpaceHandle s = space_on(triangles(2));
  const SubElementField z = SubElementField::create(s, {"E", "nu"});
  EXPECT_EQ(z.cell_count(), 2u);
  EXPECT_EQ(z.gauss_count(), 3u);
  EXPECT_EQ(z.values().size(), 2u * 3 * 2);
  EXPECT_TRUE(z.support() == s);
  EXPECT_EQ(z.values()[11], 0.0);
  const SubElementField reduced = SubElementField::create(space_on(triangles(1), QuadratureRule::REDUCED), {"T"});
  EXPECT_EQ(reduced.gauss_count(), 1u);
  EXPECT_EQ(error_text([&] { SubElementField::create(s, {}); }), "SubElementField requires at least one component");
  EXPECT_EQ(error_text([&] { SubElementField::create(s, {"a", "b", "a"}); }), "duplicate component name: a");
  EXPECT_EQ(error_text([&] { SubElementField::create(SpaceHandle(), {"a"}); }),
            "stale handle (slot freed or generation mismatch)");
}

TEST(SubElementField, AccessorsCheckInTheirOrderAndWriteInPlace) {
  SubElementField z = SubElementField::create(space_on(triangles(2)), {"E", "nu"});
  EXPECT_EQ(error_text([&] { z.get(5, 9, 9); }), "SubElementField: cell index 5 ≥ cell_count 2");
  EXPECT_EQ(error_text([&] { z.get(1, 3, 9); }), "SubElementField: gauss index 3 ≥ gauss_count 3");
  EXPECT_EQ(error_text([&] { z.set(1, 2, 2, 1.0); }), "SubElementField: component index 2 ≥ component_count 2");
  // By name, the name is resolved before the indices.
  EXPECT_EQ(error_text([&] { z.value(9, 0, "rho"); }), "unknown component: rho");
  EXPECT_EQ(error_text([&] { z.set_value(9, 0, "nu", 1.0); }), "SubElementField: cell index 9 ≥ cell_count 2");
  EXPECT_EQ(error_text([&] { z.set_cell_uniform(2, "rho", 1.0); }), "SubElementField: cell index 2 ≥ cell_count 2");
  EXPECT_EQ(error_text([&] { z.set_cell_uniform(1, "rho", 1.0); }), "unknown component: rho");
  EXPECT_EQ(error_text([&] { z.set_uniform("rho", 1.0); }), "unknown component: rho");
  EXPECT_EQ(error_text([&] { z.point_values(0, 3); }), "SubElementField: gauss index 3 ≥ gauss_count 3");
  EXPECT_EQ(Values(z.values().begin(), z.values().end()), Values(12, 0.0)) << "a failed call wrote something";

  z.set(1, 2, 1, 4.0);
  EXPECT_EQ(z.values()[(1 * 3 + 2) * 2 + 1], 4.0);  // cell-major, then Gauss point, then component
  z.set_value(0, 1, "E", 2.5);
  EXPECT_EQ(z.get(0, 1, 0), 2.5);
  EXPECT_EQ(z.point_values(0, 1), (Values{2.5, 0.0}));
  z.set_cell_uniform(1, "E", 7.0);
  EXPECT_EQ(z.value(1, 0, "E") + z.value(1, 1, "E") + z.value(1, 2, "E"), 21.0);
  EXPECT_EQ(z.value(0, 0, "E"), 0.0);
  z.set_uniform("nu", 0.3);
  for (std::size_t k = 1; k < z.values().size(); k += 2) EXPECT_EQ(z.values()[k], 0.3);
  EXPECT_EQ(z.component_index("nu"), std::optional<std::uint64_t>(1));
  EXPECT_EQ(z.component_index("Nu"), std::nullopt);
}

TEST(SubElementField, UniformPerComponentFillsEveryPointOnAnyThreadCount) {
  const SpaceHandle s = space_on(triangles(300));  // more points than one chunk
  const Values vals{2.5, 0.3, -1.0};
  SubElementField many = SubElementField::from_uniform_per_component(s, {"E", "nu", "rho"}, vals);
  Values expected;
  for (std::size_t p = 0; p < 300 * 3; ++p) expected.insert(expected.end(), vals.begin(), vals.end());
  EXPECT_EQ(Values(many.values().begin(), many.values().end()), expected);
  {
    quenlith::parallel::ThreadLimit one(1);
    SubElementField single = SubElementField::from_uniform_per_component(s, {"E", "nu", "rho"}, vals);
    EXPECT_EQ(Values(single.values().begin(), single.values().end()), expected);
  }
  EXPECT_EQ(error_text([&] { SubElementField::from_uniform_per_component(s, {"E", "nu"}, vals); }),
            "from_uniform_per_component: 3 values supplied for 2 components");
  EXPECT_EQ(error_text([&] { SubElementField::from_uniform_per_component(s, {"E", "E", "nu"}, vals); }),
            "duplicate component name: E");
}

TEST(SubElementField, CloneAndSelectionCopyAndKeepTheSupport) {
  const SpaceHandle s = space_on(triangles(1));
  SubElementField z = SubElementField::from_uniform_per_component(s, {"a", "b", "c"}, Values{1, 2, 3});
  SubElementField copy = z.clone();
  z.set_uniform("a", 9.0);
  EXPECT_EQ(copy.point_values(0, 2), (Values{1, 2, 3}));
  SubElementField picked = copy.select_components(Names{"c", "a", "zz"});
  EXPECT_EQ(Names(picked.components().begin(), picked.components().end()), (Names{"a", "c"}));
  EXPECT_EQ(picked.gauss_count(), 3u);
  EXPECT_EQ(picked.point_values(0, 1), (Values{1, 3}));
  EXPECT_TRUE(picked.support() == s);
  EXPECT_EQ(error_text([&] { copy.select_components(Names{"p"}); }),
            "select_components: this sub-field carries none of [\"p\"]");
}

TEST(SubElementField, CheckFitsComparesCellsAndGaussPointsWithTheSubspace) {
  const SpaceHandle s = space_on(triangles(2));
  const SubElementField z = SubElementField::create(s, {"E"});
  EXPECT_EQ(error_text([&] { z.check_fits(*store::read(s)); }), "<no error>");
  const SpaceHandle reduced = space_on(triangles(2), QuadratureRule::REDUCED);
  EXPECT_EQ(error_text([&] { z.check_fits(*store::read(reduced)); }),
            "SubElementField: a zone of 2 cell(s) × 3 gauss does not fit its subspace of 2 cell(s) × 1 gauss");
}

// ---------------------------------------------------------------------------
// Container

TEST(ElementField, OneZonePerSubspaceAndNothingLeftBehindOnFailure) {
  const SpaceHandle a = space_on(triangles(2)), b = space_on(triangles(1), QuadratureRule::REDUCED);
  quenlith::containers::finite_element_space::FiniteElementSpace space;
  space.push_sub(a);
  space.push_sub(b);
  ElementField f = ElementField::create(space, {"E", "nu"});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(store::read(f.subs()[0])->cell_count(), 2u);
  EXPECT_EQ(store::read(f.subs()[1])->gauss_count(), 1u);
  EXPECT_EQ(f.components(), (Names{"E", "nu"}));
  ElementField per = ElementField::with_components_per_subspace(space, {{"E"}, {"rho", "E"}});
  EXPECT_EQ(per.components(), (Names{"E", "rho"}));
  EXPECT_EQ(error_text([&] { ElementField::with_components_per_subspace(space, {{"E"}}); }),
            "ElementField: 1 component list(s) supplied for 2 subspace(s)");
  EXPECT_EQ(error_text([&] { ElementField::create({}, {"E"}); }), "ElementField: FE space has no subspace");
  EXPECT_EQ(error_text([&] { ElementField::create(space, {}); }), "SubElementField requires at least one component");
  // The second zone fails: the first, already stored, goes with the partial field.
  const std::uint32_t before = Store<SubFiniteElementSpace>::instance().use_count(a);
  EXPECT_EQ(error_text([&] { ElementField::with_components_per_subspace(space, {{"E"}, {}}); }),
            "SubElementField requires at least one component");
  EXPECT_EQ(Store<SubFiniteElementSpace>::instance().use_count(a), before);
}

TEST(ElementField, UniquenessRuleAcceptsDisjointNamesAndRefusesASharedOne) {
  const SpaceHandle s = space_on(triangles(1));
  const ZoneHandle en = zone(s, {"E", "nu"}), rho = zone(s, {"rho"}), e2 = zone(s, {"E"});
  const ZoneHandle elsewhere = zone(space_on(triangles(1)), {"E"});
  const std::string shared = "ElementField: component E is carried by two zones on the same support (slot " +
                             std::to_string(s.idx()) + ", generation " + std::to_string(s.gen()) +
                             "). Component fields must be unique per support; call consolidate_element to fuse "
                             "zones that legitimately share a support.";
  EXPECT_EQ(ElementField::union_(en, rho).size(), 2u);
  EXPECT_EQ(ElementField::union_(en, elsewhere).size(), 2u);
  EXPECT_EQ(error_text([&] { ElementField::union_(en, e2); }), shared);
  EXPECT_EQ(ElementField::union_(en, en).size(), 1u);
  ElementField pushed = field_of({en, e2});  // push_sub checks nothing
  EXPECT_EQ(pushed.size(), 2u);
  EXPECT_EQ(error_text([&] { pushed.slice(std::vector<std::uint64_t>{0, 1}); }), shared);
  EXPECT_EQ(pushed.slice(std::vector<std::uint64_t>{1}).size(), 1u);
  EXPECT_EQ(error_text([&] { field_of({en}).slice(std::vector<std::uint64_t>{0, 0}); }), shared);
  EXPECT_EQ(ElementField::union_(pushed.slice(std::vector<std::uint64_t>{0}), field_of({en, rho})).size(), 2u);
  EXPECT_EQ(error_text([&] { field_of({rho}).union_sub(e2); }), "<no error>");
  EXPECT_EQ(error_text([&] { field_of({en}).union_sub(e2); }), shared);
}

TEST(ElementField, LookupBySubspaceAndRequiredComponents) {
  const SpaceHandle s = space_on(triangles(1));
  const ZoneHandle en = zone(s, {"E", "nu"}), rho = zone(s, {"rho"});
  const ZoneHandle other = zone(space_on(triangles(1)), {"E"});
  const ElementField f = ElementField::union_(ElementField::union_(en, rho), field_of({other}));
  EXPECT_TRUE(f.sub_for_fespace_components(s, Names{"E"}) == en);
  EXPECT_TRUE(f.sub_for_fespace_components(s, Names{"rho"}) == rho);
  EXPECT_EQ(error_text([&] { f.sub_for_fespace_components(s, Names{"E", "rho"}); }),
            "no SubElementField on the SubFiniteElementSpace at " + slot_text(s) +
                " carries all of [\"E\", \"rho\"] — supply it via material_field");
  EXPECT_EQ(error_text([&] { f.sub_for_fespace_components(s, Names{}); }),
            "2 SubElementFields on the SubFiniteElementSpace at " + slot_text(s) +
                " each carry all of []; the zone is ambiguous — fuse them with consolidate_element or narrow the "
                "components");
  EXPECT_EQ(error_text([&] { f.sub_for_fespace(s); }),
            "2 SubElementFields live on the SubFiniteElementSpace at " + slot_text(s) +
                "; sub_for_fespace needs a unique zone. Use subs_for_fespace, or consolidate_element to fuse the "
                "zones.");
  EXPECT_EQ(f.subs_for_fespace(s).size(), 2u);
  // A subspace rebuilt on the same submesh is another support.
  const SpaceHandle rebuilt = space_on(store::read(s)->submesh());
  EXPECT_TRUE(f.subs_for_fespace(rebuilt).empty());
  EXPECT_EQ(error_text([&] { f.sub_for_fespace(rebuilt); }),
            "no SubElementField in this ElementField matches the SubFiniteElementSpace at " + slot_text(rebuilt));
  const SpaceHandle one = store::read(other)->support();
  EXPECT_TRUE(f.sub_for_fespace(one) == other);
  EXPECT_TRUE(f.sub_for_fespace_components(one, Names{}) == other);
}

TEST(ElementField, FilterSharesWholeZonesAndCopiesTheRest) {
  const ZoneHandle en = zone(space_on(triangles(1)), {"E", "nu"}), e = zone(space_on(triangles(1)), {"E"});
  const ElementField f = field_of({en, e, zone(space_on(triangles(1)), {"rho"})});
  const ElementField only = f.filter_components(Names{"E"});
  ASSERT_EQ(only.size(), 2u);
  EXPECT_FALSE(only.subs()[0] == en);
  EXPECT_TRUE(only.subs()[1] == e);
  EXPECT_EQ(error_text([&] { f.filter_components(Names{"p"}); }), "filter_components: no zone carries any of [\"p\"]");
}

// ---------------------------------------------------------------------------
// Value bands and masks

TEST(ValueBand, ChecksComeInOrderAndEqualBoundsAreAccepted) {
  const std::optional<double> none;
  EXPECT_EQ(error_text([&] { value_band(1.0, 2.0, 3.0, 4.0); }),
            "value band: give at most one lower bound (`ge` or `gt`, not both)");
  EXPECT_EQ(error_text([&] { value_band(none, none, none, none); }),
            "value band: at least one bound (`ge`/`gt`/`le`/`lt`) must be given");
  EXPECT_EQ(error_text([&] { value_band(none, none, 1.0, 2.0); }),
            "value band: give at most one upper bound (`le` or `lt`, not both)");
  EXPECT_EQ(error_text([&] { value_band(2.0, none, 1.0, none); }),
            "value band: lower bound (2) is greater than upper bound (1)");
  EXPECT_EQ(error_text([&] { value_band(none, 0.5, none, -0.25); }),
            "value band: lower bound (0.5) is greater than upper bound (-0.25)");
  EXPECT_EQ(error_text([&] { value_band(kNaN, none, 1.0, none); }), "<no error>");
  const ValueBand exact = value_band(1.0, none, 1.0, none);
  EXPECT_TRUE(exact.contains(1.0));
  EXPECT_FALSE(exact.contains(std::nextafter(1.0, 2.0)));
  EXPECT_FALSE(value_band(1.0, none, none, 1.0).contains(1.0));
}

struct BandCase {
  const char* name;
  std::optional<double> ge, gt, le, lt;
  Values expected;  // for the values kProbe
};
const Values kProbe{-1.0, -0.0, 0.0, 1.0, 2.0, kNaN, std::numeric_limits<double>::infinity()};

class BandMask : public ::testing::TestWithParam<BandCase> {};

// The band's own test and the mask agree, on a zone whose components are all
// tested (the straight pass) and on one where only one is (the per-value pass).
TEST_P(BandMask, ContainsAndMaskAgree) {
  const BandCase& c = GetParam();
  const ValueBand band = value_band(c.ge, c.gt, c.le, c.lt);
  for (std::size_t k = 0; k < kProbe.size(); ++k)
    EXPECT_EQ(band.contains(kProbe[k]) ? 1.0 : 0.0, c.expected[k]) << "value " << kProbe[k];
  Values out(kProbe.size());
  const std::uint8_t all[] = {1};
  quenlith::containers::field::mask_values(kProbe, out, all, band);
  EXPECT_EQ(out, c.expected);
  Values pairs, masked;
  for (double v : kProbe) pairs.insert(pairs.end(), {v, v});
  masked.resize(pairs.size());
  const std::uint8_t second[] = {0, 1};
  quenlith::containers::field::mask_values(pairs, masked, second, band);
  for (std::size_t k = 0; k < kProbe.size(); ++k) {
    EXPECT_EQ(masked[2 * k], 1.0);
    EXPECT_EQ(masked[2 * k + 1], c.expected[k]);
  }
}

const std::optional<double> kNone;
INSTANTIATE_TEST_SUITE_P(
    Bands, BandMask,
    ::testing::Values(BandCase{"lt0", kNone, kNone, kNone, 0.0, {1, 0, 0, 0, 0, 0, 0}},
                      BandCase{"le0", kNone, kNone, 0.0, kNone, {1, 1, 1, 0, 0, 0, 0}},
                      BandCase{"gt0", kNone, 0.0, kNone, kNone, {0, 0, 0, 1, 1, 0, 1}},
                      BandCase{"ge0", 0.0, kNone, kNone, kNone, {0, 1, 1, 1, 1, 0, 1}},
                      BandCase{"ge0_le1", 0.0, kNone, 1.0, kNone, {0, 1, 1, 1, 0, 0, 0}},
                      BandCase{"gt0_lt1", kNone, 0.0, kNone, 1.0, {0, 0, 0, 0, 0, 0, 0}},
                      BandCase{"nan_bound", kNaN, kNone, kNone, kNone, {0, 0, 0, 0, 0, 0, 0}},
                      BandCase{"le_inf", kNone, kNone, std::numeric_limits<double>::infinity(), kNone,
                               {1, 1, 1, 1, 1, 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Mask, TestedComponentsFollowTheList) {
  using quenlith::containers::field::tested_components;
  using Flags = std::vector<std::uint8_t>;
  const Names names{"ux", "uy", "uz"};
  EXPECT_EQ(tested_components(names, std::nullopt), (Flags{1, 1, 1}));
  EXPECT_EQ(tested_components(names, Names{"uz", "ux", "uz"}), (Flags{1, 0, 1}));
  // A listed name the zone lacks is left out; the others are still tested.
  EXPECT_EQ(tested_components(names, Names{"ux", "T"}), (Flags{1, 0, 0}));
  EXPECT_EQ(tested_components(names, Names{"T"}), (Flags{0, 0, 0}));
  EXPECT_EQ(tested_components(names, Names{}), (Flags{0, 0, 0}));
}

TEST(Mask, ElementFieldMaskKeepsStructureAndLeavesTheInputAlone) {
  const SpaceHandle s = space_on(triangles(2));
  const ZoneHandle a = store::insert(SubElementField::from_uniform_per_component(s, {"E", "nu"}, Values{-1, 2}));
  const ZoneHandle b = store::insert(
      SubElementField::from_uniform_per_component(space_on(triangles(1), QuadratureRule::REDUCED), {"nu"}, Values{0.5}));
  const ElementField f = field_of({a, b, a});  // a zone listed twice is read once
  const ValueBand band = value_band(0.0, std::nullopt, std::nullopt, std::nullopt);
  const ElementField m = quenlith::ops::field::mask_element_field(f, band, std::nullopt);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_FALSE(m.subs()[0] == m.subs()[2]);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto in = store::read(f.subs()[i]);
    const auto out = store::read(m.subs()[i]);
    EXPECT_TRUE(out->support() == in->support());
    EXPECT_EQ(out->cell_count(), in->cell_count());
    EXPECT_EQ(out->gauss_count(), in->gauss_count());
    EXPECT_EQ(Names(out->components().begin(), out->components().end()),
              Names(in->components().begin(), in->components().end()));
  }
  EXPECT_EQ(store::read(m.subs()[0])->point_values(1, 2), (Values{0, 1}));
  EXPECT_EQ(values_of(m.subs()[1]), (Values{1}));
  EXPECT_EQ(store::read(a)->point_values(1, 2), (Values{-1, 2}));
  // Only "nu" tested: "E" comes out all 1.0, and a zone lacking "E" is untested.
  const ElementField only = quenlith::ops::field::mask_element_field(
      f, value_band(std::nullopt, std::nullopt, 0.0, std::nullopt), Names{"nu"});
  EXPECT_EQ(store::read(only.subs()[0])->point_values(0, 0), (Values{1, 0}));
  const ElementField lacking = quenlith::ops::field::mask_element_field(f, band, Names{"E"});
  EXPECT_EQ(store::read(lacking.subs()[0])->point_values(0, 0), (Values{0, 1}));
  EXPECT_EQ(values_of(lacking.subs()[1]), (Values{1}));
  EXPECT_EQ(quenlith::ops::field::mask_element_field(ElementField(), band, std::nullopt).size(), 0u);
  // A zone that cannot be read fails the whole mask.
  EXPECT_EQ(error_text([&] { quenlith::ops::field::mask_element_field(field_of({a, ZoneHandle()}), band, {}); }),
            "stale handle (slot freed or generation mismatch)");
}

TEST(Values, LargeArraysAreAlignedToHugePagesAndBehaveAsVectors) {
  using quenlith::containers::field::Values;
  Values big(std::size_t{1} << 20, 1.5);  // 8 MiB
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % (std::uintptr_t{2} << 20), 0u);
  EXPECT_EQ(big.front(), 1.5);
  EXPECT_EQ(big.back(), 1.5);
  Values copy = big;
  big.resize(big.size() + 3, -1.0);
  big.resize(10);
  big.shrink_to_fit();  // from the large kind of block to the small one
  EXPECT_EQ(big, Values(10, 1.5));
  EXPECT_EQ(copy.size(), std::size_t{1} << 20);
  EXPECT_EQ(copy[12345], 1.5);
}

// ---------------------------------------------------------------------------
// Text forms and swap record

TEST(ElementFieldText, DisplayDebugAndDump) {
  const SpaceHandle s = space_on(triangles(1), QuadratureRule::REDUCED);
  SubElementField z = SubElementField::create(s, {"E", "nu", "rho"});
  z.set(0, 0, 1, -2.5);
  EXPECT_EQ(z.display_text(), "SubElementField: 1 cell(s) × 1 gauss × 3 component(s) [E, nu, rho]");
  EXPECT_EQ(z.debug_text(), "SubElementField { support: " + s.debug_text() +
                                ", cell_count: 1, gauss_count: 1, components: [\"E\", \"nu\", \"rho\"] }");
  quenlith::dump::DumpOptions cut;
  cut.max_cols = 1;
  EXPECT_EQ(z.dump_text(cut),
            "SubElementField: 1 cell(s) × 1 gauss × 3 component(s) [E, nu, rho]\n"
            "cell  gauss  …\n"
            "   0      0  …\n"
            "… (3 colonne(s) de plus)\n");
  EXPECT_EQ(ElementField().debug_text(), "ElementField { count: 0, items: [] }");
  EXPECT_EQ(ElementField().display_text(), "ElementField: 0 subfield(s)");
}

using ElementFieldSwap = quenlith::testing::SwapDirTest;

TEST_F(ElementFieldSwap, ZoneSwappedOutAndReadBackIsUnchanged) {
  const SpaceHandle s = space_on(triangles(2));
  ZoneHandle h = zone(s, {"E", "température"});
  {
    store::WriteGuard<SubElementField> g = store::write(h);
    auto v = g->values_mut();
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = 0.5 * double(k);
    v[3] = kNaN;
    v[4] = -0.0;
  }
  const std::string dump = store::read(h)->dump_text({});
  const Values before = values_of(h);
  const std::uint32_t support_count = Store<SubFiniteElementSpace>::instance().use_count(s);
  Store<SubElementField>::instance().swap_out(h);
  EXPECT_EQ(Store<SubElementField>::instance().residency(h), store::ResidencyKind::SwappedOut);
  {
    store::ReadGuard<SubElementField> z = store::read(h);
    EXPECT_EQ(z->dump_text({}), dump);
    EXPECT_TRUE(z->support() == s);
    EXPECT_EQ(z->value(1, 2, "température"), before[11]);
    EXPECT_TRUE(std::isnan(z->get(0, 1, 1)) && std::signbit(z->get(0, 2, 0)));
    EXPECT_EQ(z->values().size(), before.size());
  }
  EXPECT_EQ(Store<SubFiniteElementSpace>::instance().use_count(s), support_count);
  Store<SubElementField>::instance().swap_out(h);
  h = ZoneHandle();  // released while out: the record gives its support unit back
  EXPECT_EQ(Store<SubFiniteElementSpace>::instance().use_count(s), support_count - 1);
  EXPECT_TRUE(fs::is_empty(dir_));
}

std::vector<std::uint8_t> record_of(const ZoneHandle& h) {
  store::RecordWriter w;
  store::read(h)->encode(w);
  return w.bytes();
}

void put_u64(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = std::uint8_t(v >> (8 * i));
}

TEST(ElementFieldRecord, DamagedRecordsAreRefused) {
  const ZoneHandle h = zone(space_on(triangles(1), QuadratureRule::REDUCED), {"T", "p"});
  const std::vector<std::uint8_t> good = record_of(h);
  // support (8) | names: count (8) + 2 × (len 8 + 1) | n_cells (8) | n_gauss (8) | values: count (8) + 16
  constexpr std::size_t kCells = 8 + 8 + 18, kGauss = kCells + 8, kValues = kGauss + 8;
  ASSERT_EQ(good.size(), kValues + 8 + 16);
  auto decode = [](const std::vector<std::uint8_t>& bytes) {
    store::detail::OwnershipNeutralScope neutral;  // the units stay with the bytes
    store::RecordReader r(bytes);
    (void)SubElementField::decode(r);
  };
  auto serialization = [](const std::string& text) { return quenlith::Error::serialization(text).text(); };
  EXPECT_EQ(error_text([&] { decode(good); }), "<no error>");
  auto cut = good;
  cut.resize(good.size() - 1);
  EXPECT_EQ(error_text([&] { decode(cut); }), serialization("io error: unexpected end of file"));
  auto cells = good;
  put_u64(cells, kCells, 2);
  EXPECT_EQ(error_text([&] { decode(cells); }),
            serialization("SubElementField record: 2 value(s) for 2 cell(s) × 1 gauss × 2 component(s)"));
  auto gauss = good;
  put_u64(gauss, kGauss, 3);
  EXPECT_EQ(error_text([&] { decode(gauss); }),
            serialization("SubElementField record: 2 value(s) for 1 cell(s) × 3 gauss × 2 component(s)"));
  // Counts whose product wraps to the value count are refused all the same.
  auto wraps = good;
  put_u64(wraps, kCells, (std::uint64_t{1} << 63) + 1);
  put_u64(wraps, kGauss, 2);
  EXPECT_NE(error_text([&] { decode(wraps); }), "<no error>");
  auto no_gauss = good;
  put_u64(no_gauss, kGauss, 0);
  EXPECT_NE(error_text([&] { decode(no_gauss); }), "<no error>");
  auto twice = good;
  twice[8 + 8 + 8 + 9] = 'T';  // the second name becomes the first
  EXPECT_EQ(error_text([&] { decode(twice); }),
            serialization("SubElementField record: duplicate component name: T"));
  std::vector<std::uint8_t> no_name(good.begin(), good.begin() + 8);
  no_name.insert(no_name.end(), 8, 0);
  no_name.insert(no_name.end(), good.begin() + kCells, good.end());
  EXPECT_EQ(error_text([&] { decode(no_name); }), serialization("SubElementField record: no component"));
}

// Large value arrays, once freed, are kept and handed out again for an array of the
// same size in whole huge pages; no more bytes are kept than large blocks stay in
// use, nor than the bound, so memory goes back once the last large array dies; a
// file block is never kept.
TEST(LargeValueArrays, FreedBlocksAreKeptOnlyWhileLargeArraysLive) {
  namespace field = quenlith::containers::field;
  using field::detail::kept_bytes;
  field::detail::release_kept_blocks();
  constexpr std::size_t n = std::size_t{1} << 20;  // 8 MiB
  {
    const field::Values operand(n, 1.5);
    const double* first;
    {
      field::Values result(n);
      first = result.data();
    }
    EXPECT_EQ(kept_bytes(), n * sizeof(double));
    {
      field::Values other(2 * n);  // another size leaves it kept
      EXPECT_NE(other.data(), first);
      field::Values again(n - 100);  // the same number of huge pages takes it back
      EXPECT_EQ(again.data(), first);
    }
    EXPECT_LE(kept_bytes(), n * sizeof(double));  // only the operand is in use
    {
      std::vector<field::Values> results;
      for (int i = 0; i < 40; ++i) results.emplace_back(n);
    }
    EXPECT_EQ(kept_bytes(), n * sizeof(double));
    {
      std::vector<field::Values> live, results;
      for (int i = 0; i < 40; ++i) live.emplace_back(n);
      for (int i = 0; i < 40; ++i) results.emplace_back(n);
      results.clear();
      EXPECT_LE(kept_bytes(), field::detail::kLargeCacheBytes);
      EXPECT_GE(kept_bytes(), field::detail::kLargeCacheBytes - 2 * n * sizeof(double));
    }
    EXPECT_LE(kept_bytes(), n * sizeof(double));
    const std::size_t before = kept_bytes();
    { field::ByteBlock file(3 * n * sizeof(double)); }  // a size no kept block has
    { field::Values small(1000); }
    EXPECT_EQ(kept_bytes(), before);
  }
  EXPECT_EQ(kept_bytes(), 0u);  // the last large array is gone
}

// Writing a zone out gives its value block back to the system, even while other
// large arrays live; reading it back gives the same bits.
TEST_F(ElementFieldSwap, LargeZoneWrittenOutKeepsNoBlock) {
  namespace field = quenlith::containers::field;
  field::detail::release_kept_blocks();
  const field::Values other(std::size_t{4} << 20);
  const SpaceHandle s = space_on(triangles(std::size_t{1} << 19));
  ZoneHandle h = zone(s, {"E", "nu"});
  {
    store::WriteGuard<SubElementField> g = store::write(h);
    auto v = g->values_mut();
    ASSERT_GE(v.size() * sizeof(double), field::detail::kLargeArrayBytes);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = 1.0 / double(k + 1);
  }
  const Values before = values_of(h);
  Store<SubElementField>::instance().swap_out(h);
  EXPECT_EQ(field::detail::kept_bytes(), 0u);
  const Values after = values_of(h);
  EXPECT_EQ(std::memcmp(before.data(), after.data(), before.size() * sizeof(double)), 0);
  h = ZoneHandle();
}

}  // namespace
