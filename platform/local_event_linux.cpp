#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/local_event.h"

namespace platform {

LocalEvent::LocalEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LocalEvent::~LocalEvent() {
  if (fd_ >= 0) close(fd_);
}

void LocalEvent::Set() {
  const uint64_t one = 1;
  if (fd_ >= 0) {
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
  }
}

void LocalEvent::Reset() {
  uint64_t value = 0;
  if (fd_ >= 0) {
    [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
  }
}

}  // namespace platform
