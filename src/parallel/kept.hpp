#pragma once
// In-order compaction in parallel, its ranks independent of the number of
// threads: kept_starts counts the items of [0, n) that keep(i) holds per block
// of fixed length, in parallel, and gives each block's first rank (the total
// last); place_kept then calls place(i, k) for every kept item i, k its rank,
// blocks in parallel. keep must give the same answer in both calls.
#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "parallel/pool.hpp"

namespace quenlith::parallel {

inline constexpr std::size_t kKeptBlock = 16384;

template <class Keep>
std::vector<std::size_t> kept_starts(std::size_t n, const Keep& keep) {
  const std::size_t blocks = (n + kKeptBlock - 1) / kKeptBlock;
  std::vector<std::size_t> start(blocks + 1, 0);
  for_chunks(blocks, 1, [&](Index begin, Index end) {
    for (Index b = begin; b < end; ++b) {
      std::size_t count = 0;
      for (std::size_t i = b * kKeptBlock; i < std::min(n, (b + 1) * kKeptBlock); ++i) count += keep(i) ? 1 : 0;
      start[b + 1] = count;
    }
  });
  for (std::size_t b = 0; b < blocks; ++b) start[b + 1] += start[b];
  return start;
}

template <class Keep, class Place>
void place_kept(std::size_t n, const Keep& keep, std::span<const std::size_t> start, const Place& place) {
  for_chunks(start.size() - 1, 1, [&](Index begin, Index end) {
    for (Index b = begin; b < end; ++b) {
      std::size_t k = start[b];
      for (std::size_t i = b * kKeptBlock; i < std::min(n, (b + 1) * kKeptBlock); ++i)
        if (keep(i)) place(i, k++);
    }
  });
}

}  // namespace quenlith::parallel
