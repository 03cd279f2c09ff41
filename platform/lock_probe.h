#pragma once
// Locks that editors take on a file they edit: a POSIX record lock, an open file description
// lock or an flock held by another process, or an office suite's lock file ".~lock.NAME#" beside
// the file. The probes only look; they never take a lock that outlives them.

#include <string>

namespace platform {

// Another process holds a POSIX/OFD record lock or an flock on the file behind `fd`.
bool HeldLockByOther(int fd);

// An office lock file stands beside `path`.
bool HasOfficeLockFile(const std::string& path);

// "Somebody may still write it": a missing or unreadable file, a writer (deny-write open fails),
// a lock held by another process, or an office lock file.
bool IsFileLocked(const std::string& path);

}  // namespace platform
