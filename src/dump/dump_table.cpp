#include "dump/dump_table.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "base/error.hpp"
#include "dump/number_format.hpp"

namespace quenlith::dump {

std::size_t text_width(std::string_view text) noexcept {
  std::size_t n = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

Row dump_row(std::span<const std::string> row, std::size_t n, bool cut) {
  Row out;
  out.reserve(n + (cut ? 1 : 0));
  const std::size_t kept = std::min(n, row.size());
  out.assign(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(kept));
  out.resize(n);
  if (cut) out.emplace_back(kColumnCutCell);
  return out;
}

std::string dump_table(std::span<const std::string> header, std::span<const Row> rows, const DumpOptions& options) {
  if (header.empty()) return {};
  const std::size_t n_values = header.size() - 1;
  const std::size_t n_rows = rows.size();
  const bool cols_cut = options.max_cols < n_values;
  const bool rows_cut = options.max_rows < n_rows;
  const std::size_t shown_values = cols_cut ? static_cast<std::size_t>(options.max_cols) : n_values;
  const std::size_t shown_rows = rows_cut ? static_cast<std::size_t>(options.max_rows) : n_rows;
  const std::size_t n_cells = shown_values + 1;           // label and shown value columns
  const std::size_t n_cols = n_cells + (cols_cut ? 1 : 0);  // and the "…" column
  const std::size_t n_lines = 1 + shown_rows + (rows_cut ? 1 : 0);

  // Line 0 is the header, lines 1..shown_rows the shown rows, then the marker line.
  // The lines are what dump_row would give, read in place instead of copied.
  const auto cell = [&](std::size_t line, std::size_t col) -> std::string_view {
    if (line == 1 + shown_rows) return kRowCutCell;
    if (col == n_cells) return kColumnCutCell;
    const std::span<const std::string> src = line == 0 ? header : std::span<const std::string>(rows[line - 1]);
    return col < src.size() ? std::string_view(src[col]) : std::string_view();
  };

  std::vector<std::size_t> widths(n_cols, 0);
  std::size_t line_bytes = 0;
  for (std::size_t line = 0; line < n_lines; ++line) {
    for (std::size_t col = 0; col < n_cols; ++col) {
      const std::string_view c = cell(line, col);
      widths[col] = std::max(widths[col], text_width(c));
    }
  }
  for (const std::size_t w : widths) line_bytes += w + 4;  // room for a few multi-byte cells

  std::string out;
  out.reserve(n_lines * line_bytes + 64);
  for (std::size_t line = 0; line < n_lines; ++line) {
    for (std::size_t col = 0; col < n_cols; ++col) {
      const std::string_view c = cell(line, col);
      if (col > 0) out += "  ";
      out.append(widths[col] - text_width(c), ' ');
      out += c;
    }
    out += '\n';
  }
  if (rows_cut) out += fmt::format("\u2026 ({} ligne(s) de plus)\n", n_rows - shown_rows);
  if (cols_cut) out += fmt::format("\u2026 ({} colonne(s) de plus)\n", n_values - shown_values);
  return out;
}

std::string dump_value_table(std::span<const std::string> row_labels, std::span<const std::string> column_titles,
                             std::span<const double> values, const DumpOptions& options) {
  const std::size_t n_cols = column_titles.size();
  // Checked so that a short value array can never be read past its end.
  const bool sized = n_cols == 0 ? values.empty()
                                  : values.size() % n_cols == 0 && values.size() / n_cols == row_labels.size();
  QUENLITH_VERIFY(sized, "dump_value_table: expected {}×{} values, got {}", row_labels.size(), n_cols,
                  values.size());
  Row header;
  header.reserve(n_cols + 1);
  header.emplace_back();
  header.insert(header.end(), column_titles.begin(), column_titles.end());
  std::vector<Row> rows;
  rows.reserve(row_labels.size());
  for (std::size_t i = 0; i < row_labels.size(); ++i) {
    Row& row = rows.emplace_back();
    row.reserve(n_cols + 1);
    row.push_back(row_labels[i]);
    for (std::size_t j = 0; j < n_cols; ++j) row.push_back(format_dump_cell(values[i * n_cols + j], options));
  }
  return dump_table(header, rows, options);
}

std::string_view axis_title(std::size_t axis) noexcept {
  switch (axis) {
    case 0: return "x";
    case 1: return "y";
    case 2: return "z";
    default: return "?";
  }
}

}  // namespace quenlith::dump
