#pragma once
// FlatMap: an open-addressing hash map with linear probing and a capacity fixed
// at construction, for the topology tools' large one-pass tables (facet keys,
// grid cells) where a node-based map spends most of its time in allocation and
// cache misses.
//
// Capacity: a power of two at least twice `expected` (at least 16); inserting
// more than `expected` distinct keys doubles it and re-inserts everything.
// Entries are never erased. Iteration (for_each) follows slot order, which
// depends on the hash: callers never let it reach an output unsorted.
// Key must be equality-comparable and default-constructible; Hash gives 64 bits.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quenlith::ops::mesher {

template <class Key, class Value, class Hash>
class FlatMap {
 public:
  explicit FlatMap(std::size_t expected = 0) { allocate(expected); }

  std::size_t size() const noexcept { return size_; }

  // Hints the processor to fetch the slot where a search for `key` starts.
  void prefetch(const Key& key) const noexcept { __builtin_prefetch(&slots_[home(key)]); }

  // The value of `key`, or nullptr.
  const Value* find(const Key& key) const noexcept {
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.used) return nullptr;
      if (s.key == key) return &s.value;
    }
  }
  Value* find(const Key& key) noexcept { return const_cast<Value*>(std::as_const(*this).find(key)); }

  // The value of `key`, inserted as `init` when absent; the bool tells whether it was.
  std::pair<Value*, bool> try_emplace(const Key& key, const Value& init = Value{}) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.used) {
        s.used = true;
        s.key = key;
        s.value = init;
        ++size_;
        return {&s.value, true};
      }
      if (s.key == key) return {&s.value, false};
    }
  }

  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_)
      if (s.used) f(s.key, s.value);
  }

 private:
  struct Slot {
    Key key{};
    Value value{};
    bool used = false;
  };

  std::size_t home(const Key& key) const noexcept { return static_cast<std::size_t>(Hash{}(key)) & mask_; }

  void allocate(std::size_t expected) {
    const std::size_t cap = std::bit_ceil(std::max<std::size_t>(2 * expected, 16));
    slots_.assign(cap, Slot{});
    mask_ = cap - 1;
    size_ = 0;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    allocate(old.size());
    for (Slot& s : old)
      if (s.used) try_emplace(s.key, s.value);
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// splitmix64's finaliser: spreads correlated keys (neighbouring ids, grid
// cells) over the whole table.
inline std::uint64_t mix64(std::uint64_t h) noexcept {
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 31;
  return h;
}

// The hash of a 64-bit word key (an edge's two 32-bit ends, a packed id).
struct WordHash {
  std::uint64_t operator()(std::uint64_t key) const noexcept { return mix64(key); }
};

}  // namespace quenlith::ops::mesher
