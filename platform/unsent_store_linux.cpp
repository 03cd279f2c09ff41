#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/file.h"
#include "platform/state_dir.h"
#include "platform/unsent_store.h"

namespace platform {

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string UnsentStoreDir() {
  const std::string state = StateDir();
  return state.empty() ? state : state + "unsent/";
}

bool SaveUnsentCopy(const std::string& storeDir, const std::string& source, std::string& stored) {
  if (storeDir.empty()) return false;
  std::string dir = storeDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (!MakePrivateDirs(dir)) return false;
  File in;
  if (!in.Open(source, File::Mode::kRead)) return false;

  const std::string name = BaseName(source);
  int fd = -1;
  std::string target;
  // The name first, then numbered names: an earlier run may have left a copy of the same file.
  for (int n = 0; n < 1000 && fd < 0; ++n) {
    target = dir + "/" + (n == 0 ? name : name + "." + std::to_string(n));
    fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  File out;
  out.Adopt(fd);
  char buffer[64 * 1024];
  bool ok = true;
  for (;;) {
    const int64_t got = in.Read(buffer, sizeof buffer);
    if (got < 0) ok = false;
    if (got <= 0) break;
    if (!out.Write(buffer, static_cast<size_t>(got))) {
      ok = false;
      break;
    }
  }
  ok = ok && out.Flush();
  out.Close();
  if (!ok) {
    ::unlink(target.c_str());
    return false;
  }
  stored = target;
  return true;
}

std::vector<std::string> ListUnsentCopies(const std::string& storeDir) {
  std::vector<std::string> files;
  DIR* dir = ::opendir(storeDir.c_str());
  if (dir == nullptr) return files;
  std::string base = storeDir;
  if (!base.empty() && base.back() != '/') base.push_back('/');
  while (dirent* entry = ::readdir(dir)) {
    const std::string path = base + entry->d_name;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(path);
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace platform
