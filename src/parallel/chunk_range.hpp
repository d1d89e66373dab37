#pragma once
// The range type of our loops, as oneTBB splits it. Only src/parallel/pool.cpp
// includes it (it names TBB's split tag). A header of its own so that ThreadSanitizer
// reports on it are told apart by file (scripts/tsan.supp): the scheduler hands it
// between threads with synchronisation that sanitizer cannot see.
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

}  // namespace quenlith::parallel::detail
