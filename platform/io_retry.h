#pragma once
// Descriptor reads and writes that a signal does not cut short. A call interrupted before it moved
// anything fails with EINTR and is simply made again; a whole transfer goes on after a short one.
// Every full read and write loop of the system layer (and of zelmicd's upload server) is one of
// these.

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The result of `call()` (a system call answering -1 and errno on failure), made again for as
// long as it fails with EINTR.
template <typename Call>
auto RetryOnEintr(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) return result;
  }
}

namespace io_detail {

// Hands `write_some(p, left, done)` what is left until every byte is written. A descriptor that
// takes nothing and reports no error counts as full (ENOSPC) rather than being asked forever.
template <typename WriteSome>
bool WriteEvery(const void* data, size_t size, WriteSome write_some) {
  const char* p = static_cast<const char*>(data);
  uint64_t done = 0;
  while (size > 0) {
    const ssize_t n = RetryOnEintr([&] { return write_some(p, size, done); });
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
    done += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace io_detail

// Writes all `size` bytes at the descriptor's position. False with errno on failure.
inline bool WriteFull(int fd, const void* data, size_t size) {
  return io_detail::WriteEvery(
      data, size, [fd](const char* p, size_t left, uint64_t) { return ::write(fd, p, left); });
}

// Writes all `size` bytes at `offset`, as WriteFull.
inline bool PwriteFull(int fd, const void* data, size_t size, uint64_t offset) {
  return io_detail::WriteEvery(data, size, [fd, offset](const char* p, size_t left, uint64_t done) {
    return ::pwrite(fd, p, left, static_cast<off_t>(offset + done));
  });
}

// Reads up to `size` bytes at `offset`, going on after short reads until the end of the file.
// The count read (below `size` only at the end of the file), or -1 with errno.
inline int64_t PreadFull(int fd, void* data, size_t size, uint64_t offset) {
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = RetryOnEintr(
        [&] { return ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done)); });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// Appends everything from the descriptor's position to its end to `out`. False with errno on a
// read error (what was read before it stays in `out`).
inline bool ReadToEnd(int fd, std::string& out) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace platform
