// The object-cell lock: modes, upgrades and downgrades, writer precedence, the
// re-entrant shared case, self-wait detection, and a stress run whose data races
// ThreadSanitizer would see.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/error.hpp"
#include "store/cell_lock.hpp"
#include "test_support.hpp"

namespace {

using quenlith::store::CellLock;
using quenlith::Error;
using namespace std::chrono_literals;

// Waits (bounded) for a condition another thread makes true.
template <class F>
bool eventually(F&& condition) {
  for (int i = 0; i < 20000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(100us);
  }
  return false;
}

// Aborts the process when a test body hangs, rather than hanging the suite.
class Watchdog {
 public:
  explicit Watchdog(const char* what) : what_(what), thread_([this] {
      for (int i = 0; i < 600 && !done_; ++i) std::this_thread::sleep_for(50ms);
      if (!done_) {
        std::fprintf(stderr, "deadlock: %s\n", what_);
        std::abort();
      }
    }) {}
  ~Watchdog() {
    done_ = true;
    thread_.join();
  }

 private:
  const char* what_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

using quenlith::testing::error_text;

TEST(CellLock, SharedHoldersExcludeExclusive) {
  CellLock lock;
  lock.lock_shared();
  std::atomic<bool> in_writer{false};
  std::thread other_reader([&] {
    lock.lock_shared();
    lock.unlock_shared();
  });
  other_reader.join();  // readers share
  std::thread writer([&] {
    lock.lock_exclusive();
    in_writer = true;
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.writer_waiting(); }));
  EXPECT_FALSE(in_writer.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(in_writer.load());
  EXPECT_EQ(lock.n_shared(), 0u);
  EXPECT_FALSE(lock.is_exclusive());
  EXPECT_FALSE(lock.writer_waiting());
}

TEST(CellLock, UpgradableCoexistsWithReadersAndUpgradesAfterThem) {
  CellLock lock;
  lock.lock_upgradable();
  std::thread reader([&] {
    lock.lock_shared();  // shared holders coexist with the upgradable one
    std::this_thread::sleep_for(20ms);
    lock.unlock_shared();
  });
  ASSERT_TRUE(eventually([&] { return lock.n_shared() == 1; }));
  std::atomic<bool> second{false};
  std::thread other_upgradable([&] {
    lock.lock_upgradable();
    second = true;
    lock.unlock_upgradable();
  });
  std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(second.load());  // one upgradable holder at a time
  lock.upgrade();               // waits for the reader to leave
  EXPECT_TRUE(lock.is_exclusive());
  EXPECT_EQ(lock.n_shared(), 0u);
  reader.join();
  lock.downgrade();  // exclusive -> shared
  EXPECT_FALSE(lock.is_exclusive());
  EXPECT_EQ(lock.n_shared(), 1u);
  lock.unlock_shared();
  other_upgradable.join();
  EXPECT_TRUE(second.load());

  lock.lock_upgradable();
  lock.downgrade_upgradable();
  EXPECT_FALSE(lock.is_upgradable());
  EXPECT_EQ(lock.n_shared(), 1u);
  lock.unlock_shared();
}

TEST(CellLock, WaitingWriterGoesBeforeNewReaders) {
  Watchdog dog("writer precedence");
  CellLock lock;
  std::vector<int> order;
  std::mutex order_mutex;
  auto note = [&](int who) {
    std::lock_guard g(order_mutex);
    order.push_back(who);
  };
  lock.lock_shared();
  std::thread writer([&] {
    lock.lock_exclusive();
    note(1);
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.writer_waiting(); }));
  std::thread late_reader([&] {
    lock.lock_shared();
    note(2);
    lock.unlock_shared();
  });
  std::this_thread::sleep_for(20ms);
  {
    std::lock_guard g(order_mutex);
    EXPECT_TRUE(order.empty());  // the late reader waits behind the writer
  }
  lock.unlock_shared();
  writer.join();
  late_reader.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(CellLock, HolderReentersPastWaitingWriter) {
  Watchdog dog("re-entrant shared hold behind a waiting writer");
  CellLock lock;
  lock.lock_shared();
  std::atomic<bool> wrote{false};
  std::thread writer([&] {
    lock.lock_exclusive();
    wrote = true;
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.writer_waiting(); }));
  lock.lock_shared();  // must not wait: the writer waits for this thread
  lock.lock_shared();
  EXPECT_EQ(lock.n_shared(), 3u);
  EXPECT_FALSE(wrote.load());
  lock.unlock_shared();
  lock.unlock_shared();
  EXPECT_FALSE(wrote.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(wrote.load());

  // The holder of the upgradable lock may also take it shared past a waiting writer.
  lock.lock_upgradable();
  std::thread writer2([&] {
    lock.lock_exclusive();
    lock.unlock_exclusive();
  });
  ASSERT_TRUE(eventually([&] { return lock.writer_waiting(); }));
  lock.lock_shared();
  lock.unlock_shared();
  lock.unlock_upgradable();
  writer2.join();
}

TEST(CellLock, WaitsOnItselfThrow) {
  CellLock lock;
  const std::string read_held = "guard: the object is already under a read guard of this thread";
  const std::string write_held = "guard: the object is already under a write guard of this thread";
  lock.lock_shared();
  EXPECT_EQ(error_text([&] { lock.lock_exclusive(); }), read_held);
  EXPECT_EQ(error_text([&] { lock.lock_upgradable(); }), read_held);
  lock.unlock_shared();
  lock.lock_exclusive();
  EXPECT_EQ(error_text([&] { lock.lock_shared(); }), write_held);
  EXPECT_EQ(error_text([&] { lock.lock_exclusive(); }), write_held);
  EXPECT_EQ(error_text([&] { lock.lock_upgradable(); }), write_held);
  lock.unlock_exclusive();
  // Nothing was left held by the refused requests.
  EXPECT_EQ(lock.n_shared(), 0u);
  EXPECT_FALSE(lock.is_exclusive());
  lock.lock_exclusive();
  lock.unlock_exclusive();
}

// One thread holding many locks at once (more than its fixed table of held locks,
// in any release order): re-entrance past a waiting writer and self-wait detection
// work the same for every one of them, and nothing stays recorded afterwards.
TEST(CellLock, ManyLocksHeldByOneThread) {
  Watchdog dog("many locks held by one thread");
  constexpr int kLocks = 40;
  std::vector<CellLock> locks(kLocks);
  for (CellLock& l : locks) l.lock_shared();
  for (int i : {0, 15, 16, 17, 39}) {
    CellLock& lock = locks[static_cast<std::size_t>(i)];
    EXPECT_EQ(error_text([&] { lock.lock_exclusive(); }),
              "guard: the object is already under a read guard of this thread")
        << i;
    std::thread writer([&] {
      lock.lock_exclusive();
      lock.unlock_exclusive();
    });
    ASSERT_TRUE(eventually([&] { return lock.writer_waiting(); })) << i;
    lock.lock_shared();  // ours already: must not queue behind the writer
    EXPECT_EQ(lock.n_shared(), 2u) << i;
    lock.unlock_shared();
    lock.unlock_shared();
    writer.join();
    lock.lock_shared();
  }
  // Release in a scrambled order, taking some again meanwhile.
  std::vector<int> order(kLocks);
  for (int i = 0; i < kLocks; ++i) order[static_cast<std::size_t>(i)] = (i * 17) % kLocks;
  for (int i : order) {
    CellLock& lock = locks[static_cast<std::size_t>(i)];
    if (i % 3 == 0) {
      lock.lock_shared();
      lock.unlock_shared();
    }
    lock.unlock_shared();
  }
  // Nothing is recorded as held any more: every lock can be taken exclusively.
  for (CellLock& l : locks) {
    EXPECT_EQ(l.n_shared(), 0u);
    l.lock_exclusive();
    l.unlock_exclusive();
  }
}

// Readers (some re-entrant), writers and upgraders hammer one lock; the protected
// counters must never show a reader beside a writer, and the unprotected payload is
// read and written only as the lock allows (ThreadSanitizer checks that).
TEST(CellLock, StressKeepsExclusion) {
  Watchdog dog("stress");
  CellLock lock;
  std::atomic<int> readers_in{0};
  std::atomic<int> writers_in{0};
  std::atomic<int> violations{0};
  long payload = 0;  // guarded by `lock`
  long writes = 0;   // guarded by `lock`
  constexpr int kThreads = 8;
  constexpr int kIterations = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < kIterations; ++i) {
        switch (rng() % 4) {
          case 0:
          case 1: {
            lock.lock_shared();
            ++readers_in;
            if (writers_in.load() != 0) ++violations;
            volatile long seen = payload;
            (void)seen;
            if (rng() % 2) {
              lock.lock_shared();  // re-entrant
              if (writers_in.load() != 0) ++violations;
              lock.unlock_shared();
            }
            --readers_in;
            lock.unlock_shared();
            break;
          }
          case 2: {
            lock.lock_exclusive();
            if (++writers_in != 1 || readers_in.load() != 0) ++violations;
            ++payload;
            ++writes;
            --writers_in;
            lock.unlock_exclusive();
            break;
          }
          default: {
            lock.lock_upgradable();
            volatile long seen = payload;
            (void)seen;
            if (rng() % 2) {
              lock.upgrade();
              if (++writers_in != 1 || readers_in.load() != 0) ++violations;
              ++payload;
              ++writes;
              --writers_in;
              if (rng() % 2) {
                lock.downgrade();
                lock.unlock_shared();
              } else {
                lock.unlock_exclusive();
              }
            } else if (rng() % 2) {
              lock.downgrade_upgradable();
              lock.unlock_shared();
            } else {
              lock.unlock_upgradable();
            }
          }
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(payload, writes);
  EXPECT_EQ(lock.n_shared(), 0u);
  EXPECT_FALSE(lock.is_exclusive());
  EXPECT_FALSE(lock.is_upgradable());
  EXPECT_FALSE(lock.writer_waiting());
}

}  // namespace
