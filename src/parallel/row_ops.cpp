#include "parallel/row_ops.hpp"

#include <algorithm>

#include "base/error.hpp"
#include "parallel/pool.hpp"

namespace quenlith::parallel {

namespace {

std::size_t row_count(std::size_t len, std::size_t ncomp) { return (len + ncomp - 1) / ncomp; }

// Position of row[comp], checked against the row's own length (the last row of an
// array that is not a whole number of rows is short).
std::size_t checked_position(const char* op, std::size_t len, std::size_t ncomp, std::size_t row,
                             std::size_t comp) {
  const std::size_t start = row * ncomp;
  const std::size_t row_len = std::min(ncomp, len - start);
  QUENLITH_VERIFY(comp < row_len, "{}: component {} outside a row of {} value(s)", op, comp, row_len);
  return start + comp;
}

// The updates write a zone's values, which their callers hold under the zone's write
// guard: their loops run isolated (see `isolated`).
template <class Update>
void component_update(const char* op, std::span<double> values, std::size_t ncomp, std::size_t comp,
                      Update update) {
  QUENLITH_VERIFY(ncomp >= 1, "{}: row width must be at least 1", op);
  const std::size_t len = values.size();
  isolated([&] {
    for_chunks(row_count(len, ncomp), row_min_chunk(ncomp), [&](Index begin, Index end) {
      for (Index r = begin; r < end; ++r) {
        double& v = values[checked_position(op, len, ncomp, r, comp)];
        v = update(v);
      }
    });
  });
}

template <class Update>
void value_update(std::span<double> values, Update update) {
  isolated([&] {
    for_chunks(values.size(), PAR_MIN_LEN, [&](Index begin, Index end) {
      for (Index i = begin; i < end; ++i) values[i] = update(values[i]);
    });
  });
}

}  // namespace

std::size_t row_min_chunk(std::size_t ncomp) {
  return std::max<std::size_t>(1, PAR_MIN_LEN / std::max<std::size_t>(ncomp, 1));
}

void par_component_add(std::span<double> values, std::size_t ncomp, std::size_t comp, double x) {
  component_update("par_component_add", values, ncomp, comp, [x](double v) { return v + x; });
}

void par_component_sub(std::span<double> values, std::size_t ncomp, std::size_t comp, double x) {
  component_update("par_component_sub", values, ncomp, comp, [x](double v) { return v - x; });
}

void par_component_mul(std::span<double> values, std::size_t ncomp, std::size_t comp, double x) {
  component_update("par_component_mul", values, ncomp, comp, [x](double v) { return v * x; });
}

void par_component_div(std::span<double> values, std::size_t ncomp, std::size_t comp, double x) {
  component_update("par_component_div", values, ncomp, comp, [x](double v) { return v / x; });
}

void par_component_set(std::span<double> values, std::size_t ncomp, std::size_t comp, double x) {
  component_update("par_component_set", values, ncomp, comp, [x](double) { return x; });
}

void par_scalar_op(std::span<double> values, BinaryOp op, double x) {
  value_update(values, [op, x](double v) { return op(v, x); });
}

void par_map_values(std::span<double> values, UnaryFn f) {
  value_update(values, [f](double v) { return f(v); });
}

void par_lerp_scale(std::span<double> values, double t) {
  value_update(values, [t](double v) { return v * t; });
}

void par_lerp_scale_complement(std::span<double> values, double t) {
  const double s = 1.0 - t;  // formed once, so every value sees the same factor
  value_update(values, [s](double v) { return v * s; });
}

double par_sum_of_squares(std::span<const double> values) {
  // Four running sums inside a chunk (value i goes to sum i mod 4, counted from the
  // chunk's start), joined as (s0 + s1) + (s2 + s3): independent additions keep the
  // pipeline full, and the order stays fixed by the chunk alone.
  return sum_chunks(values.size(), PAR_MIN_LEN, [&](Index begin, Index end) {
    double s[4] = {-0.0, -0.0, -0.0, -0.0};
    const double* v = values.data();
    Index i = begin;
    for (; i + 4 <= end; i += 4) {
      s[0] += v[i] * v[i];
      s[1] += v[i + 1] * v[i + 1];
      s[2] += v[i + 2] * v[i + 2];
      s[3] += v[i + 3] * v[i + 3];
    }
    for (Index k = 0; i < end; ++i, ++k) s[k] += v[i] * v[i];
    return (s[0] + s[1]) + (s[2] + s[3]);
  });
}

double par_sum_of_squares_components(std::span<const double> values, std::size_t ncomp,
                                     std::span<const std::size_t> selection) {
  const std::size_t width = std::max<std::size_t>(1, ncomp);
  const std::size_t len = values.size();
  return sum_chunks(row_count(len, width), row_min_chunk(width), [&](Index begin, Index end) {
    double sum = -0.0;
    for (Index r = begin; r < end; ++r) {
      double row_sum = -0.0;
      for (std::size_t i : selection) {
        const double v = values[checked_position("par_sum_of_squares_components", len, width, r, i)];
        row_sum += v * v;
      }
      sum += row_sum;
    }
    return sum;
  });
}

double par_component_sum(std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  QUENLITH_VERIFY(ncomp >= 1, "{}: row width must be at least 1", "par_component_sum");
  const std::size_t len = values.size();
  return sum_chunks(row_count(len, ncomp), row_min_chunk(ncomp), [&](Index begin, Index end) {
    double sum = -0.0;
    for (Index r = begin; r < end; ++r) sum += values[checked_position("par_component_sum", len, ncomp, r, comp)];
    return sum;
  });
}

double par_dot_pairs(std::span<const double> a, std::size_t na, std::span<const double> b, std::size_t nb,
                     std::span<const std::pair<std::size_t, std::size_t>> pairs) {
  QUENLITH_VERIFY(na >= 1 && nb >= 1, "{}: row width must be at least 1", "par_dot_pairs");
  const std::size_t rows = row_count(a.size(), na);
  QUENLITH_VERIFY(row_count(b.size(), nb) >= rows, "{}: {} row(s) against {}", "par_dot_pairs", rows,
                  row_count(b.size(), nb));
  // Positions are checked once, on the first and the last row (only the last can be
  // short), so the loop below reads without a test per value.
  if (rows > 0)
    for (const std::size_t r : {std::size_t(0), rows - 1})
      for (const auto& [ia, ib] : pairs) {
        (void)checked_position("par_dot_pairs", a.size(), na, r, ia);
        (void)checked_position("par_dot_pairs", b.size(), nb, r, ib);
      }
  const double* pa = a.data();
  const double* pb = b.data();
  // Row i of a chunk goes to running sum i mod 4, the sums joined as (s0 + s1) +
  // (s2 + s3), as in par_sum_of_squares: four independent chains instead of one.
  const auto chunk = [&](Index begin, Index end, auto row) {
    double s[4] = {-0.0, -0.0, -0.0, -0.0};
    Index r = begin;
    for (; r + 4 <= end; r += 4) {
      s[0] += row(r);
      s[1] += row(r + 1);
      s[2] += row(r + 2);
      s[3] += row(r + 3);
    }
    for (Index k = 0; r < end; ++r, ++k) s[k] += row(r);
    return (s[0] + s[1]) + (s[2] + s[3]);
  };
  if (pairs.size() == 1) {
    // One pair: the row's sum -0.0 + product is the product itself.
    const std::size_t ia = pairs[0].first, ib = pairs[0].second;
    return sum_chunks(rows, row_min_chunk(na), [&](Index begin, Index end) {
      return chunk(begin, end, [&](Index r) { return pa[r * na + ia] * pb[r * nb + ib]; });
    });
  }
  return sum_chunks(rows, row_min_chunk(na), [&](Index begin, Index end) {
    return chunk(begin, end, [&](Index r) {
      double row_sum = -0.0;
      for (const auto& [ia, ib] : pairs) row_sum += pa[r * na + ia] * pb[r * nb + ib];
      return row_sum;
    });
  });
}

namespace {

template <double (*Combine)(double, double)>
double component_reduce(const char* op, std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  QUENLITH_VERIFY(ncomp >= 1, "{}: row width must be at least 1", op);
  const std::size_t len = values.size();
  const std::size_t rows = row_count(len, ncomp);
  if (rows > 0) (void)checked_position(op, len, ncomp, rows - 1, comp);  // every row holds comp
  const double* data = values.data();
  return reduce_chunks(
      rows, row_min_chunk(ncomp), std::nan(""),
      [&](Index begin, Index end) {
        double acc = data[begin * ncomp + comp];
        for (Index r = begin + 1; r < end; ++r) acc = Combine(acc, data[r * ncomp + comp]);
        return acc;
      },
      Combine);
}

}  // namespace

double par_component_min(std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  return component_reduce<min_ignoring_nan>("par_component_min", values, ncomp, comp);
}

double par_component_max(std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  return component_reduce<max_ignoring_nan>("par_component_max", values, ncomp, comp);
}

void par_sort_dedup_rows(std::vector<std::vector<std::uint64_t>>& rows) {
  for_chunks(rows.size(), 1, [&](Index begin, Index end) {
    for (Index r = begin; r < end; ++r) {
      auto& row = rows[r];
      if (row.size() < 2) continue;
      std::sort(row.begin(), row.end());
      row.erase(std::unique(row.begin(), row.end()), row.end());
    }
  });
}

}  // namespace quenlith::parallel
