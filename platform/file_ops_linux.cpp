#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_ops.h"

namespace platform {

bool PathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

uint64_t FileSizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool RemoveEmptyFolder(const std::string& dir) { return ::rmdir(dir.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

MoveResult MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return MoveResult::kMoved;
  }
  if (errno == EEXIST || PathExists(to)) return MoveResult::kNameTaken;
  return ::rename(from.c_str(), to.c_str()) == 0 ? MoveResult::kMoved : MoveResult::kFailed;
}

bool IsPrivateFileOfOurs(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

}  // namespace platform
