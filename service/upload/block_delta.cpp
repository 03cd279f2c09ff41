#include "service/upload/block_delta.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "service/upload/file_io.h"

namespace zelmic {

namespace {

// Closes a descriptor when it goes out of scope.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void PutLe32(std::string& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

}  // namespace

uint32_t BlockSizeFor(uint64_t stored_size) {
  uint64_t block = kMinBlockSize;
  while (block <= kMaxBlockSize && (stored_size + block - 1) / block > kMaxBlocks) block <<= 1;
  if (block > kMaxBlockSize || stored_size < block) return 0;
  return static_cast<uint32_t>(block);
}

bool BuildChecksumList(const std::string& path, uint32_t block_size, uint64_t block_count,
                       std::string& list, std::string& error) {
  if (block_size == 0 || block_count == 0 || block_count > kMaxBlocks) {
    error = "no blocks to describe";
    return false;
  }
  FdCloser fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = "cannot open stored content: " + std::string(std::strerror(errno));
    return false;
  }
  MdCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx) {
    error = "out of memory";
    return false;
  }
  const size_t n = static_cast<size_t>(block_count);
  list.assign(20 * n, '\0');
  std::string block(block_size, '\0');
  for (size_t i = 0; i < n; ++i) {
    if (!PreadAll(fd.get(), block.data(), block_size, static_cast<uint64_t>(i) * block_size)) {
      error = "stored content is shorter than its record";
      return false;
    }
    const auto* bytes = reinterpret_cast<const Bytef*>(block.data());
    uLong weak = adler32_z(adler32_z(0, Z_NULL, 0), bytes, block_size);
    PutLe32(list, 4 * i, static_cast<uint32_t>(weak));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), block.data(), block_size) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) != 1 || digest_size != 16) {
      error = "MD5 failed";
      return false;
    }
    std::memcpy(list.data() + 4 * n + 16 * i, digest, 16);
  }
  return true;
}

namespace {

BlockMatch RecordAt(const char* record) {
  BlockMatch m;
  for (int i = 7; i >= 0; --i) m.offset = (m.offset << 8) | static_cast<unsigned char>(record[i]);
  m.block = static_cast<uint16_t>(static_cast<unsigned char>(record[8]) |
                                  (static_cast<unsigned char>(record[9]) << 8));
  return m;
}

}  // namespace

bool CheckMatchList(const std::string& body, uint32_t block_size, uint64_t block_count,
                    uint64_t file_size, uint64_t& count, std::string& error) {
  count = 0;
  if (block_size == 0) {
    error = "no stored blocks to match against";
    return false;
  }
  if (body.size() % kMatchRecordSize != 0) {
    error = "the match list is not made of whole 10-byte records";
    return false;
  }
  const size_t n = body.size() / kMatchRecordSize;
  if (n > file_size / block_size) {
    error = "more matches than blocks fit in the file";
    return false;
  }
  uint64_t next_free = 0;  // first offset a further match may start at
  for (size_t i = 0; i < n; ++i) {
    const BlockMatch m = RecordAt(body.data() + i * kMatchRecordSize);
    if (m.block >= block_count) {
      error = "match " + std::to_string(i) + " names block " + std::to_string(m.block) +
              " beyond the " + std::to_string(block_count) + " stored blocks";
      return false;
    }
    if (m.offset < next_free) {
      error = "match " + std::to_string(i) + " overlaps or precedes the one before it";
      return false;
    }
    if (m.offset > file_size || file_size - m.offset < block_size) {
      error = "match " + std::to_string(i) + " runs past the end of the file";
      return false;
    }
    next_free = m.offset + block_size;
  }
  count = n;
  return true;
}

bool ParseMatchList(const std::string& body, uint32_t block_size, uint64_t block_count,
                    uint64_t file_size, std::vector<BlockMatch>& matches, std::string& error) {
  matches.clear();
  uint64_t count = 0;
  if (!CheckMatchList(body, block_size, block_count, file_size, count, error)) return false;
  matches.reserve(static_cast<size_t>(count));
  for (size_t i = 0; i < count; ++i) matches.push_back(RecordAt(body.data() + i * kMatchRecordSize));
  return true;
}

namespace {

// The rebuild over any source of checked matches; next() gives the following one, false at the end.
template <typename NextMatch>
bool Rebuild(const std::string& stored_path, const std::string& literal_path, NextMatch next,
             uint32_t block_size, uint64_t file_size, const std::string& out_path,
             std::string& sha1_hex, std::string& error) {
  FdCloser stored(::open(stored_path.c_str(), O_RDONLY | O_CLOEXEC));
  FdCloser literal(::open(literal_path.c_str(), O_RDONLY | O_CLOEXEC));
  FdCloser out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (stored.get() < 0 || literal.get() < 0 || out.get() < 0) {
    error = "cannot open the files of the rebuild: " + std::string(std::strerror(errno));
    return false;
  }
  MdCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
    error = "SHA-1 failed";
    return false;
  }
  std::string buffer(std::max<size_t>(block_size, 1 << 20), '\0');
  uint64_t literal_offset = 0;
  uint64_t written = 0;
  // Copies n bytes from fd at offset to the new file, through the digest.
  auto copy = [&](int fd, uint64_t offset, uint64_t n) {
    while (n > 0) {
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, buffer.size()));
      if (!PreadAll(fd, buffer.data(), chunk, offset) ||
          !WriteAll(out.get(), buffer.data(), chunk) ||
          EVP_DigestUpdate(ctx.get(), buffer.data(), chunk) != 1) {
        return false;
      }
      offset += chunk;
      written += chunk;
      n -= chunk;
    }
    return true;
  };
  BlockMatch m;
  while (next(m)) {
    const uint64_t gap = m.offset - written;
    if (m.offset < written || !copy(literal.get(), literal_offset, gap)) {
      error = "the literal bytes end before the match at " + std::to_string(m.offset);
      return false;
    }
    literal_offset += gap;
    if (!copy(stored.get(), static_cast<uint64_t>(m.block) * block_size, block_size)) {
      error = "cannot read stored block " + std::to_string(m.block);
      return false;
    }
  }
  if (written > file_size || !copy(literal.get(), literal_offset, file_size - written)) {
    error = "the literal bytes end before the end of the file";
    return false;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) != 1) {
    error = "SHA-1 failed";
    return false;
  }
  if (::fdatasync(out.get()) != 0) {
    error = "cannot flush the rebuilt file";
    return false;
  }
  sha1_hex = HexLower(digest, digest_size);
  return true;
}

}  // namespace

bool RebuildFile(const std::string& stored_path, const std::string& literal_path,
                 const std::vector<BlockMatch>& matches, uint32_t block_size, uint64_t file_size,
                 const std::string& out_path, std::string& sha1_hex, std::string& error) {
  size_t at = 0;
  auto next = [&](BlockMatch& m) {
    if (at == matches.size()) return false;
    m = matches[at++];
    return true;
  };
  return Rebuild(stored_path, literal_path, next, block_size, file_size, out_path, sha1_hex, error);
}

bool RebuildFileFromList(const std::string& stored_path, const std::string& literal_path,
                         const std::string& match_path, uint32_t block_size, uint64_t file_size,
                         const std::string& out_path, std::string& sha1_hex, std::string& error) {
  FdCloser list(::open(match_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (list.get() < 0) {
    error = "cannot open the match list: " + std::string(std::strerror(errno));
    return false;
  }
  // Read in runs of records, so a long list costs a small fixed buffer.
  std::string chunk(kMatchRecordSize * 4096, '\0');
  size_t have = 0, used = 0;
  bool failed = false;
  auto next = [&](BlockMatch& m) {
    if (used == have) {
      const ssize_t n = ::read(list.get(), chunk.data(), chunk.size());
      if (n < 0 || n % static_cast<ssize_t>(kMatchRecordSize) != 0) failed = n != 0;
      if (n <= 0 || failed) return false;
      have = static_cast<size_t>(n);
      used = 0;
    }
    m = RecordAt(chunk.data() + used);
    used += kMatchRecordSize;
    return true;
  };
  const bool ok =
      Rebuild(stored_path, literal_path, next, block_size, file_size, out_path, sha1_hex, error);
  if (failed) {
    error = "cannot read the match list";
    return false;
  }
  return ok;
}

}  // namespace zelmic
