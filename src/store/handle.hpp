#pragma once
// Handle<T>: a counted, generational reference to one stored object.
//
// A handle names a slot of `Store<T>` by index (`idx`) and generation (`gen`) and
// owns one unit of that slot's handle count, like std::shared_ptr: copying adds a
// unit, destroying removes one, moving transfers it. When the last unit goes the
// object is taken out of its slot and destroyed (outside every lock), which in turn
// destroys the handles it holds; the slot index is reused later with the next
// generation, so an old handle then resolves to the stale-handle error.
//
// Exceptions to "owns one unit": a copy of a stale handle owns nothing (copying and
// destroying it change no count), and so do default-constructed and moved-from
// handles (idx 4294967295, gen 0). A handle read from a swap record owns the unit
// its object counted for it when written out.
//
// The slot cache is set once: filled by `Store::insert`, by copies of live handles
// and at the first resolution of a record handle; a filled cache makes copying,
// destroying and guarding lock-free (one atomic count change). Only handles that own
// a unit fill their cache, so a cached slot is always live.
//
// Equality compares (idx, gen) only. Handles may be copied, destroyed and sent
// between threads freely; one handle object may be read from several threads at once.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "store/stored_type.hpp"

namespace quenlith::store {

template <class T>
struct Slot;
template <class T>
class Store;
class RecordReader;

namespace detail {

// While positive on a thread, handle copies are plain copies and handle
// destruction gives back nothing. Set only around decoding a record (a failed decode
// must give back none of the units its file still names) and around freeing an
// object that is being written out (its units stay with the record).
[[gnu::tls_model("initial-exec")]] inline thread_local int t_ownership_neutral = 0;

class OwnershipNeutralScope {
 public:
  OwnershipNeutralScope() noexcept { ++t_ownership_neutral; }
  ~OwnershipNeutralScope() { --t_ownership_neutral; }
  OwnershipNeutralScope(const OwnershipNeutralScope&) = delete;
  OwnershipNeutralScope& operator=(const OwnershipNeutralScope&) = delete;
};

inline bool ownership_neutral() noexcept { return t_ownership_neutral > 0; }

}  // namespace detail

template <class T>
class Handle {
 public:
  static constexpr std::uint32_t kNullIdx = 0xFFFFFFFFu;

  // A handle naming nothing and owning nothing; resolving it is a stale handle.
  Handle() noexcept = default;
  Handle(const Handle& other);
  Handle(Handle&& other) noexcept
      : idx_(std::exchange(other.idx_, kNullIdx)),
        gen_(std::exchange(other.gen_, 0)),
        slot_(other.slot_.load(std::memory_order_relaxed)),
        owns_(std::exchange(other.owns_, false)) {
    // No read-modify-write: nobody else may use a handle while it is moved from, and
    // an exchange would cost a locked instruction on every guard taken.
    other.slot_.store(nullptr, std::memory_order_relaxed);
  }
  Handle& operator=(const Handle& other) {
    Handle copy(other);
    swap(copy);
    return *this;
  }
  Handle& operator=(Handle&& other) noexcept {
    Handle taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~Handle();

  std::uint32_t idx() const noexcept { return idx_; }
  std::uint32_t gen() const noexcept { return gen_; }
  // Whether this handle holds a unit of its slot's count.
  bool owns() const noexcept { return owns_; }

  friend bool operator==(const Handle& a, const Handle& b) noexcept { return a.idx_ == b.idx_ && a.gen_ == b.gen_; }

  // The bare text "Handle<{type path}>{ idx: {}, gen: {} }"; reads no store. The
  // same one-line text serves the alternate (multi-line) form.
  std::string debug_text() const {
    return fmt::format("Handle<{}>{{ idx: {}, gen: {} }}", StoredTypeTraits<T>::type_path, idx_, gen_);
  }
  void fmt_debug(std::string& out) const { out += debug_text(); }
  // The object's own debug text (multi-line exactly when `alternate`), taken under a
  // read guard; the bare text when the guard cannot be had. Needs
  // StoredTypeTraits<T>::debug_text.
  void fmt_resolved(std::string& out, bool alternate) const;

  void swap(Handle& other) noexcept {
    std::swap(idx_, other.idx_);
    std::swap(gen_, other.gen_);
    Slot<T>* mine = slot_.load(std::memory_order_relaxed);
    slot_.store(other.slot_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    other.slot_.store(mine, std::memory_order_relaxed);
    std::swap(owns_, other.owns_);
  }

 private:
  friend class Store<T>;
  friend class RecordReader;

  Handle(std::uint32_t idx, std::uint32_t gen, Slot<T>* slot, bool owns) noexcept
      : idx_(idx), gen_(gen), slot_(slot), owns_(owns) {}

  std::uint32_t idx_ = kNullIdx;
  std::uint32_t gen_ = 0;
  // Set-once cache of the resolved slot; only ever filled in owning handles.
  mutable std::atomic<Slot<T>*> slot_{nullptr};
  bool owns_ = false;
};

}  // namespace quenlith::store

template <class T>
struct std::hash<quenlith::store::Handle<T>> {
  std::size_t operator()(const quenlith::store::Handle<T>& h) const noexcept {
    return std::hash<std::uint64_t>{}((std::uint64_t{h.idx()} << 32) | h.gen());
  }
};

// `fmt::format("{}", handle)` gives the bare text.
template <class T>
struct fmt::formatter<quenlith::store::Handle<T>> : fmt::formatter<std::string_view> {
  template <class Ctx>
  auto format(const quenlith::store::Handle<T>& h, Ctx& ctx) const {
    const std::string text = h.debug_text();
    return fmt::formatter<std::string_view>::format(text, ctx);
  }
};

// The member functions that need the store are defined there.
#include "store/store.hpp"
