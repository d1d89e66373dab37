#include "store/swap_dir.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "base/error.hpp"

namespace quenlith::store {

namespace {

std::mutex& swap_mutex() {
  static std::mutex m;
  return m;
}
std::optional<std::string>& swap_setting() {
  static std::optional<std::string> setting;
  return setting;
}

// mkdir -p; the last component gets `mode`, missing parents 0777 (less umask).
void make_directories(const std::string& path, mode_t mode) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    const bool last = pos == path.size();
    if (::mkdir(prefix.c_str(), last ? mode : 0777) != 0 && errno != EEXIST) throw Error::io_errno(errno);
  }
}

// The default directory must be ours alone: a plain directory (not a link)
// owned by this user. Permissions are tightened when we own it.
void check_private_directory(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw Error::io_errno(errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    throw Error::io(fmt::format("swap directory {} is not a private directory of this user", path));
  if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) throw Error::io_errno(errno);
}

}  // namespace

void set_swap_dir(std::string path) {
  std::lock_guard lock(swap_mutex());
  swap_setting() = std::move(path);
}

std::string swap_dir() {
  std::lock_guard lock(swap_mutex());
  auto& setting = swap_setting();
  if (setting) return *setting;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp && *tmp) ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  // "/" joined with the name is "/quenlith-swap-{}", not "//...".
  if (base == "/") base.clear();
  std::string path = fmt::format("{}/quenlith-swap-{}", base, ::getpid());
  make_directories(path, 0700);
  check_private_directory(path);
  setting = path;
  return path;
}

}  // namespace quenlith::store
