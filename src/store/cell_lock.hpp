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
// it, as with std::mutex. The uncontended shared path is one atomic increment of
// the state word plus a lookup in the thread's short list of held locks.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quenlith::store {

class CellLock {
 public:
  CellLock() = default;
  CellLock(const CellLock&) = delete;
  CellLock& operator=(const CellLock&) = delete;

  void lock_shared();
  void unlock_shared() noexcept;

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

  void lock_shared_slow();
  void release_one_reader() noexcept;
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
