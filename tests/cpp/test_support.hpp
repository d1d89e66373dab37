#pragma once
// Helpers shared by the C++ unit tests.
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
#include "containers/mesh/element_type.hpp"

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

}  // namespace quenlith::testing
