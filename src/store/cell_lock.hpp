#pragma once
// The lock of one stored object's cell: a reader-writer lock with three modes.
//
//   shared      any number of holders; excludes exclusive.
//   upgradable  one holder at a time; coexists with shared holders, excludes exclusive
//               and a second upgradable holder. Turns atomically into exclusive
//               (`upgrade`, waiting for the shared holders to leave) or into shared.
//   exclusive   one holder; turns atomically into shared (`downgrade`).
//
// Waiting writers go first: once an exclusive request (or an upgrade) waits, new
// shared and upgradable requests wait behind it, so writers are never starved.
// One exception keeps a thread from ever waiting on itself: a thread that already
// holds this lock shared (or upgradable) gets a further shared hold at once, even
// past a waiting writer. Operations routinely take the same object on both sides
// (`a + a`); queueing the second hold behind a writer that waits for the first
// would hang both threads.
//
// Requests that could only wait on the calling thread itself (shared or exclusive
// while this thread holds it exclusively, exclusive or upgradable while it holds it
// shared) throw Error::message instead of hanging.
//
// Holds are counted per thread: a hold must be released on the thread that took
// it, as with std::mutex. The uncontended shared path (inline below) is one atomic
// increment of the state word plus an entry in the thread's small table of held
// locks; its release is one atomic decrement. Everything else is out of line.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quenlith::store {

class CellLock;

namespace detail {

// What the calling thread holds of one lock. An entry exists only while at least
// one of its fields is non-zero.
struct HeldLock {
  const CellLock* lock;
  std::uint32_t shared;
  bool upgradable;
  bool exclusive;
};

// The locks this thread holds. A thread normally holds the few guards of one
// operation, so they live in a fixed table without constructor or destructor: an
// access is a plain thread-local load, with no initialisation check. Holds beyond
// the table go to an overflow list in cell_lock.cpp, searched only while
// `n_spilled` > 0. (Default TLS model: forcing initial-exec here would spend the
// static TLS surplus of the dlopen'ed module and trips UBSan's null check.)
struct HeldTable {
  static constexpr std::uint32_t kSize = 16;
  std::uint32_t n;
  std::uint32_t n_spilled;
  HeldLock entries[kSize];
};
inline thread_local HeldTable t_held_locks{};

}  // namespace detail

class CellLock {
 public:
  CellLock() = default;
  CellLock(const CellLock&) = delete;
  CellLock& operator=(const CellLock&) = delete;

  void lock_shared() {
    detail::HeldTable& t = detail::t_held_locks;
    if (t.n < detail::HeldTable::kSize && t.n_spilled == 0) [[likely]] {
      bool held = false;
      for (std::uint32_t i = t.n; i-- > 0;) held |= t.entries[i].lock == this;
      if (!held) [[likely]] {
        // Optimistic: count ourselves in, and back out if a writer holds or waits.
        // An increment always succeeds, where a compare-and-swap retries under
        // contention. A writer only takes the lock when the count is 0, so a reader
        // counted for a moment never gets in beside it.
        const std::uint32_t prev = state_.fetch_add(1, std::memory_order_acquire);
        if (!(prev & (kExclusive | kWriterWaiting))) [[likely]] {
          t.entries[t.n++] = detail::HeldLock{this, 1, false, false};
          return;
        }
        release_one_reader();
      }
    }
    lock_shared_general();
  }
  void unlock_shared() noexcept {
    detail::HeldTable& t = detail::t_held_locks;
    // Guards are mostly dropped in the reverse order of taking: the last entry.
    if (t.n > 0) [[likely]] {
      detail::HeldLock& last = t.entries[t.n - 1];
      if (last.lock == this && last.shared == 1 && !last.upgradable && !last.exclusive) [[likely]] {
        --t.n;
        release_one_reader();
        return;
      }
    }
    unlock_shared_general();
  }

  void lock_upgradable();
  void unlock_upgradable() noexcept;
  // Upgradable -> exclusive, waiting for the shared holders to leave.
  void upgrade() noexcept;
  // Upgradable -> shared.
  void downgrade_upgradable() noexcept;

  void lock_exclusive();
  void unlock_exclusive() noexcept;
  // Exclusive -> shared, waking the readers that wait.
  void downgrade() noexcept;

  // Observers for tests and diagnostics; a snapshot, stale as soon as read.
  std::uint32_t n_shared() const noexcept { return state_.load(std::memory_order_relaxed) & kReaderMask; }
  bool is_exclusive() const noexcept { return state_.load(std::memory_order_relaxed) & kExclusive; }
  bool is_upgradable() const noexcept { return state_.load(std::memory_order_relaxed) & kUpgradable; }
  bool writer_waiting() const noexcept { return state_.load(std::memory_order_relaxed) & kWriterWaiting; }

 private:
  static constexpr std::uint32_t kExclusive = 1u << 31;
  static constexpr std::uint32_t kUpgradable = 1u << 30;
  // Set while an exclusive request or an upgrade waits; only changed under mutex_.
  static constexpr std::uint32_t kWriterWaiting = 1u << 29;
  static constexpr std::uint32_t kReaderMask = kWriterWaiting - 1;

  void lock_shared_general();
  void lock_shared_slow();
  void unlock_shared_general() noexcept;
  void release_one_reader() noexcept {
    const std::uint32_t prev = state_.fetch_sub(1, std::memory_order_release);
    // The last reader out wakes a writer or an upgrade that waits for it.
    if ((prev & kReaderMask) == 1 && (prev & kWriterWaiting)) [[unlikely]] wake_writer();
  }
  void wake_writer() noexcept;
  void update_writer_waiting_locked() noexcept;

  // Bits above plus the number of shared holds (re-entrant holds count each).
  std::atomic<std::uint32_t> state_{0};
  // Guards the slow paths and the two counters below; every transition that can
  // let a waiter through is made, or followed by a notify, under it.
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint32_t n_exclusive_waiting_ = 0;
  bool upgrade_waiting_ = false;
};

}  // namespace quenlith::store
