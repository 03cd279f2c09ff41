#include "upload/digests.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/owned_digest.h"
#include "platform/file_probe.h"

namespace plumet {

namespace {

constexpr int kOpenAttempts = 10;
// Reads of the file hash: large enough that the read calls cost nothing beside the digest.
constexpr size_t kHashBlock = 1 << 20;
constexpr uint64_t kCrcBlock = 4096;

using plumet_common::DigestCtx;
using plumet_common::NewDigest;

}  // namespace

std::string HashFileSha1(const std::string& path) {
  platform::File file;
  bool opened = false;
  // The editor may still be letting go of the file: retry at once, a bounded number of times.
  for (int attempt = 0; attempt < kOpenAttempts && !opened; ++attempt) {
    opened = platform::OpenDenyingWriters(path, file);
  }
  if (!opened) return {};

  const DigestCtx ctx = NewDigest(EVP_sha1());
  if (!ctx) return {};
  std::vector<unsigned char> buffer(kHashBlock);
  for (;;) {
    const int64_t n = file.Read(buffer.data(), buffer.size());
    if (n == 0) break;
    // A read error is no end of the content: the hash of a prefix would let a service that holds
    // that prefix answer "already stored" for content it never received.
    if (n < 0) return {};
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) return {};
  file.Close();

  std::string hex(size_t{size} * 2, '\0');
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(&hex[i * 2], 3, "%02x", digest[i]);
  }
  return hex;
}

uint32_t Crc32Range(platform::File& file, uint64_t first, uint64_t last) {
  uLong crc = crc32(0L, Z_NULL, 0);
  if (first > last || !file.Seek(first)) return static_cast<uint32_t>(crc);
  unsigned char buffer[kCrcBlock];
  uint64_t p = first;
  for (;;) {
    // Once p has passed last nothing more is asked for. last - p + 1 is formed without wrapping
    // so that a range ending at the largest offset still works.
    if (p > last) break;
    const uint64_t remaining = last - p;
    const uint64_t want = remaining >= kCrcBlock - 1 ? kCrcBlock : remaining + 1;
    const int64_t n = file.Read(buffer, static_cast<size_t>(want));
    if (n <= 0) break;
    crc = crc32(crc, buffer, static_cast<uInt>(n));
    p += static_cast<uint64_t>(n);
  }
  return static_cast<uint32_t>(crc);
}

uint32_t Crc32Buffer(const void* data, int32_t length) {
  if (data == nullptr || length <= 0) return 0;
  return static_cast<uint32_t>(
      crc32(0L, static_cast<const Bytef*>(data), static_cast<uInt>(length)));
}

struct Md5Hasher::State {
  EVP_MD* md = nullptr;
  DigestCtx ctx{EVP_MD_CTX_new()};
  ~State() { EVP_MD_free(md); }
};

Md5Hasher::Md5Hasher() : state_(std::make_unique<State>()) {
  // An explicit fetch: the provider lookup happens once, not for every window.
  state_->md = EVP_MD_fetch(nullptr, "MD5", nullptr);
}

Md5Hasher::~Md5Hasher() = default;

Md5 Md5Hasher::Digest(const void* data, size_t length) {
  Md5 digest{};
  unsigned int size = 0;
  if (state_->md == nullptr || !state_->ctx ||
      EVP_DigestInit_ex2(state_->ctx.get(), state_->md, nullptr) != 1 ||
      EVP_DigestUpdate(state_->ctx.get(), data, length) != 1 ||
      EVP_DigestFinal_ex(state_->ctx.get(), digest.data(), &size) != 1) {
    return Md5Digest(data, length);
  }
  return digest;
}

Md5 Md5Digest(const void* data, size_t length) {
  Md5 digest{};
  unsigned int size = 0;
  EVP_Digest(data, length, digest.data(), &size, EVP_md5(), nullptr);
  return digest;
}

}  // namespace plumet
