#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file_probe.h"
#include "platform/proc_descriptors.h"

namespace platform {

bool ProcHasWriter(int fd) {
  const std::string self = std::to_string(::getpid());
  const std::string selfFd = std::to_string(fd);
  return AnyDescriptorOnFile(fd, [&](const ProcDescriptor& d) {
    if (d.pid == self && d.fd == selfFd) return false;
    return d.flags >= 0 && (d.flags & O_ACCMODE) != O_RDONLY;
  });
}

WriterState ProbeWriters(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return WriterState::kError;

  // A writer opening the file during the few instructions the lease exists breaks it; route that
  // notification to a signal that is ignored by default.
  const int previousSignal = ::fcntl(fd, F_GETSIG);
  ::fcntl(fd, F_SETSIG, SIGURG);
  WriterState state;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    state = WriterState::kNone;
  } else if (errno == EAGAIN) {
    state = WriterState::kPresent;
  } else {
    // No lease for us here (not the owner without CAP_LEASE, or a file system without leases).
    state = ProcHasWriter(fd) ? WriterState::kPresent : WriterState::kNone;
  }
  if (previousSignal >= 0) ::fcntl(fd, F_SETSIG, previousSignal);
  return state;
}

bool OpenDenyingWriters(const std::string& path, File& out) {
  out.Close();
  // O_NONBLOCK: never wait behind somebody else's lease, nor on a FIFO; cleared once the file is
  // known to be a regular one.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  if (ProbeWriters(fd) != WriterState::kNone) {
    ::close(fd);
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  out.Adopt(fd);
  return true;
}

}  // namespace platform
