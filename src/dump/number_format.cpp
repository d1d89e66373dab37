#include "dump/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "base/error.hpp"

namespace quenlith::dump {

namespace {

// Digits before the point of the largest finite double (1.79e308), plus sign and point.
constexpr std::size_t kFixedOverhead = 309 + 2;

// Appends the text of NaN and the infinities; returns false for finite values.
bool append_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";  // a negative NaN has no text of its own
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

// The shortest digits that read back to a finite double, as value = ±d1.d2…dn × 10^exponent.
struct ShortestDigits {
  bool negative = false;
  std::array<char, 24> digits{};  // at most 17 significant digits for a double
  int count = 0;
  int exponent = 0;
};

ShortestDigits shortest_digits(double value) {
  // std::to_chars without a precision gives the shortest round-trip digits (the one
  // nearest the exact value when several are as short), independently of the locale.
  std::array<char, 40> buf;
  const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
  // Cannot fail: "-d.dddddddddddddddde-308" fits easily.
  ShortestDigits d;
  const char* p = buf.data();
  if (*p == '-') {
    d.negative = true;
    ++p;
  }
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.digits[static_cast<std::size_t>(d.count++)] = *p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // the exponent's sign is always written
  int e = 0;
  for (; p != res.ptr; ++p) e = e * 10 + (*p - '0');
  d.exponent = negative_exponent ? -e : e;
  return d;
}

// Writes the digits in positional notation; the fractional digits, if any, after a point.
// Returns whether a fractional part was written.
bool append_positional(std::string& out, const ShortestDigits& d) {
  const std::string_view digits(d.digits.data(), static_cast<std::size_t>(d.count));
  if (d.exponent >= 0) {
    const auto int_len = static_cast<std::size_t>(d.exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      return false;
    }
    out += digits.substr(0, int_len);
    out += '.';
    out += digits.substr(int_len);
    return true;
  }
  out += "0.";
  out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
  out += digits;
  return true;
}

}  // namespace

void check_dump_precision(std::uint64_t precision) {
  QUENLITH_VERIFY(precision <= kMaxDumpPrecision, "dump: precision must be at most {}, got {}", kMaxDumpPrecision,
                  precision);
}

std::string format_fixed(double value, std::uint64_t precision) {
  check_dump_precision(precision);
  std::string out;
  if (append_special(out, value)) return out;
  const int prec = static_cast<int>(precision);
  // Most cells use a few decimals: keep them off the heap until the final string.
  std::array<char, 512> small;
  if (kFixedOverhead + precision <= small.size()) {
    const auto res = std::to_chars(small.data(), small.data() + small.size(), value, std::chars_format::fixed, prec);
    out.assign(small.data(), res.ptr);
    return out;
  }
  out.resize(kFixedOverhead + precision);
  const auto res = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, prec);
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
  return out;
}

std::string format_dump_cell(double value, const DumpOptions& options) {
  return format_fixed(value, options.precision);
}

std::string join_dump_cells(std::span<const double> values, const DumpOptions& options,
                            std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += separator;
    out += format_dump_cell(values[i], options);
  }
  return out;
}

void append_debug_number(std::string& out, double value) {
  if (append_special(out, value)) return;
  const ShortestDigits d = shortest_digits(value);
  if (d.negative) out += '-';
  // Zero has exponent 0 here, so it takes the positional branch and reads "0.0".
  if (d.exponent >= -4 && d.exponent < 16) {
    if (!append_positional(out, d)) out += ".0";
    return;
  }
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits.data() + 1, static_cast<std::size_t>(d.count - 1));
  }
  out += 'e';
  out += std::to_string(d.exponent);
}

void append_plain_number(std::string& out, double value) {
  if (append_special(out, value)) return;
  const ShortestDigits d = shortest_digits(value);
  if (d.negative) out += '-';
  append_positional(out, d);
}

std::string debug_number(double value) {
  std::string out;
  append_debug_number(out, value);
  return out;
}

std::string plain_number(double value) {
  std::string out;
  append_plain_number(out, value);
  return out;
}

}  // namespace quenlith::dump
