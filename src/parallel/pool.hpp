#pragma once
// The worker pool: chunked parallel loops and reductions over index ranges.
//
// Every loop hands the pool the range [0, n) with a minimum chunk length `min_chunk`
// (values below 1 count as 1). Chunks are made by halving: a range of m items is cut
// into a left part of floor(m / 2) items and a right part of the rest, and a range is
// cut only when its left half would still hold at least `min_chunk` items, so a
// chunk holds between min_chunk and 2 * min_chunk - 1 items (or all of them when
// n < 2 * min_chunk: then the whole range is one chunk).
//
// - `for_chunks`: the pool decides how far it cuts above the minimum (it depends on
//   its threads and on which are idle). Bodies that give each item a result of its
//   own are thus independent of the number of threads.
// - `sum_chunks`: always cut all the way down, whatever the number of threads, and
//   the partial sums combined as left + right at every cut. The grouping of the
//   additions is therefore fixed by n and min_chunk alone, and the sum is
//   bit-identical for 1, 2 or 64 threads.
//
// Errors: a body may throw (Error or anything else). The exception is caught
// in the worker; chunks lying after a failed chunk are skipped once the failure is
// seen, chunks before it still run. When the loop ends, the caller gets the exception
// of the failed chunk with the smallest begin. A body that handles its items in
// increasing order and stops at its first failure therefore reports the failure of
// the lowest failing item, as a plain sequential loop would, for any number of
// threads. Items already updated by other chunks stay updated.
//
// Bodies run on worker threads: they must not touch Python objects, take store or
// interpreter locks, or call the interrupt check (poll it between loops, on the
// calling thread). Loops may nest: a body may itself run a loop of this layer.
#include <cstddef>
#include <memory>

#include "parallel/function_ref.hpp"

namespace quenlith::parallel {

using Index = std::size_t;

// Runs body(begin, end) over contiguous chunks covering [0, n) exactly once, each
// chunk on one thread. Returns when every chunk has finished; rethrows as described
// above. n == 0 calls nothing.
void for_chunks(Index n, Index min_chunk, FunctionRef<void(Index begin, Index end)> body);

// Sum over the fixed chunks of [0, n): part(begin, end) returns the sum of one chunk
// (made by the caller in its own order from whatever start it chooses); the results
// are combined left + right along the fixed halving tree. n == 0 gives -0.0 and calls
// nothing.
double sum_chunks(Index n, Index min_chunk, FunctionRef<double(Index begin, Index end)> part);

// The same fixed tree with another combination: part(begin, end) gives one chunk's
// value, and values are combined as combine(left, right) at every cut. `identity`
// must satisfy combine(identity, v) == v bit for bit; it is the result for n == 0.
// The result depends on n and min_chunk alone, not on the threads.
double reduce_chunks(Index n, Index min_chunk, double identity, FunctionRef<double(Index begin, Index end)> part,
                     double (*combine)(double left, double right));

// Runs f() on the calling thread so that, while the loops it starts wait for their
// chunks, this thread runs only chunks of those loops (and of loops they nest), never
// a chunk of a loop that another thread started. A caller that holds a write guard
// starts its loops this way: otherwise, while it waits, it could pick up another
// caller's chunk that needs the guard it holds, and wait for itself. Exceptions of
// f pass through unchanged.
void isolated(FunctionRef<void()> f);

// Number of threads a loop started now may use.
Index max_threads();

// Limits the pool to at most `n` threads (n >= 1) while it lives, for every loop of
// the process. With several limits alive the smallest wins. Meant for tests and
// for callers that must run on one thread; not copyable nor movable.
class ThreadLimit {
 public:
  explicit ThreadLimit(Index n);
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quenlith::parallel
