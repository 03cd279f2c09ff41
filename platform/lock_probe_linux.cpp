#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/file_probe.h"
#include "platform/lock_probe.h"

namespace platform {

bool HeldLockByOther(int fd) {
  // A write lock request conflicts with any record lock another process holds, POSIX or OFD (an
  // OFD query sees both kinds).
  struct flock query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  query.l_start = 0;
  query.l_len = 0;
  if (::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK) return true;
  // flock: our fresh descriptor holds none, so an exclusive try fails exactly when another open
  // file description holds one. Let go at once if we got it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
  ::flock(fd, LOCK_UN);
  return false;
}

bool HasOfficeLockFile(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  struct stat st;
  return ::lstat((dir + ".~lock." + name + "#").c_str(), &st) == 0;
}

bool IsFileLocked(const std::string& path) {
  File file;
  if (!OpenDenyingWriters(path, file)) return true;
  return HeldLockByOther(file.fd()) || HasOfficeLockFile(path);
}

}  // namespace platform
