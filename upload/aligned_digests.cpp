#include "upload/aligned_digests.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "upload/window_adler.h"

namespace plumet {

namespace {

// Read in steps of whole blocks of about this size; larger blocks are not computed ahead.
constexpr uint64_t kStep = 1u << 20;
constexpr uint32_t kLargestBlock = 16u << 20;

}  // namespace

void AlignedDigests::Start(const platform::File& file, uint64_t size, uint32_t B) {
  Stop();
  done_.store(0, std::memory_order_relaxed);
  cancel_.store(false, std::memory_order_relaxed);
  blockSize_ = 0;
  blocks_.clear();
  if (B == 0 || B > kLargestBlock || size / B == 0 || !file.IsOpen()) return;
  try {
    blocks_.resize(size / B);
    blockSize_ = B;
    thread_ = std::thread([this, &file] { Run(file); });
  } catch (const std::exception&) {
    blocks_.clear();
    blockSize_ = 0;
  }
}

void AlignedDigests::Stop() {
  cancel_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

void AlignedDigests::Run(const platform::File& file) {
  try {
    const uint32_t B = blockSize_;
    const uint64_t perStep = std::max<uint64_t>(1, kStep / B);
    std::vector<unsigned char> buffer(perStep * B);
    Md5Hasher md5;
    for (uint64_t k = 0; k < blocks_.size() && !cancel_.load(std::memory_order_relaxed);) {
      const uint64_t count = std::min<uint64_t>(perStep, blocks_.size() - k);
      const int64_t got = file.ReadAt(buffer.data(), count * B, k * B);
      if (got <= 0) return;
      const uint64_t whole = static_cast<uint64_t>(got) / B;  // a short read: the file shrank
      for (uint64_t i = 0; i < whole; ++i) {
        const unsigned char* block = buffer.data() + i * B;
        blocks_[k + i] = Block{WindowAdler(block, B), md5.Digest(block, B)};
        done_.store(k + i + 1, std::memory_order_release);
      }
      if (whole < count) return;
      k += count;
    }
  } catch (const std::exception&) {
    // Out of memory: the scan computes the rest itself.
  }
}

}  // namespace plumet
