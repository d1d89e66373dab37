#pragma once
// RecordWriter: encodes one swap record, the exact inverse of RecordReader (see
// there for the encoding). A type's `encode` writes its fields in declaration order.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <iterator>
#include <utility>
#include <vector>

namespace quenlith::store {

template <class T>
class Handle;

class RecordWriter {
 public:
  void write_u8(std::uint8_t v) { bytes_.push_back(v); }
  void write_u32(std::uint32_t v);
  void write_u64(std::uint64_t v);
  void write_f64(double v);
  void write_bool(bool v) { bytes_.push_back(v ? 1 : 0); }
  void write_string(std::string_view s);
  void write_variant(std::uint32_t index) { write_u32(index); }
  void write_option_tag(bool present) { write_bool(present); }

  void write_u8_list(std::span<const std::uint8_t> v);
  void write_u32_list(std::span<const std::uint32_t> v);
  void write_u64_list(std::span<const std::uint64_t> v);
  void write_f64_list(std::span<const double> v);
  void write_bool_list(const std::vector<bool>& v);
  void write_string_list(std::span<const std::string> v);

  // A list of any sized range, each element written by `element(writer, value)`.
  template <class Range, class F>
  void write_list(const Range& range, F&& element) {
    write_u64(static_cast<std::uint64_t>(std::size(range)));
    for (const auto& value : range) element(*this, value);
  }
  template <class V, class F>
  void write_optional(const std::optional<V>& value, F&& write_value) {
    write_option_tag(value.has_value());
    if (value) write_value(*this, *value);
  }
  template <class T>
  void write_handle(const Handle<T>& h) {
    write_u32(h.idx());
    write_u32(h.gen());
  }

  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }
  std::vector<std::uint8_t> take() noexcept { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace quenlith::store
