#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/instance_folder.h"

namespace platform {

bool EnsurePrivateDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  // A folder we created earlier with a wider umask-independent mode is narrowed again.
  if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) return false;
  return true;
}

std::string InstanceFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    struct stat st {};
    if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
      std::string folder = std::string(runtime) + "/plumet";
      if (EnsurePrivateDirectory(folder)) return folder;
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  // Not the folder of the working copies: a remote file named like one of our objects must not
  // land on it.
  std::string folder = base + "/plumet-" + std::to_string(geteuid()) + "-run";
  return EnsurePrivateDirectory(folder) ? folder : std::string();
}

}  // namespace platform
