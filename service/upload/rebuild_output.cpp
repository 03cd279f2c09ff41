#include "service/upload/rebuild_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "service/upload/file_io.h"

namespace zelmic {

namespace {

// Bytes per buffer: large enough that a write or a hash step costs little overhead.
constexpr size_t kBufferSize = 1 << 20;
// Enough buffers that the copy, the hash and the write rarely wait for each other.
constexpr size_t kBuffers = 6;
// Direct I/O wants buffers, offsets and lengths aligned to the device's block; this suits
// every common one. A device that wants more answers EINVAL and gets ordinary writes.
constexpr size_t kAlign = 4096;

bool SetDirect(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

}  // namespace

RebuildOutput::RebuildOutput(int out_fd, bool threaded, bool direct)
    : fd_(out_fd), ctx_(plumet_common::NewDigest(EVP_sha1())) {
  hash_ok_ = ctx_ != nullptr;
  if (threaded) {
    try {
      hasher_ = std::thread([this] { RunHelper(&next_hash_, true); });
      writer_ = std::thread([this] { RunHelper(&next_write_, false); });
    } catch (const std::system_error&) {
      Stop();  // the hasher, if it started; everything is then handled in line
    }
  }
  const bool helpers = writer_.joinable();
  for (size_t i = 0; i < (helpers ? kBuffers : 1); ++i) {
    void* p = std::aligned_alloc(kAlign, kBufferSize);
    if (p == nullptr) break;
    memory_.emplace_back(static_cast<char*>(p), &std::free);
    free_.push_back(memory_.back().get());
  }
  direct_ = helpers && direct && SetDirect(fd_, true);
}

RebuildOutput::~RebuildOutput() {
  Stop();
  if (direct_) SetDirect(fd_, false);
}

void RebuildOutput::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  if (hasher_.joinable()) hasher_.join();
  if (writer_.joinable()) writer_.join();
}

bool RebuildOutput::Fill() {
  if (filling_.data != nullptr) return true;
  if (memory_.empty()) return false;  // no memory for a single buffer
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !free_.empty() || write_failed_; });
  if (write_failed_ || free_.empty()) return false;
  filling_ = Buffer{free_.back(), 0, appended_};
  free_.pop_back();
  return true;
}

bool RebuildOutput::CopyFrom(int fd, uint64_t offset, uint64_t n) {
  while (n > 0) {
    if (!Fill()) return false;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, kBufferSize - filling_.size));
    if (!PreadAll(fd, filling_.data + filling_.size, take, offset)) return false;
    filling_.size += take;
    appended_ += take;
    offset += take;
    n -= take;
    if (filling_.size == kBufferSize) Submit();
  }
  return true;
}

void RebuildOutput::Submit() {
  const Buffer b = filling_;
  filling_ = Buffer{};
  if (!writer_.joinable()) {
    Hash(b);
    const bool written = Write(b);
    const int error = errno;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!written) write_failed_ = true, write_errno_ = error;
    free_.push_back(b.data);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(b);
  }
  changed_.notify_all();
}

void RebuildOutput::RunHelper(size_t* next, bool hashing) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return closing_ || *next < queue_.size(); });
    if (*next == queue_.size()) return;  // closing, and everything submitted is done
    // Buffers before it may be released meanwhile, but *next moves with them: it still
    // names this one when the work is done.
    const Buffer b = queue_[*next];
    const bool skip = !hashing && write_failed_;
    lock.unlock();
    bool ok = true;
    if (hashing) {
      Hash(b);
    } else if (!skip) {
      ok = Write(b);
    }
    const int error = errno;
    lock.lock();
    if (!ok) write_failed_ = true, write_errno_ = error;
    ++*next;
    Release();
    changed_.notify_all();
  }
}

void RebuildOutput::Release() {
  while (next_hash_ > 0 && next_write_ > 0) {
    free_.push_back(queue_.front().data);
    queue_.pop_front();
    --next_hash_;
    --next_write_;
  }
}

void RebuildOutput::Hash(const Buffer& b) {
  if (hash_ok_ && EVP_DigestUpdate(ctx_.get(), b.data, b.size) != 1) hash_ok_ = false;
}

bool RebuildOutput::Write(const Buffer& b) {
  if (direct_) {
    // Only the last buffer is short; its tail goes through the cache, which the final flush
    // writes out.
    if (b.size % kAlign == 0 && PwriteAll(fd_, b.data, b.size, b.offset)) {
      direct_used_ = true;
      return true;
    }
    // Not aligned, or refused (a file system or device that takes no direct I/O, or not at
    // this alignment): ordinary writes from here on, this buffer included.
    direct_ = !SetDirect(fd_, false);
    if (direct_) return false;
  }
  return PwriteAll(fd_, b.data, b.size, b.offset);
}

Status RebuildOutput::Finish(std::string& sha1_hex) {
  if (filling_.data != nullptr) {
    if (filling_.size > 0) {
      Submit();
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(filling_.data);
      filling_ = Buffer{};
    }
  }
  Stop();
  if (write_failed_) {
    return Status::Error(std::string("cannot write the rebuilt file: ") +
                         std::strerror(write_errno_));
  }
  if (::fdatasync(fd_) != 0) {
    return Status::Error("cannot flush the rebuilt file");
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!hash_ok_ || EVP_DigestFinal_ex(ctx_.get(), digest, &size) != 1) {
    return Status::Error("SHA-1 failed");
  }
  sha1_hex = HexLower(digest, size);
  return Status::OK();
}

}  // namespace zelmic
