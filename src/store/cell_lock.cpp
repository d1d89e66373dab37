#include "store/cell_lock.hpp"

#include <vector>

#include "store/error.hpp"

namespace quenlith::store {

namespace {

// What the calling thread holds of one lock. An entry exists only while at least
// one of its fields is non-zero.
struct Held {
  const CellLock* lock;
  std::uint32_t shared;
  bool upgradable;
  bool exclusive;
};

// Short: a thread holds the guards of one operation at a time.
[[gnu::tls_model("initial-exec")]] thread_local std::vector<Held> t_held;

Held* find_held(const CellLock* lock) noexcept {
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it)
    if (it->lock == lock) return &*it;
  return nullptr;
}

// The entry of `lock`, made empty when missing. Done before the lock is taken, so
// that a failed allocation leaves nothing held.
Held& held_entry(const CellLock* lock) {
  if (Held* h = find_held(lock)) return *h;
  return t_held.emplace_back(Held{lock, 0, false, false});
}

void drop_if_empty(const CellLock* lock) noexcept {
  for (std::size_t i = t_held.size(); i-- > 0;) {
    Held& h = t_held[i];
    if (h.lock != lock) continue;
    if (h.shared == 0 && !h.upgradable && !h.exclusive) {
      h = t_held.back();
      t_held.pop_back();
    }
    return;
  }
}

[[noreturn]] void throw_self_wait(const Held& h) {
  if (h.exclusive) throw Error::message("guard: the object is already under a write guard of this thread");
  throw Error::message("guard: the object is already under a read guard of this thread");
}

}  // namespace

void CellLock::lock_shared() {
  Held* h = find_held(this);
  if (h) {
    if (h->exclusive) throw_self_wait(*h);
    // Already ours: no writer can hold the lock now, and one waiting for our
    // first hold must not make us wait for it.
    state_.fetch_add(1, std::memory_order_acquire);
    ++h->shared;
    return;
  }
  Held& entry = held_entry(this);
  // Optimistic: count ourselves in, and back out if a writer holds or waits. An
  // increment always succeeds, where a compare-and-swap retries under contention.
  // A writer only takes the lock when the count is 0, so a reader counted for a
  // moment never gets in beside it.
  const std::uint32_t prev = state_.fetch_add(1, std::memory_order_acquire);
  if (prev & (kExclusive | kWriterWaiting)) {
    release_one_reader();
    lock_shared_slow();
  }
  ++entry.shared;
}

void CellLock::release_one_reader() noexcept {
  const std::uint32_t prev = state_.fetch_sub(1, std::memory_order_release);
  // The last reader out wakes a writer or an upgrade that waits for it. A waiter
  // checks the count under mutex_ before it sleeps, so taking mutex_ here cannot
  // slip in between its check and its wait.
  if ((prev & kReaderMask) == 1 && (prev & kWriterWaiting)) {
    std::lock_guard lock(mutex_);
    cv_.notify_all();
  }
}

void CellLock::lock_shared_slow() {
  std::unique_lock lock(mutex_);
  for (;;) {
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    if (s & (kExclusive | kWriterWaiting)) {
      cv_.wait(lock);
      continue;
    }
    if (state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
  }
}

void CellLock::unlock_shared() noexcept {
  if (Held* h = find_held(this); h && h->shared > 0) {
    --h->shared;
    drop_if_empty(this);
  }
  release_one_reader();
}

void CellLock::update_writer_waiting_locked() noexcept {
  if (n_exclusive_waiting_ > 0 || upgrade_waiting_)
    state_.fetch_or(kWriterWaiting, std::memory_order_relaxed);
  else
    state_.fetch_and(~kWriterWaiting, std::memory_order_relaxed);
}

void CellLock::lock_upgradable() {
  if (Held* h = find_held(this)) throw_self_wait(*h);
  Held& entry = held_entry(this);
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (s & (kExclusive | kUpgradable | kWriterWaiting)) {
        cv_.wait(lock);
        continue;
      }
      if (state_.compare_exchange_weak(s, s | kUpgradable, std::memory_order_acquire, std::memory_order_relaxed))
        break;
    }
  }
  entry.upgradable = true;
}

void CellLock::unlock_upgradable() noexcept {
  if (Held* h = find_held(this)) {
    h->upgradable = false;
    drop_if_empty(this);
  }
  std::lock_guard lock(mutex_);
  state_.fetch_and(~kUpgradable, std::memory_order_release);
  cv_.notify_all();
}

void CellLock::upgrade() noexcept {
  {
    std::unique_lock lock(mutex_);
    upgrade_waiting_ = true;
    update_writer_waiting_locked();
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if (s & kReaderMask) {
        cv_.wait(lock);
        continue;
      }
      if (state_.compare_exchange_weak(s, (s & ~kUpgradable) | kExclusive, std::memory_order_acquire,
                                       std::memory_order_relaxed))
        break;
    }
    upgrade_waiting_ = false;
    update_writer_waiting_locked();
  }
  if (Held* h = find_held(this)) {
    h->upgradable = false;
    h->exclusive = true;
  }
}

void CellLock::downgrade_upgradable() noexcept {
  if (Held* h = find_held(this)) {
    h->upgradable = false;
    ++h->shared;
  }
  std::lock_guard lock(mutex_);
  // Clears the upgradable bit and adds one reader in one step.
  state_.fetch_sub(kUpgradable - 1, std::memory_order_release);
  cv_.notify_all();
}

void CellLock::lock_exclusive() {
  if (Held* h = find_held(this)) throw_self_wait(*h);
  Held& entry = held_entry(this);
  std::uint32_t expected = 0;
  if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) {
    std::unique_lock lock(mutex_);
    ++n_exclusive_waiting_;
    update_writer_waiting_locked();
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      // An upgrade in progress holds the upgradable lock we wait for: it goes first.
      if ((s & (kExclusive | kUpgradable | kReaderMask)) != 0 || upgrade_waiting_) {
        cv_.wait(lock);
        continue;
      }
      if (state_.compare_exchange_weak(s, s | kExclusive, std::memory_order_acquire, std::memory_order_relaxed))
        break;
    }
    --n_exclusive_waiting_;
    update_writer_waiting_locked();
  }
  entry.exclusive = true;
}

void CellLock::unlock_exclusive() noexcept {
  if (Held* h = find_held(this)) {
    h->exclusive = false;
    drop_if_empty(this);
  }
  std::lock_guard lock(mutex_);
  state_.fetch_and(~kExclusive, std::memory_order_release);
  cv_.notify_all();
}

void CellLock::downgrade() noexcept {
  if (Held* h = find_held(this)) {
    h->exclusive = false;
    ++h->shared;
  }
  std::lock_guard lock(mutex_);
  // Clears the exclusive bit and adds one reader in one step.
  state_.fetch_sub(kExclusive - 1, std::memory_order_release);
  cv_.notify_all();
}

}  // namespace quenlith::store
