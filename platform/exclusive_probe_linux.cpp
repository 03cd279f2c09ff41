#include "platform/exclusive_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/file.h"
#include "platform/lock_probe.h"

namespace platform {

namespace {

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

bool ProcHasOtherOpen(int fd) {
  struct stat target;
  if (::fstat(fd, &target) != 0) return false;
  const std::string self = std::to_string(::getpid());
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    dirent* p = ::readdir(proc);
    if (p == nullptr) break;
    if (!IsNumber(p->d_name) || self == p->d_name) continue;
    const std::string base = std::string("/proc/") + p->d_name + "/fd/";
    DIR* fds = ::opendir(base.c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look at
    while (!found) {
      dirent* d = ::readdir(fds);
      if (d == nullptr) break;
      if (!IsNumber(d->d_name)) continue;
      struct stat st;
      if (::stat((base + d->d_name).c_str(), &st) != 0) continue;
      found = st.st_dev == target.st_dev && st.st_ino == target.st_ino;
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return found;
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
