#include "upload/aligned_digests.h"

#include <algorithm>
#include <array>
#include <exception>

#include "common/md5_lanes.h"
#include "upload/window_adler.h"

namespace plumet {

namespace {

// Larger blocks are not computed ahead.
constexpr uint32_t kLargestBlock = 16u << 20;
// Blocks hashed together: whole groups of 16 lanes, and a short wait for the scan reading them.
constexpr size_t kBatch = 64;

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
    std::array<size_t, kBatch> lengths;
    lengths.fill(B);
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
        for (uint64_t i = 0; i < whole;) {
          // kBatch blocks' MD5s side by side (one per vector lane), then published together.
          const size_t batch = static_cast<size_t>(std::min<uint64_t>(whole - i, kBatch));
          const unsigned char* starts[kBatch];
          for (size_t b = 0; b < batch; ++b) starts[b] = buffer.data() + (i + b) * B;
          Md5 digests[kBatch];
          if (!plumet_common::Md5Many(starts, lengths.data(), batch, digests)) return;
          for (size_t b = 0; b < batch; ++b) {
            blocks_[k + i + b] = Block{WindowAdler(starts[b], B), digests[b]};
          }
          i += batch;
          s.done.store(k + i, std::memory_order_release);
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
