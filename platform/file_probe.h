#pragma once
// "Is somebody writing this file?" A file that an editor still holds open for writing must be
// neither hashed nor uploaded: the probe opens it read-only and fails while any other open
// descriptor (or shared writable mapping) can still change it.
//
// How: a read lease (F_SETLEASE, F_RDLCK) on a read-only descriptor is refused with EAGAIN while
// the file is open for writing anywhere on the system. The lease is released at once; it is
// never held beyond the probe. While it is held for those few instructions, a writer that opens
// the file would break it: the notification is routed to SIGURG (ignored by default) instead of
// SIGIO, whose default action ends the process.
//
// Leases need a regular file that the caller owns (or CAP_LEASE) on a file system that supports
// them. When the kernel refuses the lease for any other reason than EAGAIN (EACCES, EINVAL,
// ENOSYS...), the probe falls back to reading /proc: a descriptor of any process we may
// inspect that refers to the same device and inode with write access counts as a writer. Writers
// hidden from us (processes of other users) are then not seen; this is the accepted limit of the
// fallback.

#include <string>

#include "platform/file.h"

namespace platform {

enum class WriterState {
  kNone,     // nobody has the file open for writing
  kPresent,  // somebody does
  kError,    // the probe itself failed (e.g. not a regular file)
};

// Probes the file behind `fd`, a descriptor opened read-only by the caller.
WriterState ProbeWriters(int fd);

// The "deny writers" open: opens `path` read-only into `out` and succeeds only when it is a
// regular file that nobody has open for writing. On failure `out` is closed and false returned.
bool OpenDenyingWriters(const std::string& path, File& out);

// The /proc fallback on its own, exposed for tests: true when a process visible to us holds a
// descriptor with write access on the file behind `fd` (our own `fd` excluded).
bool ProcHasWriter(int fd);

}  // namespace platform
