#pragma once
// Helpers shared by the C++ unit tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "base/error.hpp"
#include "containers/finite_element_space/interpolation.hpp"
#include "containers/mesh/coords.hpp"
#include "containers/mesh/element_type.hpp"
#include "store/guard.hpp"
#include "store/store.hpp"
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

// A fresh private directory under the temporary directory ($TMPDIR, else /tmp),
// removed with everything in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& tag) {
    std::string pattern = (std::filesystem::temp_directory_path() / ("quenlith-" + tag + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
      throw std::filesystem::filesystem_error("mkdtemp", pattern, std::error_code(errno, std::generic_category()));
    path_ = pattern;
  }
  ~TempDir() { remove(); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const noexcept { return path_; }
  // Removes it now (a test may take away its permissions first: they come back).
  void remove() noexcept {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }

 private:
  std::string path_;
};

// The whole content of a file.
inline std::vector<char> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}
// Writes the first `n` of `bytes` over the file.
inline void spit(const std::string& path, const std::vector<char>& bytes, std::size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(n));
}

// The interpolation a cell type is made for: degree 1 on linear types, 2 on quadratic ones.
inline containers::finite_element_space::Interpolation interpolation_of(containers::mesh::ElementType t) {
  using containers::finite_element_space::Interpolation;
  return fits(Interpolation::LAGRANGE1, t) ? Interpolation::LAGRANGE1 : Interpolation::LAGRANGE2;
}

// A 2-D Coords with `n` nodes on the x axis, each node's first reference dropped,
// so that every count seen afterwards is the one its users hold.
inline store::Handle<containers::mesh::Coords> coords_with(std::uint32_t n) {
  store::Handle<containers::mesh::Coords> h = store::insert(containers::mesh::Coords(2));
  store::WriteGuard<containers::mesh::Coords> g = store::write(h);
  for (std::uint32_t i = 0; i < n; ++i) {
    const double xy[] = {double(i), 0.0};
    g->decref(g->add_node(xy));
  }
  return h;
}

// A private directory for swap files, set as the swap directory for one test and
// removed with everything in it afterwards (made writable first, should a test
// have taken its permissions away).
class SwapDirTest : public ::testing::Test {
 protected:
  void SetUp() override { store::set_swap_dir(dir_); }
  TempDir tmp_{"swap-test"};
  const std::string dir_ = tmp_.path();
};

}  // namespace quenlith::testing
