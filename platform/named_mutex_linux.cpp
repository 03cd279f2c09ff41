#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/named_mutex.h"

namespace platform {

NamedMutex::~NamedMutex() { Release(); }

bool NamedMutex::TryAcquire(const std::string& folder, const std::string& name) {
  if (owned_) return true;
  if (fd_ < 0) {
    const std::string path = folder + "/" + name;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return false;
  }
  int rc;
  do {
    rc = flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  owned_ = rc == 0;
  return owned_;
}

void NamedMutex::Release() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
  fd_ = -1;
  owned_ = false;
}

}  // namespace platform
