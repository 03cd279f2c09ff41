#pragma once
// Shared pieces of the delta tests: the server's checksum list for a stored copy, one scan over
// real files, the rebuilding of a file from stored blocks + matches + literal bytes, and the
// straightforward scan (full Adler-32 of every window) that the fast one must agree with.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/upload/test_files.h"
#include "upload/block_delta.h"
#include "upload/digests.h"

namespace plumet_test {

using Bytes = std::vector<unsigned char>;

inline uint32_t Adler(const unsigned char* p, size_t n) {
  return static_cast<uint32_t>(adler32(1L, p, static_cast<uInt>(n)));
}

// The stored copy cut into blocks of B bytes (the last one may be short).
inline std::vector<Bytes> Blocks(const Bytes& stored, size_t B) {
  std::vector<Bytes> blocks;
  for (size_t i = 0; i < stored.size(); i += B) {
    blocks.emplace_back(stored.begin() + static_cast<long>(i),
                        stored.begin() + static_cast<long>(std::min(stored.size(), i + B)));
  }
  return blocks;
}

// The body of "/download_checksum" for these blocks.
inline std::string ChecksumList(const std::vector<Bytes>& blocks) {
  std::string weak, strong;
  for (const Bytes& b : blocks) {
    const uint32_t w = Adler(b.data(), b.size());
    for (int i = 0; i < 4; ++i) weak += static_cast<char>(w >> (8 * i));
    strong += std::string(plumet::DigestBytes(plumet::Md5Digest(b.data(), b.size())));
  }
  return weak + strong;
}

struct Match {
  uint64_t offset;
  uint16_t block;
  bool operator==(const Match& o) const { return offset == o.offset && block == o.block; }
};

inline std::ostream& operator<<(std::ostream& os, const Match& m) {
  return os << "{" << m.offset << "," << m.block << "}";
}

struct DeltaResult {
  plumet::CBlockDelta::Outcome outcome = plumet::CBlockDelta::Outcome::kWriteFailed;
  std::vector<Match> matches;
  Bytes literal;
};

inline std::vector<Match> Copy(const std::vector<plumet::BlockMatch>& in) {
  std::vector<Match> out;
  for (const plumet::BlockMatch& m : in) out.push_back(Match{m.offset, m.block});
  return out;
}

// Whether the blocks at multiples of B were summed ahead before the scan: not at all, by a helper
// stopped part-way (every stripe partly done), or all of them.
enum class Ahead { kNone, kPartWay, kAll };

// How a scan is run: the vector loop or the plain one, the smallest file scanned in pieces at
// once (1: every file long enough to cut; the default: none here), into how many pieces, and
// what was summed ahead.
struct ScanMode {
  bool vector = true;
  uint64_t splitMinSize = UINT64_MAX;
  unsigned pieces = 2;
  Ahead ahead = Ahead::kNone;
};

// Runs one scan of `local` (written to a file) with B against an already loaded delta state.
inline DeltaResult RunScan(const ScratchDir& dir, plumet::CBlockDelta& delta, const Bytes& local,
                           uint32_t B, ScanMode mode = {}) {
  DeltaResult r;
  const std::string localPath = dir.File("local.bin");
  const std::string literalPath = plumet::LiteralFilePath(localPath, "0123abcd");
  EXPECT_TRUE(WriteFile(localPath, local));
  platform::File localFile, literalFile;
  EXPECT_TRUE(localFile.Open(localPath, platform::File::Mode::kRead));
  EXPECT_TRUE(literalFile.Open(literalPath, platform::File::Mode::kCreate));
  delta.SetBlockSize(B);
  delta.SetVectorScan(mode.vector);
  delta.SetSplitScanMinSize(mode.splitMinSize);
  delta.SetScanPieces(mode.pieces);
  if (mode.ahead != Ahead::kNone) {
    // Part-way: the helper stops after five steps of an eighth of the blocks, taken round-robin
    // over the stripes; on a file of many blocks, each stripe (of one to five) is partly done.
    const bool partWay = mode.ahead == Ahead::kPartWay;
    delta.SetAheadPace(partWay ? std::max<uint64_t>(1, local.size() / B / 8) : 0, partWay ? 5 : 0);
    delta.StartAhead(localFile, B);
    delta.WaitAhead();
  }
  r.outcome = delta.ComputeDelta(localFile, literalFile);
  r.matches = Copy(delta.matches());
  literalFile.Close();
  r.literal = ReadFile(literalPath);
  return r;
}

inline DeltaResult Scan(const ScratchDir& dir, const std::vector<Bytes>& blocks, const Bytes& local,
                        uint32_t B, ScanMode mode = {}) {
  plumet::CBlockDelta delta;
  const std::string list = ChecksumList(blocks);
  EXPECT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  return RunScan(dir, delta, local, B, mode);
}

// The local file as the server rebuilds it. False when the records do not fit together.
inline bool Rebuild(const std::vector<Bytes>& blocks, const std::vector<Match>& matches,
                    const Bytes& literal, size_t B, Bytes& out) {
  out.clear();
  size_t lit = 0;
  uint64_t pos = 0;
  for (const Match& m : matches) {
    if (m.offset < pos || m.block >= blocks.size() || blocks[m.block].size() != B) return false;
    const uint64_t gap = m.offset - pos;
    if (lit + gap > literal.size()) return false;
    out.insert(out.end(), literal.begin() + static_cast<long>(lit),
               literal.begin() + static_cast<long>(lit + gap));
    lit += gap;
    out.insert(out.end(), blocks[m.block].begin(), blocks[m.block].end());
    pos = m.offset + B;
  }
  out.insert(out.end(), literal.begin() + static_cast<long>(lit), literal.end());
  return true;
}

// The scan done the plain way: the full Adler-32 of every window, in offset order.
inline DeltaResult ReferenceScan(const std::vector<Bytes>& blocks, const Bytes& local, size_t B) {
  DeltaResult r;
  const uint64_t S = local.size();
  if (S == 0 || B == 0) {
    r.outcome = plumet::CBlockDelta::Outcome::kAbandoned;
    return r;
  }
  std::map<std::pair<uint32_t, std::string>, uint16_t> index;
  for (size_t i = 0; i < blocks.size() && i <= 65535; ++i) {
    const Bytes& b = blocks[i];
    index[{Adler(b.data(), b.size()),
           std::string(plumet::DigestBytes(plumet::Md5Digest(b.data(), b.size())))}] =
        static_cast<uint16_t>(i);
  }
  uint64_t p = 0, e = 0;
  if (S > B) {
    const uint64_t limit = 2 * S / 3;
    do {
      if (p > limit && r.matches.empty()) {
        r.outcome = plumet::CBlockDelta::Outcome::kAbandoned;
        r.literal.clear();
        return r;
      }
      const auto it = index.find(
          {Adler(&local[p], B), std::string(plumet::DigestBytes(plumet::Md5Digest(&local[p], B)))});
      if (it == index.end()) {
        ++p;
      } else {
        r.matches.push_back(Match{p, it->second});
        r.literal.insert(r.literal.end(), local.begin() + static_cast<long>(e),
                         local.begin() + static_cast<long>(p));
        p += B;
        e = p;
      }
    } while (p + B < S);
  }
  r.literal.insert(r.literal.end(), local.begin() + static_cast<long>(e), local.end());
  r.outcome = plumet::CBlockDelta::Outcome::kDone;
  return r;
}

}  // namespace plumet_test
