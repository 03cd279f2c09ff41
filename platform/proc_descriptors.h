#pragma once
// The descriptors other processes hold on a file, as /proc shows them. The fallback of the open
// probes where the kernel refuses a lease (a file we don't own, a file system without leases):
// only processes we may inspect are seen.

#include <functional>
#include <string>

namespace platform {

struct ProcDescriptor {
  std::string pid;  // "1234"
  std::string fd;   // "7"
  long flags = 0;   // the open flags from fdinfo (O_ACCMODE tells read or write); -1 unreadable
};

// Calls `match` for every descriptor of every visible process that refers to the same device and
// inode as our descriptor `fd`, until `match` returns true; true when it did.
bool AnyDescriptorOnFile(int fd, const std::function<bool(const ProcDescriptor&)>& match);

}  // namespace platform
