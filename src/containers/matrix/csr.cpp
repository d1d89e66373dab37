#include "containers/matrix/csr.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "parallel/pool.hpp"
#include "base/error.hpp"

namespace quenlith::containers::matrix {

using parallel::Index;

namespace {

// Rows are sorted by ranges halved at their middle row while a range holds at least
// this many entries (and two rows); smaller ranges run row after row on one thread.
constexpr std::uint64_t kSortRangeEntries = 4096;
// A source is split into placement chunks of at least this many triplets, and into no
// more chunks than keep all their per-row counters (4 bytes a row each) within one
// byte per triplet, a sixteenth of the source itself: small sources are placed by
// one thread, straight into the running row cursors.
constexpr std::uint64_t kMinPlaceChunk = std::uint64_t{1} << 16;

std::uint64_t map_index(std::span<const std::uint64_t> map, std::uint64_t i) noexcept {
  return map.empty() ? i : map[i];
}

// How many placement chunks a source of n triplets gets.
std::uint64_t place_chunks(std::uint64_t n, std::uint64_t n_rows) {
  const std::uint64_t by_threads = 2 * std::max<std::uint64_t>(parallel::max_threads(), 1);
  const std::uint64_t by_size = n / kMinPlaceChunk;
  const std::uint64_t by_counters = n / std::max<std::uint64_t>(4 * n_rows, 1);
  const std::uint64_t chunks = std::max<std::uint64_t>(1, std::min({by_threads, by_size, by_counters, std::uint64_t{256}}));
  // Per-chunk counters are 32-bit: a chunk that could put 2^32 triplets in one row
  // is left to the single-chunk path, whose cursors are 64-bit.
  return n / chunks >= (std::uint64_t{1} << 32) ? 1 : chunks;
}

// The triplets of chunk k of K of a source of n: [n*k/K, n*(k+1)/K).
std::uint64_t chunk_start(std::uint64_t n, std::uint64_t k, std::uint64_t chunks) noexcept {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(n) * k) / chunks);
}

// counts[k * n_rows + r] = triplets of chunk k that land in row r.
std::vector<std::uint32_t> count_chunks(const TripletSource& s, std::uint64_t n_rows, std::uint64_t chunks) {
  const std::uint64_t n = s.rows.size();
  std::vector<std::uint32_t> counts(chunks * n_rows, 0);
  parallel::for_chunks(chunks, 1, [&](Index b, Index e) {
    for (Index k = b; k < e; ++k) {
      std::uint32_t* c = counts.data() + k * n_rows;
      for (std::uint64_t t = chunk_start(n, k, chunks), end = chunk_start(n, k + 1, chunks); t < end; ++t)
        ++c[map_index(s.row_map, s.rows[t])];
    }
  });
  return counts;
}

// `counts` is the source's count_chunks result, or empty for a one-chunk source.
template <class Col>
void place_source(const TripletSource& s, std::uint64_t n_rows, std::vector<std::uint32_t> counts,
                  std::span<std::uint64_t> cursor, Col* cols, double* values) {
  const std::uint64_t n = s.rows.size();
  const std::uint64_t chunks = counts.empty() ? 1 : counts.size() / std::max<std::uint64_t>(n_rows, 1);
  if (chunks == 1) {
    for (std::uint64_t t = 0; t < n; ++t) {
      const std::uint64_t pos = cursor[map_index(s.row_map, s.rows[t])]++;
      cols[pos] = static_cast<Col>(map_index(s.col_map, s.cols[t]));
      values[pos] = s.values[t] * s.factor;
    }
    return;
  }
  // Counting per chunk, then each chunk's first slot in every row: chunks keep their
  // order within a row, so the placement is stable whatever the number of chunks.
  // Slots are kept relative to the row's cursor (a row never holds 2^32 entries from
  // one source: the caller sends such sources to the one-chunk path).
  parallel::for_chunks(n_rows, 4096, [&](Index b, Index e) {
    for (Index r = b; r < e; ++r) {
      std::uint32_t run = 0;
      for (std::uint64_t k = 0; k < chunks; ++k) {
        const std::uint32_t c = counts[k * n_rows + r];
        counts[k * n_rows + r] = run;
        run += c;
      }
    }
  });
  parallel::for_chunks(chunks, 1, [&](Index b, Index e) {
    for (Index k = b; k < e; ++k) {
      std::uint32_t* slot = counts.data() + k * n_rows;
      for (std::uint64_t t = chunk_start(n, k, chunks), end = chunk_start(n, k + 1, chunks); t < end; ++t) {
        const std::uint64_t r = map_index(s.row_map, s.rows[t]);
        const std::uint64_t pos = cursor[r] + slot[r]++;
        cols[pos] = static_cast<Col>(map_index(s.col_map, s.cols[t]));
        values[pos] = s.values[t] * s.factor;
      }
    }
  });
  // After placing, the last chunk's slot of a row is the source's count in it.
  const std::uint32_t* last = counts.data() + (chunks - 1) * n_rows;
  parallel::for_chunks(n_rows, 4096, [&](Index b, Index e) {
    for (Index r = b; r < e; ++r) cursor[r] += last[r];
  });
}

struct SortBuffers {
  std::vector<std::uint64_t> keys;
  std::vector<double> values;
  // Open-addressing table of the distinct columns of one row: slot -> index into
  // keys/values, kEmptySlot when free. Only the slots a row used are reset after it.
  std::vector<std::uint32_t> table;
  std::vector<std::uint32_t> used;
};

constexpr std::uint32_t kEmptySlot = ~std::uint32_t{0};

// Sorts row entries [begin, end) stably by column and sums runs of equal columns,
// writing the compressed row from `out` on (out <= begin: the write never passes
// the read). Returns the compressed length.
template <class Col>
std::uint64_t sort_compress_row(Col* cols, double* values, std::uint64_t begin, std::uint64_t end,
                                std::uint64_t out, SortBuffers& buf) {
  const std::uint64_t n = end - begin;
  bool increasing = true;
  for (std::uint64_t k = begin + 1; k < end && increasing; ++k) increasing = cols[k - 1] < cols[k];
  if (increasing) {
    if (out != begin) {
      std::memmove(cols + out, cols + begin, n * sizeof(Col));
      std::memmove(values + out, values + begin, n * sizeof(double));
    }
    return n;
  }
  if constexpr (sizeof(Col) == 4) {
    // Repeated columns are summed first, each into its first occurrence (the order in
    // which a stable sort would add them), and only the distinct columns are sorted,
    // as (column, position) keys: a row of an assembled operator repeats most of its
    // columns several times.
    unsigned bits = 4;
    while ((std::uint64_t{1} << bits) < 2 * n) ++bits;
    if (buf.table.size() < (std::size_t{1} << bits)) buf.table.assign(std::size_t{1} << bits, kEmptySlot);
    const std::uint32_t mask = (std::uint32_t{1} << bits) - 1;
    buf.keys.clear();
    buf.values.clear();
    buf.used.clear();
    for (std::uint64_t k = begin; k < end; ++k) {
      const std::uint32_t c = static_cast<std::uint32_t>(cols[k]);
      std::uint32_t h = static_cast<std::uint32_t>(c * 2654435761u) >> (32 - bits);
      for (;; h = (h + 1) & mask) {
        const std::uint32_t slot = buf.table[h];
        if (slot == kEmptySlot) {
          buf.table[h] = static_cast<std::uint32_t>(buf.keys.size());
          buf.used.push_back(h);
          buf.keys.push_back((std::uint64_t{c} << 32) | buf.keys.size());
          buf.values.push_back(values[k]);
          break;
        }
        if ((buf.keys[slot] >> 32) == c) {
          buf.values[slot] += values[k];
          break;
        }
      }
    }
    for (std::uint32_t h : buf.used) buf.table[h] = kEmptySlot;
    const std::uint64_t m = buf.keys.size();
    if (m <= 24) {
      for (std::uint64_t i = 1; i < m; ++i) {
        const std::uint64_t key = buf.keys[i];
        std::uint64_t j = i;
        for (; j > 0 && buf.keys[j - 1] > key; --j) buf.keys[j] = buf.keys[j - 1];
        buf.keys[j] = key;
      }
    } else {
      std::sort(buf.keys.begin(), buf.keys.end());
    }
    for (std::uint64_t i = 0; i < m; ++i) {
      cols[out + i] = static_cast<Col>(buf.keys[i] >> 32);
      values[out + i] = buf.values[buf.keys[i] & 0xFFFFFFFFu];
    }
    return m;
  } else {
    // Wide columns: a stable sort of (column, position) pairs, runs summed on the way out.
    buf.values.assign(values + begin, values + end);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs(n);
    for (std::uint64_t k = 0; k < n; ++k) pairs[k] = {cols[begin + k], k};
    std::sort(pairs.begin(), pairs.end());
    std::uint64_t len = 0;
    for (const auto& [col, k] : pairs) {
      if (len > 0 && cols[out + len - 1] == static_cast<Col>(col)) {
        values[out + len - 1] += buf.values[k];
      } else {
        cols[out + len] = static_cast<Col>(col);
        values[out + len] = buf.values[k];
        ++len;
      }
    }
    return len;
  }
}

// Row ranges of the per-row sort, in row order, by halving at the middle row.
void sort_ranges(std::span<const std::uint64_t> offsets, std::uint64_t r0, std::uint64_t r1,
                 std::vector<std::pair<std::uint64_t, std::uint64_t>>& out) {
  if (offsets[r1] - offsets[r0] >= kSortRangeEntries && r1 - r0 >= 2) {
    const std::uint64_t mid = r0 + (r1 - r0) / 2;
    sort_ranges(offsets, r0, mid, out);
    sort_ranges(offsets, mid, r1, out);
  } else {
    out.emplace_back(r0, r1);
  }
}

template <class Col>
void sort_and_compress(Csr& csr, PodArray<Col>& cols) {
  const std::uint64_t n_rows = csr.n_rows;
  if (n_rows == 0) return;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  sort_ranges(csr.offsets, 0, n_rows, ranges);
  std::vector<std::uint64_t> lengths(n_rows);
  std::vector<std::uint64_t> range_len(ranges.size());
  parallel::for_chunks(ranges.size(), 1, [&](Index b, Index e) {
    SortBuffers buf;
    for (Index q = b; q < e; ++q) {
      const auto [r0, r1] = ranges[q];
      std::uint64_t out = csr.offsets[r0];
      for (std::uint64_t r = r0; r < r1; ++r) {
        const std::uint64_t begin = csr.offsets[r];
        const std::uint64_t end = csr.offsets[r + 1];
        std::uint64_t len = end - begin;
        if (len >= 2) {
          len = sort_compress_row(cols.data(), csr.values.data(), begin, end, out, buf);
        } else if (len == 1 && out != begin) {
          cols[out] = cols[begin];
          csr.values[out] = csr.values[begin];
        }
        // Validation on the way: a compressed row is strictly increasing by
        // construction, so its last column is its largest.
        if (len > 0 && cols[out + len - 1] >= csr.n_cols)
          throw Error::message("csr_from_triplets_parallel: column index {} out of bounds (ncols={})",
                               std::uint64_t{cols[out + len - 1]}, csr.n_cols);
        lengths[r] = len;
        out += len;
      }
      range_len[q] = out - csr.offsets[r0];
    }
  });
  // Each range now sits compressed at the front of its old place [S_q, S_q + L_q);
  // it belongs at D_q = L_0 + ... + L_{q-1} <= S_q. Ranges move in rounds: a round
  // starts at the first unmoved range q0 and takes every following range whose
  // destination ends at or before S_q0, the lowest source still unmoved; no write of
  // a round then touches a source of the round, so its moves run in parallel. With
  // rows summed by a factor r the rounds grow by about r each.
  const std::size_t n_ranges = ranges.size();
  std::vector<std::uint64_t> dest(n_ranges + 1, 0);
  for (std::size_t q = 0; q < n_ranges; ++q) dest[q + 1] = dest[q] + range_len[q];
  auto source = [&](std::size_t q) { return csr.offsets[ranges[q].first]; };
  for (std::size_t q0 = 0; q0 < n_ranges;) {
    std::size_t q1 = q0 + 1;
    while (q1 < n_ranges && dest[q1] + range_len[q1] <= source(q0)) ++q1;
    parallel::for_chunks(q1 - q0, 1, [&](Index b, Index e) {
      for (Index q = q0 + b; q < q0 + e; ++q) {
        if (dest[q] == source(q) || range_len[q] == 0) continue;
        std::memmove(cols.data() + dest[q], cols.data() + source(q), range_len[q] * sizeof(Col));
        std::memmove(csr.values.data() + dest[q], csr.values.data() + source(q), range_len[q] * sizeof(double));
      }
    });
    q0 = q1;
  }
  for (std::uint64_t r = 0; r < n_rows; ++r) csr.offsets[r + 1] = csr.offsets[r] + lengths[r];
  const std::uint64_t nnz = csr.offsets[n_rows];
  // Trimmed in place: the tail goes back to the system without copying the head.
  cols.resize(nnz);
  csr.values.resize(nnz);
}

}  // namespace

Csr Csr::empty(std::uint64_t n_rows, std::uint64_t n_cols) {
  Csr csr;
  csr.n_rows = n_rows;
  csr.n_cols = n_cols;
  csr.offsets.assign(n_rows + 1, 0);
  if (narrow_columns(n_cols))
    csr.cols.emplace<0>();
  else
    csr.cols.emplace<1>();
  return csr;
}

std::optional<std::string> Csr::invalid() const {
  if (offsets.size() != n_rows + 1) return fmt::format("offsets has length {}, expected {}", offsets.size(), n_rows + 1);
  if (offsets[0] != 0) return std::string("offsets must start at 0");
  const std::uint64_t n = std::visit([](const auto& c) -> std::uint64_t { return c.size(); }, cols);
  if (n != values.size()) return fmt::format("{} column indices for {} values", n, values.size());
  if (offsets[n_rows] != n) return fmt::format("offsets end at {}, expected {}", offsets[n_rows], n);
  for (std::uint64_t r = 0; r < n_rows; ++r)
    if (offsets[r + 1] < offsets[r]) return fmt::format("offsets decrease at row {}", r);
  // Rows in parallel: the pool reports the failure of the lowest chunk, and each
  // chunk stops at its first bad row, so the first bad row is the one reported.
  struct Bad {
    std::string text;
  };
  try {
    std::visit(
        [&](const auto& cs) {
          parallel::for_chunks(n_rows, 4096, [&](Index b, Index e) {
            for (Index r = b; r < e; ++r) {
              for (std::uint64_t k = offsets[r]; k < offsets[r + 1]; ++k) {
                if (cs[k] >= n_cols) throw Bad{fmt::format("column index {} out of bounds (ncols={})", cs[k], n_cols)};
                if (k > offsets[r] && cs[k - 1] >= cs[k])
                  throw Bad{fmt::format("column indices of row {} are not strictly increasing", r)};
              }
            }
          });
        },
        cols);
  } catch (const Bad& bad) {
    return bad.text;
  }
  return std::nullopt;
}

std::vector<double> Csr::to_dense() const {
  std::vector<double> out(n_rows * n_cols, 0.0);
  for (std::uint64_t r = 0; r < n_rows; ++r)
    for (std::uint64_t k = offsets[r]; k < offsets[r + 1]; ++k) out[r * n_cols + col(k)] = values[k];
  return out;
}

std::vector<double> Csr::mul_dense(std::span<const double> x) const {
  std::vector<double> y(n_rows);
  std::visit(
      [&](const auto& c) {
        parallel::for_chunks(n_rows, 256, [&](Index b, Index e) {
          for (Index r = b; r < e; ++r) {
            double sum = 0.0;
            for (std::uint64_t k = offsets[r]; k < offsets[r + 1]; ++k) sum += values[k] * x[c[k]];
            y[r] = sum;
          }
        });
      },
      cols);
  return y;
}

std::optional<double> Csr::find(std::uint64_t r, std::uint64_t c) const noexcept {
  return std::visit(
      [&](const auto& cs) -> std::optional<double> {
        const auto first = cs.begin() + static_cast<std::ptrdiff_t>(offsets[r]);
        const auto last = cs.begin() + static_cast<std::ptrdiff_t>(offsets[r + 1]);
        const auto it = std::lower_bound(first, last, c, [](auto a, std::uint64_t b) { return a < b; });
        if (it == last || *it != c) return std::nullopt;
        return values[static_cast<std::uint64_t>(it - cs.begin())];
      },
      cols);
}

Csr Csr::scaled(double (*scale)(double, double), double s) const {
  Csr out = *this;
  for (double& v : out.values) v = scale(v, s);
  return out;
}

std::uint64_t csr_position(const Csr& csr, std::uint64_t r, std::uint64_t c) {
  const std::uint64_t pos = std::visit(
      [&](const auto& cs) -> std::uint64_t {
        const auto first = cs.begin() + static_cast<std::ptrdiff_t>(csr.offsets[r]);
        const auto last = cs.begin() + static_cast<std::ptrdiff_t>(csr.offsets[r + 1]);
        const auto it = std::lower_bound(first, last, c, [](auto a, std::uint64_t b) { return a < b; });
        if (it == last || *it != c) return ~std::uint64_t{0};
        return static_cast<std::uint64_t>(it - cs.begin());
      },
      csr.cols);
  if (pos == ~std::uint64_t{0}) throw Error::message("scatter: entry ({}, {}) absent from the CSR pattern", r, c);
  return pos;
}

Csr csr_from_triplets_parallel(std::uint64_t n_rows, std::uint64_t n_cols, std::span<const TripletSource> sources) {
  Csr csr = Csr::empty(n_rows, n_cols);
  // 1. Entries per row, then the row starts.
  std::vector<std::uint64_t> row_count(n_rows, 0);
  // The per-chunk counts of the large sources are kept for their placement.
  std::vector<std::vector<std::uint32_t>> source_counts(sources.size());
  for (std::size_t q = 0; q < sources.size(); ++q) {
    const TripletSource& s = sources[q];
    const std::uint64_t chunks = place_chunks(s.rows.size(), n_rows);
    if (chunks == 1) {
      for (std::uint64_t row : s.rows) ++row_count[map_index(s.row_map, row)];
      continue;
    }
    source_counts[q] = count_chunks(s, n_rows, chunks);
    const std::vector<std::uint32_t>& counts = source_counts[q];
    parallel::for_chunks(n_rows, 4096, [&](Index b, Index e) {
      for (Index r = b; r < e; ++r)
        for (std::uint64_t k = 0; k < chunks; ++k) row_count[r] += counts[k * n_rows + r];
    });
  }
  for (std::uint64_t r = 0; r < n_rows; ++r) csr.offsets[r + 1] = csr.offsets[r] + row_count[r];
  const std::uint64_t total = csr.offsets[n_rows];
  // 2. Stable placement, sources in order.
  std::vector<std::uint64_t> cursor(csr.offsets.begin(), csr.offsets.end() - 1);
  csr.values.resize(total);
  std::visit(
      [&](auto& cols) {
        cols.resize(total);
        for (std::size_t q = 0; q < sources.size(); ++q)
          place_source(sources[q], n_rows, std::move(source_counts[q]), cursor, cols.data(), csr.values.data());
        // 3-4. Per-row stable sort by column, runs summed.
        sort_and_compress(csr, cols);
      },
      csr.cols);
  // 5. Validated row by row during step 3-4 (each row sorted, summed and bounded
  // there; the offsets are a prefix sum of lengths), so no further pass is needed.
  return csr;
}

CsrBuilder::CsrBuilder(std::uint64_t n_rows, std::uint64_t n_cols, std::uint64_t nnz_hint)
    : n_rows_(n_rows), n_cols_(n_cols) {
  offsets_.reserve(n_rows + 1);
  offsets_.push_back(0);
  cols_.reserve(nnz_hint);
  values_.reserve(nnz_hint);
}

void CsrBuilder::push_row(std::span<std::pair<std::uint64_t, double>> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < entries.size();) {
    double sum = entries[i].second;
    std::size_t e = i + 1;
    for (; e < entries.size() && entries[e].first == entries[i].first; ++e) sum += entries[e].second;
    push(entries[i].first, sum);
    i = e;
  }
  end_row();
}

Csr CsrBuilder::finish() {
  if (offsets_.size() != n_rows_ + 1)
    throw Error::message("csr_builder: {} row(s) written, expected {}", offsets_.size() - 1, n_rows_);
  Csr csr = Csr::empty(n_rows_, n_cols_);
  for (std::uint64_t r = 0; r <= n_rows_; ++r) csr.offsets[r] = offsets_[r];
  std::visit(
      [&](auto& c) {
        c.resize(cols_.size());
        for (std::size_t k = 0; k < cols_.size(); ++k) c[k] = static_cast<std::remove_reference_t<decltype(c[k])>>(cols_[k]);
      },
      csr.cols);
  csr.values.resize(values_.size());
  if (!values_.empty()) std::memcpy(csr.values.data(), values_.data(), values_.size() * sizeof(double));
  if (std::optional<std::string> why = csr.invalid()) throw Error::message("csr_builder: {}", *why);
  return csr;
}

Csr csr_transpose(const Csr& a) {
  std::vector<std::uint64_t> count(a.n_cols + 1, 0);
  for (std::uint64_t k = 0; k < a.nnz(); ++k) ++count[a.col(k) + 1];
  for (std::uint64_t c = 0; c < a.n_cols; ++c) count[c + 1] += count[c];
  std::vector<std::uint64_t> rows(a.nnz());
  std::vector<double> values(a.nnz());
  // Rows in increasing order: every column of the result comes out sorted.
  std::vector<std::uint64_t> cursor(count.begin(), count.end() - 1);
  for (std::uint64_t r = 0; r < a.n_rows; ++r)
    for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) {
      const std::uint64_t at = cursor[a.col(k)]++;
      rows[at] = r;
      values[at] = a.values[k];
    }
  CsrBuilder out(a.n_cols, a.n_rows, a.nnz());
  for (std::uint64_t c = 0; c < a.n_cols; ++c) {
    for (std::uint64_t k = count[c]; k < count[c + 1]; ++k) out.push(rows[k], values[k]);
    out.end_row();
  }
  return out.finish();
}

Csr csr_product(const Csr& a, const Csr& b) {
  if (a.n_cols != b.n_rows)
    throw Error::message("csr_product: {}×{} times {}×{}", a.n_rows, a.n_cols, b.n_rows, b.n_cols);
  // Gustavson's row-by-row product with a dense accumulator over B's columns.
  constexpr std::uint64_t kUnset = ~std::uint64_t{0};
  std::vector<double> acc(b.n_cols, 0.0);
  std::vector<std::uint64_t> seen(b.n_cols, kUnset);
  std::vector<std::uint64_t> touched;
  CsrBuilder out(a.n_rows, b.n_cols, a.nnz() + b.nnz());
  for (std::uint64_t r = 0; r < a.n_rows; ++r) {
    touched.clear();
    for (std::uint64_t k = a.row_begin(r); k < a.row_end(r); ++k) {
      const double av = a.values[k];
      const std::uint64_t j = a.col(k);
      for (std::uint64_t l = b.row_begin(j); l < b.row_end(j); ++l) {
        const std::uint64_t c = b.col(l);
        if (seen[c] != r) {
          seen[c] = r;
          acc[c] = 0.0;
          touched.push_back(c);
        }
        acc[c] += av * b.values[l];
      }
    }
    std::sort(touched.begin(), touched.end());
    for (std::uint64_t c : touched) out.push(c, acc[c]);
    out.end_row();
  }
  return out.finish();
}

}  // namespace quenlith::containers::matrix
