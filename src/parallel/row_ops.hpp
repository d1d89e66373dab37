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
// Reductions start each chunk at -0.0, add one term per item in order and combine
// chunks as left + right along the fixed halving tree: their result is
// bit-identical for every number of threads, and for fewer than twice the minimum
// chunk it is exactly the left-to-right sum from -0.0 (par_sum_of_squares and
// par_dot_pairs keep four interleaved sums in a chunk, see there). An empty array sums to -0.0.
//
// None of these fails on valid input. A component index outside a row (only possible
// when the array is not a whole number of rows, which callers never hand over) is an
// internal error, thrown as Error with the operation's name.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
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

// Sum of v * v over every value; inside a chunk in four interleaved running sums
// (value i of the chunk into sum i mod 4), joined as (s0 + s1) + (s2 + s3).
double par_sum_of_squares(std::span<const double> values);
// Sum over rows of (sum over `selection`, in its order, of row[i] * row[i]); each row's
// partial sum starts at -0.0. A repeated index counts again. Rows are max(1, ncomp) wide.
double par_sum_of_squares_components(std::span<const double> values, std::size_t ncomp,
                                     std::span<const std::size_t> selection);
// Sum over rows of row[comp]. ncomp >= 1, comp < ncomp.
double par_component_sum(std::span<const double> values, std::size_t ncomp, std::size_t comp);

// Sum over rows of (sum over `pairs` (ia, ib), in order, of a_row[ia] * b_row[ib]),
// a's rows `na` wide and b's `nb` wide, as many rows as a has (b has at least as
// many); each row's partial sum starts at -0.0, and inside a chunk row i goes to
// running sum i mod 4, joined as (s0 + s1) + (s2 + s3). Chunks of row_min_chunk(na) rows.
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

// out[i] = f(in[i]) for every value (in and out as long; they may be the same
// array); chunks of at least PAR_MIN_LEN values. f must be safe to call from
// several threads.
template <class F>
void par_transform(std::span<const double> in, std::span<double> out, F f) {
  for_chunks(in.size(), PAR_MIN_LEN, [&](Index begin, Index end) {
    for (Index i = begin; i < end; ++i) out[i] = f(in[i]);
  });
}
// out[i] = f(a[i], b[i]) for every value (all as long as a; out may be a or b).
template <class F>
void par_transform2(std::span<const double> a, std::span<const double> b, std::span<double> out, F f) {
  for_chunks(a.size(), PAR_MIN_LEN, [&](Index begin, Index end) {
    for (Index i = begin; i < end; ++i) out[i] = f(a[i], b[i]);
  });
}

// Sorts every row ascending and removes repeated entries (rows shrink in place).
void par_sort_dedup_rows(std::vector<std::vector<std::uint64_t>>& rows);

}  // namespace quenlith::parallel
