#pragma once
// Lexical rules shared by the gmsh text and binary readers: white space, trimming,
// splitting into tokens, and the strict number forms the files may use.
//
// Two notions of white space are in play. The text grammar (and the header line)
// splits at Unicode white space (the White_Space property: tab to carriage return,
// space, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000), decoded from UTF-8. Lines of a binary file are trimmed of the five ASCII
// bytes space, tab, line feed, form feed and carriage return only (no vertical
// tab), since their bytes need not be text at all.
//
// Every view returned points into the caller's text and lives as long as it.
#include <cstdint>
#include <optional>
#include <string_view>

namespace quenlith::ops::io::gmsh {

// Whether the bytes are valid UTF-8.
bool is_utf8(std::string_view bytes) noexcept;

// The text without its leading and trailing Unicode white space. The text is UTF-8;
// a byte that starts no white-space character is kept.
std::string_view trim_unicode(std::string_view text) noexcept;
// The bytes without leading and trailing space, tab, line feed, form feed and
// carriage return.
std::string_view trim_ascii(std::string_view bytes) noexcept;

// Whether a trimmed line closes a section: at least 4 characters, starting "$End".
inline bool is_end_line(std::string_view trimmed) noexcept {
  return trimmed.size() >= 4 && trimmed.substr(0, 4) == "$End";
}

// A cursor over the white-space separated tokens of a UTF-8 text.
class TokenCursor {
 public:
  explicit TokenCursor(std::string_view text) noexcept : text_(text) {}
  // The next token, or nothing when only white space is left.
  std::optional<std::string_view> next() noexcept;

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// Strict decimal forms. Unsigned: an optional "+" and one or more digits. Signed: an
// optional "+" or "-" and one or more digits. Nothing else is allowed around them;
// an out-of-range value is no number.
std::optional<std::uint64_t> parse_u64(std::string_view token) noexcept;
std::optional<std::int64_t> parse_i64(std::string_view token) noexcept;
// A decimal floating-point literal: optional sign, digits with an optional fraction
// (at least one digit in all), optional exponent e/E with an optional sign and
// digits; or inf, infinity, nan in any letter case, optionally signed. A value
// beyond the double range rounds to an infinity or zero, as a decimal reading does.
std::optional<double> parse_f64(std::string_view token) noexcept;

}  // namespace quenlith::ops::io::gmsh
