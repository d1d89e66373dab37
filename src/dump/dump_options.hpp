#pragma once
// The three bounds every `dump` takes. They are plain unsigned values with no
// limit of their own: 0 is valid for each (no decimals, no rows, no value
// columns). The number formatter cannot go beyond `kMaxDumpPrecision` decimals;
// see number_format.hpp for what happens above it.
#include <cstdint>

namespace quenlith::dump {

struct DumpOptions {
  std::uint64_t precision = 3;  // digits after the decimal point of every number cell
  std::uint64_t max_rows = 20;  // the most body rows a table shows
  std::uint64_t max_cols = 12;  // the most value columns a table shows, label column not counted
};

}  // namespace quenlith::dump
