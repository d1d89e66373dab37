// Number forms of dump cells, debug texts and plain texts. The expected strings
// were produced once by CPython (repr(float) for the shortest digits, and
// format(x, '.Nf') for the fixed cells, both exact and ties-to-even) and pasted
// here as literals.
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <random>
#include <limits>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "base/error.hpp"
#include "dump/number_format.hpp"

namespace {

using namespace quenlith::dump;
using quenlith::Error;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------- shortest forms

struct ShortestCase {
  double value;
  const char* debug;
  const char* plain;
};

void PrintTo(const ShortestCase& c, std::ostream* os) { *os << c.debug; }

const ShortestCase kShortestCases[] = {
    {0.0, "0.0", "0"},
    {-0.0, "-0.0", "-0"},
    {1.0, "1.0", "1"},
    {-1.0, "-1.0", "-1"},
    {2.0, "2.0", "2"},
    {0.5, "0.5", "0.5"},
    {0.25, "0.25", "0.25"},
    {0.1, "0.1", "0.1"},
    {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
    {1.0 / 3.0, "0.3333333333333333", "0.3333333333333333"},
    {-2.0 / 3.0, "-0.6666666666666666", "-0.6666666666666666"},
    {123.456, "123.456", "123.456"},
    {100.0, "100.0", "100"},
    {1e15, "1000000000000000.0", "1000000000000000"},
    {9999999999999998.0, "9999999999999998.0", "9999999999999998"},  // last double below 1e16
    {1e16, "1e16", "10000000000000000"},
    {1.5e16, "1.5e16", "15000000000000000"},
    {1e17, "1e17", "100000000000000000"},
    {1e21, "1e21", "1000000000000000000000"},
    {1e22, "1e22", "10000000000000000000000"},
    {1.7976931348623157e308, "1.7976931348623157e308",
     "17976931348623157000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"},
    {0.0001, "0.0001", "0.0001"},
    {9.999999999999999e-05, "9.999999999999999e-5", "0.00009999999999999999"},  // last double below 1e-4
    {1e-5, "1e-5", "0.00001"},
    {1e-7, "1e-7", "0.0000001"},
    {-2.5e-7, "-2.5e-7", "-0.00000025"},
    {2.2250738585072014e-308, "2.2250738585072014e-308",
     "0.000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000022250738585072014"},
    {5e-324, "5e-324",
     "0.000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000005"},
    {1.2345678901234568e+17, "1.2345678901234568e17", "123456789012345680"},
    {0.3, "0.3", "0.3"},
    {3.141592653589793, "3.141592653589793", "3.141592653589793"},
    {-27182818284.59045, "-27182818284.59045", "-27182818284.59045"},
    {4.35, "4.35", "4.35"},
    {1e300, "1e300",
     "10000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000"},
    {9007199254740992.0, "9007199254740992.0", "9007199254740992"},  // 2^53
    {9007199254740994.0, "9007199254740994.0", "9007199254740994"},
    {kNaN, "NaN", "NaN"},
    {-kNaN, "NaN", "NaN"},
    {kInf, "inf", "inf"},
    {-kInf, "-inf", "-inf"},
};

class ShortestNumber : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(ShortestNumber, DebugForm) { EXPECT_EQ(debug_number(GetParam().value), GetParam().debug); }

TEST_P(ShortestNumber, PlainForm) { EXPECT_EQ(plain_number(GetParam().value), GetParam().plain); }

// Both forms must read back to the very same double (NaN aside).
TEST_P(ShortestNumber, ReadsBack) {
  const double v = GetParam().value;
  if (std::isnan(v)) return;  // no NaN compares equal; its text is checked above
  for (const std::string& text : {debug_number(v), plain_number(v)}) {
    const double back = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(std::signbit(back), std::signbit(v)) << text;
    EXPECT_EQ(back, v) << text;
  }
}

TEST_P(ShortestNumber, AppendFormsAddToExistingText) {
  std::string a = "x=";
  append_debug_number(a, GetParam().value);
  EXPECT_EQ(a, std::string("x=") + GetParam().debug);
  std::string b = "y=";
  append_plain_number(b, GetParam().value);
  EXPECT_EQ(b, std::string("y=") + GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(DumpNumber, ShortestNumber, ::testing::ValuesIn(kShortestCases));

// Arbitrary bit patterns over the whole range, subnormals included: both forms read
// back exactly, carry at most 17 significant digits, and only the debug form of a
// value outside [1e-4, 1e16) uses an exponent.
TEST(DumpNumber, ShortestFormsRoundTripOnRandomBits) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    const std::string debug = debug_number(v);
    const std::string plain = plain_number(v);
    ASSERT_EQ(std::strtod(debug.c_str(), nullptr), v) << debug;
    ASSERT_EQ(std::strtod(plain.c_str(), nullptr), v) << plain;
    ASSERT_EQ(plain.find_first_of("e+"), std::string::npos) << plain;
    const double a = std::fabs(v);
    const bool positional = v == 0 || (a >= 1e-4 && a < 1e16);
    ASSERT_EQ(debug.find('e') == std::string::npos, positional) << debug;
    if (positional) {
      ASSERT_NE(debug.find('.'), std::string::npos) << debug;
    }
    ASSERT_EQ(debug.find('+'), std::string::npos) << debug;
    const std::size_t first = plain.find_first_of("123456789");
    const std::size_t last = plain.find_last_of("123456789");
    std::size_t significant = 0;
    for (std::size_t k = first; k <= last; ++k) significant += plain[k] != '.';
    ASSERT_LE(significant, 17u) << plain;
  }
}

// ---------------------------------------------------------------- fixed cells

struct FixedCase {
  double value;
  std::uint64_t precision;
  const char* text;
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.text << " (precision " << c.precision << ")"; }

const FixedCase kFixedCases[] = {
    {2.5, 0, "2"},  // exact ties go to even
    {3.5, 0, "4"},
    {-2.5, 0, "-2"},
    {-0.4, 0, "-0"},  // a negative value rounding to zero keeps its sign
    {0.5, 0, "0"},
    {1.5, 0, "2"},
    {0.125, 2, "0.12"},
    {0.375, 2, "0.38"},
    {-0.125, 2, "-0.12"},
    {0.0, 3, "0.000"},
    {-0.0, 3, "-0.000"},
    {-0.0004, 3, "-0.000"},
    {-0.0005, 3, "-0.001"},  // the double is a little above 0.0005 in magnitude: no tie
    {0.0005, 3, "0.001"},
    {0.0015, 3, "0.002"},
    {1.0005, 3, "1.000"},  // the double is a little below 1.0005
    {2.675, 2, "2.67"},
    {1.0, 3, "1.000"},
    {-1.0, 0, "-1"},
    {1e16, 3, "10000000000000000.000"},
    {1e-7, 3, "0.000"},
    {1e-7, 8, "0.00000010"},
    {0.1 + 0.2, 17, "0.30000000000000004"},
    {0.1, 20, "0.10000000000000000555"},  // exact binary value, not the shortest digits
    {123.456, 1, "123.5"},
    {999.9995, 3, "1000.000"},
    {9.9996, 3, "10.000"},
    {1.0 / 3.0, 3, "0.333"},
    {kNaN, 3, "NaN"},
    {-kNaN, 3, "NaN"},
    {kInf, 3, "inf"},
    {-kInf, 0, "-inf"},
    {5e-324, 3, "0.000"},
    {1e300, 3,
     "10000000000000000525047602552044202487044685811081591549158541155118024579889081957863713750804478640437044438"
     "32883878176942523235360430575644792184786706982848387200926575803737830233794788090059368953234970799945081119"
     "038967640880074652742780142494579258788820056842838115669472196386865459400540160.000"},
    {1.7976931348623157e308, 0,
     "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955863276687817154045895"
     "35143824642343213268894641827684675467035375169860499105765512820762454900903893289440758685084551339423045832"
     "36903222948165808559332123348274797826204144723168738177180919299881250404026184124858368"},
};

class FixedCell : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FixedCell, MatchesExactRounding) {
  const FixedCase& c = GetParam();
  EXPECT_EQ(format_fixed(c.value, c.precision), c.text);
  DumpOptions options;
  options.precision = c.precision;
  EXPECT_EQ(format_dump_cell(c.value, options), c.text);
}

// Named by index, text and precision, the text cut short: ctest pads every line of
// its log to the longest name.
std::string fixed_case_name(const ::testing::TestParamInfo<FixedCase>& info) {
  const std::string_view full = info.param.text;
  const std::string_view head = full.substr(0, 20);
  std::string text;
  for (char c : head) text += std::isalnum(static_cast<unsigned char>(c)) ? c : c == '-' ? 'm' : '_';
  if (full.size() > head.size()) text += "_etc";
  return fmt::format("{}_{}_p{}", info.index, text, info.param.precision);
}

INSTANTIATE_TEST_SUITE_P(DumpNumber, FixedCell, ::testing::ValuesIn(kFixedCases), fixed_case_name);

TEST(DumpNumber, DefaultOptionsGiveThreeDecimals) {
  EXPECT_EQ(format_dump_cell(0.0, DumpOptions{}), "0.000");
  EXPECT_EQ(format_dump_cell(-1.23456, DumpOptions{}), "-1.235");
}

// The whole precision range is honoured, far beyond the digits a double holds.
TEST(DumpNumber, VeryLargePrecisionIsExact) {
  const std::string tenth = format_fixed(0.1, kMaxDumpPrecision);
  ASSERT_EQ(tenth.size(), 65537u);
  EXPECT_EQ(tenth.substr(0, 57), "0.1000000000000000055511151231257827021181583404541015625");
  EXPECT_EQ(tenth.find_first_not_of('0', 57), std::string::npos);

  // The smallest subnormal has 1074 exact decimals ending in 5: a true tie at 1073.
  const std::string full = format_fixed(5e-324, 1074);
  EXPECT_EQ(full.size(), 1076u);
  EXPECT_EQ(full.substr(full.size() - 12), "533447265625");
  const std::string tie = format_fixed(5e-324, 1073);
  EXPECT_EQ(tie.size(), 1075u);
  EXPECT_EQ(tie.substr(tie.size() - 12), "553344726562");
}

TEST(DumpNumber, PrecisionAboveLimitIsRefused) {
  EXPECT_NO_THROW(check_dump_precision(kMaxDumpPrecision));
  for (const std::uint64_t precision : {kMaxDumpPrecision + 1, std::uint64_t{1} << 32, ~std::uint64_t{0}}) {
    try {
      (void)format_dump_cell(1.0, DumpOptions{precision, 20, 12});
      ADD_FAILURE() << "precision " << precision << " accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), Error::Kind::Message);
      EXPECT_EQ(e.text(), "dump: precision must be at most 65535, got " + std::to_string(precision));
    }
  }
  // Specials are refused too: the check does not depend on the value.
  EXPECT_THROW((void)format_fixed(kNaN, 70000), Error);
}

TEST(DumpNumber, JoinDumpCells) {
  const double coords[] = {0.5, 1.0, -0.0};
  EXPECT_EQ(join_dump_cells(coords, DumpOptions{}), "0.500, 1.000, -0.000");
  EXPECT_EQ(join_dump_cells(coords, DumpOptions{1, 20, 12}, "|"), "0.5|1.0|-0.0");
  // Nothing is formatted for an empty list, so even a refused precision passes.
  EXPECT_EQ(join_dump_cells({}, DumpOptions{100000, 20, 12}), "");
}

}  // namespace
