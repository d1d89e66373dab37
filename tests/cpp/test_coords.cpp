// Coords (the node registry) and Node (a counted reference to one node): core
// operations, text forms, the swap record, and Nodes through the store.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "containers/mesh/coords.hpp"
#include "containers/mesh/node.hpp"
#include "store/guard.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "store/swap_dir.hpp"
#include "test_support.hpp"

namespace {

using quenlith::containers::mesh::Coords;
using quenlith::containers::mesh::Node;
using quenlith::containers::mesh::NodeId;
using quenlith::dump::DumpOptions;
using quenlith::Error;
using quenlith::store::Handle;
using quenlith::store::RecordReader;
using quenlith::store::RecordWriter;
using quenlith::store::Store;
namespace fs = std::filesystem;

// Runs `f`, expecting a Message error with exactly `text`.
template <class F>
void expect_message(F&& f, const std::string& text) {
  try {
    f();
    ADD_FAILURE() << "no error; expected: " << text;
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::Message);
    EXPECT_EQ(e.text(), text);
  }
}

std::vector<std::uint8_t> encode(const Coords& c) {
  RecordWriter w;
  c.encode(w);
  return w.take();
}

Coords decode(const std::vector<std::uint8_t>& bytes) {
  RecordReader r(bytes);
  return Coords::decode(r);
}

Coords three_nodes() {
  Coords c(2);
  c.add_node(std::vector<double>{0.0, 0.0});
  c.add_node(std::vector<double>{1.0, 0.0});
  c.add_node(std::vector<double>{0.0, 1.0});
  return c;
}

// ---------------------------------------------------------------------------
// Core operations

TEST(Coords, NewAndFreshState) {
  expect_message([] { Coords c(0); }, "dim must be ≥ 1");
  EXPECT_EQ(Coords(255).dim(), 255);
  Coords c(2);
  EXPECT_EQ(c.names(), std::vector<std::string>{"default"});
  EXPECT_EQ(c.active(), 0u);
  EXPECT_EQ(c.capacity(), 0u);
  EXPECT_EQ(c.node_count(), 0u);
  EXPECT_FALSE(c.permutation().has_value());
}

TEST(Coords, AddNodeGivesOrderedIdsWithCountOne) {
  Coords c = three_nodes();
  for (NodeId id = 0; id < 3; ++id) EXPECT_EQ(c.refcount(id), 1u);
  EXPECT_EQ(c.coord(1), (std::vector<double>{1.0, 0.0}));
  expect_message([&] { c.add_node(std::vector<double>{1.0}); }, "add_node: expected 2 coordinates, got 1");
  expect_message([&] { c.add_node(std::vector<double>{1.0, 2.0, 3.0}); }, "add_node: expected 2 coordinates, got 3");
  EXPECT_EQ(c.capacity(), 3u);
}

TEST(Coords, NodeLifecycleThroughGc) {
  Coords c = three_nodes();
  c.decref(1);
  EXPECT_EQ(c.refcount(1), 0u);
  EXPECT_TRUE(c.is_alive(1));  // unreferenced is still a node...
  c.incref(1);                 // ...that can be held again
  c.decref(1);
  expect_message([&] { c.decref(1); }, "decref: refcount already zero for node 1");
  EXPECT_EQ(c.refcount(1), 0u);
  EXPECT_EQ(c.gc(), 1u);
  EXPECT_FALSE(c.is_alive(1));
  EXPECT_EQ(c.refcount(1), 0u);
  EXPECT_EQ(c.capacity(), 3u);
  EXPECT_EQ(c.node_count(), 2u);
  EXPECT_EQ(c.gc(), 0u);
  EXPECT_EQ(c.add_node(std::vector<double>{5.0, 5.0}), 3u);  // collected ids are never reused
  // A collected node is dead for every operation that needs a live one.
  expect_message([&] { c.incref(1); }, "node 1 not found or collected");
  expect_message([&] { c.coord(1); }, "node 1 not found or collected");
}

TEST(Coords, UnknownIdsAreDeadButNotErrorsForQueries) {
  Coords c = three_nodes();
  for (NodeId id : {3u, 1000000u, 4294967295u}) {
    EXPECT_FALSE(c.is_alive(id));
    EXPECT_EQ(c.refcount(id), 0u);
    const std::string text = "node " + std::to_string(id) + " not found or collected";
    expect_message([&] { c.coord(id); }, text);
    expect_message([&] { c.incref(id); }, text);
    expect_message([&] { c.decref(id); }, text);
    expect_message([&] { c.set_coord(id, std::vector<double>{1.0}); }, text);  // liveness checked first
  }
  expect_message([&] { c.set_coord(0, std::vector<double>{1.0}); }, "set_coord: expected 2 coordinates, got 1");
}

// Builds a one-node record with the given count (a count of 2^32 - 1 cannot be
// reached by increments in a test).
Coords one_node_with_count(std::uint32_t count, bool alive = true) {
  RecordWriter w;
  w.write_u8(1);
  w.write_u64(1);
  w.write_f64_list(std::vector<double>{4.0});
  w.write_string_list(std::vector<std::string>{"default"});
  w.write_u64(0);
  w.write_bool_list(std::vector<bool>{alive});
  w.write_u32_list(std::vector<std::uint32_t>{count});
  w.write_option_tag(false);
  return decode(w.take());
}

TEST(Coords, SaturatedCountIsImmortal) {
  Coords c = one_node_with_count(Coords::kImmortalCount);
  c.incref(0);
  EXPECT_EQ(c.refcount(0), Coords::kImmortalCount);
  // Holders beyond the count were lost: releases must never bring it to 0.
  for (int i = 0; i < 3; ++i) c.decref(0);
  EXPECT_EQ(c.refcount(0), Coords::kImmortalCount);
  EXPECT_EQ(c.gc(), 0u);
  EXPECT_TRUE(c.is_alive(0));

  Coords below = one_node_with_count(Coords::kImmortalCount - 1);
  below.incref(0);
  below.decref(0);
  EXPECT_EQ(below.refcount(0), Coords::kImmortalCount);
}

// The bulk counts against one incref or give-back at a time, over lists that take
// the eight-at-a-time path (runs of consecutive ids) and the one-by-one path
// (repeats, gaps, ids at the end of the slots), on counts of 0, 1 and immortal.
TEST(Coords, BulkCountsMatchCountingOneByOne) {
  const auto make = [] {
    Coords c(1);
    for (int i = 0; i < 40; ++i) c.add_node(std::vector<double>{double(i)});
    c.decref(5);  // a live node without holders
    c.decref(33);
    c.decref(34);
    c.gc();       // 5, 33 and 34 collected
    return c;
  };
  std::vector<NodeId> ids;
  for (NodeId id = 8; id < 24; ++id) ids.push_back(id);  // two runs of eight
  for (NodeId id : {3u, 3u, 0u, 39u, 12u, 12u, 31u, 32u}) ids.push_back(id);
  for (NodeId id = 0; id < 5; ++id) ids.push_back(id);  // a run cut short
  Coords bulk = make(), single = make();
  EXPECT_EQ(bulk.incref_all(ids), ids.size());
  for (NodeId id : ids) single.incref(id);
  for (NodeId id = 0; id < 40; ++id) EXPECT_EQ(bulk.refcount(id), single.refcount(id)) << id;
  // A list with a collected id (at 11) and one past the slots changes nothing.
  for (NodeId bad : {5u, 40u}) {
    std::vector<NodeId> with_bad = ids;
    with_bad.insert(with_bad.begin() + 11, bad);
    EXPECT_EQ(bulk.incref_all(with_bad), 11u);
    for (NodeId id = 0; id < 40; ++id) EXPECT_EQ(bulk.refcount(id), single.refcount(id)) << id;
  }
  // Giving back twice as much as was taken: counts stop at 0, collected ids and ids
  // past the slots are passed over, as one give-back at a time does.
  std::vector<NodeId> twice = ids;
  twice.insert(twice.end(), ids.begin(), ids.end());
  twice.push_back(5);
  twice.push_back(4000);
  bulk.release_all(twice);
  for (NodeId id : twice)
    if (single.is_alive(id) && single.refcount(id) > 0) single.decref(id);
  for (NodeId id = 0; id < 40; ++id) EXPECT_EQ(bulk.refcount(id), single.refcount(id)) << id;
  EXPECT_EQ(bulk.refcount(6), 1u);  // not listed
  EXPECT_EQ(bulk.refcount(12), 0u);
  EXPECT_TRUE(bulk.all_alive(6, 32));
  EXPECT_FALSE(bulk.all_alive(4, 6));
  EXPECT_FALSE(bulk.all_alive(38, 40));
  EXPECT_TRUE(bulk.all_alive(7, 6));  // an empty range
}

TEST(Coords, BulkCountsKeepImmortalCountsImmortal) {
  Coords c = one_node_with_count(Coords::kImmortalCount - 1);
  const std::vector<NodeId> twice = {0, 0};
  EXPECT_EQ(c.incref_all(twice), 2u);
  EXPECT_EQ(c.refcount(0), Coords::kImmortalCount);
  c.release_all(twice);
  EXPECT_EQ(c.refcount(0), Coords::kImmortalCount);
}

TEST(Coords, AddNodesIsAddNodeOneByOne) {
  Coords bulk(2), single(2);
  for (Coords* c : {&bulk, &single}) {
    c->add_node(std::vector<double>{9.0, 9.0});
    c->add_config("moved");
    c->set_permutation({0});
  }
  const std::vector<double> xy = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(bulk.add_nodes(xy), 1u);
  for (int i = 0; i < 3; ++i) single.add_node(std::vector<double>{xy[2 * i], xy[2 * i + 1]});
  EXPECT_EQ(bulk.capacity(), 4u);
  for (NodeId id = 0; id < 4; ++id) {
    EXPECT_EQ(bulk.refcount(id), 1u);
    EXPECT_EQ(bulk.coord(id), single.coord(id));
  }
  bulk.select(1);
  single.select(1);
  EXPECT_EQ(bulk.coord(3), single.coord(3));  // every configuration gets them
  EXPECT_EQ(bulk.permutation(), single.permutation());
  // With the counts the caller holds.
  const std::vector<std::uint32_t> held = {3, 1};
  EXPECT_EQ(bulk.add_nodes(std::vector<double>{7, 8, 9, 10}, held), 4u);
  EXPECT_EQ(bulk.refcount(4), 3u);
  EXPECT_EQ(bulk.refcount(5), 1u);
  expect_message([&] { bulk.add_nodes(std::vector<double>{1, 2, 3}); },
                 "add_nodes: 3 value(s) are not whole nodes of 2 coordinates");
  expect_message([&] { bulk.add_nodes(std::vector<double>{1, 2}, held); }, "add_nodes: 2 count(s) for 1 node(s)");
  EXPECT_EQ(bulk.capacity(), 6u);
}

TEST(Coords, ConfigurationsAreIndependentBuffers) {
  Coords c(2);
  c.add_node(std::vector<double>{1.0, 2.0});
  EXPECT_EQ(c.add_config("default"), 1u);  // names are not checked
  EXPECT_EQ(c.active(), 0u);
  c.select(1);
  c.set_coord(0, std::vector<double>{9.0, 9.0});
  EXPECT_EQ(c.coord(0), (std::vector<double>{9.0, 9.0}));
  c.add_node(std::vector<double>{3.0, 4.0});  // written into every configuration
  c.select(0);
  EXPECT_EQ(c.coord(0), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(c.coord(1), (std::vector<double>{3.0, 4.0}));
  expect_message([&] { c.select(2); }, "select: index 2 ≥ configuration count (2)");
  EXPECT_EQ(c.active(), 0u);
  // add_config copies the active buffer, not configuration 0.
  c.select(1);
  EXPECT_EQ(c.add_config(""), 2u);
  c.select(2);
  EXPECT_EQ(c.coord(0), (std::vector<double>{9.0, 9.0}));
  EXPECT_EQ(c.names(), (std::vector<std::string>{"default", "default", ""}));
}

TEST(Coords, CoordsOfStopsAtFirstDeadId) {
  Coords c = three_nodes();
  EXPECT_TRUE(c.coords_of({}).empty());
  const std::vector<NodeId> ids{2, 0, 2};
  EXPECT_EQ(c.coords_of(ids), (std::vector<std::vector<double>>{{0.0, 1.0}, {0.0, 0.0}, {0.0, 1.0}}));
  const std::vector<NodeId> bad{0, 7, 9};
  expect_message([&] { c.coords_of(bad); }, "node 7 not found or collected");
}

struct PermutationCase {
  const char* name;
  std::vector<std::uint32_t> perm;
  const char* error;  // nullptr: accepted
};

class CoordsPermutation : public ::testing::TestWithParam<PermutationCase> {};

TEST_P(CoordsPermutation, ChecksInOrderAndKeepsOldOnFailure) {
  const PermutationCase& p = GetParam();
  Coords c = three_nodes();
  c.set_permutation({0, 2, 1});
  if (p.error) {
    expect_message([&] { c.set_permutation(p.perm); }, p.error);
    EXPECT_EQ(c.permutation(), (std::vector<std::uint32_t>{0, 2, 1}));
  } else {
    c.set_permutation(p.perm);
    EXPECT_EQ(c.permutation(), p.perm);
  }
}

const PermutationCase kPermutationCases[] = {
    {"short", {2, 0}, "set_permutation: length 2 ≠ capacity 3"},
    {"value_too_large", {0, 3, 1}, "set_permutation: value 3 ≥ capacity 3"},
    {"duplicate", {1, 1, 0}, "set_permutation: duplicate value 1"},
    {"duplicate_before_large", {1, 1, 5}, "set_permutation: duplicate value 1"},
    {"large_before_duplicate", {5, 1, 1}, "set_permutation: value 5 ≥ capacity 3"},
    {"valid", {2, 0, 1}, nullptr},
};
INSTANTIATE_TEST_SUITE_P(Coords, CoordsPermutation, ::testing::ValuesIn(kPermutationCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Coords, PermutationGrowsWithNewNodesAndClears) {
  Coords c = three_nodes();
  c.set_permutation({2, 0, 1});
  c.add_node(std::vector<double>{2.0, 2.0});
  EXPECT_EQ(c.permutation(), (std::vector<std::uint32_t>{2, 0, 1, 3}));
  c.clear_permutation();
  EXPECT_FALSE(c.permutation().has_value());
  c.clear_permutation();  // also when none is set

  Coords empty(1);
  empty.set_permutation({});  // an empty permutation is not "none"
  ASSERT_TRUE(empty.permutation().has_value());
  EXPECT_TRUE(empty.permutation()->empty());
}

// ---------------------------------------------------------------------------
// Text forms

TEST(CoordsText, DisplayDebugAndDumpAfterCollecting) {
  Coords c(2);
  for (int i = 0; i < 5; ++i) c.add_node(std::vector<double>{0.5 * i, -1.0 * i});
  EXPECT_EQ(c.display_text(), "Coords: dim=2, configs=1 (active=\"default\"), nodes=5 (0 collected), permutation: identity");
  EXPECT_EQ(c.debug_text(),
            "Coords { dim: 2, configs: [\"default\"], active: 0, node_count: 5, capacity: 5, permutation: false }");
  c.decref(1);
  c.decref(3);
  c.gc();
  c.incref(4);
  c.set_permutation({4, 3, 2, 1, 0});
  c.add_config("de\"formed");
  c.select(1);
  EXPECT_EQ(c.display_text(),
            "Coords: dim=2, configs=2 (active=\"de\"formed\"), nodes=3 (2 collected), permutation: custom");
  EXPECT_EQ(c.debug_text(),
            "Coords { dim: 2, configs: [\"default\", \"de\\\"formed\"], active: 1, node_count: 3, capacity: 5, "
            "permutation: true }");
  EXPECT_EQ(c.dump_text(DumpOptions{}),
            "Coords: dim=2, configs=2 (active=\"de\"formed\"), nodes=3 (2 collected), permutation: custom\n"
            "node      x       y  refs\n"
            "   0  0.000  -0.000     1\n"  // -1.0 * 0 is negative zero
            "   2  1.000  -2.000     1\n"
            "   4  2.000  -4.000     2\n");
  EXPECT_EQ(c.dump_text(DumpOptions{1, 1, 1}),
            "Coords: dim=2, configs=2 (active=\"de\"formed\"), nodes=3 (2 collected), permutation: custom\n"
            "node    x  …\n"
            "   0  0.0  …\n"
            "   ⋮    ⋮  ⋮\n"
            "… (2 ligne(s) de plus)\n"
            "… (2 colonne(s) de plus)\n");
}

TEST(CoordsText, AxisTitlesBeyondThree) {
  Coords c(4);
  EXPECT_EQ(c.dump_text(DumpOptions{}),
            "Coords: dim=4, configs=1 (active=\"default\"), nodes=0 (0 collected), permutation: identity\n"
            "node  x  y  z  ?  refs\n");
}

TEST(CoordsText, DumpRefusesAHugePrecisionOnlyWhenItFormats) {
  Coords empty(2);
  EXPECT_NO_THROW(empty.dump_text(DumpOptions{70000, 20, 12}));
  Coords c = three_nodes();
  EXPECT_THROW(c.dump_text(DumpOptions{70000, 20, 12}), Error);
}

// ---------------------------------------------------------------------------
// Swap record

TEST(CoordsRecord, BytesOfAnEmptyRegistry) {
  Coords c(3);
  const std::vector<std::uint8_t> expected{
      3,                                         // dim
      1, 0, 0, 0, 0, 0, 0, 0,                    // one configuration...
      0, 0, 0, 0, 0, 0, 0, 0,                    // ...without values
      1, 0, 0, 0, 0, 0, 0, 0,                    // one name...
      7, 0, 0, 0, 0, 0, 0, 0, 'd', 'e', 'f', 'a', 'u', 'l', 't',
      0, 0, 0, 0, 0, 0, 0, 0,                    // active
      0, 0, 0, 0, 0, 0, 0, 0,                    // alive: empty
      0, 0, 0, 0, 0, 0, 0, 0,                    // refcount: empty
      0,                                         // no permutation
  };
  EXPECT_EQ(encode(c), expected);
  c.set_permutation({});
  std::vector<std::uint8_t> with_empty = expected;
  with_empty.back() = 1;
  with_empty.insert(with_empty.end(), 8, 0);
  EXPECT_EQ(encode(c), with_empty);
}

TEST(CoordsRecord, RoundTripKeepsEveryField) {
  Coords c = three_nodes();
  c.decref(1);
  c.gc();
  c.incref(2);
  c.add_config("moved");
  c.select(1);
  c.set_coord(0, std::vector<double>{-0.0, 1e300});
  c.set_permutation({1, 2, 0});
  const std::vector<std::uint8_t> bytes = encode(c);
  std::vector<std::uint8_t> padded = bytes;
  padded.insert(padded.end(), {0xFF, 0xFF});  // trailing bytes are not read
  const Coords back = decode(padded);
  EXPECT_EQ(encode(back), bytes);
  EXPECT_EQ(back.debug_text(), c.debug_text());
  EXPECT_EQ(back.dump_text(DumpOptions{}), c.dump_text(DumpOptions{}));
  EXPECT_EQ(back.refcount(2), 2u);
  EXPECT_FALSE(back.is_alive(1));
}

// A record that does not describe a valid registry would let the accessors read
// past the buffers: it is refused.
struct BadRecord {
  const char* name;
  std::uint8_t dim;
  std::vector<std::vector<double>> configs;
  std::vector<std::string> names;
  std::uint64_t active;
  std::vector<bool> alive;
  std::vector<std::uint32_t> counts;
  std::optional<std::vector<std::uint32_t>> perm;
  const char* message;
};

class CoordsBadRecord : public ::testing::TestWithParam<BadRecord> {};

TEST_P(CoordsBadRecord, IsASerializationError) {
  const BadRecord& b = GetParam();
  RecordWriter w;
  w.write_u8(b.dim);
  w.write_list(b.configs, [](RecordWriter& rw, const std::vector<double>& v) { rw.write_f64_list(v); });
  w.write_string_list(b.names);
  w.write_u64(b.active);
  w.write_bool_list(b.alive);
  w.write_u32_list(b.counts);
  w.write_optional(b.perm, [](RecordWriter& rw, const std::vector<std::uint32_t>& p) { rw.write_u32_list(p); });
  try {
    decode(w.take());
    ADD_FAILURE() << "accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::Serialization);
    EXPECT_EQ(e.payload(), b.message);
  }
}

const BadRecord kBadRecords[] = {
    {"dim_zero", 0, {{}}, {"default"}, 0, {}, {}, {}, "Coords record: dim is 0"},
    {"no_config", 1, {}, {}, 0, {}, {}, {}, "Coords record: 0 configuration(s) but 0 name(s)"},
    {"names_mismatch", 1, {{}}, {"a", "b"}, 0, {}, {}, {}, "Coords record: 1 configuration(s) but 2 name(s)"},
    {"active_out_of_range", 1, {{}}, {"a"}, 1, {}, {}, {}, "Coords record: active 1 ≥ configuration count (1)"},
    {"counts_short", 1, {{1.0}}, {"a"}, 0, {true}, {}, {}, "Coords record: 0 count(s) for 1 slot(s)"},
    {"buffer_short", 2, {{1.0, 2.0}, {1.0}}, {"a", "b"}, 0, {true}, {1}, {},
     "Coords record: configuration 1 holds 1 value(s), expected 2"},
    {"collected_with_count", 1, {{1.0}}, {"a"}, 0, {false}, {1}, {}, "Coords record: collected node 0 has count 1"},
    {"perm_length", 1, {{1.0}}, {"a"}, 0, {true}, {1}, std::vector<std::uint32_t>{},
     "Coords record: permutation length 0 ≠ capacity 1"},
    {"perm_repeat", 1, {{1.0, 2.0}}, {"a"}, 0, {true, true}, {1, 1}, std::vector<std::uint32_t>{1, 1},
     "Coords record: permutation value 1 is out of range or repeated"},
};
INSTANTIATE_TEST_SUITE_P(Coords, CoordsBadRecord, ::testing::ValuesIn(kBadRecords),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CoordsRecord, TruncatedRecordIsEndOfData) {
  const std::vector<std::uint8_t> bytes = encode(three_nodes());
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, bytes.size() / 2, bytes.size() - 1}) {
    const std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    try {
      decode(part);
      ADD_FAILURE() << "accepted a record cut at " << cut;
    } catch (const Error& e) {
      EXPECT_EQ(e.text(), "serialization error: io error: unexpected end of file") << cut;
    }
  }
}

// ---------------------------------------------------------------------------
// Nodes and registries in the store

std::uint32_t use_count(const Handle<Coords>& h) { return Store<Coords>::instance().use_count(h); }
std::uint32_t count_of(const Handle<Coords>& h, NodeId id) { return quenlith::store::read(h)->refcount(id); }

TEST(CoordsNode, CreateCloneDropKeepCountsAndHandles) {
  Handle<Coords> h = quenlith::store::insert(Coords(2));
  {
    Node a = Node::create(h, std::vector<double>{0.5, 1.0});
    EXPECT_EQ(a.id(), 0u);
    EXPECT_TRUE(a.holds_reference());
    EXPECT_EQ(use_count(h), 2u);
    EXPECT_EQ(count_of(h, 0), 1u);
    EXPECT_EQ(a.coord(), (std::vector<double>{0.5, 1.0}));
    Node b = a.clone();
    EXPECT_TRUE(b == a);
    EXPECT_EQ(count_of(h, 0), 2u);
    EXPECT_EQ(use_count(h), 3u);
    Node moved = std::move(b);
    EXPECT_EQ(count_of(h, 0), 2u);
    Node other = Node::create(h, std::vector<double>{2.0, 2.0});
    EXPECT_FALSE(other == a);
    other = std::move(moved);  // gives back node 1's reference, takes over node 0's
    EXPECT_EQ(count_of(h, 1), 0u);
    EXPECT_EQ(count_of(h, 0), 2u);
  }
  EXPECT_EQ(count_of(h, 0), 0u);
  EXPECT_EQ(use_count(h), 1u);
  EXPECT_EQ(quenlith::store::write(h)->gc(), 2u);
}

TEST(CoordsNode, FailedCreateOrAcquireReleasesTheHandle) {
  Handle<Coords> h = quenlith::store::insert(Coords(2));
  expect_message([&] { Node::create(h, std::vector<double>{1.0}); }, "add_node: expected 2 coordinates, got 1");
  expect_message([&] { Node::acquire(h, 0); }, "node 0 not found or collected");
  EXPECT_EQ(use_count(h), 1u);
  EXPECT_EQ(quenlith::store::read(h)->capacity(), 0u);
}

TEST(CoordsNode, NodesFromIdsRollsBackOnFailure) {
  Handle<Coords> h = quenlith::store::insert(three_nodes());
  expect_message([&] { quenlith::containers::mesh::nodes_from_ids(h, std::vector<NodeId>{0, 5}); },
                 "node 5 not found or collected");
  EXPECT_EQ(count_of(h, 0), 1u);
  EXPECT_EQ(use_count(h), 1u);
  {
    std::vector<Node> nodes = quenlith::containers::mesh::nodes_from_ids(h, std::vector<NodeId>{2, 0, 2});
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].id(), 2u);
    EXPECT_EQ(count_of(h, 2), 3u);
    EXPECT_EQ(use_count(h), 4u);
  }
  EXPECT_EQ(count_of(h, 2), 1u);
  EXPECT_EQ(quenlith::containers::mesh::coords_of(h, std::vector<NodeId>{1, 2}),
            (std::vector<std::vector<double>>{{1.0, 0.0}, {0.0, 1.0}}));
  expect_message([&] { quenlith::containers::mesh::coords_of(h, std::vector<NodeId>{1, 3}); },
                 "node 3 not found or collected");
}

TEST(CoordsNode, DebugAndDumpTexts) {
  Handle<Coords> h = quenlith::store::insert(Coords(2));
  Node n = Node::create(h, std::vector<double>{0.5, 1.0});
  const std::string handle_text = "Handle<quenlith::containers::mesh::coords::Coords>{ idx: " +
                                  std::to_string(h.idx()) + ", gen: " + std::to_string(h.gen()) + " }";
  EXPECT_EQ(n.display_text(), "<Node #0>");
  EXPECT_EQ(n.debug_text(), "Node { id: NodeId(0), handle: " + handle_text + ", coord: [0.5, 1.0] }");
  EXPECT_EQ(n.dump_text(DumpOptions{}), "Node #0 @ (0.500, 1.000)");
  EXPECT_EQ(n.dump_text(DumpOptions{0, 0, 0}), "Node #0 @ (0, 1)");  // 0.5 rounds to even
}

// Swap-out and read-back of a Coords, and Nodes whose Coords cannot be read back.
class CoordsSwap : public ::testing::Test {
 protected:
  void SetUp() override { quenlith::store::set_swap_dir(dir_.path()); }
  quenlith::testing::TempDir dir_{"coords-test"};
  static Coords rich() {
    Coords c = three_nodes();
    c.decref(0);
    c.gc();
    c.add_config("deformed");
    c.select(1);
    c.set_coord(2, std::vector<double>{0.25, -3.5});
    c.set_permutation({2, 1, 0});
    return c;
  }
};

TEST_F(CoordsSwap, SwappedOutAndReadBackIsUnchanged) {
  Handle<Coords> h = quenlith::store::insert(rich());
  Node n = Node::create(h, std::vector<double>{7.0, 8.0});
  const std::vector<std::uint8_t> with_node = encode(*quenlith::store::read(h));
  Store<Coords>::instance().swap_out(h);
  const std::optional<std::string> path = Store<Coords>::instance().swap_path(h);
  ASSERT_TRUE(path.has_value());
  EXPECT_TRUE(fs::exists(*path));
  EXPECT_EQ(n.coord(), (std::vector<double>{7.0, 8.0}));  // reads it back
  EXPECT_FALSE(fs::exists(*path));
  EXPECT_EQ(encode(*quenlith::store::read(h)), with_node);
  EXPECT_EQ(use_count(h), 2u);
  // A write guard reads it back too.
  Store<Coords>::instance().swap_out(h);
  EXPECT_EQ(quenlith::store::write(h)->refcount(3), 1u);
}

TEST_F(CoordsSwap, UnreadableCoordsCloneTakesNoReferenceAndGivesNoneBack) {
  Handle<Coords> h = quenlith::store::insert(rich());
  Node n = Node::acquire(h, 1);
  EXPECT_EQ(count_of(h, 1), 2u);
  Store<Coords>::instance().swap_out(h);
  const std::string path = *Store<Coords>::instance().swap_path(h);
  const std::string aside = path + ".aside";
  fs::rename(path, aside);

  const std::string io = "I/O error: No such file or directory (os error 2)";
  EXPECT_EQ(n.display_text(), "<Node #1>");
  EXPECT_EQ(n.dump_text(DumpOptions{}), "Node #1 <" + io + ">");
  EXPECT_NE(n.debug_text().find("coord: <" + io + ">"), std::string::npos);
  {
    Node copy = n.clone();
    EXPECT_FALSE(copy.holds_reference());
    EXPECT_TRUE(copy == n);
    fs::rename(aside, path);
    // The copy took no reference: dropping it now, with the Coords readable again,
    // must not give one back.
  }
  EXPECT_EQ(count_of(h, 1), 2u);
  Node held = n.clone();
  EXPECT_TRUE(held.holds_reference());
  EXPECT_EQ(count_of(h, 1), 3u);
}

TEST(CoordsNode, ReleaseReferenceHandsTheCountOver) {
  Handle<Coords> h = quenlith::store::insert(Coords(1));
  {
    Node n = Node::create(h, std::vector<double>{1.0});
    EXPECT_TRUE(n.release_reference());
    EXPECT_FALSE(n.release_reference());
  }
  EXPECT_EQ(count_of(h, 0), 1u);  // now owned by whoever took it over
}

}  // namespace
