#pragma once
// PodArray<T>: a plain growable array of trivially copyable values for the large
// arrays of compressed rows.
//
// Unlike std::vector it leaves new elements uninitialised (the builders write every
// element themselves, and first touching the pages in parallel spreads the page
// faults over the workers), and shrinking goes through realloc, which for the large
// blocks malloc maps directly gives the tail back without copying the head: a
// builder that sums repeated entries can trim its arrays without holding two copies
// at once. Large arrays ask the kernel for huge pages, which cuts the page faults of
// a first touch by a factor of 512.
//
// Copies are deep (malloc + memcpy); a moved-from array is empty. Allocation failure
// throws std::bad_alloc.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace quenlith::containers::matrix {

namespace detail {
// Advises huge pages over the 2 MiB-aligned part of [p, p + bytes); a hint only.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
class PodArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;

  PodArray() noexcept = default;
  explicit PodArray(std::size_t n) { resize(n); }
  PodArray(std::initializer_list<T> values) {
    resize(values.size());
    if (size_) std::memcpy(data_, values.begin(), size_ * sizeof(T));
  }
  PodArray(const PodArray& other) {
    resize(other.size_);
    if (size_) std::memcpy(data_, other.data_, size_ * sizeof(T));
  }
  PodArray(PodArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  PodArray& operator=(PodArray other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~PodArray() { std::free(data_); }
  // n zero elements, from calloc: a large array gets fresh zero pages instead of a
  // cleared copy, so its pages are first touched by whoever writes them.
  static PodArray zeros(std::size_t n) {
    PodArray out;
    if (n == 0) return out;
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    out.data_ = static_cast<T*>(std::calloc(n, sizeof(T)));
    if (!out.data_) throw std::bad_alloc();
    out.size_ = n;
    if (n * sizeof(T) >= kHugeAdviceBytes) detail::advise_huge_pages(out.data_, n * sizeof(T));
    return out;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  operator std::span<const T>() const noexcept { return {data_, size_}; }

  // New elements are uninitialised; a shrink keeps the first n.
  void resize(std::size_t n) {
    if (n == size_) return;
    if (n == 0) {
      std::free(std::exchange(data_, nullptr));
      size_ = 0;
      return;
    }
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* p = std::realloc(data_, n * sizeof(T));
    if (!p) throw std::bad_alloc();
    if (n > size_ && (n - size_) * sizeof(T) >= kHugeAdviceBytes) detail::advise_huge_pages(p, n * sizeof(T));
    data_ = static_cast<T*>(p);
    size_ = n;
  }
  void assign(std::size_t n, const T& value) {
    resize(n);
    for (std::size_t i = 0; i < n; ++i) data_[i] = value;
  }

  friend bool operator==(const PodArray& a, const PodArray& b) noexcept {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_ * sizeof(T)) == 0);
  }

 private:
  static constexpr std::size_t kHugeAdviceBytes = std::size_t{8} << 20;
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quenlith::containers::matrix
