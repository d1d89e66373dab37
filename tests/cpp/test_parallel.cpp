// The worker-pool layer and the row operations built on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"

namespace {

using namespace quenlith::parallel;
using quenlith::Error;

std::vector<double> random_values(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> dist(-1e3, 1e3);
  std::vector<double> v(n);
  for (double& x : v) x = dist(rng) * std::pow(10.0, static_cast<int>(rng() % 9) - 4);
  return v;
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return same_bits(x, y);
         });
}

// The sum of one chunk, written out sequentially: eight running sums from -0.0,
// term k into sum k mod 8, joined as ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7)).
double leaf_sum(const std::vector<double>& terms, std::size_t begin, std::size_t end) {
  double s[8];
  std::fill(s, s + 8, -0.0);
  for (std::size_t i = begin; i < end; ++i) s[(i - begin) % 8] += terms[i];
  return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

// The halving tree written out sequentially: the grouping every reduction must follow.
double tree_sum(const std::vector<double>& terms, std::size_t begin, std::size_t end, std::size_t min) {
  const std::size_t n = end - begin;
  if (n / 2 < min) return leaf_sum(terms, begin, end);
  const std::size_t mid = begin + n / 2;
  return tree_sum(terms, begin, mid, min) + tree_sum(terms, mid, end, min);
}

const std::size_t kThreadCounts[] = {1, 2, 8};

TEST(ParallelPool, ChunksCoverRangeWithinBounds) {
  for (std::size_t threads : kThreadCounts) {
    ThreadLimit limit(threads);
    EXPECT_LE(max_threads(), threads);
    for (std::size_t n : {1u, 255u, 511u, 512u, 1000u, 100000u}) {
      std::mutex m;
      std::vector<std::pair<Index, Index>> chunks;
      for_chunks(n, 256, [&](Index b, Index e) {
        std::lock_guard lock(m);
        chunks.emplace_back(b, e);
      });
      std::sort(chunks.begin(), chunks.end());
      ASSERT_FALSE(chunks.empty());
      EXPECT_EQ(chunks.front().first, 0u);
      EXPECT_EQ(chunks.back().second, n);
      for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0) {
          EXPECT_EQ(chunks[i].first, chunks[i - 1].second);
        }
        const std::size_t len = chunks[i].second - chunks[i].first;
        if (n < 512) {
          EXPECT_EQ(len, n);  // fewer than twice the minimum: one chunk
        } else {
          EXPECT_GE(len, 256u);
        }
      }
    }
  }
}

TEST(ParallelPool, SumFollowsFixedHalvingTreeForEveryThreadCount) {
  const auto v = random_values(100003, 7);
  const double expected = tree_sum(v, 0, v.size(), 256);
  for (std::size_t threads : kThreadCounts) {
    ThreadLimit limit(threads);
    for (int repeat = 0; repeat < 5; ++repeat) {
      const double got = sum_chunks(v.size(), 256, [&](Index b, Index e) { return leaf_sum(v, b, e); });
      EXPECT_TRUE(same_bits(got, expected)) << threads << " threads: " << got << " vs " << expected;
    }
  }
  EXPECT_TRUE(same_bits(sum_chunks(0, 256, [](Index, Index) { return 1.0; }), -0.0));
}

// A body that fails at given items reports the lowest failing item, whatever the
// number of threads, like a sequential loop.
TEST(ParallelPool, FallibleLoopsReportLowestFailure) {
  const std::size_t n = 50000;
  for (std::size_t threads : kThreadCounts) {
    ThreadLimit limit(threads);
    for (int repeat = 0; repeat < 20; ++repeat) {
      std::vector<char> done(n, 0);
      try {
        for_chunks(n, 16, [&](Index b, Index e) {
          for (Index i = b; i < e; ++i) {
            if (i == 31337 || i == 4242 || i == 49999) throw Error::message("item {} failed", i);
            done[i] = 1;
          }
        });
        FAIL() << "expected an error";
      } catch (const Error& e) {
        EXPECT_EQ(e.text(), "item 4242 failed");
      }
      // Everything before the failure was done.
      EXPECT_TRUE(std::all_of(done.begin(), done.begin() + 4242, [](char c) { return c == 1; }));
    }
    try {
      sum_chunks(n, 16, [&](Index b, Index e) -> double {
        for (Index i = b; i < e; ++i)
          if (i % 1000 == 999) throw Error::message("part {}", i);
        return 1.0;
      });
      FAIL() << "expected an error";
    } catch (const Error& e) {
      EXPECT_EQ(e.text(), "part 999");
    }
  }
}

TEST(ParallelPool, NestedLoops) {
  ThreadLimit limit(8);
  std::vector<double> out(64, 0.0);
  for_chunks(out.size(), 1, [&](Index b, Index e) {
    for (Index i = b; i < e; ++i)
      out[i] = sum_chunks(1000 + i, 16, [&](Index lo, Index hi) { return static_cast<double>(hi - lo); });
  });
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], 1000.0 + i);
}

TEST(ParallelPool, ThreadLimitIsScoped) {
  const Index before = max_threads();
  {
    ThreadLimit one(1);
    EXPECT_EQ(max_threads(), 1u);
    {
      ThreadLimit two(2);
      EXPECT_EQ(max_threads(), 1u);  // the smallest live limit wins
    }
  }
  EXPECT_EQ(max_threads(), before);
}

// ---- Row operations -------------------------------------------------------------

TEST(RowOps, EdgeCases) {
  std::vector<double> empty;
  par_component_add(empty, 3, 1, 1.0);
  par_scalar_op(empty, [](double v, double x) { return v + x; }, 1.0);
  EXPECT_TRUE(same_bits(par_sum_of_squares(empty), -0.0));
  const std::size_t sel0[] = {0};
  EXPECT_TRUE(same_bits(par_sum_of_squares_components(empty, 2, sel0), -0.0));
  EXPECT_TRUE(same_bits(par_component_sum(empty, 2, 1), -0.0));

  std::vector<double> v = {1, 2, 3, 4};
  EXPECT_EQ(par_component_sum(v, 2, 1), 6.0);
  std::vector<double> w = {3, 4};
  EXPECT_EQ(par_sum_of_squares(w), 25.0);
  std::vector<double> u = {3, 4, 1, 2};
  const std::size_t sel[] = {0, 0};
  EXPECT_EQ(par_sum_of_squares_components(u, 2, sel), 20.0);

  std::vector<double> six(6 * 100);
  for (std::size_t i = 0; i < six.size(); ++i) six[i] = static_cast<double>(i);
  par_component_set(six, 6, 2, -1.0);
  for (std::size_t i = 0; i < six.size(); ++i) EXPECT_EQ(six[i], i % 6 == 2 ? -1.0 : static_cast<double>(i)) << i;

  EXPECT_EQ(row_min_chunk(1), 256u);
  EXPECT_EQ(row_min_chunk(2), 128u);
  EXPECT_EQ(row_min_chunk(3), 85u);
  EXPECT_EQ(row_min_chunk(4), 64u);
  EXPECT_EQ(row_min_chunk(6), 42u);
  EXPECT_EQ(row_min_chunk(9), 28u);
  EXPECT_EQ(row_min_chunk(129), 1u);
  EXPECT_EQ(row_min_chunk(256), 1u);
  EXPECT_EQ(row_min_chunk(300), 1u);
}

TEST(RowOps, ComponentUpdates) {
  std::vector<double> v = {1, 2, 3, 4, 5, 6};
  par_component_add(v, 3, 0, 10);
  EXPECT_EQ(v, (std::vector<double>{11, 2, 3, 14, 5, 6}));
  par_component_sub(v, 3, 1, 1);
  EXPECT_EQ(v, (std::vector<double>{11, 1, 3, 14, 4, 6}));
  par_component_mul(v, 3, 2, 2);
  EXPECT_EQ(v, (std::vector<double>{11, 1, 6, 14, 4, 12}));
  par_component_div(v, 3, 2, 4);
  EXPECT_EQ(v, (std::vector<double>{11, 1, 1.5, 14, 4, 3}));
  par_component_mul(v, 3, 1, NAN);
  EXPECT_TRUE(std::isnan(v[1]) && std::isnan(v[4]));
  EXPECT_EQ(v[0], 11.0);
  EXPECT_EQ(v[2], 1.5);
  // A component outside a short last row is an internal error, never a write out of bounds.
  std::vector<double> ragged = {1, 2, 3, 4, 5};
  EXPECT_THROW(par_component_add(ragged, 3, 2, 1.0), Error);
}

// Every chunk of a loop takes a guard (a thread-local flag here) and, holding it,
// runs an isolated inner loop. While a chunk waits for its inner loop, its thread
// must never start another chunk of the outer loop: that chunk would wait for the
// guard its own thread holds.
TEST(Pool, IsolatedLoopNeverRunsAnotherCallersChunk) {
  static thread_local bool holding = false;
  std::atomic<int> started_while_holding{0};
  std::atomic<std::uint64_t> items{0};
  for_chunks(256, 1, [&](Index, Index) {
    if (holding) ++started_while_holding;
    holding = true;
    isolated([&] {
      for_chunks(64, 1, [&](Index begin, Index end) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        items += end - begin;
      });
    });
    holding = false;
  });
  EXPECT_EQ(started_while_holding.load(), 0);
  EXPECT_EQ(items.load(), 256u * 64u);
}

TEST(Pool, IsolatedPassesExceptionsThrough) {
  EXPECT_THROW(isolated([] { for_chunks(1000, 1, [](Index b, Index) {
                 if (b == 500) throw Error::message("chunk {}", b);
               }); }),
               Error);
}

TEST(RowOps, ValueWise) {
  std::vector<double> v = {1, -2, 4};
  par_scalar_op(v, [](double a, double x) { return std::pow(a, x); }, 2.0);
  EXPECT_EQ(v, (std::vector<double>{1, 4, 16}));
  par_map_values(v, [](double a) { return std::sqrt(a); });
  EXPECT_EQ(v, (std::vector<double>{1, 2, 4}));
  par_lerp_scale(v, 0.5);
  EXPECT_EQ(v, (std::vector<double>{0.5, 1, 2}));
  par_lerp_scale_complement(v, 0.75);
  EXPECT_EQ(v, (std::vector<double>{0.125, 0.25, 0.5}));
}

TEST(RowOps, NanPropagationOnlyFromReadValues) {
  std::vector<double> v = {1, NAN, 2, 3};
  EXPECT_EQ(par_component_sum(v, 2, 0), 3.0);
  EXPECT_TRUE(std::isnan(par_component_sum(v, 2, 1)));
  EXPECT_TRUE(std::isnan(par_sum_of_squares(v)));
  const std::size_t sel[] = {0};
  EXPECT_EQ(par_sum_of_squares_components(v, 2, sel), 5.0);
  std::vector<double> inf = {INFINITY, -INFINITY};
  EXPECT_TRUE(std::isnan(par_component_sum(inf, 1, 0)));
}

TEST(RowOps, SmallZonesSumAsOneChunk) {
  const auto v = random_values(511, 3);
  const double expected = leaf_sum(v, 0, v.size());
  for (std::size_t threads : kThreadCounts) {
    ThreadLimit limit(threads);
    EXPECT_TRUE(same_bits(par_component_sum(v, 1, 0), expected));
  }
}

TEST(RowOps, BitIdenticalForEveryThreadCount) {
  const std::size_t ncomp = 6, rows = 20011;
  const auto base = random_values(ncomp * rows, 11);
  const std::size_t selection[] = {5, 0, 2, 0};

  struct Results {
    std::vector<double> updated;
    double sum_sq, sum_sel, comp_sum;
    std::vector<std::vector<std::uint64_t>> rows;
  };
  auto run = [&] {
    Results r;
    r.updated = base;
    par_component_add(r.updated, ncomp, 1, 0.1);
    par_component_div(r.updated, ncomp, 4, 3.0);
    par_scalar_op(r.updated, [](double a, double x) { return a * x - 1.0; }, 1.7);
    par_map_values(r.updated, [](double a) { return std::sin(a); });
    par_lerp_scale_complement(r.updated, 0.3);
    r.sum_sq = par_sum_of_squares(base);
    r.sum_sel = par_sum_of_squares_components(base, ncomp, selection);
    r.comp_sum = par_component_sum(base, ncomp, 3);
    std::mt19937_64 rng(5);
    r.rows.resize(3000);
    for (auto& row : r.rows) {
      row.resize(rng() % 12);
      for (auto& x : row) x = rng() % 8;
    }
    par_sort_dedup_rows(r.rows);
    return r;
  };

  // The reductions follow the fixed tree, not the order of a particular run.
  std::vector<double> sq(base.size()), comp(rows), sel(rows);
  for (std::size_t i = 0; i < base.size(); ++i) sq[i] = base[i] * base[i];
  for (std::size_t r = 0; r < rows; ++r) {
    comp[r] = base[r * ncomp + 3];
    double s = -0.0;
    for (std::size_t i : selection) s += base[r * ncomp + i] * base[r * ncomp + i];
    sel[r] = s;
  }

  std::optional<Results> first;
  for (std::size_t threads : kThreadCounts) {
    ThreadLimit limit(threads);
    const Results r = run();
    EXPECT_TRUE(same_bits(r.sum_sq, tree_sum(sq, 0, sq.size(), 256)));
    EXPECT_TRUE(same_bits(r.comp_sum, tree_sum(comp, 0, rows, row_min_chunk(ncomp))));
    EXPECT_TRUE(same_bits(r.sum_sel, tree_sum(sel, 0, rows, row_min_chunk(ncomp))));
    if (!first) {
      first = r;
      continue;
    }
    EXPECT_TRUE(same_bits(r.updated, first->updated)) << threads;
    EXPECT_EQ(r.rows, first->rows);
  }
  for (const auto& row : first->rows) EXPECT_TRUE(std::adjacent_find(row.begin(), row.end(), std::greater_equal<>()) == row.end());
}

// The extremes pass over pairs of values; they must give what the fold over the
// values in order gives, bit for bit: the last of equal values (so the sign of a
// zero maximum or minimum is that of the last zero), NaN passed over, the first
// NaN when every value is NaN, infinities as any number.
TEST(RowOps, ExtremesAreTheSequentialFoldBitForBit) {
  struct Case {
    const char* name;
    std::vector<double> values;
  };
  std::mt19937_64 rng(17);
  const auto pick = [&](std::size_t n, std::vector<double> pool) {
    std::vector<double> v(n);
    for (double& x : v) x = pool[rng() % pool.size()];
    return v;
  };
  std::vector<Case> cases = {
      {"random", random_values(20000, 5)},
      {"signed zeros below negatives", pick(9000, {-0.0, 0.0, -1.0, -2.5})},
      {"signed zeros above positives", pick(9000, {-0.0, 0.0, 1.0, 2.5})},
      {"with NaN", pick(7777, {NAN, 3.0, -3.0, 0.5})},
      {"all NaN", std::vector<double>(3000, NAN)},
      {"infinities", pick(5000, {INFINITY, -INFINITY, 1.0, NAN})},
      {"only -inf and NaN", pick(5000, {-INFINITY, NAN})},
      {"short", {2.0, -0.0, 0.0}},
  };
  for (const Case& c : cases)
    for (const std::size_t ncomp : {std::size_t(1), std::size_t(3)}) {
      const std::size_t rows = c.values.size() / ncomp;
      const std::size_t comp = ncomp - 1;
      double mx = c.values[comp], mn = c.values[comp];
      for (std::size_t r = 1; r < rows; ++r) {
        mx = max_ignoring_nan(mx, c.values[r * ncomp + comp]);
        mn = min_ignoring_nan(mn, c.values[r * ncomp + comp]);
      }
      const std::span<const double> whole(c.values.data(), rows * ncomp);
      for (std::size_t threads : kThreadCounts) {
        ThreadLimit limit(threads);
        EXPECT_TRUE(same_bits(par_component_max(whole, ncomp, comp), mx)) << c.name << " " << ncomp;
        EXPECT_TRUE(same_bits(par_component_min(whole, ncomp, comp), mn)) << c.name << " " << ncomp;
      }
    }
}

TEST(RowOps, GatherSetKeepsTheItemsOfSetBitsInOrder) {
  std::mt19937_64 rng(23);
  for (const std::size_t n : {std::size_t(0), std::size_t(7), std::size_t(64), std::size_t(8192), std::size_t(30001)})
    for (const std::size_t width : {std::size_t(1), std::size_t(4)})
      for (const int pattern : {0, 1, 2, 3}) {
        ItemBits bits = all_items(n);
        std::vector<bool> set(n);
        for (std::size_t i = 0; i < n; ++i) {  // none, all, random, long runs
          set[i] = pattern == 0 ? false : pattern == 1 ? true : pattern == 2 ? rng() % 2 != 0 : (i / 1000) % 2 != 0;
          if (!set[i]) bits[i / 64] &= ~(std::uint64_t{1} << (i % 64));
        }
        std::vector<std::uint32_t> src(n * width);
        for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint32_t>(i * 7 + 1);
        std::vector<std::uint32_t> expected;
        for (std::size_t i = 0; i < n; ++i)
          if (set[i]) expected.insert(expected.end(), src.begin() + i * width, src.begin() + (i + 1) * width);
        for (std::size_t threads : kThreadCounts) {
          ThreadLimit limit(threads);
          EXPECT_EQ(par_gather_set(bits, src, width), expected) << n << " " << width << " " << pattern;
        }
      }
}

TEST(RowOps, SortDedupRows) {
  std::vector<std::vector<std::uint64_t>> rows = {{5, 3, 5, 1}, {2, 2, 2}, {}, {7}, {UINT64_MAX, 0, UINT64_MAX}};
  par_sort_dedup_rows(rows);
  EXPECT_EQ(rows, (std::vector<std::vector<std::uint64_t>>{{1, 3, 5}, {2}, {}, {7}, {0, UINT64_MAX}}));
}

}  // namespace
