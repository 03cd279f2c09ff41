#include <sys/stat.h>

#include "platform/file_time.h"

namespace platform {

int64_t ModifiedTimeNs(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace platform
