#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file.h"
#include "platform/io_retry.h"

namespace platform {

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool File::Open(const std::string& path, Mode mode) {
  Close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kReadWrite:
      flags |= O_RDWR | O_NOFOLLOW;
      break;
    case Mode::kCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  fd_ = fd;
  return true;
}

void File::Adopt(int fd) {
  Close();
  fd_ = fd;
}

int64_t File::Read(void* buffer, size_t size) {
  if (fd_ < 0) return -1;
  const ssize_t n = RetryOnEintr([&] { return ::read(fd_, buffer, size); });
  return n < 0 ? -1 : n;
}

int64_t File::ReadAt(void* buffer, size_t size, uint64_t offset) const {
  if (fd_ < 0) return -1;
  const ssize_t n =
      RetryOnEintr([&] { return ::pread(fd_, buffer, size, static_cast<off_t>(offset)); });
  return n < 0 ? -1 : n;
}

bool File::Write(const void* data, size_t size) { return fd_ >= 0 && WriteFull(fd_, data, size); }

bool File::Seek(uint64_t offset) {
  if (fd_ < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

int64_t File::Length() const {
  if (fd_ < 0) return -1;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool File::Flush() {
  if (fd_ < 0) return false;
  return ::fdatasync(fd_) == 0;
}

bool File::RestrictToOwner() { return fd_ >= 0 && ::fchmod(fd_, 0600) == 0; }

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);  // the descriptor is gone even when close reports an error; never retry
    fd_ = -1;
  }
}

}  // namespace platform
