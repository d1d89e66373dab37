// Evolutions in the core: the swap record of a curve (read back unchanged, damaged
// records refused) and the parallel loops of interpolation and mapping, whose
// results must not depend on the number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "containers/evolution/evolution.hpp"
#include "containers/evolution/sub_evolution.hpp"
#include "containers/mesh/submesh.hpp"
#include "parallel/pool.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace store = quenlith::store;
using namespace quenlith::containers::mesh;
using namespace quenlith::containers::evolution;
using quenlith::testing::coords_with;
using quenlith::testing::error_text;
using store::Handle;
using store::Store;

Handle<SubMesh> poi1(const Handle<Coords>& c, std::uint32_t n) {
  SubMesh s(ElementType::POI1, c);
  for (NodeId i = 0; i < n; ++i) s.add_cell(std::span<const NodeId>(&i, 1));
  return store::insert(std::move(s));
}

// A zone whose value at (row, component c) is a scrambled function of (row, c, seed).
SubNodeField zone(const Handle<SubMesh>& s, std::vector<std::string> names, std::uint32_t rows, unsigned seed) {
  std::vector<double> v(std::size_t{rows} * names.size());
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = double((i * 2654435761u + seed * 40503u) % 100003) / 7.0 - 5000.0;
  return SubNodeField::create(s, std::move(names), std::move(v));
}

SubEvolution node_curve(const Handle<SubMesh>& s, std::uint32_t rows) {
  std::vector<Sample> samples;
  samples.push_back({0.0, zone(s, {"ux", "uy", "uz"}, rows, 1)});
  samples.push_back({0.7, zone(s, {"uz", "ux", "uy"}, rows, 2)});  // another name order
  samples.push_back({2.0, zone(s, {"ux", "uy", "uz"}, rows, 3)});
  return SubEvolution::create(std::move(samples), OutOfRange::Extrapolate);
}

std::vector<std::uint8_t> record_of(const SubEvolution& c) {
  store::RecordWriter w;
  c.encode(w);
  return w.bytes();
}

using EvolutionSwap = quenlith::testing::SwapDirTest;

TEST_F(EvolutionSwap, CurveSwappedOutAndReadBackIsUnchanged) {
  Handle<Coords> c = coords_with(5);
  Handle<SubMesh> s = poi1(c, 5);
  SubEvolution curve = node_curve(s, 5);
  curve.set_abscissa_type(std::string("time"));
  Handle<SubEvolution> h = store::insert(std::move(curve));
  const std::vector<std::uint8_t> before = record_of(*store::read(h));
  const std::string dump = store::read(h)->dump_text({});
  const std::vector<double> mid = [&] {
    EvolutionValue v = store::read(h)->interpolate(std::nullopt, 1.3);
    const auto values = std::get<SubNodeField>(v).values();
    return std::vector<double>(values.begin(), values.end());
  }();
  const std::uint32_t support_count = Store<SubMesh>::instance().use_count(s);
  Store<SubEvolution>::instance().swap_out(h);
  EXPECT_EQ(Store<SubEvolution>::instance().residency(h), store::ResidencyKind::SwappedOut);
  EXPECT_EQ(Store<SubMesh>::instance().use_count(s), support_count);  // the record holds the zones' units
  {
    store::ReadGuard<SubEvolution> back = store::read(h);
    EXPECT_EQ(record_of(*back), before);
    EXPECT_EQ(back->dump_text({}), dump);
    EXPECT_EQ(back->abscissa_type(), std::optional<std::string>("time"));
    EXPECT_EQ(back->out_of_range(), OutOfRange::Extrapolate);
    EvolutionValue v = back->interpolate(std::nullopt, 1.3);
    const auto values = std::get<SubNodeField>(v).values();
    EXPECT_EQ(std::vector<double>(values.begin(), values.end()), mid);
    EXPECT_TRUE(std::get<SubNodeField>(v).support() == s);
  }
  Store<SubEvolution>::instance().swap_out(h);
  h = Handle<SubEvolution>();  // released while out: the three zones give their units back
  EXPECT_EQ(Store<SubMesh>::instance().use_count(s), support_count - 3);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST(EvolutionRecord, DamagedRecordsAreRefused) {
  std::vector<Sample> samples;
  samples.push_back({0.0, 1.0});
  samples.push_back({1.0, 3.0});
  SubEvolution curve = SubEvolution::create(std::move(samples), OutOfRange::Clamp);
  curve.check_ordinate_type(std::string("E"));
  const std::vector<std::uint8_t> good = record_of(curve);
  // abscissas: 8 + 16 | values: 8 + 2 × (4 + 8) | policy 4 | absent 1 | present 1 + 8 + 1
  ASSERT_EQ(good.size(), 24u + 32 + 4 + 1 + 10);
  auto decode = [](std::vector<std::uint8_t> bytes) {
    store::RecordReader r(bytes);
    SubEvolution c = SubEvolution::decode(r);
    return c.display_text();
  };
  auto serialization = [](const std::string& text) { return quenlith::Error::serialization(text).text(); };
  EXPECT_EQ(decode(good), "SubEvolution: 2 sample(s), scalar value(s), out_of_range=clamp");
  auto cut = good;
  cut.resize(good.size() - 2);
  EXPECT_EQ(error_text([&] { decode(cut); }), serialization("io error: unexpected end of file"));
  auto kind = good;
  kind[24 + 8] = 3;  // the first value's variant
  EXPECT_EQ(error_text([&] { decode(kind); }),
            serialization("invalid value: integer `3`, expected variant index 0 <= i < 3"));
  auto policy = good;
  policy[56] = 7;
  EXPECT_EQ(error_text([&] { decode(policy); }),
            serialization("invalid value: integer `7`, expected variant index 0 <= i < 3"));
  auto tag = good;
  tag[60] = 2;
  EXPECT_EQ(error_text([&] { decode(tag); }), serialization("tag for enum is not valid, found 2"));
  // One abscissa for two values: interpolation would read past the abscissas.
  auto fewer = good;
  fewer[0] = 1;
  fewer.erase(fewer.begin() + 16, fewer.begin() + 24);
  EXPECT_EQ(error_text([&] { decode(fewer); }), serialization("SubEvolution record: 1 abscissa(s) for 2 value(s)"));
  std::vector<std::uint8_t> none(8 + 8 + 4 + 1 + 1, 0);
  EXPECT_EQ(error_text([&] { decode(none); }), serialization("SubEvolution record: no sample"));
  // A number then a node zone: a scalar curve would read the zone as a number.
  store::RecordWriter mixed;
  mixed.write_f64_list(std::vector<double>{0.0, 1.0});
  mixed.write_u64(2);
  mixed.write_variant(0);
  mixed.write_f64(1.0);
  mixed.write_variant(1);
  mixed.write_u32(0xFFFFFFFFu);  // a handle no slot has: the record keeps it
  mixed.write_u32(0);
  mixed.write_u32_list(std::vector<std::uint32_t>{0});
  mixed.write_string_list(std::vector<std::string>{"T"});
  mixed.write_f64_list(std::vector<double>{2.0});
  mixed.write_variant(1);
  mixed.write_option_tag(false);
  mixed.write_option_tag(false);
  EXPECT_EQ(error_text([&] {
              store::detail::OwnershipNeutralScope neutral;
              decode(mixed.take());
            }),
            serialization("SubEvolution record: mixed value kinds (scalar and node)"));
}

// Blending and mapping on every thread give the bits of one thread.
TEST(EvolutionThreads, ResultsDoNotDependOnTheThreads) {
  constexpr std::uint32_t kRows = 40'000;
  Handle<Coords> c = coords_with(kRows);
  Handle<SubMesh> s = poi1(c, kRows);
  const SubEvolution curve = node_curve(s, kRows);
  std::vector<Sample> law_samples;
  for (int k = 0; k < 9; ++k) law_samples.push_back({-5000.0 + 1250.0 * k, std::sin(double(k))});
  SubEvolution law = SubEvolution::create(std::move(law_samples), OutOfRange::Extrapolate);
  law.set_abscissa_type(std::string("uy"));
  const SubNodeField input = zone(s, {"ux", "uy"}, kRows, 9);
  auto run = [&] {
    std::vector<std::vector<double>> out;
    for (double x : {0.3, 1.1, 2.5, -1.0}) {
      EvolutionValue v = curve.interpolate(std::nullopt, x);
      const auto values = std::get<SubNodeField>(v).values();
      out.emplace_back(values.begin(), values.end());
    }
    const SubNodeField mapped = law.map_sub_node_field(input, std::nullopt);
    out.emplace_back(mapped.values().begin(), mapped.values().end());
    return out;
  };
  std::vector<std::vector<double>> one;
  {
    quenlith::parallel::ThreadLimit limit(1);
    one = run();
  }
  const std::vector<std::vector<double>> all = run();
  ASSERT_EQ(one.size(), all.size());
  for (std::size_t i = 0; i < one.size(); ++i) {
    ASSERT_EQ(one[i].size(), all[i].size());
    EXPECT_EQ(std::memcmp(one[i].data(), all[i].data(), one[i].size() * sizeof(double)), 0) << i;
  }
  // The blend is (1 − t)·p + t·q, the upper sample's values taken by name.
  const double t = (1.1 - 0.7) / (2.0 - 0.7);
  const auto& lo = std::get<SubNodeField>(curve.values()[1]);  // uz, ux, uy
  const auto& hi = std::get<SubNodeField>(curve.values()[2]);  // ux, uy, uz
  for (std::size_t r : {std::size_t{0}, std::size_t{12345}, std::size_t{kRows - 1}}) {
    EXPECT_EQ(one[1][r * 3 + 0], (1 - t) * lo.values()[r * 3 + 0] + t * hi.values()[r * 3 + 2]);
    EXPECT_EQ(one[1][r * 3 + 1], (1 - t) * lo.values()[r * 3 + 1] + t * hi.values()[r * 3 + 0]);
  }
}

TEST(EvolutionLists, KindsJoinAndSlicesCarryNoPolicy) {
  Handle<Coords> c = coords_with(2);
  Handle<SubMesh> s = poi1(c, 2);
  const std::pair<double, double> steps[] = {{0.0, 1.0}, {1.0, 2.0}};
  const Evolution scalar = Evolution::from_scalar_steps(steps, OutOfRange::Clamp);
  EXPECT_EQ(scalar.out_of_range(), OutOfRange::Clamp);
  std::vector<Sample> samples;
  samples.push_back({0.0, zone(s, {"T"}, 2, 1)});
  const Handle<SubEvolution> node = store::insert(SubEvolution::create(std::move(samples), OutOfRange::Error));
  Evolution ev = scalar;
  EXPECT_EQ(error_text([&] { ev.push_sub(node); }), "Evolution: cannot mix scalar and node sub-evolutions");
  EXPECT_EQ(ev.size(), 1u);
  const std::uint64_t twice[] = {0, 0};
  const Evolution sliced = scalar.slice(twice);
  EXPECT_EQ(sliced.size(), 2u);
  EXPECT_EQ(sliced.out_of_range(), OutOfRange::Error);
  EXPECT_EQ(Evolution::union_(scalar, scalar).size(), 1u);
  EXPECT_EQ(error_text([&] { sliced.interpolate(std::nullopt, 3.0); }),
            "evolution: abscissa 3 is outside the tabulated range [0, 1]");
}

}  // namespace
