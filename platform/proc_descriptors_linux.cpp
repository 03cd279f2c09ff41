#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/proc_descriptors.h"

namespace platform {

namespace {

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// The "flags:" line of /proc/<pid>/fdinfo/<fd> (printed in octal); -1 when it cannot be read.
long ReadFdFlags(const std::string& fdinfoPath) {
  FILE* f = std::fopen(fdinfoPath.c_str(), "re");
  if (f == nullptr) return -1;
  char line[256];
  long flags = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "flags:", 6) == 0) {
      flags = std::strtol(line + 6, nullptr, 8);
      break;
    }
  }
  std::fclose(f);
  return flags;
}

}  // namespace

bool AnyDescriptorOnFile(int fd, const std::function<bool(const ProcDescriptor&)>& match) {
  struct stat target;
  if (::fstat(fd, &target) != 0) return false;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    dirent* p = ::readdir(proc);
    if (p == nullptr) break;
    if (!IsNumber(p->d_name)) continue;
    const std::string base = std::string("/proc/") + p->d_name;
    DIR* fds = ::opendir((base + "/fd").c_str());
    if (fds == nullptr) continue;  // gone, or not ours to look at
    while (!found) {
      dirent* d = ::readdir(fds);
      if (d == nullptr) break;
      if (!IsNumber(d->d_name)) continue;
      struct stat st;
      if (::stat((base + "/fd/" + d->d_name).c_str(), &st) != 0) continue;
      if (st.st_dev != target.st_dev || st.st_ino != target.st_ino) continue;
      found = match({p->d_name, d->d_name, ReadFdFlags(base + "/fdinfo/" + d->d_name)});
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return found;
}

}  // namespace platform
