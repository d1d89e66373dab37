#include "parallel/pool.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/partitioner.h>

namespace quenlith::parallel {

namespace {

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

// The failure of the chunk with the smallest begin seen so far.
class FirstFailure {
 public:
  static constexpr Index kNone = std::numeric_limits<Index>::max();

  // A chunk lying after a known failure cannot change the reported error.
  bool makes_moot(Index begin) const { return begin > first_.load(std::memory_order_relaxed); }

  void record(Index begin, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (begin < first_.load(std::memory_order_relaxed)) {
      error_ = std::move(error);
      first_.store(begin, std::memory_order_relaxed);
    }
  }

  void rethrow_if_any() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::atomic<Index> first_{kNone};
  std::mutex mutex_;
  std::exception_ptr error_;
};

}  // namespace

void for_chunks(Index n, Index min_chunk, FunctionRef<void(Index, Index)> body) {
  if (n == 0) return;
  FirstFailure failure;
  tbb::parallel_for(ChunkRange(0, n, min_chunk), [&](const ChunkRange& chunk) {
    if (failure.makes_moot(chunk.begin())) return;
    try {
      body(chunk.begin(), chunk.end());
    } catch (...) {
      failure.record(chunk.begin(), std::current_exception());
    }
  });
  failure.rethrow_if_any();
}

double sum_chunks(Index n, Index min_chunk, FunctionRef<double(Index, Index)> part) {
  if (n == 0) return -0.0;
  FirstFailure failure;
  // The deterministic reduce splits every divisible range, whatever the number of
  // threads (it runs with a simple partitioner), and joins left + right: the
  // grouping of the additions depends only on n and min_chunk. -0.0 is the exact
  // additive identity (x + -0.0 == x for every x, -0.0 and NaN included), so each
  // leaf's value is exactly its part.
  double total = tbb::parallel_deterministic_reduce(
      ChunkRange(0, n, min_chunk), -0.0,
      [&](const ChunkRange& chunk, double init) -> double {
        if (failure.makes_moot(chunk.begin())) return init;
        try {
          return init + part(chunk.begin(), chunk.end());
        } catch (...) {
          failure.record(chunk.begin(), std::current_exception());
          return init;
        }
      },
      [](double left, double right) { return left + right; });
  failure.rethrow_if_any();
  return total;
}

Index max_threads() {
  return tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
}

struct ThreadLimit::Impl {
  tbb::global_control control;
};

ThreadLimit::ThreadLimit(Index n)
    : impl_(new Impl{tbb::global_control(tbb::global_control::max_allowed_parallelism, std::max<Index>(n, 1))}) {}

ThreadLimit::~ThreadLimit() = default;

}  // namespace quenlith::parallel
