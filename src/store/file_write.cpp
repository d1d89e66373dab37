#include "store/file_write.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>

#include <fmt/format.h>

#include "base/error.hpp"
#include "store/fd.hpp"
#include "store/leftovers.hpp"

namespace quenlith::store {

namespace {

std::atomic<std::uint64_t> g_temp_counter{0};

// True when `dir` (the directory `fd` names) was not searched for leftovers within the
// last second, and marks it searched now. A time series written into one directory
// would otherwise list the directory once per file, a cost that grows with every file
// already written; once a second keeps the listing a negligible share of the work while
// a killed process's temporaries still go within a second of the next export.
bool due_for_search(int fd) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  using Clock = std::chrono::steady_clock;
  static std::mutex mutex;
  static std::map<std::pair<dev_t, ino_t>, Clock::time_point> last_search;
  const Clock::time_point now = Clock::now();
  try {
    const std::lock_guard lock(mutex);
    auto [at, fresh] = last_search.try_emplace({st.st_dev, st.st_ino}, now);
    if (!fresh && now - at->second < std::chrono::seconds(1)) return false;
    at->second = now;
  } catch (...) {  // out of memory: search every time
  }
  return true;
}

// Removes from `dir` ("" for the working directory) the temporary files of `name` that
// ended processes left: ".{name}.{pid}.{n}.tmp", regular files of this user, pid that
// of no running process (this one's are in use by its other threads). Failures are
// ignored.
void remove_dead_temps(const std::string& dir, std::string_view name) noexcept {
  const int raw = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (raw < 0) return;
  const Fd fd(raw);
  if (!due_for_search(fd.get())) return;
  constexpr std::string_view kSuffix = ".tmp";
  std::string prefix;
  try {
    prefix = fmt::format(".{}.", name);
  } catch (...) {
    return;
  }
  for (const std::string& entry : entry_names(fd.get(), prefix)) {
    std::string_view rest = entry;
    if (rest.size() < prefix.size() + kSuffix.size() || !rest.ends_with(kSuffix)) continue;
    // What is left is "{pid}.{n}".
    rest = rest.substr(prefix.size(), rest.size() - prefix.size() - kSuffix.size());
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos) continue;
    const std::optional<pid_t> pid = parse_pid(rest.substr(0, dot));
    if (!pid || !parse_decimal(rest.substr(dot + 1), UINT64_MAX) || *pid == ::getpid()) continue;
    struct stat st {};
    if (::fstatat(fd.get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || !process_gone(*pid)) continue;
    const Fd claimed(claim_leftover(fd.get(), entry.c_str(), st, O_RDONLY));
    if (claimed.get() >= 0) ::unlinkat(fd.get(), entry.c_str(), 0);
  }
}

// Creates `path` exclusively and writes `bytes` whole, as write_exclusive_file says.
// With `locked`, the file is locked (flock) before anything is written, and the
// returned descriptor still holds the lock: a remover of leftovers of ended processes
// leaves it alone until it is closed. Closed (-1) otherwise. Nothing (and -2) when the
// name is taken, or when `locked` and a remover took the new file before its lock.
int create_and_write(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode, bool exact_mode,
                     bool locked) {
  int raw;
  do raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    if (errno == EEXIST) return -2;
    throw Error::io_errno(errno);
  }
  Fd fd(raw);
  if (locked) {
    // Found unlocked by a remover between the creation and the lock: the name is its
    // to remove (or already gone); removing by name here could take a stranger's file.
    // On a filesystem without locks no remover can claim it either: it goes unlocked.
    const bool held = try_lock(fd.get(), LOCK_EX);
    if (held ? !still_named(AT_FDCWD, path.c_str(), fd.get()) : errno == EWOULDBLOCK) return -2;
  }
  auto fail = [&](int err) {
    fd.close();
    ::unlink(path.c_str());
    return Error::io_errno(err);
  };
  // The creation mask may have taken bits from the mode.
  if (exact_mode && ::fchmod(fd.get(), mode) != 0) throw fail(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  // The lock belongs to the open file, which a duplicate keeps open: closing the
  // written descriptor still reports a delayed write error, and the lock stays.
  Fd lock(locked ? ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0) : -1);
  if (locked && lock.get() < 0) throw fail(errno);
  if (fd.close() != 0) {
    const int err = errno;
    ::unlink(path.c_str());
    throw Error::io_errno(err);
  }
  return lock.release();
}

}  // namespace

bool write_exclusive_file(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode,
                          bool exact_mode) {
  return create_and_write(path, bytes, mode, exact_mode, false) == -1;
}

void replace_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  remove_dead_temps(dir, name);
  std::string temp;
  int lock = -2;
  // A name left over by an earlier process with the same id, or taken by a process of
  // another pid namespace with this id, only costs a retry.
  for (int attempt = 0; attempt < 1000 && lock == -2; ++attempt) {
    temp = fmt::format("{}.{}.{}.{}.tmp", dir, name, ::getpid(), g_temp_counter.fetch_add(1, std::memory_order_relaxed));
    lock = create_and_write(temp, bytes, 0666, false, true);
  }
  if (lock == -2) throw Error::io_errno(EEXIST);
  // Held until the rename is done: until then the temporary file is in use.
  const Fd held(lock);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw Error::io_errno(err);
  }
}

}  // namespace quenlith::store
