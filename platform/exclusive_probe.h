#pragma once
// "Does anybody else have this file open at all?" The exclusive open: a write lease
// (F_SETLEASE, F_WRLCK) is granted only while no other descriptor refers to the file, so its
// refusal says that another open exists. The lease is released at once. Where the kernel grants
// no lease to us (another user's file, a file system without leases), /proc is searched for a
// descriptor of another process on the same file.

#include <string>

namespace platform {

// True when the file exists and somebody else holds it open (or a lock on it, see lock_probe.h).
// A missing file gives false.
bool IsFileOpenElsewhere(const std::string& path);

// The /proc search on its own: a process other than us holds a descriptor on the file behind
// `fd`. Exposed for tests.
bool ProcHasOtherOpen(int fd);

}  // namespace platform
