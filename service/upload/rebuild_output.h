#pragma once
// Where a rebuilt file goes: its bytes arrive in order, copied from the stored version and the
// literal bytes, and must end up hashed (SHA-1, checked against the registration) and on the
// device (flushed before the commit). Done one after the other, the copy, the hash and the write
// cost the sum of their times; here they overlap. The bytes are gathered into large aligned
// buffers; one helper thread hashes each full buffer while another writes it with direct I/O,
// so the data goes to the device during the copy and never through the page cache: allocating
// and filling cache pages for a file nobody reads next cost as much processor time as the rest
// of the rebuild. (Measured on 256 MiB: cached writes flushed every 32 MiB along the way took
// the same time at twice the processor time; the final flush of the device's cache is left
// either way.)
//
// A file system that refuses direct I/O gets ordinary writes and the same final flush. A small
// file is hashed and written by the caller's thread, without helpers.

#include <openssl/evp.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/owned_digest.h"
#include "service/store/status.h"

namespace zelmic {

class RebuildOutput {
 public:
  // out_fd: the new file, empty and open for writing (not owned). threaded: start the helpers.
  // direct: try direct I/O (helpers only).
  RebuildOutput(int out_fd, bool threaded, bool direct = true);
  ~RebuildOutput();
  RebuildOutput(const RebuildOutput&) = delete;
  RebuildOutput& operator=(const RebuildOutput&) = delete;

  // Appends n bytes read from fd at offset. False when they cannot be read, or when an earlier
  // write failed.
  bool CopyFrom(int fd, uint64_t offset, uint64_t n);
  // Writes what is left, flushes the file to the device, and gives the SHA-1 of everything
  // appended as 40 lowercase hex characters. Call once; fails (saying why) on any failure.
  Status Finish(std::string& sha1_hex);

  // Whether a write failed (CopyFrom then fails too).
  bool write_failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_failed_;
  }
  // Whether any write went around the page cache; read after Finish.
  bool wrote_direct() const { return direct_used_; }

 private:
  struct Buffer {
    char* data = nullptr;
    size_t size = 0;      // bytes filled
    uint64_t offset = 0;  // where they go in the file
  };
  using Memory = std::unique_ptr<char, void (*)(void*)>;

  bool Fill();                  // a buffer to fill in filling_; false once a write failed
  void Submit();                // hands filling_ to the helpers (or handles it in line)
  void Hash(const Buffer& b);   // with mutex_ not held
  bool Write(const Buffer& b);  // with mutex_ not held
  // A helper's loop: takes the buffers at *next in order, hashing or writing each.
  void RunHelper(size_t* next, bool hashing);
  void Release();  // gives back the buffers both helpers are done with; mutex_ held
  void Stop();     // waits for the helpers to finish what was submitted

  const int fd_;
  plumet_common::DigestCtx ctx_;
  std::vector<Memory> memory_;
  bool hash_ok_ = true;       // written by whoever hashes; read after the helpers are joined
  bool direct_used_ = false;  // written by whoever writes; read after the helpers are joined
  bool direct_ = false;       // the descriptor is in direct mode; used by whoever writes
  Buffer filling_;            // the caller's buffer; data null when it holds none
  uint64_t appended_ = 0;     // bytes appended so far

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Buffer> queue_;  // submitted in order, released from the front
  size_t next_hash_ = 0;      // index in queue_ of the next buffer to hash: those before are
  size_t next_write_ = 0;     // ...and of the next to write
  std::vector<char*> free_;
  bool write_failed_ = false;  // a write failed: nothing more is written
  int write_errno_ = 0;
  bool closing_ = false;
  std::thread hasher_;
  std::thread writer_;
};

}  // namespace zelmic
