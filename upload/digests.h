#pragma once
// The three digests of the upload engine, each in the form in which it leaves the engine:
//  - file hash: SHA-1 of a whole file as 40 lowercase hexadecimal characters ("%02x" per byte),
//    empty when the file could not be opened;
//  - part / body checksum: CRC-32 (IEEE, reflected 0xEDB88320) as an unsigned 32-bit value, sent
//    as its "%u" decimal text;
//  - block digest: MD5, the raw 16 bytes.
// Pure functions with no state that outlives a call; safe to call from several threads at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace plumet {

// SHA-1 of the file at `path` (UTF-8), read from its start in 10000-byte blocks. The file is
// opened so that nobody may be writing it meanwhile (platform::OpenDenyingWriters); a failed open
// is tried again at once, 10 attempts in all, after which the result is the empty string. A read
// error also gives the empty string, never the hash of the bytes read before it.
std::string HashFileSha1(const std::string& path);

// CRC-32 of the inclusive byte range [first, last] of `file`, read in blocks of at most 4096
// bytes. Moves the file position. A range that reaches beyond the end of the file covers only the
// bytes that exist; a seek or read error ends the loop and the CRC of the bytes processed so far
// is returned. first > last yields 0 (CRC of nothing).
uint32_t Crc32Range(platform::File& file, uint64_t first, uint64_t last);

// CRC-32 of `length` bytes at `data`; a length of 0 or less yields 0.
uint32_t Crc32Buffer(const void* data, int32_t length);

// Raw MD5 digest of `length` bytes at `data`.
using Md5 = std::array<unsigned char, 16>;
Md5 Md5Digest(const void* data, size_t length);

// The same digest for many small ranges in a row (the candidate windows of a delta scan): keeps
// one digest context instead of setting one up per call. One object per thread.
class Md5Hasher {
 public:
  Md5Hasher();
  ~Md5Hasher();
  Md5Hasher(const Md5Hasher&) = delete;
  Md5Hasher& operator=(const Md5Hasher&) = delete;
  Md5 Digest(const void* data, size_t length);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The 16 digest bytes as a string view (for the block index, which keys on raw digest bytes).
inline std::string_view DigestBytes(const Md5& digest) {
  return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

}  // namespace plumet
