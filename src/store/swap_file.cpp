#include "store/swap_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include <fmt/format.h>

#include "base/error.hpp"

namespace quenlith::store {

namespace {

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  // Closes now, reporting the error (a delayed write error can surface here).
  int close() noexcept {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

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
  std::string path;
  int raw = -1;
  // A name left over by an earlier process with the same id only costs a retry.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    path = fmt::format("{}{}-{}-{}.swap", base, stem, ::getpid(), counter.fetch_add(1, std::memory_order_relaxed));
    raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (raw >= 0 || (errno != EEXIST && errno != EINTR)) break;
  }
  if (raw < 0) throw Error::io_errno(errno);
  Fd fd(raw);
  auto fail = [&](int err) {
    fd.close();
    ::unlink(path.c_str());
    return Error::io_errno(err);
  };
  // The creation mask may have taken bits from 0600; the record must be readable back.
  if (::fchmod(fd.get(), 0600) != 0) throw fail(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fd.close() != 0) {
    const int err = errno;
    ::unlink(path.c_str());
    throw Error::io_errno(err);
  }
  return path;
}

bool remove_swap_file(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0; }

}  // namespace quenlith::store
