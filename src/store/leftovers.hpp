#pragma once
// Leftovers of ended processes: the module names some files and directories after the
// process that made them (the default swap directory, the temporary file of a file
// replacement), and a process killed before it could remove them leaves them behind.
// A later process finds them by name and removes those of processes that no longer
// exist. Everything here works on directory descriptors and never follows a symbolic
// link: a name found in a shared directory may have been planted by anyone.
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
