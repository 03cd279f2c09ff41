#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/temp_dir.h"

namespace platform {

std::string PrivateTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string dir = base != nullptr && *base == '/' ? base : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  dir += "/plumet-" + std::to_string(::getuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  // Judge what is there now through a descriptor that cannot be a symlink, then fix its mode on
  // that same descriptor: nobody can swap the folder between the check and the chmod.
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
  if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  return ok ? dir + "/" : std::string();
}

}  // namespace platform
