#include "ops/io/gmsh/lexical.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <span>

#include "store/record_reader.hpp"

namespace quenlith::ops::io::gmsh {

namespace {

// The white-space bytes of the ASCII range under the Unicode rule: tab, line feed,
// vertical tab, form feed, carriage return, and space.
constexpr std::array<bool, 128> kAsciiSpace = [] {
  std::array<bool, 128> t{};
  for (int c = 0x09; c <= 0x0D; ++c) t[c] = true;
  t[0x20] = true;
  return t;
}();

// Length of the UTF-8 white-space character that starts at `p`, or 0.
std::size_t space_at(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char c = p[0];
  if (c < 0x80) return kAsciiSpace[c] ? 1 : 0;
  const std::size_t left = static_cast<std::size_t>(end - p);
  if (c == 0xC2 && left >= 2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (left < 3) return 0;
  if (c == 0xE1) return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
  if (c == 0xE2) {
    if (p[1] == 0x80) return (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) && p[2] >= 0x80 ? 3 : 0;
    if (p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;
    return 0;
  }
  if (c == 0xE3) return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
  return 0;
}

// Length of the UTF-8 white-space character that ends just before `end`, or 0.
std::size_t space_before(const unsigned char* begin, const unsigned char* end) noexcept {
  const std::size_t n = static_cast<std::size_t>(end - begin);
  if (n >= 1 && end[-1] < 0x80) return kAsciiSpace[end[-1]] ? 1 : 0;
  for (std::size_t w = 2; w <= 3 && w <= n; ++w)
    if (space_at(end - w, end) == w) return w;
  return 0;
}

const unsigned char* bytes_of(std::string_view s) noexcept { return reinterpret_cast<const unsigned char*>(s.data()); }

bool is_ascii_trim_byte(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

bool all_digits(std::string_view s) noexcept {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

bool is_utf8(std::string_view bytes) noexcept {
  // Most files are pure ASCII: skip that part eight bytes at a time before the full
  // check of whatever follows.
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i + 8 <= n) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  const auto rest = std::span<const std::uint8_t>(bytes_of(bytes) + i, n - i);
  return !store::utf8_error(rest).has_value();
}

std::string_view trim_unicode(std::string_view text) noexcept {
  const unsigned char* b = bytes_of(text);
  const unsigned char* e = b + text.size();
  while (b < e) {
    const std::size_t w = space_at(b, e);
    if (w == 0) break;
    b += w;
  }
  while (e > b) {
    const std::size_t w = space_before(b, e);
    if (w == 0) break;
    e -= w;
  }
  return {reinterpret_cast<const char*>(b), static_cast<std::size_t>(e - b)};
}

std::string_view trim_ascii(std::string_view bytes) noexcept {
  std::size_t b = 0;
  std::size_t e = bytes.size();
  while (b < e && is_ascii_trim_byte(bytes[b])) ++b;
  while (e > b && is_ascii_trim_byte(bytes[e - 1])) --e;
  return bytes.substr(b, e - b);
}

std::optional<std::string_view> TokenCursor::next() noexcept {
  const unsigned char* base = bytes_of(text_);
  const unsigned char* end = base + text_.size();
  const unsigned char* p = base + pos_;
  // ASCII bytes are decided by the table; only bytes of multi-byte characters need
  // the full white-space test.
  while (p < end) {
    if (*p < 0x80) {
      if (!kAsciiSpace[*p]) break;
      ++p;
      continue;
    }
    const std::size_t w = space_at(p, end);
    if (w == 0) break;
    p += w;
  }
  if (p == end) {
    pos_ = text_.size();
    return std::nullopt;
  }
  const unsigned char* start = p;
  while (p < end) {
    if (*p < 0x80) {
      if (kAsciiSpace[*p]) break;
      ++p;
    } else if (space_at(p, end) == 0) {
      ++p;
    } else {
      break;
    }
  }
  pos_ = static_cast<std::size_t>(p - base);
  return std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
}

std::optional<std::uint64_t> parse_u64(std::string_view token) noexcept {
  if (!token.empty() && token[0] == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : token) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return std::nullopt;
    if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, digit, &v)) return std::nullopt;
  }
  return v;
}

std::optional<std::int64_t> parse_i64(std::string_view token) noexcept {
  bool negative = false;
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
    negative = token[0] == '-';
    token.remove_prefix(1);
  }
  // A second sign is refused here: the magnitude is read as an unsigned number.
  if (token.empty() || token[0] == '+') return std::nullopt;
  const auto magnitude = parse_u64(token);
  if (!magnitude) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (*magnitude > kMaxPositive + 1) return std::nullopt;
    return static_cast<std::int64_t>(0 - *magnitude);  // two's complement: -2^63 included
  }
  if (*magnitude > kMaxPositive) return std::nullopt;
  return static_cast<std::int64_t>(*magnitude);
}

std::optional<double> parse_f64(std::string_view token) noexcept {
  bool negative = false;
  std::string_view body = token;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (iequals(body, "inf") || iequals(body, "infinity"))
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  if (iequals(body, "nan")) return negative ? -std::numeric_limits<double>::quiet_NaN()
                                            : std::numeric_limits<double>::quiet_NaN();
  // The grammar is checked here; the conversion below only rounds.
  std::size_t i = 0;
  const std::size_t n = body.size();
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < n && body[i] >= '0' && body[i] <= '9') ++i, ++int_digits;
  std::size_t point = n;
  if (i < n && body[i] == '.') {
    point = i++;
    while (i < n && body[i] >= '0' && body[i] <= '9') ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  const std::size_t mantissa_end = i;
  if (point == n) point = mantissa_end;
  std::int64_t exponent = 0;
  if (i < n && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    const std::string_view exp_text = body.substr(i);
    std::string_view digits = exp_text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (!all_digits(digits)) return std::nullopt;
    // The exponent only decides overflow against underflow below; clamp it.
    std::int64_t e = 0;
    for (char c : digits) e = std::min<std::int64_t>(e * 10 + (c - '0'), 1'000'000'000);
    exponent = exp_text[0] == '-' ? -e : e;
    i = n;
  }
  if (i != n) return std::nullopt;
  double v = 0;
  const auto r = std::from_chars(body.data(), body.data() + n, v, std::chars_format::general);
  if (r.ec == std::errc{} && r.ptr == body.data() + n) return negative ? -v : v;
  if (r.ec != std::errc::result_out_of_range) return std::nullopt;
  // Out of range: the nearest double is an infinity or a zero. The decimal magnitude
  // of the first non-zero digit says which.
  std::int64_t magnitude = 0;
  bool found = false;
  for (std::size_t k = 0; k < mantissa_end; ++k) {
    if (k == point) continue;
    if (body[k] != '0') {
      // The digit's weight is 10^magnitude before the exponent.
      magnitude = k < point ? static_cast<std::int64_t>(point - k - 1) : -static_cast<std::int64_t>(k - point);
      found = true;
      break;
    }
  }
  const bool overflow = found && magnitude + exponent > 0;
  const double out = overflow ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -out : out;
}

}  // namespace quenlith::ops::io::gmsh
