#include "service/upload/file_io.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "common/owned_digest.h"
#include "platform/io_retry.h"

namespace zelmic {

bool PreadAll(int fd, void* data, size_t size, uint64_t offset) {
  return platform::PreadFull(fd, data, size, offset) == static_cast<int64_t>(size);
}

bool PwriteAll(int fd, const void* data, size_t size, uint64_t offset) {
  return platform::PwriteFull(fd, data, size, offset);
}

bool WriteAll(int fd, const void* data, size_t size) { return platform::WriteFull(fd, data, size); }

bool Sha1OfFile(const std::string& path, uint64_t size, std::string& hex, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const plumet_common::DigestCtx ctx = plumet_common::NewDigest(EVP_sha1());
  bool ok = ctx != nullptr;
  std::vector<char> buffer(1 << 20);
  uint64_t offset = 0;
  while (ok && offset < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - offset));
    if (!PreadAll(fd, buffer.data(), want, offset)) {
      error = "cannot read " + path;
      ok = false;
      break;
    }
    ok = EVP_DigestUpdate(ctx.get(), buffer.data(), want) == 1;
    offset += want;
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  if (ok) ok = EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) == 1;
  if (!ok) {
    if (error.empty()) error = "SHA-1 failed";
    return false;
  }
  hex = HexLower(digest, digest_size);
  return true;
}

}  // namespace zelmic
