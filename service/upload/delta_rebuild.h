#pragma once
// The server's half of the block delta: the block size offered for a stored version, the
// checksum list a client matches against, the match list it sends back, and the rebuild of the new
// file from the stored version, the matches and the literal bytes.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "service/store/status.h"

namespace zelmic {

// Smallest block size offered. Smaller blocks make the checksum list and the client's scan cost
// more than the bytes they could save.
constexpr uint32_t kMinBlockSize = 4096;
// A match record names its block with 16 bits, so a stored version may have at most this many.
constexpr uint64_t kMaxBlocks = 65536;
// Largest block size offered; "piecelen" travels as a signed 32-bit integer.
constexpr uint32_t kMaxBlockSize = 1u << 30;
// One match record on the wire: 8-byte offset and 2-byte block index, little-endian.
constexpr size_t kMatchRecordSize = 10;

// The block size for a stored version of stored_size bytes: the smallest power of two, at least
// kMinBlockSize, that cuts the version into at most kMaxBlocks blocks. 0 when no delta is offered:
// the version holds no full block, or it is too large for any allowed block size.
uint32_t BlockSizeFor(uint64_t stored_size);

// Number of full blocks of a stored version; only full blocks appear in the checksum list, since a
// client only ever compares whole windows of block_size bytes.
inline uint64_t FullBlockCount(uint64_t stored_size, uint32_t block_size) {
  return block_size == 0 ? 0 : stored_size / block_size;
}

// The checksum list of the first block_count blocks of the file at path: block_count Adler-32
// values (32-bit little-endian), then block_count raw MD5 digests. Setting *cancel makes it give
// up (failing) after the read under way.
Status BuildChecksumList(const std::string& path, uint32_t block_size, uint64_t block_count,
                         std::string& list, const std::atomic<bool>* cancel = nullptr);

struct BlockMatch {
  uint64_t offset = 0;  // where the block starts in the new file
  uint16_t block = 0;   // index of the stored block it equals
};

// Parses a match list for a new file of file_size bytes built on block_count stored blocks of
// block_size bytes. Rejects a body that is not whole records, a block index beyond the stored
// blocks, offsets that are not strictly ascending and non-overlapping, and a match that runs past
// the end of the new file.
Status ParseMatchList(const std::string& body, uint32_t block_size, uint64_t block_count,
                      uint64_t file_size, std::vector<BlockMatch>& matches);
// The same checks without keeping the matches: count receives how many there are.
Status CheckMatchList(const std::string& body, uint32_t block_size, uint64_t block_count,
                      uint64_t file_size, uint64_t& count);

// Bytes of the new file that no match covers: what the client sends as parts.
inline uint64_t LiteralLength(uint64_t file_size, size_t match_count, uint32_t block_size) {
  return file_size - static_cast<uint64_t>(match_count) * block_size;
}

// Writes the new file to out_path: the literal bytes in order, with the named stored block at each
// match's offset. Computes the SHA-1 of what it writes (40 lowercase hex characters) on the way.
Status RebuildFile(const std::string& stored_path, const std::string& literal_path,
                   const std::vector<BlockMatch>& matches, uint32_t block_size, uint64_t file_size,
                   const std::string& out_path, std::string& sha1_hex);
// The same with the matches read from a file that holds a checked match list as it came.
Status RebuildFileFromList(const std::string& stored_path, const std::string& literal_path,
                           const std::string& match_path, uint32_t block_size, uint64_t file_size,
                           const std::string& out_path, std::string& sha1_hex);

}  // namespace zelmic
