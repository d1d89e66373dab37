#pragma once
// Helpers shared by the C++ unit tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include <stdlib.h>

#include "base/error.hpp"
#include "containers/finite_element_space/interpolation.hpp"
#include "containers/mesh/element_type.hpp"
#include "store/swap_dir.hpp"

namespace quenlith::testing {

// The display text of the core error `f` throws, or "<no error>".
inline std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.text();
  }
  return "<no error>";
}

// The interpolation a cell type is made for: degree 1 on linear types, 2 on quadratic ones.
inline containers::finite_element_space::Interpolation interpolation_of(containers::mesh::ElementType t) {
  using containers::finite_element_space::Interpolation;
  return fits(Interpolation::LAGRANGE1, t) ? Interpolation::LAGRANGE1 : Interpolation::LAGRANGE2;
}

// A private directory for swap files, set as the swap directory for one test and
// removed with everything in it afterwards (made writable first, should a test
// have taken its permissions away).
class SwapDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quenlith-swap-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    store::set_swap_dir(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

}  // namespace quenlith::testing
