#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/exclusive_probe.h"
#include "platform/file.h"
#include "platform/lock_probe.h"
#include "platform/proc_descriptors.h"

namespace platform {

bool ProcHasOtherOpen(int fd) {
  const std::string self = std::to_string(::getpid());
  return AnyDescriptorOnFile(fd, [&](const ProcDescriptor& d) { return d.pid != self; });
}

bool IsFileOpenElsewhere(const std::string& path) {
  // O_NONBLOCK: never wait behind somebody's lease, nor on a FIFO planted under the name.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Missing: nobody has it. Anything else that keeps us out (a symlink, no permission) must
    // not be taken over either.
    return errno != ENOENT;
  }
  File file;
  file.Adopt(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return true;

  // While the lease exists for a few instructions, an opener would break it: route that
  // notification to a signal that is ignored by default.
  const int previousSignal = ::fcntl(fd, F_GETSIG);
  ::fcntl(fd, F_SETSIG, SIGURG);
  bool elsewhere;
  if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    elsewhere = false;
  } else if (errno == EAGAIN || errno == EBUSY) {
    elsewhere = true;
  } else {
    elsewhere = ProcHasOtherOpen(fd);
  }
  if (previousSignal >= 0) ::fcntl(fd, F_SETSIG, previousSignal);
  return elsewhere || HeldLockByOther(fd) || HasOfficeLockFile(path);
}

}  // namespace platform
