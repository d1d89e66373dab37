#pragma once
// Slot<T>: the record of one stored object, shared by its store's table and by the
// slot cache of every handle that resolved it.
//
// `residency` is guarded by `lock`: `Resident` (the object in memory), `SwappedOut`
// (the absolute path of the swap file holding its record) or `Vacant` (taken out
// when the count reached 0). `count` is the number of handle units; 1 when stored.
//
// Lifetime: the table owns the slot until the index is reused by a later insert.
// Every handle with a filled cache, and every guard (through its own handle copy),
// owns a unit, so a slot they point to is never Vacant and never replaced.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "store/cell_lock.hpp"

namespace quenlith::store {

struct Vacant {};
struct SwappedOut {
  std::string path;  // absolute, so that a later chdir cannot lose the object
};

enum class ResidencyKind : std::uint8_t { Vacant = 0, Resident = 1, SwappedOut = 2 };

// Index 0 Vacant, 1 Resident (the object itself), 2 SwappedOut.
template <class T>
using Residency = std::variant<Vacant, T, SwappedOut>;

template <class T>
struct Slot {
  explicit Slot(T&& object) : residency(std::in_place_index<1>, std::move(object)) {}

  // First, next to the lock's state word: a guard changes both, one cache line.
  std::atomic<std::uint32_t> count{1};
  CellLock lock;
  Residency<T> residency;
};

}  // namespace quenlith::store
