#include "platform/file_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

// Reads the "flags:" line of /proc/<pid>/fdinfo/<fd>; false when it cannot be read.
bool ReadFdFlags(const std::string& fdinfoPath, long& flags) {
  FILE* f = std::fopen(fdinfoPath.c_str(), "re");
  if (f == nullptr) return false;
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "flags:", 6) == 0) {
      flags = std::strtol(line + 6, nullptr, 8);  // printed in octal
      found = true;
      break;
    }
  }
  std::fclose(f);
  return found;
}

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

bool ProcHasWriter(int fd) {
  struct stat target;
  if (::fstat(fd, &target) != 0) return false;
  const std::string self = std::to_string(::getpid());
  const std::string selfFd = std::to_string(fd);

  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool writer = false;
  while (!writer) {
    dirent* p = ::readdir(proc);
    if (p == nullptr) break;
    if (!IsNumber(p->d_name)) continue;
    const std::string base = std::string("/proc/") + p->d_name;
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look at
    while (!writer) {
      dirent* d = ::readdir(fds);
      if (d == nullptr) break;
      if (!IsNumber(d->d_name)) continue;
      if (self == p->d_name && selfFd == d->d_name) continue;
      struct stat st;
      if (::stat((base + "/fd/" + d->d_name).c_str(), &st) != 0) continue;
      if (st.st_dev != target.st_dev || st.st_ino != target.st_ino) continue;
      long flags = 0;
      if (!ReadFdFlags(base + "/fdinfo/" + d->d_name, flags)) continue;
      if ((flags & O_ACCMODE) != O_RDONLY) writer = true;
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return writer;
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
