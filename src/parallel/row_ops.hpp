#pragma once
// Data-parallel operations over flat value arrays and lists of index rows.
//
// A value array holds whole rows of `ncomp` consecutive doubles: component c of row r
// is at r * ncomp + c. The arrays are borrowed for the length of the call only
// (exclusively by the updates, shared by the reductions).
//
// Chunks handed to the pool (see pool.hpp for the halving rule):
// - row operations: rows, at least max(1, PAR_MIN_LEN / ncomp) rows per chunk;
// - value-wise operations: values, at least PAR_MIN_LEN per chunk;
// - par_sort_dedup_rows: index rows, at least 1 per chunk.
// Inside a chunk items are handled in increasing order. Every update writes each
// value from exactly one thread, so its result does not depend on the threads.
// The sums keep eight running sums in a chunk, each started at -0.0: term k of the
// chunk (counted from its start) goes to sum k mod 8, and the eight are joined as
// ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)); chunks are combined as left +
// right along the fixed halving tree. The result depends on the array alone, so it
// is bit-identical for every number of threads (independent additions keep both
// adders busy, where one running sum would wait on each addition in turn). An
// empty array sums to -0.0.
//
// None of these fails on valid input. A component index outside a row (only possible
// when the array is not a whole number of rows, which callers never hand over) is an
// internal error, thrown as Error with the operation's name.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"

namespace quenlith::parallel {

// The minimum chunk, in values, of every value-wise loop and the basis of the row minimum.
inline constexpr std::size_t PAR_MIN_LEN = 256;

// Minimum chunk in rows for rows of `ncomp` values: max(1, floor(256 / ncomp)).
std::size_t row_min_chunk(std::size_t ncomp);

// Plain stateless functions: called concurrently from several worker threads.
using BinaryOp = double (*)(double value, double x);
using UnaryFn = double (*)(double value);

// Two doubles as one value of the compiler's generic vectors, the width of the
// baseline x86-64 registers: each lane gets the same IEEE operation its scalar
// would, so a loop over pairs gives the bits of the loop over values.
using Double2 = double __attribute__((vector_size(16)));
inline Double2 load2(const double* p) noexcept {
  Double2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, Double2 v) noexcept { std::memcpy(p, &v, sizeof v); }

// row[comp] += x, -= x, *= x, /= x or = x, in every row. ncomp >= 1, comp < ncomp.
void par_component_add(std::span<double> values, std::size_t ncomp, std::size_t comp, double x);
void par_component_sub(std::span<double> values, std::size_t ncomp, std::size_t comp, double x);
void par_component_mul(std::span<double> values, std::size_t ncomp, std::size_t comp, double x);
void par_component_div(std::span<double> values, std::size_t ncomp, std::size_t comp, double x);
void par_component_set(std::span<double> values, std::size_t ncomp, std::size_t comp, double x);

// v = op(v, x), v = f(v), v = v * t, v = v * (1 - t) for every value.
void par_scalar_op(std::span<double> values, BinaryOp op, double x);
void par_map_values(std::span<double> values, UnaryFn f);
void par_lerp_scale(std::span<double> values, double t);
void par_lerp_scale_complement(std::span<double> values, double t);

// Sum of v * v over every value.
double par_sum_of_squares(std::span<const double> values);
// Sum over rows of (sum over `selection`, in its order, of row[i] * row[i]); each row's
// partial sum starts at -0.0. A repeated index counts again. Rows are max(1, ncomp) wide.
double par_sum_of_squares_components(std::span<const double> values, std::size_t ncomp,
                                     std::span<const std::size_t> selection);
// Sum over rows of row[comp]. ncomp >= 1, comp < ncomp.
double par_component_sum(std::span<const double> values, std::size_t ncomp, std::size_t comp);

// Sum over rows of (sum over `pairs` (ia, ib), in order, of a_row[ia] * b_row[ib]),
// a's rows `na` wide and b's `nb` wide, as many rows as a has (b has at least as
// many); each row's partial sum starts at -0.0 (a single pair's is its product).
// Chunks of row_min_chunk(na) rows.
double par_dot_pairs(std::span<const double> a, std::size_t na, std::span<const double> b, std::size_t nb,
                     std::span<const std::pair<std::size_t, std::size_t>> pairs);

// The extremes that pass over NaN: a NaN loses against a number, two NaNs give NaN.
// `a` is the running result, `b` the next value; among equal values the later one
// is kept, so the result of a sequence does not depend on how it is grouped.
inline double max_ignoring_nan(double a, double b) { return a > b ? a : (std::isnan(b) ? a : b); }
inline double min_ignoring_nan(double a, double b) { return a < b ? a : (std::isnan(b) ? a : b); }
// row[comp] of every row combined by min_ignoring_nan or max_ignoring_nan; NaN for
// no row (the identity of both). ncomp >= 1, comp < ncomp.
double par_component_min(std::span<const double> values, std::size_t ncomp, std::size_t comp);
double par_component_max(std::span<const double> values, std::size_t ncomp, std::size_t comp);

// Streaming loops fetch the lines they will read, and those they will write, ahead
// of the line they are at: 2 KiB ahead into the first cache level and 16 KiB ahead
// into the second. On one core the hardware's own prefetch keeps too few lines in
// flight for loops this light, and a store waits for its line to be fetched. Always
// inlined: a call that only prefetches counts as having no effect, and the
// compiler would drop it.
[[gnu::always_inline]] inline void read_ahead(const double* p) noexcept {
  __builtin_prefetch(p + 256, 0, 3);
  __builtin_prefetch(p + 2048, 0, 2);
}
[[gnu::always_inline]] inline void write_ahead(double* p) noexcept {
  __builtin_prefetch(p + 256, 1, 3);
  __builtin_prefetch(p + 2048, 1, 2);
}

// out[i] = f(in[i]) for every value (in and out as long; they may be the same
// array); chunks of at least PAR_MIN_LEN values. f must be safe to call from
// several threads. An f that also takes a Double2 (and gives one, lane by lane
// the bits of its scalar form) is called on pairs.
template <class F>
void par_transform(std::span<const double> in, std::span<double> out, F f) {
  const double* const src = in.data();
  double* const dst = out.data();
  for_chunks(in.size(), PAR_MIN_LEN, [src, dst, f](Index begin, Index end) {
    // Locals, not the captures: a store through `o` could otherwise be taken to
    // change them, and they would be read again after every store.
    const double* const s = src;
    double* const o = dst;
    const F g = f;
    Index i = begin;
    if constexpr (std::is_invocable_r_v<Double2, const F&, Double2>) {
      for (; i + 8 <= end; i += 8) {
        read_ahead(s + i);
        write_ahead(o + i);
        const Double2 x0 = g(load2(s + i)), x1 = g(load2(s + i + 2));
        const Double2 x2 = g(load2(s + i + 4)), x3 = g(load2(s + i + 6));
        store2(o + i, x0);
        store2(o + i + 2, x1);
        store2(o + i + 4, x2);
        store2(o + i + 6, x3);
      }
    }
    for (; i < end; ++i) o[i] = g(s[i]);
  });
}
// out[i] = f(a[i], b[i]) for every value (all as long as a; out may be a or b); on
// pairs as par_transform.
template <class F>
void par_transform2(std::span<const double> a, std::span<const double> b, std::span<double> out, F f) {
  const double* const src_a = a.data();
  const double* const src_b = b.data();
  double* const dst = out.data();
  for_chunks(a.size(), PAR_MIN_LEN, [src_a, src_b, dst, f](Index begin, Index end) {
    const double* const pa = src_a;
    const double* const pb = src_b;
    double* const o = dst;
    const F g = f;
    Index i = begin;
    if constexpr (std::is_invocable_r_v<Double2, const F&, Double2, Double2>) {
      for (; i + 8 <= end; i += 8) {
        read_ahead(pa + i);
        read_ahead(pb + i);
        write_ahead(o + i);
        const Double2 x0 = g(load2(pa + i), load2(pb + i)), x1 = g(load2(pa + i + 2), load2(pb + i + 2));
        const Double2 x2 = g(load2(pa + i + 4), load2(pb + i + 4)), x3 = g(load2(pa + i + 6), load2(pb + i + 6));
        store2(o + i, x0);
        store2(o + i + 2, x1);
        store2(o + i + 4, x2);
        store2(o + i + 6, x3);
      }
    }
    for (; i < end; ++i) o[i] = g(pa[i], pb[i]);
  });
}

// A set of item positions as bits: item i is bit i % 64 of word i / 64 (bits past
// the last item are clear).
using ItemBits = std::vector<std::uint64_t>;
// Items 0 to n - 1, every one set.
inline ItemBits all_items(std::size_t n) {
  ItemBits bits((n + 63) / 64, ~std::uint64_t{0});
  if (n % 64 != 0) bits.back() = (std::uint64_t{1} << (n % 64)) - 1;
  return bits;
}

// The `width` entries of every item whose bit is set, in item order: item i is
// src[i * width, i * width + width) (src holds whole items, as many as the bits
// cover or fewer, never an item with a set bit beyond). Counted per block of
// items, then copied block by block to its place: the same list for any number of
// threads.
std::vector<std::uint32_t> par_gather_set(const ItemBits& bits, std::span<const std::uint32_t> src, std::size_t width);

// Sorts every row ascending and removes repeated entries (rows shrink in place).
void par_sort_dedup_rows(std::vector<std::vector<std::uint64_t>>& rows);

}  // namespace quenlith::parallel
