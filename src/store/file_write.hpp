#pragma once
// Whole-file writes: the two ways the system puts a file on disk.
#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

namespace quenlith::store {

// Creates `path` exclusively (O_EXCL: never over an existing file, never through a
// symbolic link) and writes `bytes` whole. The file gets `mode` less the creation
// mask, or exactly `mode` when `exact_mode`. Returns false, creating nothing, when
// the name is taken; any other failure removes the partial file and throws Error::io
// with the operating system's text ("No such file or directory (os error 2)").
bool write_exclusive_file(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode,
                          bool exact_mode);

// Replaces the content of `path` (creating it, mode 0666 less the creation mask) so
// that a reader sees the old file or the whole new one, never a part: the bytes go to
// a new file beside it ("{dir}/.{name}.{pid}.{n}.tmp"), which is then renamed over
// `path`. A failure removes the temporary file, leaves `path` as it was and throws
// Error::io. A symbolic link at `path` is replaced, not followed. Temporary files of
// `path` that ended processes left (killed while writing) are removed first: regular
// files of this user named with the id of no running process and not locked (the
// writer holds a flock on its temporary file until it is renamed, which a process of
// another pid namespace, whose id means nothing here, relies on; see leftovers.hpp). The
// directory is searched for them at most once a second, so that a series of files
// written into one directory does not list it once per file.
void replace_file(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace quenlith::store
