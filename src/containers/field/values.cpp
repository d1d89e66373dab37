#include "containers/field/values.hpp"

#include <sys/mman.h>

#include <cstdlib>

namespace quenlith::containers::field::detail {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}

void* allocate_large(std::size_t bytes) {
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (!p) throw std::bad_alloc();
  // Advice only: where huge pages are not granted the block works as any other.
  (void)::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void deallocate_large(void* p) noexcept { std::free(p); }

}  // namespace quenlith::containers::field::detail
