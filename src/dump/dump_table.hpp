#pragma once
// The table renderer behind every dump text.
//
// A table is a header row and body rows of text cells (UTF-8). The first column
// is the label column, the others are value columns. The renderer shows at most
// `max_rows` body rows and `max_cols` value columns, right-aligns every column
// to its widest shown cell (width = number of Unicode scalar values, not bytes),
// separates cells by two spaces and ends every line with a line feed. Cut
// columns put a "…" cell at the end of every shown line; cut rows put one
// marker line of "⋮" cells under the shown rows; the cuts are announced by
// "… (N ligne(s) de plus)" then "… (N colonne(s) de plus)".
//
// Every cell of every row is built by the caller before the renderer cuts, so
// a dump costs as much as the full object: the bounds only limit what is shown.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dump/dump_options.hpp"

namespace quenlith::dump {

using Row = std::vector<std::string>;

// The marker cells: "…" (U+2026) closes a line whose value columns were cut,
// "⋮" (U+22EE) fills the line that stands for cut rows.
inline constexpr std::string_view kColumnCutCell = "\u2026";
inline constexpr std::string_view kRowCutCell = "\u22EE";

// Width of a cell: its number of Unicode scalar values, counted as the UTF-8
// bytes that do not continue a sequence ("ξ0" is 2 wide, "…" is 1).
std::size_t text_width(std::string_view text) noexcept;

// The first `n` cells of `row`, then a "…" cell when `cut` is set. A row shorter
// than `n` is padded with empty cells (the dumps never build one).
Row dump_row(std::span<const std::string> row, std::size_t n, bool cut);

// Renders the table with the options' `max_rows` and `max_cols` (the precision
// does not act here: cells are already text). An empty header renders as "";
// otherwise the text ends with a line feed. Cells beyond the header's length
// are never shown; a body row shorter than the shown columns is padded with
// empty cells. Neither argument is changed.
std::string dump_table(std::span<const std::string> header, std::span<const Row> rows, const DumpOptions& options);

// The dump text of one object: its first line (its display text), a line feed,
// then the table.
std::string dump_titled_table(std::string_view title, std::span<const std::string> header, std::span<const Row> rows,
                              const DumpOptions& options);

// A labelled table of numbers: the header is an empty corner cell and the
// column titles; body row i is row_labels[i] and the number cells (options'
// precision) of values[i * C + j], j < C, C = column_titles.size(). All cells are
// formatted before the cut, so a precision above 65535 throws (number_format.hpp)
// whenever there is at least one value. Throws Error::message when
// values.size() != row_labels.size() * column_titles.size().
std::string dump_value_table(std::span<const std::string> row_labels, std::span<const std::string> column_titles,
                             std::span<const double> values, const DumpOptions& options);

// Title of the coordinate column of an axis: "x", "y", "z", then "?" for every further axis.
std::string_view axis_title(std::size_t axis) noexcept;

}  // namespace quenlith::dump
