#pragma once
// A named block of memory shared between processes of the same user: a file of fixed size in the
// instance folder, mapped shared read/write. Writers of different processes take the block's lock
// (an flock on the same file, dropped by the kernel if its holder dies) so that one text at a time
// crosses; the lock is advisory and also what a reader takes while it copies.

#include <chrono>
#include <cstddef>
#include <string>

namespace platform {

class SharedBlock {
 public:
  SharedBlock() = default;
  ~SharedBlock();
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;

  // Opens the block `name` in `folder`, creating it zero-filled when missing, and maps `size`
  // bytes. False when the file cannot be opened, is not a regular file of ours, or cannot be
  // mapped.
  bool Open(const std::string& folder, const std::string& name, size_t size);
  void Close();

  // Takes the block's lock, waiting at most `timeout`; false when it could not be had in time.
  bool Lock(std::chrono::milliseconds timeout);
  void Unlock();

  unsigned char* data() { return data_; }
  size_t size() const { return size_; }

 private:
  int fd_ = -1;
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace platform
