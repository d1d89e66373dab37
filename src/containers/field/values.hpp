#pragma once
// Values: the value array of a field zone. A std::vector of doubles whose
// allocator differs from the standard one in three ways that matter for arrays of
// millions of values:
// - arrays of 4 MiB and more are aligned to 2 MiB and offered to the kernel for
//   transparent huge pages (madvise), which cuts the page faults of a fresh
//   result array by a factor of 512 where the system grants them;
// - such arrays, once freed, are kept for reuse: arithmetic makes a new array per
//   result, and a block taken back is already mapped, so the result is written
//   without faulting in and clearing fresh pages first. A block is reused only for
//   an array of the same size in whole 2 MiB pages. No more bytes are kept than
//   kLargeCacheBytes, nor than large arrays still live (the oldest let go first),
//   so the memory goes back to the system once the last large array dies; a zone
//   freed because the store wrote it out gives its block back at once;
// - `Values(n)` and `resize(n)` leave the new values uninitialised (default
//   initialisation), for arrays that are written in full right away; use
//   `Values(n, 0.0)` for zeros.
#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace quenlith::containers::field {

namespace detail {
// Large blocks: aligned, rounded up to whole huge pages and advised, or a kept
// block of that rounded size. Never null.
void* allocate_large(std::size_t bytes);
// Keeps the block for reuse, or frees it (`bytes` as given to allocate_large).
void deallocate_large(void* p, std::size_t bytes) noexcept;
// Frees the block without keeping it.
void free_large(void* p, std::size_t bytes) noexcept;
inline constexpr std::size_t kLargeArrayBytes = std::size_t{4} << 20;
// At most this many bytes of freed large blocks are kept for reuse (and never more
// than the large blocks in use).
inline constexpr std::size_t kLargeCacheBytes = std::size_t{256} << 20;
// Frees every kept block (for tests and for callers that want the memory back now).
void release_kept_blocks() noexcept;
// Bytes held in kept blocks now.
std::size_t kept_bytes() noexcept;
}  // namespace detail

template <class T>
struct LargeArrayAllocator {
  using value_type = T;
  LargeArrayAllocator() noexcept = default;
  template <class U>
  LargeArrayAllocator(const LargeArrayAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= detail::kLargeArrayBytes) return static_cast<T*>(detail::allocate_large(bytes));
    return static_cast<T*>(::operator new(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= detail::kLargeArrayBytes)
      detail::deallocate_large(p, n * sizeof(T));
    else
      ::operator delete(p);
  }
  // Default initialisation when no value is given: a trivial type stays unwritten.
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
  template <class U>
  bool operator==(const LargeArrayAllocator<U>&) const noexcept {
    return true;
  }
};

using Values = std::vector<double, LargeArrayAllocator<double>>;

// A copy of `values`, written in parallel chunks (each page of a fresh block is
// first touched by the thread that fills it).
Values copy_values(std::span<const double> values);

// `size` bytes, left uninitialised, from the allocator of the value arrays (a
// large block mapped in huge pages, possibly one kept for reuse): for whole files
// read into memory. Freed for good when dropped: a file read once would otherwise
// keep its memory held. Move-only.
class ByteBlock {
 public:
  explicit ByteBlock(std::size_t size) : data_(static_cast<char*>(alloc().allocate(size))), size_(size) {}
  ByteBlock(ByteBlock&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  ByteBlock& operator=(ByteBlock&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    return *this;
  }
  ByteBlock(const ByteBlock&) = delete;
  ByteBlock& operator=(const ByteBlock&) = delete;
  ~ByteBlock() {
    if (!data_) return;
    if (size_ >= detail::kLargeArrayBytes)
      detail::free_large(data_, size_);
    else
      alloc().deallocate(data_, size_);
  }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  static LargeArrayAllocator<char> alloc() noexcept { return {}; }
  char* data_;
  std::size_t size_;
};

}  // namespace quenlith::containers::field
