#include "service/upload/sha1_behind.h"

#include <system_error>

#include "service/upload/file_io.h"

namespace zelmic {

namespace {
// Enough buffers that the reader and the hasher rarely wait for each other.
constexpr size_t kBuffers = 4;
}  // namespace

Sha1Behind::Sha1Behind(size_t buffer_size, bool threaded) : ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
  ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha1(), nullptr) == 1;
  if (threaded) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // Hashed in Submit instead.
    }
  }
  buffers_.resize(thread_.joinable() ? kBuffers : 1, std::vector<char>(buffer_size));
  for (auto& b : buffers_) free_.push_back(b.data());
}

Sha1Behind::~Sha1Behind() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

char* Sha1Behind::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !free_.empty(); });
  char* buffer = free_.back();
  free_.pop_back();
  return buffer;
}

void Sha1Behind::Submit(char* buffer, size_t n) {
  if (!thread_.joinable()) {
    Hash({buffer, n});
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(buffer);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({buffer, n});
  }
  changed_.notify_all();
}

void Sha1Behind::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;  // closing, and everything submitted is hashed
    const Piece piece = queue_.front();
    queue_.pop_front();
    lock.unlock();
    Hash(piece);
    lock.lock();
    free_.push_back(piece.buffer);
    changed_.notify_all();
  }
}

void Sha1Behind::Hash(const Piece& piece) {
  if (ok_ && EVP_DigestUpdate(ctx_.get(), piece.buffer, piece.size) != 1) ok_ = false;
}

std::string Sha1Behind::Finish() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), digest, &size) != 1) return std::string();
  return HexLower(digest, size);
}

}  // namespace zelmic
