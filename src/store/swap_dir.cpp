#include "store/swap_dir.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "base/error.hpp"
#include "store/fd.hpp"
#include "store/leftovers.hpp"

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
// True when the last component was made here, false when it was there already.
bool make_directories(const std::string& path, mode_t mode) {
  bool made = false;
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    const bool last = pos == path.size();
    const bool ok = ::mkdir(prefix.c_str(), last ? mode : 0777) == 0;
    if (!ok && errno != EEXIST) throw Error::io_errno(errno);
    if (last) made = ok;
  }
  return made;
}

// The default directory this process made, removed at exit when nothing is left in
// it. A forked child inherits the record but not the directory: only the process
// that made it removes it. Written once under the swap mutex, read at exit.
struct MadeDefault {
  std::string path;
  pid_t maker = 0;
};
MadeDefault* made_default = nullptr;

// The descriptor holding the default directory in use (see open_in_use); a forked
// child shares it, so the directory stays held while either process lives.
int held_default = -1;

void remove_made_default() noexcept {
  // rmdir refuses a directory that still holds anything: swap files of objects
  // alive at exit stay where they are. Nor is it removed while a process of another
  // pid namespace with this id shares it.
  if (!made_default || made_default->maker != ::getpid()) return;
  if (held_default < 0 || try_lock(held_default, LOCK_EX)) ::rmdir(made_default->path.c_str());
}

void record_made_default(const std::string& path) {
  if (made_default) {  // made again after its removal by someone else
    made_default->path = path;
    made_default->maker = ::getpid();
    return;
  }
  made_default = new MadeDefault{path, ::getpid()};  // lives until the process ends
  std::atexit(remove_made_default);
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

constexpr std::string_view kDefaultPrefix = "quenlith-swap-";

// Removes from `base` the default directories of this user's processes that have
// ended: entries named "quenlith-swap-{pid}" that are directories (not links) owned by
// this user with mode 0700, whose process no longer exists and whose lock nobody holds
// (an owner in another pid namespace does). Only the files directly inside go (links
// removed, never followed); a directory holding anything else stays. Failures are
// ignored: this is housekeeping, and the caller's own directory is already settled.
void remove_dead_defaults(const std::string& base) noexcept {
  const int raw = ::open(base.empty() ? "/" : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;
  const Fd dir(raw);
  for (const std::string& name : entry_names(dir.get(), kDefaultPrefix)) {
    const std::optional<pid_t> pid = parse_pid(std::string_view(name).substr(kDefaultPrefix.size()));
    if (!pid || *pid == ::getpid()) continue;
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0700) continue;
    if (!process_gone(*pid)) continue;
    const Fd sub(claim_leftover(dir.get(), name.c_str(), st, O_RDONLY | O_DIRECTORY));
    if (sub.get() < 0) continue;
    remove_files_in(sub.get());
    ::unlinkat(dir.get(), name.c_str(), AT_REMOVEDIR);
  }
}

// Takes the shared lock that marks the open default directory `fd` in use for as long
// as this process lives. A remover holds the exclusive lock only for as long as it
// takes to empty a directory, so this waits for one, up to about a second. On a
// filesystem without locks there is nothing to hold, and no remover can claim it.
bool hold_in_use(int fd) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (try_lock(fd, LOCK_SH) || errno != EWOULDBLOCK) return true;
    ::usleep(5000);
  }
  return false;
}

// Opens the default directory `path`, already made and checked, and holds it in use
// (returns the descriptor, kept open for the process's life). When it was there before
// (`made` false) and no process holds it, an earlier process with this id (the id
// reused, or the program re-executed in place) was killed before it could empty it:
// this process has written nothing there yet (its setting was empty), so every file in
// it is left over. A process of another pid namespace with the same id holding it is
// alive: the directory is shared with it, nothing removed. -1 when the directory was
// removed or replaced meanwhile (by a remover that found it unheld): make it again.
int open_in_use(const std::string& path, bool made) {
  const int raw = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (raw < 0) {
    if (errno == ENOENT) return -1;
    throw Error::io_errno(errno);
  }
  Fd dir(raw);
  const bool alone = !made && try_lock(dir.get(), LOCK_EX);
  if (!still_named(AT_FDCWD, path.c_str(), dir.get())) return -1;
  if (alone) remove_files_in(dir.get());
  // From exclusive to shared is no atomic change: check the name again once held.
  if (!hold_in_use(dir.get()))
    throw Error::io(fmt::format("swap directory {} is locked by another process", path));
  if (!still_named(AT_FDCWD, path.c_str(), dir.get())) return -1;
  return dir.release();
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
  std::string path = fmt::format("{}/{}{}", base, kDefaultPrefix, ::getpid());
  // A remover of another pid namespace may take the directory away between its making
  // and its holding; each round makes it again.
  int held = -1;
  for (int attempt = 0; held < 0; ++attempt) {
    if (attempt == 100) throw Error::io(fmt::format("swap directory {} keeps being removed", path));
    const bool made = make_directories(path, 0700);
    if (made) record_made_default(path);
    check_private_directory(path);
    held = open_in_use(path, made);
  }
  if (held_default >= 0) ::close(held_default);
  held_default = held;
  remove_dead_defaults(base);
  setting = path;
  return path;
}

}  // namespace quenlith::store
