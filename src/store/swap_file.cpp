#include "store/swap_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include <fmt/format.h>

#include "base/error.hpp"
#include "store/fd.hpp"
#include "store/file_write.hpp"

namespace quenlith::store {

namespace {

std::string absolute_dir(const std::string& dir) {
  if (!dir.empty() && dir.front() == '/') return dir;
  char buffer[PATH_MAX];
  if (!::getcwd(buffer, sizeof buffer)) throw Error::io_errno(errno);
  std::string out = buffer;
  if (!dir.empty()) {
    if (out.back() != '/') out += '/';
    out += dir;
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> read_swap_file(const std::string& path) {
  int raw;
  do raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) throw Error::io_errno(errno);
  Fd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw Error::io_errno(errno);
  std::vector<std::uint8_t> out;
  // The size is only a hint: read until the end whatever it said.
  out.reserve(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0);
  std::uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error::io_errno(errno);
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

std::string write_new_swap_file(const std::string& dir, std::string_view stem, std::span<const std::uint8_t> bytes) {
  static std::atomic<std::uint64_t> counter{0};
  std::string base = absolute_dir(dir);
  if (base.back() != '/') base += '/';
  // A name left over by an earlier process with the same id only costs a retry.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string path =
        fmt::format("{}{}-{}-{}.swap", base, stem, ::getpid(), counter.fetch_add(1, std::memory_order_relaxed));
    // Exactly 0600: the record must be readable back, and by us alone.
    if (write_exclusive_file(path, bytes, 0600, true)) return path;
  }
  throw Error::io_errno(EEXIST);
}

bool remove_swap_file(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

}  // namespace quenlith::store
