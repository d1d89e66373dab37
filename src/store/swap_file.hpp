#pragma once
// Whole-file reading and writing of swap files.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quenlith::store {

// The whole content of the file. Throws Error::io with the operating system's text
// ("No such file or directory (os error 2)").
std::vector<std::uint8_t> read_swap_file(const std::string& path);

// Writes `bytes` to a new file of `dir`, created exclusively (never over an
// existing file or through a symbolic link) with mode 0600, and returns its absolute
// path (a relative `dir` is taken against the current working directory now). The
// name is "{stem}-{pid}-{n}.swap" with a process-wide counter n. On any failure the
// partial file is removed and Error::io is thrown.
std::string write_new_swap_file(const std::string& dir, std::string_view stem, std::span<const std::uint8_t> bytes);

// Removes the file; false when that failed (the caller ignores it).
bool remove_swap_file(const std::string& path) noexcept;

}  // namespace quenlith::store
