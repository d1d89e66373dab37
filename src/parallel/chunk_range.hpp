#pragma once
// What oneTBB copies into the tasks of our loops: the range type, as it splits it,
// and the reference to the loop's body. Only src/parallel/pool.cpp includes it (it
// names TBB's split tag). A header of its own so that ThreadSanitizer reports on
// these copies are told apart by file (scripts/tsan.supp): the scheduler makes them
// on the thread that splits, hands them between threads and reuses their memory,
// all with synchronisation that sanitizer cannot see.
#include <algorithm>

#include <oneapi/tbb/blocked_range.h>

#include "parallel/pool.hpp"

namespace quenlith::parallel::detail {

// [begin, end) with the halving rule: the left part keeps floor(m / 2) items and a
// range is divisible only while that left part would hold at least `min` items.
// We define it ourselves rather than rely on blocked_range's grain semantics so the
// rule is written in one place.
class ChunkRange {
 public:
  ChunkRange(Index begin, Index end, Index min) : begin_(begin), end_(end), min_(std::max<Index>(min, 1)) {}
  ChunkRange(ChunkRange& left, tbb::split)
      : begin_(left.begin_ + (left.end_ - left.begin_) / 2), end_(left.end_), min_(left.min_) {
    left.end_ = begin_;
  }
  bool empty() const { return begin_ >= end_; }
  bool is_divisible() const { return (end_ - begin_) / 2 >= min_; }
  Index begin() const { return begin_; }
  Index end() const { return end_; }

 private:
  Index begin_;
  Index end_;
  Index min_;
};

// A loop body as the scheduler holds it: a pointer to the caller's closure, which
// stays where the caller made it (before the loop starts, an ordering pool.cpp
// states to the sanitizer). Copied into every task split off; read only here.
template <class Body>
class BodyRef {
 public:
  explicit BodyRef(const Body& body) : body_(&body) {}
  void operator()(const ChunkRange& chunk) const { (*body_)(chunk); }

 private:
  const Body* body_;
};

}  // namespace quenlith::parallel::detail
