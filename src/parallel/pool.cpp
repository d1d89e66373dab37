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
#include <oneapi/tbb/task_arena.h>

#include "parallel/chunk_range.hpp"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace quenlith::parallel {

namespace {

using detail::ChunkRange;

// The scheduler's own synchronisation lives in the system's oneTBB library, which is
// not built with ThreadSanitizer: under it, each loop states the two orderings it
// relies on, so that our chunks are checked against each other and nothing else.
// The caller's work is ordered before every chunk, every chunk before the loop
// returns; no chunk is ordered after another of the same loop (unless one starts
// a loop of its own before the other begins).
#if defined(__SANITIZE_THREAD__)
// A chunk acquires this on entry, before it reads anything of its loop (even the
// closure it runs): one tag for every loop.
char loop_start_tag;

struct LoopOrder {
  char done = 0;
  // `body` (the closure the chunks run) is made to escape first, so that the
  // compiler cannot move its construction after the release.
  template <class Body>
  void loop_starts(const Body& body) {
    asm volatile("" : : "g"(&body) : "memory");
    __tsan_release(&loop_start_tag);
  }
  static void chunk_begins() { __tsan_acquire(&loop_start_tag); }
  void chunk_ends() { __tsan_release(&done); }
  void loop_returns() { __tsan_acquire(&done); }
};
#else
struct LoopOrder {
  template <class Body>
  void loop_starts(const Body&) {}
  static void chunk_begins() {}
  void chunk_ends() {}
  void loop_returns() {}
};
#endif

// Reductions hand the pool ranges of at least this many minimum chunks.
constexpr Index kSerialChunks = 32;

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
  LoopOrder order;
  const auto run = [&](const ChunkRange& chunk) {
    LoopOrder::chunk_begins();
    if (!failure.makes_moot(chunk.begin())) {
      try {
        body(chunk.begin(), chunk.end());
      } catch (...) {
        failure.record(chunk.begin(), std::current_exception());
      }
    }
    order.chunk_ends();
  };
  order.loop_starts(run);
  tbb::parallel_for(ChunkRange(0, n, min_chunk), detail::BodyRef(run));
  order.loop_returns();
  failure.rethrow_if_any();
}

double sum_chunks(Index n, Index min_chunk, FunctionRef<double(Index, Index)> part) {
  // -0.0 is the exact additive identity (x + -0.0 == x for every x, -0.0 and NaN
  // included), so each leaf's value is exactly its part.
  return reduce_chunks(n, min_chunk, -0.0, part, [](double left, double right) { return left + right; });
}

double reduce_chunks(Index n, Index min_chunk, double identity, FunctionRef<double(Index, Index)> part,
                     double (*combine)(double, double)) {
  if (n == 0) return identity;
  FirstFailure failure;
  LoopOrder order;
  // The deterministic reduce splits every divisible range, whatever the number of
  // threads (it runs with a simple partitioner), and joins left and right: the
  // grouping depends only on n and min_chunk. The pool's tasks stop at ranges of
  // kSerialChunks minimum chunks; below that the same halving goes on within the
  // task (a plain recursion, left before right), so the tree is the one a task per
  // chunk would make, without a task per chunk.
  const Index min = std::max<Index>(min_chunk, 1);
  const Index task_min = min > std::numeric_limits<Index>::max() / kSerialChunks ? min : min * kSerialChunks;
  const auto tree = [&](const auto& self, Index begin, Index end) -> double {
    const Index m = end - begin;
    if (m / 2 < min) return part(begin, end);
    const Index mid = begin + m / 2;
    const double left = self(self, begin, mid);
    return combine(left, self(self, mid, end));
  };
  const auto run = [&](const ChunkRange& chunk, double init) -> double {
    LoopOrder::chunk_begins();
    double value = init;
    if (!failure.makes_moot(chunk.begin())) {
      try {
        value = combine(init, tree(tree, chunk.begin(), chunk.end()));
      } catch (...) {
        failure.record(chunk.begin(), std::current_exception());
      }
    }
    order.chunk_ends();
    return value;
  };
  order.loop_starts(run);
  double total = tbb::parallel_deterministic_reduce(ChunkRange(0, n, task_min), identity, run, combine);
  order.loop_returns();
  failure.rethrow_if_any();
  return total;
}

void isolated(FunctionRef<void()> f) {
  tbb::this_task_arena::isolate([&] { f(); });
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
