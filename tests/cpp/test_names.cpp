// The names ctest gives the C++ tests. ctest pads every line of its log to the
// longest name, so a single long name (a parameter printed in full) makes the
// whole log unreadable.
#include <cstddef>
#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TestNames, FitOnALogLine) {
  constexpr std::size_t kMaxLength = 100;
  const std::regex index_suffix("/[0-9]+$");
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  for (int i = 0; i < unit.total_test_suite_count(); ++i) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
    for (int j = 0; j < suite.total_test_count(); ++j) {
      const ::testing::TestInfo& info = *suite.GetTestInfo(j);
      std::string name = std::string(suite.name()) + "." + info.name();
      // As the test discovery names them: a bare index gives way to the printed value.
      if (info.value_param() && std::regex_search(name, index_suffix))
        name = std::regex_replace(name, index_suffix, std::string("/") + info.value_param());
      EXPECT_LE(name.size(), kMaxLength) << name;
    }
  }
}

}  // namespace
