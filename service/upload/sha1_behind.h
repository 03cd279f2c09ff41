#pragma once
// The SHA-1 of a stream of bytes computed on a helper thread, a few buffers behind the code that
// produces them: a rebuild reads and writes a buffer while the one before it is hashed, so the
// digest costs no time of its own on a machine with a processor to spare.
//
// Use: Acquire() a buffer, fill it, Submit() it (hashed in submission order, then reused), and
// Finish() once for the digest. Without a thread to be had it hashes in Submit, same result.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

namespace zelmic {

class Sha1Behind {
 public:
  // Buffers of buffer_size bytes; `threaded` false hashes in the caller's thread.
  Sha1Behind(size_t buffer_size, bool threaded);
  ~Sha1Behind();
  Sha1Behind(const Sha1Behind&) = delete;
  Sha1Behind& operator=(const Sha1Behind&) = delete;

  // A free buffer of buffer_size bytes (waits for the helper to give one back).
  char* Acquire();
  // Hands over the first n bytes of a buffer from Acquire.
  void Submit(char* buffer, size_t n);
  // Waits for everything submitted; the digest as 40 lowercase hex characters, or empty when
  // the digest failed. Call once; nothing may be submitted after it.
  std::string Finish();

 private:
  struct Piece {
    char* buffer;
    size_t size;
  };
  void Run();
  void Hash(const Piece& piece);  // with mutex_ not held

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
  std::vector<std::vector<char>> buffers_;
  bool ok_ = true;  // written by whoever hashes; read after the helper is joined

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece> queue_;  // submitted, not yet hashed
  std::vector<char*> free_;  // ready for Acquire
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace zelmic
