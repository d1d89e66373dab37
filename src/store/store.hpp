#pragma once
// Store<T>: the slot table of one stored type, and the operations on handles and
// objects of that type. Include this header (or handle.hpp / guard.hpp, which bring
// it in) to use the store.
//
//   Handle<SubMesh> h = store::insert(SubMesh{...});        // count 1, (idx, gen)
//   Handle<SubMesh> h2 = h;                                 // count 2
//   { ReadGuard<SubMesh> g = store::read(h); g->cells(); } // shared access
//   { WriteGuard<SubMesh> g = store::write(h); g->add_cell(...); }  // exclusive
//
// Table: entries (slot, generation), indexed by slot index, never shrinking; the
// free list is a stack of released indices (last released, first reused). Both are
// guarded by the store mutex, held only for short table work. Every index on the free
// list names a Vacant slot with count 0; an entry's generation is the `gen` of every
// handle owning a unit of its slot. Generations wrap from 4294967295 to 0.
//
// Lock order: a cell lock may be held when the store mutex is taken (a handle
// destroyed under a guard); under the store mutex only the exclusive lock of a slot
// whose count is 0 is taken (no guard can hold it). Disposing of a released object
// (destroying it, or reading its swap file to give back what its record holds) runs
// outside every lock, so it may release further objects, of this type too.
//
// Swap-in: a guard on a SwappedOut object reads its file back first (once, when many
// readers arrive together), then removes the file. Writing out (`swap_out`) happens
// only when a caller asks for it; see there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "store/handle.hpp"
#include "store/record_reader.hpp"
#include "store/record_writer.hpp"
#include "store/slot.hpp"
#include "store/store_registry.hpp"
#include "store/stored_type.hpp"
#include "store/swap_dir.hpp"
#include "store/swap_file.hpp"

namespace quenlith::store {

template <class T>
class ReadGuard;
template <class T>
class WriteGuard;
struct StoreTestAccess;

namespace detail {
[[noreturn]] inline void internal_assertion(const char* text) noexcept {
  std::fprintf(stderr, "quenlith internal assertion failed: %s\n", text);
  std::abort();
}
}  // namespace detail

template <class T>
class Store final : public StoreBase {
  using Traits = StoredTypeTraits<T>;

 public:
  // The type's store, found (or created empty) in the registry on first use.
  static Store& instance();

  std::string_view type_path() const noexcept override { return Traits::type_path; }

  // Stores the object: a new handle (count 1, cache filled), index from the free
  // list when it has one (generation + 1), else appended with generation 1.
  Handle<T> insert(T object);

  // Shared access; reads a swapped-out object back first. Throws StaleHandle, Io
  // (the swap file cannot be read) or Serialization (it cannot be decoded); on
  // failure the object stays SwappedOut and its file stays.
  ReadGuard<T> read(const Handle<T>& h);

  // Exclusive access, for the writable types only; reads back like `read`.
  WriteGuard<T> write(const Handle<T>& h)
    requires StoredTypeTraits<T>::writable;

  // Writes the object out: under its exclusive lock for the whole operation, encodes
  // its record into a new file (O_EXCL, mode 0600) of swap_dir(), then replaces
  // Resident by SwappedOut with the file's absolute path and frees the object without
  // giving back anything it holds (its handles' units stay with the record). No-op
  // when the object is already SwappedOut. Throws StaleHandle, or Io when the file
  // cannot be written (the object then stays Resident and no file is left). No
  // policy here calls it: only a caller that decides to free memory does.
  void swap_out(const Handle<T>& h);

  // Observers, for tests and diagnostics.
  // The slot's count, 0 for a stale handle.
  std::uint32_t use_count(const Handle<T>& h);
  // Residency of the handle's object (StaleHandle when stale); takes its lock shared.
  ResidencyKind residency(const Handle<T>& h);
  // The swap file path of a SwappedOut object, else nothing.
  std::optional<std::string> swap_path(const Handle<T>& h);
  std::size_t n_entries();
  std::size_t n_free();

 private:
  friend class Handle<T>;
  friend struct StoreTestAccess;  // defined by the unit tests only
  struct Entry {
    std::unique_ptr<Slot<T>> slot;
    std::uint32_t gen;
  };

  Store() = default;
  static std::unique_ptr<StoreBase> make() { return std::unique_ptr<StoreBase>(new Store()); }

  // The slot of a handle that names a live object, checked under the store mutex.
  Slot<T>* live_slot_locked(const Handle<T>& h) const noexcept {
    if (h.idx_ >= entries_.size()) return nullptr;
    const Entry& e = entries_[h.idx_];
    if (e.gen != h.gen_ || e.slot->count.load(std::memory_order_acquire) == 0) return nullptr;
    return e.slot.get();
  }
  // Resolution of an owning handle whose cache is empty: fills the cache.
  Slot<T>* resolve_locked(const Handle<T>& h) noexcept;
  // Copy of a handle whose cache is empty: `to` owns a unit afterwards, unless `from`
  // is stale (then `to` owns nothing).
  void acquire_slow(const Handle<T>& from, Handle<T>& to) noexcept;
  // An owning copy, or StaleHandle.
  Handle<T> acquire_checked(const Handle<T>& h);
  // The rest of a release after the fast path: `slot` is the handle's cached slot
  // after a decrement that yielded 0, or null when the cache was empty.
  void release_slow(Handle<T>& h, Slot<T>* slot) noexcept;
  static void swap_in(Residency<T>& residency);
  // Store::read on a SwappedOut object: called with the cell locked shared, returns
  // with it locked shared and the object Resident, or throws with the cell unlocked.
  [[gnu::noinline]] static void read_back_shared(Slot<T>& s);
  // Decodes the whole content of a swap file (header, then record).
  static T decode_record(std::span<const std::uint8_t> bytes);
  static void dispose(Residency<T>& taken) noexcept;
  struct Undecodable {};
  static std::string_view file_stem() noexcept {
    const std::string_view path = Traits::type_path;
    const std::size_t colon = path.rfind(':');
    return colon == std::string_view::npos ? path : path.substr(colon + 1);
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> free_list_;
};

// ---------------------------------------------------------------------------
// Convenience: the same operations through the handle's type.

template <class T>
Handle<T> insert(T object) {
  return Store<T>::instance().insert(std::move(object));
}

template <class T>
ReadGuard<T> read(const Handle<T>& h) {
  return Store<T>::instance().read(h);
}

template <class T>
  requires StoredTypeTraits<T>::writable
WriteGuard<T> write(const Handle<T>& h) {
  return Store<T>::instance().write(h);
}

// ---------------------------------------------------------------------------
// Handle

// Copying and destroying a handle with a filled cache is one atomic count change;
// both are inline so that guards and handle copies cost no call.
template <class T>
inline Handle<T>::Handle(const Handle& other) : idx_(other.idx_), gen_(other.gen_) {
  Slot<T>* s = other.slot_.load(std::memory_order_acquire);
  if (detail::ownership_neutral()) [[unlikely]] {
    slot_.store(s, std::memory_order_relaxed);
    owns_ = other.owns_;
    return;
  }
  if (s) [[likely]] {
    // A filled cache belongs to a handle owning a unit: the slot is live.
    s->count.fetch_add(1, std::memory_order_relaxed);
    slot_.store(s, std::memory_order_relaxed);
    owns_ = true;
    return;
  }
  Store<T>::instance().acquire_slow(other, *this);
}

template <class T>
inline Handle<T>::~Handle() {
  if (!owns_ || detail::ownership_neutral()) return;
  Slot<T>* s = slot_.load(std::memory_order_acquire);
  if (s && s->count.fetch_sub(1, std::memory_order_acq_rel) != 1) [[likely]] return;
  Store<T>::instance().release_slow(*this, s);
}

template <class T>
void Handle<T>::fmt_resolved(std::string& out, bool alternate) const {
  static_assert(HasDebugText<T>, "fmt_resolved needs StoredTypeTraits<T>::debug_text");
  std::string text;
  try {
    ReadGuard<T> guard = Store<T>::instance().read(*this);
    StoredTypeTraits<T>::debug_text(*guard, alternate, text);
  } catch (const Error&) {
    fmt_debug(out);
    return;
  }
  out += text;
}

// ---------------------------------------------------------------------------
// Store

template <class T>
Store<T>& Store<T>::instance() {
  static Store* const store = [] {
    StoreBase& base = StoreRegistry::instance().find_or_create(typeid(T), &Store::make);
    auto* typed = dynamic_cast<Store*>(&base);
    if (!typed) detail::internal_assertion("TypeId collision in registry");
    return typed;
  }();
  return *store;
}

template <class T>
Handle<T> Store<T>::insert(T object) {
  static_assert(StoredType<T>, "StoredTypeTraits<T> must provide type_path, writable, encode and decode");
  auto slot = std::make_unique<Slot<T>>(std::move(object));
  Slot<T>* raw = slot.get();
  std::unique_ptr<Slot<T>> old;  // the replaced Vacant record, freed after unlocking
  std::uint32_t idx;
  std::uint32_t gen;
  {
    std::lock_guard lock(mutex_);
    if (!free_list_.empty()) {
      idx = free_list_.back();
      free_list_.pop_back();
      Entry& e = entries_[idx];
      old = std::exchange(e.slot, std::move(slot));
      gen = ++e.gen;  // unsigned: 4294967295 wraps to 0
    } else {
      if (entries_.size() > 0xFFFFFFFFu) throw Error::message("store: no free slot index left");
      idx = static_cast<std::uint32_t>(entries_.size());
      gen = 1;
      entries_.push_back(Entry{std::move(slot), gen});
    }
  }
  return Handle<T>(idx, gen, raw, true);
}

template <class T>
Slot<T>* Store<T>::resolve_locked(const Handle<T>& h) noexcept {
  std::lock_guard lock(mutex_);
  Slot<T>* s = live_slot_locked(h);
  if (s && h.owns_) {
    // A concurrent first resolution of the same handle found the same slot.
    Slot<T>* expected = nullptr;
    h.slot_.compare_exchange_strong(expected, s, std::memory_order_release, std::memory_order_relaxed);
  }
  return s;
}

template <class T>
void Store<T>::acquire_slow(const Handle<T>& from, Handle<T>& to) noexcept {
  std::lock_guard lock(mutex_);
  Slot<T>* s = live_slot_locked(from);
  if (!s) return;
  // Under the store mutex: a concurrent last release cannot vacate the slot before
  // it sees this unit, since it re-checks the count under the same mutex.
  s->count.fetch_add(1, std::memory_order_relaxed);
  if (from.owns_) {
    Slot<T>* expected = nullptr;
    from.slot_.compare_exchange_strong(expected, s, std::memory_order_release, std::memory_order_relaxed);
  }
  to.slot_.store(s, std::memory_order_relaxed);
  to.owns_ = true;
}

template <class T>
inline Handle<T> Store<T>::acquire_checked(const Handle<T>& h) {
  Handle<T> copy(h);
  if (!copy.owns_) throw Error::stale_handle();
  return copy;
}

template <class T>
void Store<T>::release_slow(Handle<T>& h, Slot<T>* slot) noexcept {
  if (!slot) {
    slot = resolve_locked(h);
    if (!slot) return;  // stale: nothing to give back
    if (slot->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  }
  Residency<T> taken;  // Vacant
  {
    std::lock_guard lock(mutex_);
    if (h.idx_ >= entries_.size()) return;
    Entry& e = entries_[h.idx_];
    // A copy made meanwhile under this mutex may have revived the count.
    if (e.gen != h.gen_ || e.slot.get() != slot || slot->count.load(std::memory_order_acquire) != 0) return;
    slot->lock.lock_exclusive();
    taken.swap(slot->residency);
    slot->lock.unlock_exclusive();
    free_list_.push_back(h.idx_);
  }
  // From here the slot may be reused and freed by another thread.
  h.slot_.store(nullptr, std::memory_order_relaxed);
  h.owns_ = false;
  dispose(taken);
}

template <class T>
void Store<T>::dispose(Residency<T>& taken) noexcept {
  try {
    if (T* object = std::get_if<1>(&taken)) {
      if constexpr (HasReleaseCounts<T>) {
        try {
          Traits::release_counts(*object);
        } catch (...) {
        }
      }
      taken.template emplace<0>();  // destroys the object, releasing its handles
    } else if (SwappedOut* out = std::get_if<2>(&taken)) {
      std::vector<std::uint8_t> bytes;
      try {
        bytes = read_swap_file(out->path);
      } catch (const Error&) {
        return;  // the file stays, and so do the units its record names
      }
      T object = [&] {
        try {
          return decode_record(bytes);
        } catch (const Error&) {
          throw Undecodable{};  // the record's units stay counted, and its file stays
        }
      }();
      // Only a record that decoded is gone for good: a corrupt one keeps its file.
      remove_swap_file(out->path);
      if constexpr (HasReleaseCounts<T>) {
        try {
          Traits::release_counts(object);
        } catch (...) {
        }
      }
    }  // the object goes here, giving back its handles
  } catch (...) {
    // Release reports nothing.
  }
}

template <class T>
T Store<T>::decode_record(std::span<const std::uint8_t> bytes) {
  // The header is checked before a single field is read: a damaged record could
  // name a live object it never held.
  const std::span<const std::uint8_t> record = swap_file_record(bytes);
  // The handles read here own the units their record holds; if decoding fails
  // part-way, destroying what was read must give none of them back, since the file
  // still names them.
  detail::OwnershipNeutralScope neutral;
  RecordReader reader(record);
  return Traits::decode(reader);
}

template <class T>
void Store<T>::swap_in(Residency<T>& residency) {
  const SwappedOut* out = std::get_if<2>(&residency);
  if (!out) return;
  const std::string path = out->path;
  const std::vector<std::uint8_t> bytes = read_swap_file(path);
  T object = decode_record(bytes);
  residency.template emplace<1>(std::move(object));
  remove_swap_file(path);  // a failure leaves the file; the object is back all the same
}

template <class T>
inline ReadGuard<T> Store<T>::read(const Handle<T>& h) {
  Handle<T> copy = acquire_checked(h);
  Slot<T>* s = copy.slot_.load(std::memory_order_relaxed);
  s->lock.lock_shared();
  if (s->residency.index() == 2) [[unlikely]] read_back_shared(*s);
  return ReadGuard<T>(std::move(copy), s);
}

template <class T>
void Store<T>::read_back_shared(Slot<T>& s) {
  s.lock.unlock_shared();
  s.lock.lock_upgradable();
  // Another reader may have read it back while we waited.
  if (s.residency.index() == 2) {
    s.lock.upgrade();
    try {
      swap_in(s.residency);
    } catch (...) {
      s.lock.unlock_exclusive();
      throw;
    }
    s.lock.downgrade();
  } else {
    s.lock.downgrade_upgradable();
  }
}

template <class T>
WriteGuard<T> Store<T>::write(const Handle<T>& h)
  requires StoredTypeTraits<T>::writable
{
  Handle<T> copy = acquire_checked(h);
  Slot<T>* s = copy.slot_.load(std::memory_order_relaxed);
  s->lock.lock_exclusive();
  try {
    swap_in(s->residency);
  } catch (...) {
    s->lock.unlock_exclusive();
    throw;
  }
  return WriteGuard<T>(std::move(copy), s);
}

template <class T>
void Store<T>::swap_out(const Handle<T>& h) {
  // Before any cell lock: the swap-directory mutex is never held with another lock.
  const std::string dir = swap_dir();
  Handle<T> copy = acquire_checked(h);
  Slot<T>* s = copy.slot_.load(std::memory_order_relaxed);
  s->lock.lock_exclusive();
  struct Unlock {
    CellLock& lock;
    ~Unlock() { lock.unlock_exclusive(); }
  } unlock{s->lock};
  const T* object = std::get_if<1>(&s->residency);
  if (!object) return;
  RecordWriter writer;
  Traits::encode(*object, writer);
  SwappedOut out{write_new_swap_file(dir, file_stem(), writer.bytes())};
  // Free the object without giving back its units: the record now holds them.
  detail::OwnershipNeutralScope neutral;
  s->residency.template emplace<2>(std::move(out));
}

template <class T>
std::uint32_t Store<T>::use_count(const Handle<T>& h) {
  if (Slot<T>* s = h.slot_.load(std::memory_order_acquire)) return s->count.load(std::memory_order_acquire);
  std::lock_guard lock(mutex_);
  if (h.idx_ >= entries_.size() || entries_[h.idx_].gen != h.gen_) return 0;
  return entries_[h.idx_].slot->count.load(std::memory_order_acquire);
}

template <class T>
ResidencyKind Store<T>::residency(const Handle<T>& h) {
  Handle<T> copy = acquire_checked(h);
  Slot<T>* s = copy.slot_.load(std::memory_order_relaxed);
  s->lock.lock_shared();
  const auto kind = static_cast<ResidencyKind>(s->residency.index());
  s->lock.unlock_shared();
  return kind;
}

template <class T>
std::optional<std::string> Store<T>::swap_path(const Handle<T>& h) {
  Handle<T> copy = acquire_checked(h);
  Slot<T>* s = copy.slot_.load(std::memory_order_relaxed);
  s->lock.lock_shared();
  struct Unlock {
    CellLock& lock;
    ~Unlock() { lock.unlock_shared(); }
  } unlock{s->lock};
  if (const SwappedOut* out = std::get_if<2>(&s->residency)) return out->path;
  return std::nullopt;
}

template <class T>
std::size_t Store<T>::n_entries() {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

template <class T>
std::size_t Store<T>::n_free() {
  std::lock_guard lock(mutex_);
  return free_list_.size();
}

}  // namespace quenlith::store

#include "store/guard.hpp"
