#pragma once
// ReadGuard<T> and WriteGuard<T>: shared or exclusive access to one stored object.
//
//   ReadGuard<SubMesh> g = store::read(handle);    // g->field, *g
//   WriteGuard<Coords> w = store::write(handle);   // w->field = ...
//
// A guard holds the object's cell lock (shared / exclusive) and its own copy of the
// handle, so the object outlives every other handle while the guard lives. While a
// guard exists its object is Resident. Dropping a guard unlocks first and then
// destroys its handle copy (which may release the object: the release must not find
// the cell still locked).
//
// Write guards exist only for the writable stored types (a compile error otherwise).
// Guards are short-lived, released on the thread that took them, and movable, not
// copyable. A thread may hold several read guards on one object at once (also while
// another thread waits to write it); a read and a write guard, or two write guards,
// of one thread on one object throw Error::message instead of deadlocking.
#include <utility>

#include "store/handle.hpp"
#include "store/slot.hpp"

namespace quenlith::store {

template <class T>
class [[nodiscard]] ReadGuard {
 public:
  ReadGuard(ReadGuard&& other) noexcept
      : handle_(std::move(other.handle_)),
        slot_(std::exchange(other.slot_, nullptr)),
        object_(std::exchange(other.object_, nullptr)) {}
  ReadGuard& operator=(ReadGuard&& other) noexcept {
    if (this != &other) {
      unlock();
      slot_ = std::exchange(other.slot_, nullptr);
      object_ = std::exchange(other.object_, nullptr);
      handle_ = std::move(other.handle_);  // our old copy goes after our unlock
    }
    return *this;
  }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  ~ReadGuard() { unlock(); }  // then handle_ is destroyed

  const T& operator*() const noexcept { return *object_; }
  const T* operator->() const noexcept { return object_; }
  const T& get() const noexcept { return *object_; }
  // The guard's own copy of the handle.
  const Handle<T>& handle() const noexcept { return handle_; }

 private:
  friend class Store<T>;
  ReadGuard(Handle<T>&& handle, Slot<T>* slot) noexcept
      : handle_(std::move(handle)), slot_(slot), object_(std::get_if<1>(&slot->residency)) {
    if (!object_) detail::internal_assertion("ReadGuard over a non-resident slot");
  }
  void unlock() noexcept {
    if (slot_) slot_->lock.unlock_shared();
    slot_ = nullptr;
    object_ = nullptr;
  }

  Handle<T> handle_;
  Slot<T>* slot_;
  const T* object_;
};

template <class T>
class [[nodiscard]] WriteGuard {
  static_assert(StoredTypeTraits<T>::writable, "this stored type is never changed once stored: no write guard");

 public:
  WriteGuard(WriteGuard&& other) noexcept
      : handle_(std::move(other.handle_)),
        slot_(std::exchange(other.slot_, nullptr)),
        object_(std::exchange(other.object_, nullptr)) {}
  WriteGuard& operator=(WriteGuard&& other) noexcept {
    if (this != &other) {
      unlock();
      slot_ = std::exchange(other.slot_, nullptr);
      object_ = std::exchange(other.object_, nullptr);
      handle_ = std::move(other.handle_);
    }
    return *this;
  }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;
  ~WriteGuard() { unlock(); }

  T& operator*() const noexcept { return *object_; }
  T* operator->() const noexcept { return object_; }
  T& get() const noexcept { return *object_; }
  const Handle<T>& handle() const noexcept { return handle_; }

 private:
  friend class Store<T>;
  WriteGuard(Handle<T>&& handle, Slot<T>* slot) noexcept
      : handle_(std::move(handle)), slot_(slot), object_(std::get_if<1>(&slot->residency)) {
    if (!object_) detail::internal_assertion("WriteGuard over a non-resident slot");
  }
  void unlock() noexcept {
    if (slot_) slot_->lock.unlock_exclusive();
    slot_ = nullptr;
    object_ = nullptr;
  }

  Handle<T> handle_;
  Slot<T>* slot_;
  T* object_;
};

}  // namespace quenlith::store
