#include "store/leftovers.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace quenlith::store {

bool process_gone(pid_t pid) noexcept { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

bool try_lock(int fd, int operation) noexcept {
  int rc;
  do rc = ::flock(fd, operation | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool still_named(int dir, const char* name, int fd) noexcept {
  struct stat named {}, open {};
  return ::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

int claim_leftover(int dir, const char* name, const struct stat& seen, int flags) noexcept {
  // O_NONBLOCK: a name swapped for a FIFO since `seen` must not hang the open.
  const int fd = ::openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat opened {};
  // The entry checked by the caller, not one put in its place since; and still so once
  // locked, since its owner may have removed it (and made another) meanwhile.
  if (::fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino ||
      !try_lock(fd, LOCK_EX) || !still_named(dir, name, fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) noexcept {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<pid_t> parse_pid(std::string_view text) noexcept {
  const auto value = parse_decimal(text, static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()));
  if (!value || *value == 0) return std::nullopt;
  return static_cast<pid_t>(*value);
}

std::vector<std::string> entry_names(int dir, std::string_view prefix) noexcept {
  std::vector<std::string> names;
  // fdopendir takes the descriptor over: it gets a copy, rewound, so that `dir` stays
  // the caller's (a copy shares the position in the directory).
  const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  DIR* stream = ::fdopendir(copy);
  if (!stream) {
    ::close(copy);
    return names;
  }
  ::rewinddir(stream);
  try {
    while (const dirent* e = ::readdir(stream)) {
      const std::string_view name(e->d_name);
      if (name == "." || name == ".." || !name.starts_with(prefix)) continue;
      names.emplace_back(name);
    }
  } catch (...) {  // out of memory: the names so far
  }
  ::closedir(stream);
  return names;
}

void remove_files_in(int dir) noexcept {
  for (const std::string& name : entry_names(dir)) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) continue;
    ::unlinkat(dir, name.c_str(), 0);
  }
}

}  // namespace quenlith::store
