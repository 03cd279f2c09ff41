#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/named_event.h"

namespace platform {

NamedEvent::~NamedEvent() { Close(); }

bool NamedEvent::Create(const std::string& folder, const std::string& name) {
  Close();
  const std::string path = folder + "/" + name;
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && (!S_ISFIFO(st.st_mode) || st.st_uid != geteuid())) {
    if (unlink(path.c_str()) != 0) return false;
  }
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return false;
  // Read and write: opening does not wait for a writer, and the FIFO never reports end-of-file
  // between two writers.
  fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd_ < 0) return false;
  if (fstat(fd_, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    Close();
    return false;
  }
  return true;
}

void NamedEvent::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

NamedEvent::WaitResult NamedEvent::Wait(const LocalEvent& stop) {
  if (fd_ < 0 || stop.fd() < 0) return WaitResult::kError;
  for (;;) {
    pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
    const int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kError;
    }
    if ((fds[0].revents & POLLIN) != 0) return WaitResult::kStopped;
    if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) return WaitResult::kError;
    if ((fds[1].revents & POLLIN) != 0) {
      char drain[64];
      while (read(fd_, drain, sizeof drain) > 0) {
      }
      return WaitResult::kSignalled;
    }
  }
}

bool NamedEvent::Signal(const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;  // ENXIO: no listener
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
  if (ok) {
    const char byte = 1;
    ssize_t n;
    do {
      n = write(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    // A full FIFO already holds a pending signal: this one coalesces with it.
    ok = n == 1 || errno == EAGAIN;
  }
  close(fd);
  return ok;
}

}  // namespace platform
