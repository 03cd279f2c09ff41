#include "upload/aligned_digests.h"

#include <exception>

#include "upload/window_adler.h"

namespace plumet {

namespace {

// Larger blocks are not computed ahead.
constexpr uint32_t kLargestBlock = 16u << 20;

// floor(n * j / count) without forming n * j.
uint64_t StripeStart(uint64_t n, uint64_t j, uint64_t count) {
  return n / count * j + n % count * j / count;
}

}  // namespace

void AlignedDigests::Start(const platform::File& file, uint64_t size, uint32_t B,
                           unsigned stripes) {
  Stop();
  cancel_.store(false, std::memory_order_relaxed);
  blockSize_ = 0;
  requested_ = stripes;
  blocks_.clear();
  stripes_.reset();
  stripeCount_ = 0;
  if (B == 0 || B > kLargestBlock || size / B == 0 || !file.IsOpen()) return;
  try {
    const uint64_t n = size / B;
    blocks_.resize(n);
    stripeCount_ = static_cast<unsigned>(std::clamp<uint64_t>(stripes, 1, n));
    stripes_ = std::make_unique<Stripe[]>(stripeCount_);
    for (unsigned j = 0; j < stripeCount_; ++j) {
      Stripe& s = stripes_[j];
      s.first = StripeStart(n, j, stripeCount_);
      s.end = StripeStart(n, j + 1, stripeCount_);
      s.done.store(s.first, std::memory_order_relaxed);
    }
    blockSize_ = B;
    thread_ = std::thread([this, &file] { Run(file); });
  } catch (const std::exception&) {
    blocks_.clear();
    stripes_.reset();
    stripeCount_ = 0;
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
    const uint64_t perStep = paceBlocks_ != 0 ? paceBlocks_ : std::max<uint64_t>(1, kStepBytes / B);
    std::vector<unsigned char> buffer(perStep * B);
    Md5Hasher md5;
    uint64_t steps = 0;
    for (bool more = true; more;) {
      more = false;
      for (unsigned j = 0; j < stripeCount_; ++j) {
        Stripe& s = stripes_[j];
        const uint64_t k = s.done.load(std::memory_order_relaxed);
        if (k == s.end) continue;
        if (cancel_.load(std::memory_order_relaxed)) return;
        if (paceSteps_ != 0 && steps++ == paceSteps_) {
          cancel_.store(true, std::memory_order_relaxed);
          return;
        }
        const uint64_t count = std::min(perStep, s.end - k);
        const int64_t got = file.ReadAt(buffer.data(), count * B, k * B);
        if (got <= 0) return;
        const uint64_t whole = static_cast<uint64_t>(got) / B;  // a short read: the file shrank
        for (uint64_t i = 0; i < whole; ++i) {
          const unsigned char* block = buffer.data() + i * B;
          blocks_[k + i] = Block{WindowAdler(block, B), md5.Digest(block, B)};
          s.done.store(k + i + 1, std::memory_order_release);
        }
        if (whole < count) return;
        more = more || k + count < s.end;
      }
    }
  } catch (const std::exception&) {
    // Out of memory: the scan computes the rest itself.
  }
}

}  // namespace plumet
