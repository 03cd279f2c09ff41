#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/io_retry.h"

namespace platform {

AtomicFile::~AtomicFile() { Abandon(); }

bool AtomicFile::Begin(const std::string& target) {
  Abandon();
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty()) {
    errno = EISDIR;
    return false;
  }
  std::vector<char> pattern(dir.begin(), dir.end());
  const std::string tail = "." + name + ".XXXXXX";
  pattern.insert(pattern.end(), tail.begin(), tail.end());
  pattern.push_back('\0');
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  fd_ = fd;
  target_ = target;
  temp_ = pattern.data();
  return true;
}

bool AtomicFile::Write(const void* data, size_t size) {
  return fd_ >= 0 && WriteFull(fd_, data, size);
}

bool AtomicFile::Commit(int mode) {
  if (fd_ < 0) return false;
  // mkstemp creates 0600; a downloaded file should look like any other new file of the user.
  if (mode < 0) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = static_cast<int>(0666 & ~mask);
  }
  bool ok = ::fchmod(fd_, static_cast<mode_t>(mode)) == 0 && ::fsync(fd_) == 0;
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok) ok = ::rename(temp_.c_str(), target_.c_str()) == 0;
  if (ok) {
    temp_.clear();
    return true;
  }
  const int saved = errno;
  Abandon();
  errno = saved;
  return false;
}

void AtomicFile::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

bool CanCreateFilesIn(const std::string& dir) {
  return ::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace platform
