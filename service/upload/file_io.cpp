#include "service/upload/file_io.h"

#include "platform/io_retry.h"

namespace zelmic {

bool PreadAll(int fd, void* data, size_t size, uint64_t offset) {
  return platform::PreadFull(fd, data, size, offset) == static_cast<int64_t>(size);
}

bool PwriteAll(int fd, const void* data, size_t size, uint64_t offset) {
  return platform::PwriteFull(fd, data, size, offset);
}

bool WriteAll(int fd, const void* data, size_t size) { return platform::WriteFull(fd, data, size); }

}  // namespace zelmic
