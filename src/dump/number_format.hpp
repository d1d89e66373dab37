#pragma once
// The three ways a double is written, shared by every text of every class:
//
//  - number cells of dump tables: fixed point with exactly `precision` decimals,
//    correctly rounded from the exact binary value (ties to even);
//  - debug numbers of repr() texts: the shortest decimal that reads back to the
//    same double, positional with at least one decimal when 1e-4 <= |x| < 1e16
//    (or x is zero), else in exponent form "1.5e16", "1e-5";
//  - plain numbers of messages, display texts and exported files: the same
//    shortest digits, always positional, no decimal point for whole values.
//
// All three write NaN as "NaN" (whatever its sign bit) and the infinities as
// "inf" and "-inf", and keep the sign of negative zero. None depends on the C
// locale or on the floating-point rounding mode.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dump/dump_options.hpp"

namespace quenlith::dump {

// The formatter keeps the precision in 16 bits.
inline constexpr std::uint64_t kMaxDumpPrecision = 65535;

// Throws Error::message "dump: precision must be at most 65535, got {}" when the
// precision cannot be honoured. Bindings may call it before any text is built;
// format_dump_cell calls it for every cell, so a dump that formats no number
// never refuses a large precision.
void check_dump_precision(std::uint64_t precision);

// Fixed point with `precision` digits after the point and no point at all for
// precision 0: 2.5 -> "2" (ties to even), -0.4 -> "-0", 1e300 -> all 301 digits.
// Throws as check_dump_precision for a precision above kMaxDumpPrecision.
std::string format_fixed(double value, std::uint64_t precision);

// The number cell of a dump table: format_fixed with the options' precision.
std::string format_dump_cell(double value, const DumpOptions& options);

// Number cells joined by `separator`, e.g. the coordinates of a node dump
// "0.500, 1.000". An empty list gives "" and formats nothing.
std::string join_dump_cells(std::span<const double> values, const DumpOptions& options,
                            std::string_view separator = ", ");

// Shortest round-trip decimal in debug form: 1.0 -> "1.0", -0.0 -> "-0.0",
// 0.1 + 0.2 -> "0.30000000000000004", 1e16 -> "1e16", 1e-5 -> "1e-5",
// -2.5e-7 -> "-2.5e-7", 1.7976931348623157e308 -> "1.7976931348623157e308".
std::string debug_number(double value);

// Shortest round-trip decimal in plain positional form, never an exponent:
// 2.0 -> "2", 0.5 -> "0.5", -0.0 -> "-0", 1e-7 -> "0.0000001", 1e21 -> "1"
// followed by 21 zeros.
std::string plain_number(double value);

// Appending forms, for writers that build large texts (exports) without a
// temporary string per number.
void append_debug_number(std::string& out, double value);
void append_plain_number(std::string& out, double value);

}  // namespace quenlith::dump
