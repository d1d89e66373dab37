#include "store/cell_lock.hpp"

#include <vector>

#include "base/error.hpp"

namespace quenlith::store {

namespace {

using Held = detail::HeldLock;
using detail::t_held_locks;

// Holds beyond the fixed table; see detail::HeldTable.
thread_local std::vector<Held> t_spill;

Held* find_held(const CellLock* lock) noexcept {
  for (std::uint32_t i = t_held_locks.n; i-- > 0;)
    if (t_held_locks.entries[i].lock == lock) return &t_held_locks.entries[i];
  if (t_held_locks.n_spilled > 0) [[unlikely]] {
    for (Held& h : t_spill)
      if (h.lock == lock) return &h;
  }
  return nullptr;
}

// A new, empty entry for `lock`, which this thread does not hold. Made before the
// lock is taken, so that a failed allocation leaves nothing held. The reference
// stays valid until the next entry is made.
Held& new_held_entry(const CellLock* lock) {
  if (t_held_locks.n < detail::HeldTable::kSize) [[likely]] {
    Held& h = t_held_locks.entries[t_held_locks.n++];
    h = Held{lock, 0, false, false};
    return h;
  }
  Held& h = t_spill.emplace_back(Held{lock, 0, false, false});
  t_held_locks.n_spilled = static_cast<std::uint32_t>(t_spill.size());
  return h;
}

// Removes `entry` (found by find_held) when it holds nothing any more.
void drop_if_empty(Held* entry) noexcept {
  if (entry->shared != 0 || entry->upgradable || entry->exclusive) return;
  Held* const table = t_held_locks.entries;
  if (entry >= table && entry < table + detail::HeldTable::kSize) {
    *entry = table[--t_held_locks.n];
    return;
  }
  *entry = t_spill.back();
  t_spill.pop_back();
  t_held_locks.n_spilled = static_cast<std::uint32_t>(t_spill.size());
}

[[noreturn]] void throw_self_wait(const Held& h) {
  if (h.exclusive) throw Error::message("guard: the object is already under a write guard of this thread");
  throw Error::message("guard: the object is already under a read guard of this thread");
}

}  // namespace

void CellLock::lock_shared_general() {
  Held* h = find_held(this);
  if (h) {
    if (h->exclusive) throw_self_wait(*h);
    // Already ours: no writer can hold the lock now, and one waiting for our
    // first hold must not make us wait for it.
    state_.fetch_add(1, std::memory_order_acquire);
    ++h->shared;
    return;
  }
  Held& entry = new_held_entry(this);
  const std::uint32_t prev = state_.fetch_add(1, std::memory_order_acquire);
  if (prev & (kExclusive | kWriterWaiting)) {
    release_one_reader();
    try {
      lock_shared_slow();
    } catch (...) {
      drop_if_empty(&entry);
      throw;
    }
  }
  ++entry.shared;
}

void CellLock::wake_writer() noexcept {
  // A waiter checks the count under mutex_ before it sleeps, so taking mutex_ here
  // cannot slip in between its check and its wait.
  std::lock_guard lock(mutex_);
  cv_.notify_all();
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

void CellLock::unlock_shared_general() noexcept {
  if (Held* h = find_held(this); h && h->shared > 0) {
    --h->shared;
    drop_if_empty(h);
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
  Held& entry = new_held_entry(this);
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
    drop_if_empty(h);
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
  Held& entry = new_held_entry(this);
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
    drop_if_empty(h);
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
