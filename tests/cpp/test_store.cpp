// Handles, slots, stores, guards, swap-out and swap-in, with two test types: Leaf
// (writable) and Holder (read-only, holds Leaf handles). Every test uses its own tag
// N, hence its own fresh stores.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/guard.hpp"
#include "store/store.hpp"
#include "test_support.hpp"

namespace quenlith::store {

// Reaches into the table to put a generation near its wrap.
struct StoreTestAccess {
  template <class T>
  static void set_generation(Store<T>& store, std::uint32_t idx, std::uint32_t gen) {
    std::lock_guard lock(store.mutex_);
    store.entries_.at(idx).gen = gen;
  }
  template <class T>
  static const CellLock& lock_of(Store<T>& store, const Handle<T>& h) {
    std::lock_guard lock(store.mutex_);
    return store.entries_.at(h.idx()).slot->lock;
  }
};

}  // namespace quenlith::store

namespace {

using namespace quenlith::store;
using quenlith::Error;
namespace fs = std::filesystem;

template <int N>
struct Leaf {
  std::uint32_t value = 0;
  std::string name;
};

// Counts decodes per type, to see a swap file decoded once.
template <int N>
std::atomic<int> g_holder_decodes{0};
template <int N>
std::atomic<int> g_holder_released_counts{0};

template <int N>
struct Holder {
  std::vector<Handle<Leaf<N>>> leaves;
  std::string name;
};

}  // namespace

template <int N>
struct quenlith::store::StoredTypeTraits<Leaf<N>> {
  static constexpr std::string_view type_path = "test::Leaf";
  static constexpr bool writable = true;
  static void encode(const Leaf<N>& leaf, RecordWriter& w) {
    w.write_u32(leaf.value);
    w.write_string(leaf.name);
  }
  static Leaf<N> decode(RecordReader& r) {
    Leaf<N> leaf;
    leaf.value = r.read_u32();
    leaf.name = r.read_string();
    return leaf;
  }
};

template <int N>
struct quenlith::store::StoredTypeTraits<Holder<N>> {
  static constexpr std::string_view type_path = "test::Holder";
  static constexpr bool writable = false;
  static void encode(const Holder<N>& h, RecordWriter& w) {
    w.write_list(h.leaves, [](RecordWriter& w, const Handle<Leaf<N>>& leaf) { w.write_handle(leaf); });
    w.write_string(h.name);
  }
  static Holder<N> decode(RecordReader& r) {
    ++g_holder_decodes<N>;
    Holder<N> h;
    h.leaves = r.read_list([](RecordReader& r) { return r.read_handle<Leaf<N>>(); });
    h.name = r.read_string();
    return h;
  }
  static void release_counts(Holder<N>&) { ++g_holder_released_counts<N>; }
  static void debug_text(const Holder<N>& h, bool alternate, std::string& out) {
    out += alternate ? "Holder {\n    name: \"" + h.name + "\",\n}" : "Holder { name: \"" + h.name + "\" }";
  }
};

namespace {

template <int N>
Store<Leaf<N>>& leaves() {
  return Store<Leaf<N>>::instance();
}
template <int N>
Store<Holder<N>>& holders() {
  return Store<Holder<N>>::instance();
}

// A handle as a swap record names it: owning nothing yet, empty slot cache.
template <class T>
Handle<T> record_handle(std::uint32_t idx, std::uint32_t gen) {
  RecordWriter w;
  w.write_u32(idx);
  w.write_u32(gen);
  RecordReader r(w.bytes());
  detail::OwnershipNeutralScope neutral;  // as inside a decode
  return r.read_handle<T>();
}

using quenlith::testing::error_text;

class SwapStore : public quenlith::testing::SwapDirTest {
 protected:
  std::size_t n_files() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}));
  }
};

template <class T>
std::string only_path(Store<T>& store, const Handle<T>& h) {
  auto path = store.swap_path(h);
  EXPECT_TRUE(path.has_value());
  return path.value_or("");
}

using quenlith::testing::slurp;
using quenlith::testing::spit;

// ---------------------------------------------------------------------------
// Handles and the table

TEST(StoreHandles, FirstIndicesThenReuseWithNextGeneration) {
  auto& store = leaves<1>();
  Handle<Leaf<1>> a = insert(Leaf<1>{10, "a"});
  Handle<Leaf<1>> b = insert(Leaf<1>{11, "b"});
  EXPECT_EQ(a.idx(), 0u);
  EXPECT_EQ(a.gen(), 1u);
  EXPECT_EQ(b.idx(), 1u);
  EXPECT_EQ(b.gen(), 1u);
  EXPECT_EQ(store.use_count(a), 1u);

  a = Handle<Leaf<1>>();  // the only handle of index 0 goes
  EXPECT_EQ(store.n_free(), 1u);
  Handle<Leaf<1>> c = insert(Leaf<1>{12, "c"});
  EXPECT_EQ(c.idx(), 0u);
  EXPECT_EQ(c.gen(), 2u);
  EXPECT_EQ(store.n_entries(), 2u);

  // A handle still naming (0, 1), as read from a record: stale.
  Handle<Leaf<1>> old = record_handle<Leaf<1>>(0, 1);
  EXPECT_EQ(error_text([&] { (void)read(old); }), "stale handle (slot freed or generation mismatch)");
  try {
    (void)read(old);
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::StaleHandle);
  }
  EXPECT_EQ(read(c)->value, 12u);
}

TEST(StoreHandles, FreedIndicesAreReusedLastFirst) {
  Handle<Leaf<2>> a = insert(Leaf<2>{});
  Handle<Leaf<2>> b = insert(Leaf<2>{});
  a = {};
  b = {};
  Handle<Leaf<2>> c = insert(Leaf<2>{});
  Handle<Leaf<2>> d = insert(Leaf<2>{});
  EXPECT_EQ(c.idx(), 1u);
  EXPECT_EQ(d.idx(), 0u);
  EXPECT_EQ(c.gen(), 2u);
  EXPECT_EQ(d.gen(), 2u);
}

TEST(StoreHandles, GenerationWrapsToZero) {
  auto& store = leaves<3>();
  Handle<Leaf<3>> a = insert(Leaf<3>{});
  a = {};
  StoreTestAccess::set_generation(store, 0, 4294967295u);
  Handle<Leaf<3>> b = insert(Leaf<3>{7, ""});
  EXPECT_EQ(b.idx(), 0u);
  EXPECT_EQ(b.gen(), 0u);
  EXPECT_EQ(read(b)->value, 7u);
  Handle<Leaf<3>> copy = b;
  EXPECT_EQ(store.use_count(b), 2u);
}

TEST(StoreHandles, CopyMoveAndEquality) {
  auto& store = leaves<4>();
  Handle<Leaf<4>> a = insert(Leaf<4>{});
  Handle<Leaf<4>> b = insert(Leaf<4>{});
  {
    Handle<Leaf<4>> copy = a;
    EXPECT_EQ(copy, a);
    EXPECT_TRUE(copy.owns());
    EXPECT_EQ(store.use_count(a), 2u);
    Handle<Leaf<4>> moved = std::move(copy);
    EXPECT_FALSE(copy.owns());
    EXPECT_EQ(store.use_count(a), 2u);
    moved = b;  // gives back a's unit, takes one of b
    EXPECT_EQ(store.use_count(a), 1u);
    EXPECT_EQ(store.use_count(b), 2u);
  }
  EXPECT_EQ(store.use_count(b), 1u);
  EXPECT_NE(a, b);
  // Same index, other generation: not equal.
  EXPECT_NE(record_handle<Leaf<4>>(0, 1), record_handle<Leaf<4>>(0, 2));
  EXPECT_EQ(record_handle<Leaf<4>>(0, 1), a);
}

TEST(StoreHandles, CopyOfStaleHandleOwnsNothing) {
  auto& store = leaves<5>();
  Handle<Leaf<5>> live = insert(Leaf<5>{});
  live = {};
  Handle<Leaf<5>> fresh = insert(Leaf<5>{});  // (0, 2)
  Handle<Leaf<5>> stale = record_handle<Leaf<5>>(0, 1);
  {
    Handle<Leaf<5>> copy = stale;
    EXPECT_EQ(copy, stale);
    EXPECT_FALSE(copy.owns());
    EXPECT_EQ(store.use_count(fresh), 1u);
  }
  EXPECT_EQ(store.use_count(fresh), 1u);

  // A stale copy whose index only comes to life later still owns nothing: destroying
  // it must not take the unit of the object that now lives there.
  Handle<Leaf<5>> ahead = record_handle<Leaf<5>>(1, 1);
  Handle<Leaf<5>> ahead_copy = ahead;
  EXPECT_FALSE(ahead_copy.owns());
  Handle<Leaf<5>> later = insert(Leaf<5>{5, "later"});  // (1, 1)
  ASSERT_EQ(later, ahead_copy);
  ahead_copy = {};
  EXPECT_EQ(store.use_count(later), 1u);
  EXPECT_EQ(read(later)->name, "later");
}

TEST(StoreHandles, DebugTexts) {
  Handle<Leaf<6>> a = insert(Leaf<6>{});
  EXPECT_EQ(a.debug_text(), "Handle<test::Leaf>{ idx: 0, gen: 1 }");
  EXPECT_EQ(fmt::format("{}", a), "Handle<test::Leaf>{ idx: 0, gen: 1 }");
  std::string out = "x=";
  a.fmt_debug(out);
  EXPECT_EQ(out, "x=Handle<test::Leaf>{ idx: 0, gen: 1 }");

  Handle<Holder<6>> h = insert(Holder<6>{{a}, "h"});
  std::string resolved;
  h.fmt_resolved(resolved, false);
  EXPECT_EQ(resolved, "Holder { name: \"h\" }");
  resolved.clear();
  h.fmt_resolved(resolved, true);
  EXPECT_EQ(resolved, "Holder {\n    name: \"h\",\n}");
  resolved.clear();
  record_handle<Holder<6>>(5, 1).fmt_resolved(resolved, true);
  EXPECT_EQ(resolved, "Handle<test::Holder>{ idx: 5, gen: 1 }");
}

TEST(StoreHandles, StoredTypePaths) {
  EXPECT_EQ(type_path::coords, "quenlith::containers::mesh::coords::Coords");
  EXPECT_EQ(type_path::sub_mesh, "quenlith::containers::mesh::SubMesh");
  EXPECT_EQ(type_path::sub_finite_element_space, "quenlith::containers::finite_element_space::SubFiniteElementSpace");
  EXPECT_EQ(type_path::sub_node_field, "quenlith::containers::node_field::SubNodeField");
  EXPECT_EQ(type_path::sub_element_field, "quenlith::containers::element_field::SubElementField");
  EXPECT_EQ(type_path::sub_evolution, "quenlith::containers::evolution::SubEvolution");
  EXPECT_EQ(type_path::sub_matrix, "quenlith::containers::matrix::SubMatrix");
  EXPECT_EQ(type_path::sub_model, "quenlith::containers::model::SubModel");
}

template <class H>
concept CanWrite = requires(const H& h) { write(h); };
static_assert(CanWrite<Handle<Leaf<0>>>);
static_assert(!CanWrite<Handle<Holder<0>>>);

TEST(StoreHandles, ReleaseCascadesToHeldHandles) {
  auto& ls = leaves<7>();
  Handle<Leaf<7>> a = insert(Leaf<7>{1, "a"});
  Handle<Leaf<7>> b = insert(Leaf<7>{2, "b"});
  Handle<Holder<7>> h = insert(Holder<7>{{a, b, a}, "h"});
  EXPECT_EQ(ls.use_count(a), 3u);
  EXPECT_EQ(ls.use_count(b), 2u);
  b = {};  // the holder keeps b alive
  EXPECT_EQ(ls.n_free(), 0u);
  h = {};
  EXPECT_EQ(g_holder_released_counts<7>.load(), 1);
  EXPECT_EQ(ls.use_count(a), 1u);
  EXPECT_EQ(ls.n_free(), 1u);  // b went with the holder
}

TEST(StoreGuards, GuardKeepsObjectAlive) {
  auto& ls = leaves<8>();
  Handle<Leaf<8>> a = insert(Leaf<8>{3, "a"});
  ReadGuard<Leaf<8>> g = read(a);
  EXPECT_EQ(ls.use_count(a), 2u);
  const Handle<Leaf<8>> copy = g.handle();
  a = {};
  EXPECT_EQ(g->value, 3u);
  EXPECT_EQ(ls.n_free(), 0u);
  {
    ReadGuard<Leaf<8>> moved = std::move(g);
    EXPECT_EQ((*moved).name, "a");
  }
  EXPECT_EQ(ls.use_count(copy), 1u);
  {
    WriteGuard<Leaf<8>> w = write(copy);
    w->value = 4;
  }
  EXPECT_EQ(read(copy)->value, 4u);
}

TEST(StoreGuards, SameThreadReadThenWriteThrowsInsteadOfHanging) {
  Handle<Leaf<9>> a = insert(Leaf<9>{});
  {
    ReadGuard<Leaf<9>> g1 = read(a);
    ReadGuard<Leaf<9>> g2 = read(a);  // re-entrant shared
    EXPECT_EQ(error_text([&] { (void)write(a); }), "guard: the object is already under a read guard of this thread");
  }
  {
    WriteGuard<Leaf<9>> w = write(a);
    EXPECT_EQ(error_text([&] { (void)read(a); }), "guard: the object is already under a write guard of this thread");
    EXPECT_EQ(error_text([&] { (void)write(a); }), "guard: the object is already under a write guard of this thread");
  }
  // Nothing stayed locked or counted by the failed attempts.
  EXPECT_EQ(leaves<9>().use_count(a), 1u);
  WriteGuard<Leaf<9>> w = write(a);
}

// Thread A holds a read guard; W asks to write and waits; A asks for a second read
// guard on the same object. A must get it at once: queueing behind W would hang both.
TEST(StoreGuards, ReentrantReadPassesWaitingWriter) {
  auto& store = leaves<10>();
  Handle<Leaf<10>> a = insert(Leaf<10>{1, ""});
  const CellLock& lock = StoreTestAccess::lock_of(store, a);
  std::optional<ReadGuard<Leaf<10>>> first(read(a));
  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    WriteGuard<Leaf<10>> w = write(a);
    w->value = 2;
    wrote = true;
  });
  while (!lock.writer_waiting()) std::this_thread::yield();
  // A new reader of another thread now queues behind the writer...
  std::atomic<bool> other_read{false};
  std::thread other([&] {
    ReadGuard<Leaf<10>> g = read(a);
    other_read = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(other_read.load());
  // ...but this thread, which holds the object already, passes at once.
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 400 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!done) {
      std::fprintf(stderr, "re-entrant read deadlocked behind a waiting writer\n");
      std::abort();
    }
  });
  {
    ReadGuard<Leaf<10>> again = read(a);
    EXPECT_EQ(again->value, 1u);
    EXPECT_FALSE(wrote.load());
  }
  done = true;
  watchdog.join();
  first.reset();
  writer.join();
  other.join();
  EXPECT_TRUE(wrote.load());
  EXPECT_TRUE(other_read.load());
  EXPECT_EQ(read(a)->value, 2u);
}

// ---------------------------------------------------------------------------
// Swap-out, swap-in and the release of swapped-out objects

TEST_F(SwapStore, SwapOutKeepsUnitsAndSwapInRemovesFile) {
  auto& ls = leaves<20>();
  auto& hs = holders<20>();
  Handle<Leaf<20>> a = insert(Leaf<20>{1, "a"});
  Handle<Leaf<20>> b = insert(Leaf<20>{2, "b"});
  Handle<Holder<20>> h = insert(Holder<20>{{a, b}, "holder"});
  const int decodes = g_holder_decodes<20>.load();
  const int released = g_holder_released_counts<20>.load();
  hs.swap_out(h);
  EXPECT_EQ(hs.residency(h), ResidencyKind::SwappedOut);
  const std::string path = only_path(hs, h);
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir_));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ls.use_count(a), 2u);  // the record keeps the holder's units
  EXPECT_EQ(ls.use_count(b), 2u);
  EXPECT_EQ(g_holder_released_counts<20>.load(), released);

  hs.swap_out(h);  // already out: nothing happens
  EXPECT_EQ(n_files(), 1u);

  {
    ReadGuard<Holder<20>> g = read(h);
    EXPECT_EQ(g->name, "holder");
    ASSERT_EQ(g->leaves.size(), 2u);
    EXPECT_EQ(g->leaves[0], a);
    EXPECT_EQ(read(g->leaves[1])->name, "b");
  }
  EXPECT_EQ(hs.residency(h), ResidencyKind::Resident);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(g_holder_decodes<20>.load(), decodes + 1);
  EXPECT_EQ(ls.use_count(a), 2u);
  EXPECT_EQ(ls.use_count(b), 2u);
  (void)read(h);
  EXPECT_EQ(g_holder_decodes<20>.load(), decodes + 1);  // no second file access

  h = {};
  EXPECT_EQ(ls.use_count(a), 1u);
  EXPECT_EQ(ls.use_count(b), 1u);
}

TEST_F(SwapStore, WriteGuardReadsBackFirst) {
  auto& ls = leaves<21>();
  Handle<Leaf<21>> a = insert(Leaf<21>{1, "a"});
  ls.swap_out(a);
  {
    WriteGuard<Leaf<21>> w = write(a);
    EXPECT_EQ(w->name, "a");
    w->name = "changed";
  }
  EXPECT_EQ(n_files(), 0u);
  ls.swap_out(a);
  EXPECT_EQ(read(a)->name, "changed");
}

TEST_F(SwapStore, ReleaseOfSwappedOutObjectGivesBackRecordUnits) {
  auto& ls = leaves<22>();
  auto& hs = holders<22>();
  Handle<Leaf<22>> a = insert(Leaf<22>{1, "a"});
  Handle<Leaf<22>> b = insert(Leaf<22>{2, "b"});
  Handle<Holder<22>> h = insert(Holder<22>{{a, b, b}, "holder"});
  const int decodes = g_holder_decodes<22>.load();
  const int released = g_holder_released_counts<22>.load();
  const std::size_t leaves_free = ls.n_free();
  const std::size_t holders_free = hs.n_free();
  hs.swap_out(h);
  const std::string path = only_path(hs, h);
  b = {};  // only the record keeps b now
  EXPECT_EQ(ls.n_free(), leaves_free);
  h = {};
  EXPECT_EQ(g_holder_decodes<22>.load(), decodes + 1);
  EXPECT_EQ(g_holder_released_counts<22>.load(), released + 1);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(ls.use_count(a), 1u);
  EXPECT_EQ(ls.n_free(), leaves_free + 1);  // b released through the record
  EXPECT_EQ(hs.n_free(), holders_free + 1);
}

TEST_F(SwapStore, ReleaseWithMissingFileReportsNothing) {
  auto& ls = leaves<23>();
  auto& hs = holders<23>();
  Handle<Leaf<23>> a = insert(Leaf<23>{1, "a"});
  Handle<Holder<23>> h = insert(Holder<23>{{a}, "holder"});
  hs.swap_out(h);
  fs::remove(only_path(hs, h));
  const std::uint32_t idx = h.idx();
  const std::uint32_t gen = h.gen();
  h = {};  // nothing to read: reports nothing, the units stay
  EXPECT_EQ(ls.use_count(a), 2u);
  Handle<Holder<23>> next = insert(Holder<23>{{}, "next"});
  EXPECT_EQ(next.idx(), idx);  // the index was freed all the same
  EXPECT_EQ(next.gen(), gen + 1);
}

TEST_F(SwapStore, MissingFileIsIoErrorAndRetried) {
  auto& ls = leaves<24>();
  auto& hs = holders<24>();
  Handle<Leaf<24>> a = insert(Leaf<24>{1, "a"});
  Handle<Holder<24>> h = insert(Holder<24>{{a}, "holder"});
  hs.swap_out(h);
  const std::string path = only_path(hs, h);
  const std::vector<char> bytes = slurp(path);
  fs::remove(path);
  try {
    (void)read(h);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), Error::Kind::Io);
    EXPECT_EQ(e.text(), "I/O error: No such file or directory (os error 2)");
  }
  EXPECT_EQ(hs.residency(h), ResidencyKind::SwappedOut);
  EXPECT_EQ(ls.use_count(a), 2u);
  spit(path, bytes, bytes.size());
  EXPECT_EQ(read(h)->name, "holder");
  EXPECT_EQ(ls.use_count(a), 2u);
}

TEST_F(SwapStore, TruncatedFileIsSerializationErrorAndStaysInPlace) {
  auto& ls = leaves<25>();
  auto& hs = holders<25>();
  Handle<Leaf<25>> a = insert(Leaf<25>{1, "a"});
  Handle<Leaf<25>> b = insert(Leaf<25>{2, "b"});
  Handle<Holder<25>> h = insert(Holder<25>{{a, b}, "holder"});
  hs.swap_out(h);
  const std::string path = only_path(hs, h);
  const std::vector<char> bytes = slurp(path);
  // Cut inside the name: the header's length tells before a single handle is read.
  spit(path, bytes, bytes.size() - 2);
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      (void)read(h);
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::Serialization);
      EXPECT_EQ(e.text(), "serialization error: io error: unexpected end of file");
    }
  }
  // Cut inside the header.
  spit(path, bytes, 12);
  EXPECT_EQ(error_text([&] { (void)read(h); }), "serialization error: io error: unexpected end of file");
  EXPECT_EQ(hs.residency(h), ResidencyKind::SwappedOut);
  EXPECT_TRUE(fs::exists(path));
  // Failed decodes neither gave back nor took any unit.
  EXPECT_EQ(ls.use_count(a), 2u);
  EXPECT_EQ(ls.use_count(b), 2u);
  spit(path, bytes, bytes.size());
  EXPECT_EQ(read(h)->leaves.size(), 2u);
  h = {};
  EXPECT_EQ(ls.use_count(a), 1u);
  EXPECT_EQ(ls.use_count(b), 1u);
}

TEST_F(SwapStore, UndecodableFileAtReleaseKeepsUnits) {
  auto& ls = leaves<26>();
  auto& hs = holders<26>();
  Handle<Leaf<26>> a = insert(Leaf<26>{1, "a"});
  Handle<Holder<26>> h = insert(Holder<26>{{a}, "holder"});
  hs.swap_out(h);
  const std::string path = only_path(hs, h);
  const std::vector<char> bytes = slurp(path);
  spit(path, bytes, bytes.size() - 1);
  const std::size_t holders_free = hs.n_free();
  h = {};
  EXPECT_EQ(ls.use_count(a), 2u);  // the record's unit stays counted
  EXPECT_EQ(hs.n_free(), holders_free + 1);
  EXPECT_TRUE(std::filesystem::exists(path));  // the corrupt record is kept, not lost
}

TEST_F(SwapStore, EightReadersDecodeOnce) {
  auto& hs = holders<27>();
  Handle<Leaf<27>> a = insert(Leaf<27>{1, "a"});
  Handle<Holder<27>> h = insert(Holder<27>{{a}, "holder"});
  const int decodes = g_holder_decodes<27>.load();
  for (int round = 0; round < 20; ++round) {
    hs.swap_out(h);
    std::latch start(8);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t)
      threads.emplace_back([&] {
        start.arrive_and_wait();
        ReadGuard<Holder<27>> g = read(h);
        if (g->name == "holder" && g->leaves.size() == 1) ++ok;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 8);
    EXPECT_EQ(g_holder_decodes<27>.load(), decodes + round + 1);
  }
  EXPECT_EQ(n_files(), 0u);
  EXPECT_EQ(leaves<27>().use_count(a), 2u);
}

TEST_F(SwapStore, WriteFailureLeavesObjectResident) {
  auto& ls = leaves<28>();
  Handle<Leaf<28>> a = insert(Leaf<28>{1, "a"});
  set_swap_dir(dir_ + "/missing/deeper");
  try {
    ls.swap_out(a);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.text(), "I/O error: No such file or directory (os error 2)");
  }
  EXPECT_EQ(ls.residency(a), ResidencyKind::Resident);
  EXPECT_EQ(read(a)->name, "a");
  EXPECT_EQ(ls.use_count(a), 1u);
}

TEST_F(SwapStore, RelativeSwapDirSurvivesChdir) {
  auto& ls = leaves<29>();
  Handle<Leaf<29>> a = insert(Leaf<29>{1, "a"});
  const fs::path before = fs::current_path();
  fs::create_directory(fs::path(dir_) / "work");
  fs::current_path(dir_);
  set_swap_dir("work");
  ls.swap_out(a);
  fs::current_path(before);
  const std::string path = only_path(ls, a);
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir_) / "work");
  EXPECT_EQ(read(a)->name, "a");
}

// ---------------------------------------------------------------------------
// Concurrency stress (run it under ThreadSanitizer too)

TEST_F(SwapStore, ConcurrentCopiesGuardsReleasesAndSwaps) {
  auto& ls = leaves<30>();
  auto& hs = holders<30>();
  Handle<Leaf<30>> shared_leaf = insert(Leaf<30>{0, "shared"});
  Handle<Holder<30>> shared_holder = insert(Holder<30>{{shared_leaf}, "holder"});
  constexpr int kThreads = 8;
  constexpr int kRounds = 400;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        Handle<Leaf<30>> mine = insert(Leaf<30>{static_cast<std::uint32_t>(i), "mine"});
        Handle<Holder<30>> holder = insert(Holder<30>{{mine, shared_leaf}, "h"});
        Handle<Leaf<30>> copy = shared_leaf;
        {
          ReadGuard<Holder<30>> g = read(shared_holder);
          ReadGuard<Holder<30>> again = read(shared_holder);
          if (g->leaves.size() != 1) ++failures;
        }
        if (i % 7 == t % 7) {
          WriteGuard<Leaf<30>> w = write(shared_leaf);
          ++w->value;
        }
        if (i % 5 == 0) {
          try {
            hs.swap_out(shared_holder);
          } catch (const Error&) {
            ++failures;
          }
        }
        if (i % 3 == 0) hs.swap_out(holder);
        mine = {};
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ls.use_count(shared_leaf), 2u);  // itself and shared_holder
  EXPECT_EQ(hs.use_count(shared_holder), 1u);
  EXPECT_EQ(ls.n_entries() - ls.n_free(), 1u);
  EXPECT_EQ(hs.n_entries() - hs.n_free(), 1u);
  (void)read(shared_holder);
  EXPECT_EQ(n_files(), 0u);
}

}  // namespace
