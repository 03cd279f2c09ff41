#include <fcntl.h>

#include <cerrno>
#include <csignal>

#include "platform/read_lease.h"

namespace platform {

ReadLease::State ReadLease::Acquire(int fd) {
  Release();
  const int previous = ::fcntl(fd, F_GETSIG);
  ::fcntl(fd, F_SETSIG, SIGURG);
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fd_ = fd;
    previousSignal_ = previous < 0 ? 0 : previous;
    return State::kHeld;
  }
  const int error = errno;
  if (previous >= 0) ::fcntl(fd, F_SETSIG, previous);
  return error == EAGAIN ? State::kWriterPresent : State::kUnavailable;
}

bool ReadLease::Broken() const {
  // While a break is pending the kernel reports the type the lease is being broken to.
  return fd_ >= 0 && ::fcntl(fd_, F_GETLEASE) != F_RDLCK;
}

void ReadLease::Release() {
  if (fd_ < 0) return;
  ::fcntl(fd_, F_SETLEASE, F_UNLCK);
  ::fcntl(fd_, F_SETSIG, previousSignal_);
  fd_ = -1;
}

}  // namespace platform
