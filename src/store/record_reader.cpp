#include "store/record_reader.hpp"

#include <bit>
#include <cstring>

namespace quenlith::store {

static_assert(std::endian::native == std::endian::little, "swap records are read by plain copies on this host");

namespace {

// Width of the UTF-8 sequence a lead byte starts; 0 for a byte that starts none.
int utf8_width(std::uint8_t b) noexcept {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// Whether `second` may follow the lead byte `first` of a 3- or 4-byte sequence
// (this excludes overlong forms, surrogates and code points past U+10FFFF).
bool valid_second(std::uint8_t first, std::uint8_t second) noexcept {
  switch (first) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return is_continuation(second);
  }
}

}  // namespace

std::optional<std::string> utf8_error(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t start = i;
    const std::uint8_t first = bytes[i];
    const int width = utf8_width(first);
    // Bad sequence of `len` bytes, or a string that ends inside a sequence.
    auto invalid = [&](int len) {
      return fmt::format("invalid utf-8 sequence of {} bytes from index {}", len, start);
    };
    auto incomplete = [&] { return fmt::format("incomplete utf-8 byte sequence from index {}", start); };
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0) return invalid(1);
    if (start + 1 >= n) return incomplete();
    const std::uint8_t second = bytes[start + 1];
    if (width == 2) {
      if (!is_continuation(second)) return invalid(1);
      i = start + 2;
      continue;
    }
    if (!valid_second(first, second)) return invalid(1);
    if (start + 2 >= n) return incomplete();
    if (!is_continuation(bytes[start + 2])) return invalid(2);
    if (width == 3) {
      i = start + 3;
      continue;
    }
    if (start + 3 >= n) return incomplete();
    if (!is_continuation(bytes[start + 3])) return invalid(3);
    i = start + 4;
  }
  return std::nullopt;
}

void RecordReader::throw_end_of_data() {
  throw Error::serialization(fmt::format("io error: {}", "unexpected end of file"));
}

const std::uint8_t* RecordReader::take(std::size_t n) {
  if (remaining() < n) throw_end_of_data();
  const std::uint8_t* p = bytes_.data() + pos_;
  pos_ += n;
  return p;
}

std::uint8_t RecordReader::read_u8() { return *take(1); }

std::uint32_t RecordReader::read_u32() {
  std::uint32_t v;
  std::memcpy(&v, take(4), 4);
  return v;
}

std::uint64_t RecordReader::read_u64() {
  std::uint64_t v;
  std::memcpy(&v, take(8), 8);
  return v;
}

double RecordReader::read_f64() {
  double v;
  std::memcpy(&v, take(8), 8);
  return v;
}

bool RecordReader::read_bool() {
  const std::uint8_t b = read_u8();
  if (b > 1) throw Error::serialization(fmt::format("{}, expected 0 or 1, found {}", "invalid u8 while decoding bool", b));
  return b == 1;
}

bool RecordReader::read_option_tag() {
  const std::uint8_t b = read_u8();
  if (b > 1) throw Error::serialization(fmt::format("{}, found {}", "tag for enum is not valid", b));
  return b == 1;
}

std::uint32_t RecordReader::read_variant(std::uint32_t n_variants) {
  const std::uint32_t index = read_u32();
  if (index >= n_variants)
    throw Error::serialization(fmt::format("invalid value: {}, expected {}", fmt::format("integer `{}`", index),
                                           fmt::format("variant index 0 <= i < {}", n_variants)));
  return index;
}

std::string RecordReader::read_string() {
  const std::uint64_t length = read_u64();
  if (length > remaining()) throw Error::serialization(fmt::format("io error: {}", ""));
  const std::span<const std::uint8_t> text = bytes_.subspan(pos_, static_cast<std::size_t>(length));
  if (auto error = utf8_error(text))
    throw Error::serialization(fmt::format("{}: {}", "string is not valid utf8", *error));
  pos_ += text.size();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

template <class S>
std::vector<S> RecordReader::read_scalar_list() {
  const std::uint64_t count = read_u64();
  // For fixed-width elements running out of bytes is the only possible failure,
  // so the whole block is checked at once, and the count never sizes memory
  // beyond the bytes present.
  if (count > remaining() / sizeof(S)) throw_end_of_data();
  std::vector<S> out(static_cast<std::size_t>(count));
  if (count > 0) std::memcpy(out.data(), take(out.size() * sizeof(S)), out.size() * sizeof(S));
  return out;
}

template std::vector<std::uint8_t> RecordReader::read_scalar_list<std::uint8_t>();
template std::vector<std::uint32_t> RecordReader::read_scalar_list<std::uint32_t>();
template std::vector<std::uint64_t> RecordReader::read_scalar_list<std::uint64_t>();
template std::vector<double> RecordReader::read_scalar_list<double>();

}  // namespace quenlith::store
