#pragma once
// A file opened through a plain POSIX descriptor: the one file object of the upload engine (the
// local copy it reads and the literal file of the block delta). No user-space buffering: a Read
// or Write goes straight to the kernel. Offsets and lengths are 64-bit throughout.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class File {
 public:
  enum class Mode {
    kRead,       // O_RDONLY: the file must exist.
    kReadWrite,  // O_RDWR, O_NOFOLLOW: the file must exist; reopens a literal file unchanged.
    kCreate,     // O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, mode 0600: creates or truncates.
  };

  File() = default;
  ~File();  // Closes the descriptor if open.

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;  // Closes what this object held first.
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path`; an object that is already open is closed first. False (and closed) on failure;
  // errno tells why. Every descriptor is opened close-on-exec. kRead does not follow the
  // O_NOFOLLOW rule: the local copy may legitimately be reached through a link.
  bool Open(const std::string& path, Mode mode);

  // Takes ownership of an already open descriptor (e.g. from a probe that opened it).
  void Adopt(int fd);

  // Up to `size` bytes at the current position. Returns the count read (0 at the end of the
  // file), or -1 on error or when not open. EINTR is retried.
  int64_t Read(void* buffer, size_t size);

  // Up to `size` bytes at `offset`, leaving the position alone: several threads may read one
  // file at once. Returns the count read (0 past the end), or -1 on error or when not open.
  int64_t ReadAt(void* buffer, size_t size, uint64_t offset) const;

  // Writes all `size` bytes at the current position or fails (disk full, not open...).
  bool Write(const void* data, size_t size);

  // Moves the position to `offset` bytes from the start. False on error.
  bool Seek(uint64_t offset);

  // Size of the file in bytes, or -1 when it cannot be read (not open).
  int64_t Length() const;

  // There is no user-space buffer; Flush asks the kernel to write the data to the device
  // (fdatasync). False on error.
  bool Flush();

  // Read and write for the owner only, whatever bits the file had: a file that existed before a
  // kCreate open keeps its old ones. False on error or when not open.
  bool RestrictToOwner();
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace platform
