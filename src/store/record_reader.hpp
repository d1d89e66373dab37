#pragma once
// RecordReader: decodes one swap record, the bytes of a swap file after its header
// (swap_file.hpp; the header is checked before any of them is read).
//
// Encoding (little-endian, no padding): u8 1 byte; u32 4 bytes; u64 8 bytes (also
// every size, count and index); f64 its IEEE 754 binary64 bytes; bool
// one byte 0/1; enumeration its variant index as u32 (then the variant's fields when
// it carries data); optional a tag byte 0/1 then the value; string a u64 byte length
// then UTF-8 bytes; list a u64 count then the elements; Handle idx u32 then gen u32;
// a record its fields in declaration order, nested records inline.
//
// Every read checks that its bytes are present first and never reads past the end;
// a count or length is never trusted for memory: a list reserves ahead at most 1 MiB
// of elements and no more elements than bytes remain. Every failure throws
// Error::serialization with the decoder message, and nothing after it is read.
//
// The reader borrows the bytes; they must outlive it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "base/error.hpp"

namespace quenlith::store {

template <class T>
class Handle;

class RecordReader {
 public:
  // Room reserved ahead for the elements of one list, whatever its count says.
  static constexpr std::size_t kMaxReserveBytes = 1u << 20;

  explicit RecordReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}

  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }

  std::uint8_t read_u8();
  std::uint32_t read_u32();
  std::uint64_t read_u64();
  double read_f64();
  bool read_bool();
  std::string read_string();
  // A variant index of an enumeration with `n_variants` variants.
  std::uint32_t read_variant(std::uint32_t n_variants);
  // The tag of an optional value: true when a value follows.
  bool read_option_tag();

  // Lists of fixed-width scalars, read in one block.
  std::vector<std::uint8_t> read_u8_list() { return read_scalar_list<std::uint8_t>(); }
  std::vector<std::uint32_t> read_u32_list() { return read_scalar_list<std::uint32_t>(); }
  std::vector<std::uint64_t> read_u64_list() { return read_scalar_list<std::uint64_t>(); }
  std::vector<double> read_f64_list() { return read_scalar_list<double>(); }
  std::vector<bool> read_bool_list() {
    return read_list([](RecordReader& r) { return r.read_bool(); });
  }
  std::vector<std::string> read_string_list() {
    return read_list([](RecordReader& r) { return r.read_string(); });
  }

  // A list whose elements `element(reader)` reads one by one.
  template <class F>
  auto read_list(F&& element) -> std::vector<std::invoke_result_t<F&, RecordReader&>> {
    using E = std::invoke_result_t<F&, RecordReader&>;
    const std::uint64_t count = read_u64();
    std::vector<E> out;
    out.reserve(reserve_bound(count, sizeof(E)));
    for (std::uint64_t i = 0; i < count; ++i) out.push_back(element(*this));
    return out;
  }

  template <class F>
  auto read_optional(F&& value) -> std::optional<std::invoke_result_t<F&, RecordReader&>> {
    if (!read_option_tag()) return std::nullopt;
    return value(*this);
  }

  // A handle as written in the record. It owns the unit its object counted for it
  // when written out; its slot cache is empty until first resolved.
  template <class T>
  Handle<T> read_handle() {
    const std::uint32_t idx = read_u32();
    const std::uint32_t gen = read_u32();
    return Handle<T>(idx, gen, nullptr, true);
  }

  // For the consistency checks of a type's decoder (list lengths against each
  // other, ids past the end...): throws Error::serialization with the text.
  template <class... A>
  static void check(bool condition, fmt::format_string<A...> f, A&&... a) {
    if (!condition) throw Error::serialization(fmt::format(f, std::forward<A>(a)...));
  }

 private:
  [[noreturn]] static void throw_end_of_data();
  const std::uint8_t* take(std::size_t n);
  std::size_t reserve_bound(std::uint64_t count, std::size_t element_size) const noexcept {
    const std::uint64_t by_memory = kMaxReserveBytes / std::max<std::size_t>(element_size, 1);
    return static_cast<std::size_t>(std::min({count, by_memory, std::uint64_t{remaining()}}));
  }
  template <class S>
  std::vector<S> read_scalar_list();

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// The message of a string that is not valid UTF-8, or nothing when it is; exposed
// for tests. Offsets are within `bytes`.
std::optional<std::string> utf8_error(std::span<const std::uint8_t> bytes);

}  // namespace quenlith::store
