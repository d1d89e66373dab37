#include "containers/matrix/pod_array.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace quenlith::containers::matrix::detail {

void advise_huge_pages(void* p, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace quenlith::containers::matrix::detail
