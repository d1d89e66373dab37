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
// chunk it is exactly the left-to-right sum from -0.0. An empty array sums to -0.0.
//
// None of these fails on valid input. A component index outside a row (only possible
// when the array is not a whole number of rows, which callers never hand over) is an
// internal error, thrown as Error with the operation's name.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Sum of v * v over every value.
double par_sum_of_squares(std::span<const double> values);
// Sum over rows of (sum over `selection`, in its order, of row[i] * row[i]); each row's
// partial sum starts at -0.0. A repeated index counts again. Rows are max(1, ncomp) wide.
double par_sum_of_squares_components(std::span<const double> values, std::size_t ncomp,
                                     std::span<const std::size_t> selection);
// Sum over rows of row[comp]. ncomp >= 1, comp < ncomp.
double par_component_sum(std::span<const double> values, std::size_t ncomp, std::size_t comp);

// Sorts every row ascending and removes repeated entries (rows shrink in place).
void par_sort_dedup_rows(std::vector<std::vector<std::uint64_t>>& rows);

}  // namespace quenlith::parallel
