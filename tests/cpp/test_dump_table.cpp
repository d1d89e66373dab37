// The table renderer: cuts, markers, trailers, alignment and widths in characters.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/error.hpp"
#include "dump/dump_table.hpp"

namespace {

using namespace quenlith::dump;
using quenlith::Error;

DumpOptions bounds(std::uint64_t max_rows, std::uint64_t max_cols, std::uint64_t precision = 3) {
  return DumpOptions{precision, max_rows, max_cols};
}

TEST(DumpTable, DefaultOptions) {
  const DumpOptions o;
  EXPECT_EQ(o.precision, 3u);
  EXPECT_EQ(o.max_rows, 20u);
  EXPECT_EQ(o.max_cols, 12u);
}

// The worked example: widths 4, 2, 2 and 1, both cuts, row trailer first.
TEST(DumpTable, BothCutsWorkedExample) {
  const Row header = {"cell", "n0", "n1", "n2"};
  const std::vector<Row> rows = {{"0", "0", "1", "2"}, {"1", "2", "3", "0"}};
  EXPECT_EQ(dump_table(header, rows, bounds(1, 2)),
            "cell  n0  n1  …\n"
            "   0   0   1  …\n"
            "   ⋮   ⋮   ⋮  ⋮\n"
            "… (1 ligne(s) de plus)\n"
            "… (1 colonne(s) de plus)\n");
}

TEST(DumpTable, NothingCutAtExactBounds) {
  const Row header = {"node", "x", "y"};
  const std::vector<Row> rows = {{"0", "0.000", "1.500"}, {"12", "-2.250", "0.000"}};
  const std::string expected =
      "node       x      y\n"
      "   0   0.000  1.500\n"
      "  12  -2.250  0.000\n";
  EXPECT_EQ(dump_table(header, rows, bounds(2, 2)), expected);
  EXPECT_EQ(dump_table(header, rows, DumpOptions{}), expected);
}

TEST(DumpTable, EmptyHeaderRendersNothing) {
  const std::vector<Row> rows = {{"a", "b"}};
  EXPECT_EQ(dump_table({}, rows, DumpOptions{}), "");
  EXPECT_EQ(dump_table({}, {}, bounds(0, 0)), "");
}

TEST(DumpTable, LabelColumnOnlyIsNeverColumnCut) {
  const Row header = {"node"};
  const std::vector<Row> rows = {{"3"}, {"17"}};
  EXPECT_EQ(dump_table(header, rows, bounds(20, 0)), "node\n   3\n  17\n");
}

TEST(DumpTable, ZeroColumnsShowsLabelsAndMarker) {
  const Row header = {"node", "ux", "uy", "uz"};
  const std::vector<Row> rows = {{"1", "0.000", "1.000", "2.000"}, {"22", "3.000", "4.000", "5.000"}};
  EXPECT_EQ(dump_table(header, rows, bounds(20, 0)),
            "node  …\n"
            "   1  …\n"
            "  22  …\n"
            "… (3 colonne(s) de plus)\n");
}

TEST(DumpTable, ZeroRowsShowsHeaderAndMarkerLine) {
  const Row header = {"node", "ux"};
  const std::vector<Row> rows = {{"1", "0.000"}, {"2", "1.000"}, {"3", "2.000"}};
  // Widths come from the shown lines only: the hidden "0.000" cells do not widen "ux".
  EXPECT_EQ(dump_table(header, rows, bounds(0, 12)),
            "node  ux\n"
            "   ⋮   ⋮\n"
            "… (3 ligne(s) de plus)\n");
  // With both at zero the marker line also stands under the "…" column.
  EXPECT_EQ(dump_table(header, rows, bounds(0, 0)),
            "node  …\n"
            "   ⋮  ⋮\n"
            "… (3 ligne(s) de plus)\n"
            "… (1 colonne(s) de plus)\n");
}

TEST(DumpTable, NoBodyRowsNeverShowsRowMarker) {
  const Row header = {"cell", "n0", "n1"};
  for (const std::uint64_t max_rows : {0u, 1u, 20u}) {
    EXPECT_EQ(dump_table(header, {}, bounds(max_rows, 12)), "cell  n0  n1\n") << max_rows;
  }
  EXPECT_EQ(dump_table(header, {}, bounds(0, 1)), "cell  n0  …\n… (1 colonne(s) de plus)\n");
}

// A column whose cells are all empty is 0 wide; the separators still stand.
TEST(DumpTable, EmptyColumnIsZeroWideUnlessMarked) {
  const Row header = {"a", "", "b"};
  const std::vector<Row> rows = {{"1", "", "2"}, {"3", "", "4"}};
  EXPECT_EQ(dump_table(header, rows, DumpOptions{}), "a    b\n1    2\n3    4\n");
  EXPECT_EQ(dump_table(header, rows, bounds(1, 12)),
            "a     b\n"
            "1     2\n"
            "⋮  ⋮  ⋮\n"
            "… (1 ligne(s) de plus)\n");
}

// Widths count characters: "ξ0" is two characters (three bytes).
TEST(DumpTable, WidthsCountCharactersNotBytes) {
  EXPECT_EQ(text_width("ξ0"), 2u);
  EXPECT_EQ(text_width("…"), 1u);
  EXPECT_EQ(text_width("⋮"), 1u);
  EXPECT_EQ(text_width("──"), 2u);
  EXPECT_EQ(text_width(""), 0u);
  EXPECT_EQ(text_width("(3,u_x)"), 7u);

  const Row header = {"g", "ξ0", "ξ1"};
  const std::vector<Row> rows = {{"0", "1", "2"}};
  EXPECT_EQ(dump_table(header, rows, DumpOptions{}), "g  ξ0  ξ1\n0   1   2\n");
  // A wide character in a body cell pushes the header right by characters too.
  const std::vector<Row> wide = {{"0", "ξξξ", "1"}};
  EXPECT_EQ(dump_table(header, wide, DumpOptions{}), "g   ξ0  ξ1\n0  ξξξ   1\n");
}

TEST(DumpTable, RowsAreShownInOrderUpToTheBound) {
  const Row header = {"i", "v"};
  std::vector<Row> rows;
  for (int i = 0; i < 25; ++i) rows.push_back({std::to_string(i), std::to_string(i * i)});
  const std::string text = dump_table(header, rows, DumpOptions{});
  // header, 20 rows, marker, trailer
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 23);
  EXPECT_NE(text.find("\n19  361\n"), std::string::npos);
  EXPECT_EQ(text.find(" 400\n"), std::string::npos);  // row 20 is cut
  EXPECT_TRUE(text.ends_with(" ⋮    ⋮\n… (5 ligne(s) de plus)\n")) << text;
}

TEST(DumpTable, CellsBeyondHeaderAreNeverShown) {
  const Row header = {"k", "a"};
  const std::vector<Row> rows = {{"0", "1", "hidden-and-wide"}};
  EXPECT_EQ(dump_table(header, rows, DumpOptions{}), "k  a\n0  1\n");
}

// The dumps never build a short row, but one must not crash the renderer.
TEST(DumpTable, ShortRowIsPaddedWithEmptyCells) {
  const Row header = {"k", "a", "b"};
  const std::vector<Row> rows = {{"0"}, {}, {"2", "x", "y"}};
  EXPECT_EQ(dump_table(header, rows, DumpOptions{}), "k  a  b\n0      \n       \n2  x  y\n");
}

TEST(DumpTable, DumpRowKeepsPrefixAndMarksCut) {
  const Row row = {"a", "b", "c"};
  EXPECT_EQ(dump_row(row, 2, false), (Row{"a", "b"}));
  EXPECT_EQ(dump_row(row, 2, true), (Row{"a", "b", "…"}));
  EXPECT_EQ(dump_row(row, 0, true), (Row{"…"}));
  EXPECT_EQ(dump_row(row, 3, false), row);
  EXPECT_EQ(dump_row(row, 4, false), (Row{"a", "b", "c", ""}));
}

TEST(DumpTable, AxisTitles) {
  EXPECT_EQ(axis_title(0), "x");
  EXPECT_EQ(axis_title(1), "y");
  EXPECT_EQ(axis_title(2), "z");
  EXPECT_EQ(axis_title(3), "?");
  EXPECT_EQ(axis_title(254), "?");
}

// ---------------------------------------------------------------- labelled value tables

TEST(DumpValueTable, LabelsTitlesAndFixedCells) {
  const std::vector<std::string> labels = {"(0,u_x)", "(12,u_y)"};
  const std::vector<std::string> titles = {"(0,u_x)", "(12,u_y)"};
  const double values[] = {2.0, -0.5, -0.5, 1e-9};
  EXPECT_EQ(dump_value_table(labels, titles, values, DumpOptions{}),
            "          (0,u_x)  (12,u_y)\n"
            " (0,u_x)    2.000    -0.500\n"
            "(12,u_y)   -0.500     0.000\n");
  EXPECT_EQ(dump_value_table(labels, titles, values, bounds(20, 12, 0)),
            "          (0,u_x)  (12,u_y)\n"
            " (0,u_x)        2        -0\n"
            "(12,u_y)       -0         0\n");
}

TEST(DumpValueTable, CutsCountRowsAndColumnsOfTheWholeMatrix) {
  std::vector<std::string> labels, titles;
  std::vector<double> values;
  for (int i = 0; i < 4; ++i) labels.push_back("r" + std::to_string(i));
  for (int j = 0; j < 3; ++j) titles.push_back("c" + std::to_string(j));
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) values.push_back(10.0 * i + j);
  EXPECT_EQ(dump_value_table(labels, titles, values, bounds(2, 1, 1)),
            "      c0  …\n"
            "r0   0.0  …\n"
            "r1  10.0  …\n"
            " ⋮     ⋮  ⋮\n"
            "… (2 ligne(s) de plus)\n"
            "… (2 colonne(s) de plus)\n");
}

TEST(DumpValueTable, EmptyShapes) {
  const std::vector<std::string> none;
  const std::vector<std::string> labels = {"a", "b"};
  const std::vector<std::string> titles = {"t"};
  EXPECT_EQ(dump_value_table(none, none, {}, DumpOptions{}), "\n");
  EXPECT_EQ(dump_value_table(labels, none, {}, DumpOptions{}), " \na\nb\n");  // corner right-aligned
  EXPECT_EQ(dump_value_table(none, titles, {}, DumpOptions{}), "  t\n");
  // No number is formatted, so a refused precision does not act.
  EXPECT_EQ(dump_value_table(none, titles, {}, bounds(20, 12, 1u << 20)), "  t\n");
}

TEST(DumpValueTable, WrongValueCountIsRefused) {
  const std::vector<std::string> labels = {"a", "b"};
  const std::vector<std::string> titles = {"x", "y"};
  const double three[] = {1, 2, 3};
  try {
    (void)dump_value_table(labels, titles, three, DumpOptions{});
    FAIL() << "accepted 3 values for a 2×2 table";
  } catch (const Error& e) {
    EXPECT_EQ(e.text(), "dump_value_table: expected 2×2 values, got 3");
  }
  const std::vector<std::string> none;
  EXPECT_THROW((void)dump_value_table(labels, none, three, DumpOptions{}), Error);
}

// Every cell is built before the cut: a refused precision fails even when all rows are cut.
TEST(DumpValueTable, PrecisionAboveLimitFailsBeforeTheCut) {
  const std::vector<std::string> labels = {"a"};
  const std::vector<std::string> titles = {"x"};
  const double one[] = {1.0};
  EXPECT_THROW((void)dump_value_table(labels, titles, one, bounds(0, 0, 65536)), Error);
  EXPECT_NO_THROW((void)dump_value_table(labels, titles, one, bounds(0, 0, 65535)));
}

}  // namespace
