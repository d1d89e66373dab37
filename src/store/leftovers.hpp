#pragma once
// Leftovers of ended processes: the module names some files and directories after the
// process that made them (the default swap directory, the temporary file of a file
// replacement), and a process killed before it could remove them leaves them behind.
// A later process finds them by name and removes those of processes that no longer
// exist. Everything here works on directory descriptors and never follows a symbolic
// link: a name found in a shared directory may have been planted by anyone.
//
// A process id alone does not prove a process gone: processes in other pid namespaces
// (containers sharing one temporary directory) are invisible to kill(), and may even
// have this process's id. So an owner holds an advisory lock (flock, which one
// filesystem shares across namespaces) on each such file or directory while it lives,
// and a leftover is removed only when its pid names no process here AND its lock can be
// taken without waiting, and is removed while that lock is held.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenlith::store {

// True when no process `pid` exists now: kill(pid, 0) fails with ESRCH. A process this
// one may not signal (EPERM) is running. A pid reused since its first owner ended
// counts as running, so its leftovers are kept.
bool process_gone(pid_t pid) noexcept;

// Takes the advisory lock of the open file `fd` (LOCK_EX or LOCK_SH) without waiting;
// false when another open file holds a conflicting one (errno EWOULDBLOCK) or on any
// other failure (errno says which: ENOLCK where the filesystem has no locks).
// Taken on a descriptor that already holds the lock, converts it.
bool try_lock(int fd, int operation) noexcept;

// True when `name` in the open directory `dir` (not followed if a link) is the file
// open as `fd`: the name was not removed or replaced since `fd` was opened.
bool still_named(int dir, const char* name, int fd) noexcept;

// Claims the leftover `name` of the open directory `dir`, which the caller found to be
// `seen` (lstat) and to bear the id of an ended process: opens it with `flags` (never
// through a link) and takes its exclusive lock without waiting. The descriptor
// returned holds the lock until closed: remove the entry before closing it. -1 when
// the entry is locked (its owner lives, whatever its namespace), was replaced, or
// cannot be opened.
int claim_leftover(int dir, const char* name, const struct stat& seen, int flags) noexcept;

// The non-negative decimal number that is the whole of `text` (digits only, no sign or
// space, no leading zero but for "0" itself), up to `max`; nothing otherwise.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) noexcept;

// A process id written by this module in a name: positive, decimal, within pid_t.
std::optional<pid_t> parse_pid(std::string_view text) noexcept;

// The names of the entries of the open directory `dir` but "." and "..", in the order
// the system lists them, keeping only those that begin with `prefix` (all when it is
// empty); empty when it cannot be read. `dir` is not moved.
std::vector<std::string> entry_names(int dir, std::string_view prefix = {}) noexcept;

// Removes every entry of the open directory `dir` that is not a directory itself
// (a symbolic link is removed, never followed). Failures are ignored.
void remove_files_in(int dir) noexcept;

}  // namespace quenlith::store
