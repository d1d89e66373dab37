#include "containers/field/values.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "parallel/pool.hpp"
#include "parallel/row_ops.hpp"
#include "store/handle.hpp"

namespace quenlith::containers::field {

namespace detail {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// A fresh mapping of `size` bytes (whole huge pages) at a huge-page boundary. Its
// own mapping rather than the C heap: heap memory handed back and taken again has
// been faulted in as small pages already, and the advice would not apply to it.
void* map_block(std::size_t size) {
  const std::size_t span = size + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) (void)::munmap(raw, aligned - start);
  if (const std::uintptr_t tail = start + span - (aligned + size); tail > 0)
    (void)::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* p = reinterpret_cast<void*>(aligned);
  // Advice only: where huge pages are not granted the block works as any other.
  (void)::madvise(p, size, MADV_HUGEPAGE);
  return p;
}

struct Block {
  void* p;
  std::size_t size;
};

void unmap(const Block& b) noexcept { (void)::munmap(b.p, b.size); }

// Freed large blocks, oldest first. They are kept only while they help the next
// result: never more bytes than kLargeCacheBytes, nor than the large blocks still
// in use (a result is made while its operands live; once the last large array
// dies, every kept block goes back to the system). Reached through a pointer that
// is never deleted: zones may be freed while the process exits, after the
// destructors of static objects have run.
class KeptBlocks {
 public:
  // A kept block of exactly `size` bytes (a rounded size), else a fresh one; in use
  // from now on.
  void* take(std::size_t size) {
    {
      std::lock_guard lock(mutex_);
      // The most recent first: its pages are the likeliest still in cache.
      for (std::size_t i = blocks_.size(); i-- > 0;)
        if (blocks_[i].size == size) {
          void* p = blocks_[i].p;
          blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
          total_ -= size;
          in_use_ += size;
          return p;
        }
    }
    void* p = map_block(size);
    std::lock_guard lock(mutex_);
    in_use_ += size;
    return p;
  }
  // A block no longer in use: kept when `keep` is set and the bounds allow it;
  // the oldest kept blocks are let go until the total fits (unmapped outside the
  // lock).
  void give_back(Block block, bool keep) noexcept {
    Block out[kMaxLetGo + 1];
    std::size_t n_out = 0;
    {
      std::lock_guard lock(mutex_);
      in_use_ -= block.size;
      if (keep) {
        try {
          blocks_.push_back(block);
          total_ += block.size;
        } catch (...) {
          keep = false;
        }
      }
      if (!keep) out[n_out++] = block;
      const std::size_t bound = std::min(kLargeCacheBytes, in_use_);
      while (total_ > bound && n_out <= kMaxLetGo) {
        out[n_out++] = blocks_.front();
        total_ -= blocks_.front().size;
        blocks_.erase(blocks_.begin());
      }
    }
    for (std::size_t i = 0; i < n_out; ++i) unmap(out[i]);
  }
  void release() noexcept {
    std::vector<Block> blocks;
    {
      std::lock_guard lock(mutex_);
      blocks.swap(blocks_);
      total_ = 0;
    }
    for (const Block& b : blocks) unmap(b);
  }
  std::size_t total() noexcept {
    std::lock_guard lock(mutex_);
    return total_;
  }

 private:
  // Every kept block holds at least one huge page.
  static constexpr std::size_t kMaxLetGo = kLargeCacheBytes / kHugePage + 1;
  std::mutex mutex_;
  std::vector<Block> blocks_;
  std::size_t total_ = 0;   // bytes kept
  std::size_t in_use_ = 0;  // bytes of large blocks handed out and not given back
};

KeptBlocks& kept() {
  static KeptBlocks* blocks = new KeptBlocks;
  return *blocks;
}

}  // namespace

void* allocate_large(std::size_t bytes) { return kept().take(rounded(bytes)); }

void deallocate_large(void* p, std::size_t bytes) noexcept {
  const Block block{p, rounded(bytes)};
  // A zone freed because the store wrote it out goes back to the system: writing
  // out is how memory is given back.
  kept().give_back(block, block.size <= kLargeCacheBytes && !store::detail::ownership_neutral());
}

void free_large(void* p, std::size_t bytes) noexcept { kept().give_back(Block{p, rounded(bytes)}, false); }

void release_kept_blocks() noexcept { kept().release(); }

std::size_t kept_bytes() noexcept { return kept().total(); }

}  // namespace detail

Values copy_values(std::span<const double> values) {
  Values out(values.size());
  double* o = out.data();
  const double* in = values.data();
  parallel::for_chunks(values.size(), parallel::PAR_MIN_LEN, [&](parallel::Index begin, parallel::Index end) {
    std::memcpy(o + begin, in + begin, (end - begin) * sizeof(double));
  });
  return out;
}

}  // namespace quenlith::containers::field
