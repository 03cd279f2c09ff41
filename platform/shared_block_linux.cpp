#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/shared_block.h"

namespace platform {

SharedBlock::~SharedBlock() { Close(); }

bool SharedBlock::Open(const std::string& folder, const std::string& name, size_t size) {
  Close();
  if (size == 0) return false;
  const std::string path = folder + "/" + name;
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return false;
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    Close();
    return false;
  }
  // Growing is safe for everyone who already mapped it: the new bytes read as zero. A block is
  // never shrunk under another process's mapping.
  if (static_cast<size_t>(st.st_size) < size && ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    Close();
    return false;
  }
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) {
    Close();
    return false;
  }
  data_ = static_cast<unsigned char*>(p);
  size_ = size;
  return true;
}

void SharedBlock::Close() {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool SharedBlock::Lock(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // flock has no timed wait; the holders keep it for milliseconds, so a short nap is enough.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void SharedBlock::Unlock() {
  if (fd_ >= 0) flock(fd_, LOCK_UN);
}

}  // namespace platform
