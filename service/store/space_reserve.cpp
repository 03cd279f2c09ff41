#include "service/store/space_reserve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelmic {

namespace {

std::string ReservePath(const std::string& dir) { return dir + "/space.reserve"; }

}  // namespace

bool KeepSpaceReserve(const std::string& dir) {
  const std::string path = ReservePath(dir);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size == kSpaceReserveBytes) return true;
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // Allocated, not just sized: a sparse file would free nothing when removed.
  bool ok = posix_fallocate(fd, 0, kSpaceReserveBytes) == 0 && fsync(fd) == 0;
  close(fd);
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

bool ReleaseSpaceReserve(const std::string& dir) { return unlink(ReservePath(dir).c_str()) == 0; }

}  // namespace zelmic
