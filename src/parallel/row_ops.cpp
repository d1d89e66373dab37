#include "parallel/row_ops.hpp"

#include <algorithm>
#include <cstring>

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

namespace {

// The eight running sums of a chunk (see row_ops.hpp): pair(i) gives terms i and
// i + 1 as one Double2, one(i) term i alone, ahead(i) reads ahead of terms i to
// i + 7. Sums 2j and 2j + 1 are the two lanes of acc[j], so a pair starting at a
// multiple of 8 plus 2j goes whole to acc[j].
template <class Pair, class One, class Ahead>
double eight_sums(Index begin, Index end, Pair pair, One one, Ahead ahead) {
  const Double2 zero = {-0.0, -0.0};
  Double2 acc[4] = {zero, zero, zero, zero};
  Index i = begin;
  for (; i + 8 <= end; i += 8) {
    ahead(i);
    acc[0] += pair(i);
    acc[1] += pair(i + 2);
    acc[2] += pair(i + 4);
    acc[3] += pair(i + 6);
  }
  double s[8];
  for (int j = 0; j < 4; ++j) {
    s[2 * j] = acc[j][0];
    s[2 * j + 1] = acc[j][1];
  }
  for (Index k = 0; i < end; ++i, ++k) s[k] += one(i);
  return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// Reads ahead of the eight rows from r of an array of rows `ncomp` wide: their
// first four lines (rows wider than four values leave the rest to the hardware,
// which follows a steady stride well enough). Always inlined: a call that only
// prefetches counts as having no effect, and the compiler would drop it.
struct RowsAhead {
  const double* data;
  std::size_t ncomp;
  [[gnu::always_inline]] void operator()(Index r) const noexcept {
    const double* p = data + r * ncomp;
    read_ahead(p);
    if (ncomp > 1) read_ahead(p + 8);
    if (ncomp > 2) read_ahead(p + 16);
    if (ncomp > 3) read_ahead(p + 24);
  }
};

// Reads ahead of two arrays of rows at once (always inlined, as RowsAhead: a lambda
// that only prefetches is dropped as having no effect).
struct TwoRowsAhead {
  RowsAhead a, b;
  [[gnu::always_inline]] void operator()(Index r) const noexcept {
    a(r);
    b(r);
  }
};

// Every position read by a row loop, checked on the first and the last row (only
// the last can be short), so the loops below read without a test per value.
void check_rows(const char* op, std::size_t len, std::size_t ncomp, std::size_t rows,
                std::span<const std::size_t> positions) {
  if (rows == 0) return;
  for (const std::size_t r : {std::size_t(0), rows - 1})
    for (const std::size_t c : positions) (void)checked_position(op, len, ncomp, r, c);
}

}  // namespace

double par_sum_of_squares(std::span<const double> values) {
  const double* v = values.data();
  return sum_chunks(values.size(), PAR_MIN_LEN, [&](Index begin, Index end) {
    return eight_sums(
        begin, end,
        [v](Index i) {
          const Double2 x = load2(v + i);
          return x * x;
        },
        [v](Index i) { return v[i] * v[i]; }, RowsAhead{v, 1});
  });
}

double par_sum_of_squares_components(std::span<const double> values, std::size_t ncomp,
                                     std::span<const std::size_t> selection) {
  const std::size_t width = std::max<std::size_t>(1, ncomp);
  const std::size_t len = values.size();
  const std::size_t rows = row_count(len, width);
  check_rows("par_sum_of_squares_components", len, width, rows, selection);
  const double* v = values.data();
  const auto row = [&](Index r) {
    double row_sum = -0.0;
    for (const std::size_t i : selection) {
      const double x = v[r * width + i];
      row_sum += x * x;
    }
    return row_sum;
  };
  return sum_chunks(rows, row_min_chunk(width), [&](Index begin, Index end) {
    return eight_sums(begin, end, [&](Index r) { return Double2{row(r), row(r + 1)}; }, row, RowsAhead{v, width});
  });
}

double par_component_sum(std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  QUENLITH_VERIFY(ncomp >= 1, "{}: row width must be at least 1", "par_component_sum");
  const std::size_t len = values.size();
  const std::size_t rows = row_count(len, ncomp);
  const std::size_t at[] = {comp};
  check_rows("par_component_sum", len, ncomp, rows, at);
  const double* v = values.data() + comp;
  if (ncomp == 1)
    return sum_chunks(rows, row_min_chunk(1), [&](Index begin, Index end) {
      return eight_sums(
          begin, end, [v](Index r) { return load2(v + r); }, [v](Index r) { return v[r]; }, RowsAhead{v, 1});
    });
  return sum_chunks(rows, row_min_chunk(ncomp), [&](Index begin, Index end) {
    return eight_sums(
        begin, end, [&](Index r) { return Double2{v[r * ncomp], v[(r + 1) * ncomp]}; },
        [&](Index r) { return v[r * ncomp]; }, RowsAhead{v, ncomp});
  });
}

double par_dot_pairs(std::span<const double> a, std::size_t na, std::span<const double> b, std::size_t nb,
                     std::span<const std::pair<std::size_t, std::size_t>> pairs) {
  QUENLITH_VERIFY(na >= 1 && nb >= 1, "{}: row width must be at least 1", "par_dot_pairs");
  const std::size_t rows = row_count(a.size(), na);
  QUENLITH_VERIFY(row_count(b.size(), nb) >= rows, "{}: {} row(s) against {}", "par_dot_pairs", rows,
                  row_count(b.size(), nb));
  for (const auto& [ia, ib] : pairs) {
    check_rows("par_dot_pairs", a.size(), na, rows, std::span(&ia, 1));
    check_rows("par_dot_pairs", b.size(), nb, rows, std::span(&ib, 1));
  }
  const double* pa = a.data();
  const double* pb = b.data();
  if (pairs.size() == 1) {
    // One pair: the row's sum -0.0 + product is the product itself.
    const double* x = pa + pairs[0].first;
    const double* y = pb + pairs[0].second;
    if (na == 1 && nb == 1)
      return sum_chunks(rows, row_min_chunk(1), [&](Index begin, Index end) {
        return eight_sums(
            begin, end, [&](Index r) { return load2(x + r) * load2(y + r); }, [&](Index r) { return x[r] * y[r]; },
            TwoRowsAhead{{x, 1}, {y, 1}});
      });
    const auto one = [&](Index r) { return x[r * na] * y[r * nb]; };
    return sum_chunks(rows, row_min_chunk(na), [&](Index begin, Index end) {
      return eight_sums(begin, end, [&](Index r) { return Double2{one(r), one(r + 1)}; }, one,
                        TwoRowsAhead{{pa, na}, {pb, nb}});
    });
  }
  const auto row = [&](Index r) {
    double row_sum = -0.0;
    for (const auto& [ia, ib] : pairs) row_sum += pa[r * na + ia] * pb[r * nb + ib];
    return row_sum;
  };
  return sum_chunks(rows, row_min_chunk(na), [&](Index begin, Index end) {
    return eight_sums(begin, end, [&](Index r) { return Double2{row(r), row(r + 1)}; }, row,
                      TwoRowsAhead{{pa, na}, {pb, nb}});
  });
}

namespace {

// The extremes of a chunk. Combine is max_ignoring_nan or min_ignoring_nan; the
// sequential fold keeps, among the values equal to the extreme, the last one, and
// the first value when every value is NaN. The vector pass below finds the extreme
// value in four pairs of lanes (a NaN never replaces a lane); when that value is a
// non-zero number, only one double has it, so it is the fold's result bit for bit.
// A zero (which of -0.0 and +0.0 comes last decides the sign), an infinity or
// nothing at all in the lanes (an infinite start value cannot tell "no number"
// from "only infinities") are left to the sequential fold.
template <bool Max>
double chunk_extreme(const double* data, std::size_t stride, Index begin, Index end) {
  constexpr double start = Max ? -INFINITY : INFINITY;
  const auto at = [&](Index r) { return data[r * stride]; };
  const auto fold = [&] {
    double acc = at(begin);
    for (Index r = begin + 1; r < end; ++r)
      acc = Max ? max_ignoring_nan(acc, at(r)) : min_ignoring_nan(acc, at(r));
    return acc;
  };
  const Double2 init = {start, start};
  Double2 acc[4] = {init, init, init, init};
  const auto pair = [&](Index r) { return stride == 1 ? load2(data + r) : Double2{at(r), at(r + 1)}; };
  const auto take = [](Double2 a, Double2 v) {
    if constexpr (Max)
      return v > a ? v : a;
    else
      return v < a ? v : a;
  };
  const RowsAhead ahead{data, stride};
  Index r = begin;
  for (; r + 8 <= end; r += 8) {
    ahead(r);
    acc[0] = take(acc[0], pair(r));
    acc[1] = take(acc[1], pair(r + 2));
    acc[2] = take(acc[2], pair(r + 4));
    acc[3] = take(acc[3], pair(r + 6));
  }
  double best = start;
  for (const Double2& a : acc)
    for (int l = 0; l < 2; ++l) best = (Max ? a[l] > best : a[l] < best) ? a[l] : best;
  for (; r < end; ++r) best = (Max ? at(r) > best : at(r) < best) ? at(r) : best;
  if (best == 0.0 || std::isinf(best)) return fold();
  return best;
}

constexpr std::size_t kExtremePiece = 4096;

template <bool Max>
double component_reduce(const char* op, std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  QUENLITH_VERIFY(ncomp >= 1, "{}: row width must be at least 1", op);
  const std::size_t len = values.size();
  const std::size_t rows = row_count(len, ncomp);
  const std::size_t at[] = {comp};
  check_rows(op, len, ncomp, rows, at);  // every row holds comp
  const double* data = values.data() + comp;
  // The extreme does not depend on how the rows are grouped (see chunk_extreme):
  // pieces larger than the minimum spend less on their ends.
  return reduce_chunks(
      rows, std::max<std::size_t>(row_min_chunk(ncomp), kExtremePiece), std::nan(""),
      [&](Index begin, Index end) { return chunk_extreme<Max>(data, ncomp, begin, end); },
      Max ? max_ignoring_nan : min_ignoring_nan);
}

}  // namespace

double par_component_min(std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  return component_reduce<false>("par_component_min", values, ncomp, comp);
}

double par_component_max(std::span<const double> values, std::size_t ncomp, std::size_t comp) {
  return component_reduce<true>("par_component_max", values, ncomp, comp);
}

namespace {

// The set bits of a word, in straight arithmetic: the baseline x86-64 has no
// population count instruction, and the compiler's builtin becomes a library call
// per word.
std::size_t set_bits(std::uint64_t w) noexcept {
  w -= (w >> 1) & 0x5555555555555555u;
  w = (w & 0x3333333333333333u) + ((w >> 2) & 0x3333333333333333u);
  w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<std::size_t>((w * 0x0101010101010101u) >> 56);
}

}  // namespace

std::vector<std::uint32_t> par_gather_set(const ItemBits& bits, std::span<const std::uint32_t> src,
                                          std::size_t width) {
  constexpr std::size_t kBlockWords = 128;  // 8192 items per block: one count and one offset each
  const std::size_t n_words = bits.size();
  const std::size_t blocks = (n_words + kBlockWords - 1) / kBlockWords;
  std::vector<std::size_t> offset(blocks + 1, 0);
  const std::uint64_t* const w = bits.data();
  for_chunks(blocks, 1, [&](Index begin, Index end) {
    for (Index b = begin; b < end; ++b) {
      std::size_t count = 0;
      for (std::size_t i = b * kBlockWords, stop = std::min(n_words, i + kBlockWords); i < stop; ++i)
        count += set_bits(w[i]);
      offset[b + 1] = count;
    }
  });
  for (std::size_t b = 0; b < blocks; ++b) offset[b + 1] += offset[b];
  std::vector<std::uint32_t> out(offset[blocks] * width);
  const std::uint32_t* const in = src.data();
  const std::size_t n_items = width == 0 ? 0 : src.size() / width;
  std::uint32_t* const o = out.data();
  for_chunks(blocks, 1, [&](Index begin, Index end) {
    for (Index b = begin; b < end; ++b) {
      std::uint32_t* at = o + offset[b] * width;
      for (std::size_t i = b * kBlockWords, stop = std::min(n_words, i + kBlockWords); i < stop; ++i) {
        std::uint64_t word = w[i];
        const std::size_t first = i * 64;
        // A whole word set, or none, are the common cases of a selection that
        // follows the ordering of the items.
        if (word == ~std::uint64_t{0} && first + 64 <= n_items) {
          std::memcpy(at, in + first * width, 64 * width * sizeof(std::uint32_t));
          at += 64 * width;
          continue;
        }
        for (; word != 0; word &= word - 1) {
          const std::size_t item = first + static_cast<std::size_t>(__builtin_ctzll(word));
          QUENLITH_VERIFY(item < n_items, "{}: bit {} set past the {} item(s)", "par_gather_set", item, n_items);
          for (std::size_t j = 0; j < width; ++j) at[j] = in[item * width + j];
          at += width;
        }
      }
    }
  });
  return out;
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
