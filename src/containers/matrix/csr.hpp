#pragma once
// Csr: the compressed-row form of a matrix, the one sparse format that finalized
// matrices, the products and the solvers read.
//
// Arrays (N = number of stored entries):
//   offsets  n_rows + 1 values, offsets[0] = 0, non-decreasing, offsets[n_rows] = N;
//            row r holds entries [offsets[r], offsets[r+1])
//   cols     N column indices, each below n_cols, strictly increasing within a row;
//            32-bit whenever n_cols <= 2^32 (every index then fits), else 64-bit
//   values   N doubles, one per column index; explicit zeros may be stored
//
// Built by `csr_from_triplets_parallel` (counting sort by row, stable per-row sort
// by column, runs of equal columns summed in list order): the result is the same
// bits for any number of threads.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <span>
#include <variant>
#include <vector>

#include "containers/matrix/pod_array.hpp"

namespace quenlith::containers::matrix {

struct Csr {
  std::uint64_t n_rows = 0;
  std::uint64_t n_cols = 0;
  PodArray<std::uint64_t> offsets{0};
  std::variant<PodArray<std::uint32_t>, PodArray<std::uint64_t>> cols;
  PodArray<double> values;

  // An n_rows x n_cols form without entries.
  static Csr empty(std::uint64_t n_rows, std::uint64_t n_cols);
  // Whether column indices fit 32 bits for this many columns.
  static bool narrow_columns(std::uint64_t n_cols) noexcept { return n_cols <= (std::uint64_t{1} << 32); }

  std::uint64_t nnz() const noexcept { return values.size(); }
  std::uint64_t col(std::uint64_t k) const noexcept {
    return std::visit([k](const auto& c) -> std::uint64_t { return c[k]; }, cols);
  }
  std::uint64_t row_begin(std::uint64_t r) const noexcept { return offsets[r]; }
  std::uint64_t row_end(std::uint64_t r) const noexcept { return offsets[r + 1]; }

  // Checks the invariants above; the description of the first broken one, else
  // nothing.
  std::optional<std::string> invalid() const;
  // Row-major n_rows x n_cols array of the stored values (0.0 elsewhere).
  std::vector<double> to_dense() const;
  // y = A x, rows in parallel; each y[r] adds its row's products in column order,
  // starting from 0.0. x must hold n_cols values (the caller checks).
  std::vector<double> mul_dense(std::span<const double> x) const;
  // The value at (r, c) when stored, else nothing (binary search in row r).
  std::optional<double> find(std::uint64_t r, std::uint64_t c) const noexcept;
  // A copy with every value passed through `scale`.
  Csr scaled(double (*scale)(double value, double s), double s) const;
};

// Position of entry (r, c) in `cols` / `values`. r must be a row of the form; an
// absent pair is an internal error: Error::message "scatter: entry (r, c) absent
// from the CSR pattern".
std::uint64_t csr_position(const Csr& csr, std::uint64_t r, std::uint64_t c);

// One list of (row, column, value) triplets. When `row_map` is not empty the
// triplet's row is row_map[row] (likewise for columns), and every value is
// multiplied by `factor`. Triplets are taken in list order.
struct TripletSource {
  std::span<const std::uint32_t> rows;
  std::span<const std::uint32_t> cols;
  std::span<const double> values;
  std::span<const std::uint64_t> row_map;
  std::span<const std::uint64_t> col_map;
  double factor = 1.0;
};

// The compressed rows of the sources' triplets, sources in order, each in list
// order: counted by row, placed by a stable counting sort, each row sorted stably
// by column (rows in parallel, ranges halved at the middle row while they hold at
// least 4096 entries and 2 rows), runs of equal columns summed in list order (zero
// values and zero sums are stored). Every mapped index must be in range (the callers
// build them so). A form that fails validation throws
// "csr_from_triplets_parallel: {}".
Csr csr_from_triplets_parallel(std::uint64_t n_rows, std::uint64_t n_cols, std::span<const TripletSource> sources);

// Compressed rows written one row after the other: push a row's entries with
// strictly increasing columns below n_cols, then end_row(); finish() after the
// n_rows-th row.
class CsrBuilder {
 public:
  CsrBuilder(std::uint64_t n_rows, std::uint64_t n_cols, std::uint64_t nnz_hint = 0);
  void push(std::uint64_t col, double value) {
    cols_.push_back(col);
    values_.push_back(value);
  }
  void end_row() { offsets_.push_back(cols_.size()); }
  // One whole row from (column, value) entries in any order: sorted stably by
  // column, equal columns summed in list order, then the row ended.
  void push_row(std::span<std::pair<std::uint64_t, double>> entries);
  // The form; a row count other than n_rows or a broken invariant throws
  // "csr_builder: {}".
  Csr finish();

 private:
  std::uint64_t n_rows_;
  std::uint64_t n_cols_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint64_t> cols_;
  std::vector<double> values_;
};

// Aᵀ: entry (r, c) of `a` at (c, r), stored values kept (zeros included).
Csr csr_transpose(const Csr& a);
// A·B (a.n_cols == b.n_rows, else "csr_product: {}×{} times {}×{}"). Each output
// entry sums its products in increasing k of A's row; a position is stored when at
// least one product reaches it, even if the sum is zero.
Csr csr_product(const Csr& a, const Csr& b);

}  // namespace quenlith::containers::matrix
