#pragma once
// The process-wide swap directory: where stored objects written out to disk
// live. It is set by `set_swap_dir`, or defaults on first use to a private
// per-process directory under the system temporary directory.
#include <string>

namespace quenlith::store {

// Replaces the setting with `path`, kept as given (not made absolute, not
// created, not validated). Never fails.
void set_swap_dir(std::string path);

// The effective directory. When none is set, makes the default
// "$TMPDIR/quenlith-swap-{pid}" (TMPDIR unset: /tmp) with every missing parent
// and mode 0700, and keeps it. Throws Error::io when it cannot be made, or when
// the path exists but is not a directory of the current user (or is a symbolic
// link): other users must neither read nor plant swapped data. Nothing is kept
// on failure, so a later call tries again. A default directory made here is
// removed when the process exits if it is empty then; one that was there before,
// or one a set path names, is never removed, and neither is the parent's by a
// forked child.
//
// The default directory is held in use (a shared flock on it) for the process's life,
// so that processes of other pid namespaces, to which this one's id means nothing,
// leave it alone. Making the default also clears what killed processes left: the
// files of a default directory that was already there and that no process holds (an
// earlier process had this id), and, beside it, the default directories of this
// user's processes that no longer exist (not links, mode 0700, named with the id of no
// running process, held by nobody; see leftovers.hpp). One held by a process of
// another namespace with this same id is shared with it, and not removed at exit.
std::string swap_dir();

}  // namespace quenlith::store
