#include "service/store/file_hash.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/owned_digest.h"
#include "common/text_forms.h"
#include "platform/io_retry.h"

namespace zelmic {

Status Sha1OfFile(const std::string& path, uint64_t length, std::string& hex, uint64_t* hashed) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::Error("cannot open " + path + ": " + std::strerror(errno));
  const plumet_common::DigestCtx ctx = plumet_common::NewDigest(EVP_sha1());
  bool ok = ctx != nullptr;
  std::string error;
  std::vector<char> buffer(1 << 20);
  uint64_t offset = 0;
  while (ok && offset < length) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), length - offset));
    const int64_t got = platform::PreadFull(fd, buffer.data(), want, offset);
    // A short read is the end of the file: the end of the work when hashing all of it, an error
    // when the caller named a length the file must have.
    const bool at_end = got >= 0 && static_cast<uint64_t>(got) < want;
    if (got < 0 || (at_end && length != kWholeFile)) {
      error = "cannot read " + path;
      ok = false;
      break;
    }
    ok = EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) == 1;
    offset += static_cast<uint64_t>(got);
    if (at_end) break;
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  if (ok) ok = EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) == 1;
  if (!ok) return Status::Error(error.empty() ? "SHA-1 failed" : error);
  hex = plumet_text::HexLower(digest, digest_size);
  if (hashed != nullptr) *hashed = offset;
  return Status::OK();
}

}  // namespace zelmic
