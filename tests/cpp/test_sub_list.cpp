// The container list on a container of its own: unions and their de-duplication,
// the container's rule hook, unit(), slices and the debug and dump framing.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "containers/sub_list.hpp"
#include "store/handle.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace {

struct Item {
  std::uint32_t kind = 0;
  std::uint32_t value = 0;
};

}  // namespace

template <>
struct quenlith::store::StoredTypeTraits<Item> {
  static constexpr std::string_view type_path = "test::Item";
  static constexpr bool writable = false;
  static void encode(const Item& item, RecordWriter& w) {
    w.write_u32(item.kind);
    w.write_u32(item.value);
  }
  static Item decode(RecordReader& r) {
    Item item;
    item.kind = r.read_u32();
    item.value = r.read_u32();
    return item;
  }
  static void debug_text(const Item& item, bool, std::string& out) { out += "Item " + std::to_string(item.value); }
};

namespace {

using quenlith::containers::SubList;
using quenlith::store::Handle;
using quenlith::testing::error_text;
namespace store = quenlith::store;

// Every item of a bag has the kind of its first; the rule's calls are counted.
struct Bag : SubList<Bag, Item> {
  using SubList::SubList;
  static constexpr std::string_view kName = "Bag";
  static constexpr std::string_view kItems = "item(s)";
  static inline int rule_calls = 0;
  static void check_joins(const Handle<Item>& first, const Handle<Item>& incoming) {
    ++rule_calls;
    if (store::read(first)->kind != store::read(incoming)->kind) throw quenlith::Error::message("mixed kinds");
  }
  std::string display_text() const { return "Bag: " + std::to_string(size()) + " item(s)"; }
  static std::string item_dump_text(const Item& item, const quenlith::dump::DumpOptions&) {
    return "value " + std::to_string(item.value);
  }
};

// No rule of its own.
struct Pile : SubList<Pile, Item> {
  using SubList::SubList;
  static constexpr std::string_view kName = "Pile";
  static constexpr std::string_view kItems = "item(s)";
};

std::vector<Handle<Item>> make_items(std::uint32_t n, std::uint32_t kind = 0) {
  std::vector<Handle<Item>> out;
  for (std::uint32_t i = 0; i < n; ++i) out.push_back(store::insert(Item{kind, i}));
  return out;
}

std::vector<std::uint32_t> values(const Bag& bag) {
  std::vector<std::uint32_t> out;
  for (const auto& h : bag.subs()) out.push_back(store::read(h)->value);
  return out;
}

TEST(SubList, RepeatedUnionsKeepFirstAppearanceOrderWithoutRepeats) {
  const std::vector<Handle<Item>> items = make_items(1000);
  Bag acc;
  for (int round = 0; round < 2; ++round)
    for (std::size_t i = 0; i < items.size(); ++i) acc = acc.union_sub(items[(i * 7) % items.size()]);
  ASSERT_EQ(acc.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(acc.subs()[i], items[(i * 7) % items.size()]);

  Bag with_repeats(std::vector<Handle<Item>>{items[3], items[1], items[3], items[1], items[2]});
  EXPECT_EQ(values(Bag::union_(with_repeats, with_repeats)), (std::vector<std::uint32_t>{3, 1, 2}));
  EXPECT_EQ(values(Bag::union_(Bag(), with_repeats)), (std::vector<std::uint32_t>{3, 1, 2}));
  EXPECT_EQ(values(Bag::union_(items[5], items[5])), (std::vector<std::uint32_t>{5}));
  EXPECT_EQ(values(Bag::union_(items[5], items[4])), (std::vector<std::uint32_t>{5, 4}));
  // Without a rule, items are told apart by slot and generation alone, never read:
  // a handle naming nothing is one more item.
  const Handle<Item> stale;
  const Pile pile(std::vector<Handle<Item>>{items[3], stale, items[3], stale});
  EXPECT_EQ(Pile::union_(pile, pile).size(), 2u);
  EXPECT_EQ(pile.union_sub(stale).size(), 2u);
}

TEST(SubList, RuleRunsOncePerAddedRunAndRefusalChangesNothing) {
  const std::vector<Handle<Item>> zeros = make_items(3, 0);
  const std::vector<Handle<Item>> ones = make_items(2, 1);
  Bag bag;
  Bag::rule_calls = 0;
  bag.push_sub(zeros[0]);  // nothing to compare with
  EXPECT_EQ(Bag::rule_calls, 0);
  bag.extend_unique(zeros);  // once, for the run's first item
  EXPECT_EQ(Bag::rule_calls, 1);
  EXPECT_EQ(bag.size(), 3u);
  (void)bag.union_sub(zeros[1]);  // already there: no rule
  EXPECT_EQ(Bag::rule_calls, 1);

  EXPECT_EQ(error_text([&] { bag.push_sub(ones[0]); }), "mixed kinds");
  EXPECT_EQ(error_text([&] { bag.extend_unique(ones); }), "mixed kinds");
  EXPECT_EQ(error_text([&] { (void)bag.union_sub(ones[0]); }), "mixed kinds");
  EXPECT_EQ(error_text([&] { (void)Bag::union_(zeros[0], ones[0]); }), "mixed kinds");
  EXPECT_EQ(error_text([&] { (void)Bag::union_(bag, Bag(ones)); }), "mixed kinds");
  EXPECT_EQ(bag.size(), 3u);
  EXPECT_EQ(Bag::union_(Bag(ones), Bag(ones)).size(), 2u);
}

TEST(SubList, UnitSlicesAndIndexErrors) {
  const std::vector<Handle<Item>> items = make_items(3);
  const Bag bag(items);
  EXPECT_EQ(error_text([&] { (void)bag.unit(); }), "expected a unitary Bag (exactly one item(s)), found 3");
  EXPECT_EQ(error_text([&] { (void)Bag().unit(); }), "expected a unitary Bag (exactly one item(s)), found 0");
  EXPECT_EQ(Bag(std::vector<Handle<Item>>{items[1]}).unit(), items[1]);
  const std::vector<std::uint64_t> order{2, 0, 2};
  EXPECT_EQ(values(bag.slice(order)), (std::vector<std::uint32_t>{2, 0, 2}));
  const std::vector<std::uint64_t> past_end{1, 3};
  EXPECT_EQ(error_text([&] { (void)bag.slice(past_end); }), "index 3 out of bounds (len=3)");
  EXPECT_EQ(error_text([&] { (void)bag.sub_at(3); }), "index 3 out of bounds (len=3)");
}

TEST(SubList, DebugAndDumpTextsFrameEveryItem) {
  const std::vector<Handle<Item>> items = make_items(2);
  const Bag bag(std::vector<Handle<Item>>{items[1], Handle<Item>{}});
  EXPECT_EQ(bag.debug_text(),
            "Bag { count: 2, items: [Item 1, Handle<test::Item>{ idx: 4294967295, gen: 0 }] }");
  EXPECT_EQ(bag.dump_text({}),
            "Bag: 2 item(s)\n── [0] ──\n  value 1\n── [1] ──\n  <stale handle (slot freed or generation mismatch)>\n");
}

}  // namespace
