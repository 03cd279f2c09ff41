#include "upload/block_delta.h"

#include <zlib.h>

#include "platform/mapped_view.h"
#include "platform/read_lease.h"
#include "upload/digests.h"
#include "upload/rolling_adler.h"
#include "upload/rolling_scan.h"
#include "upload/weak_filter.h"

namespace plumet {

namespace {

constexpr size_t kDigestSize = 16;
constexpr size_t kEntrySize = 4 + kDigestSize;
// The rolling loop checks in with the read-ahead of the view once per this many bytes.
constexpr uint64_t kSegment = 1u << 20;

uint32_t LoadLe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 |
         static_cast<uint32_t>(u[2]) << 16 | static_cast<uint32_t>(u[3]) << 24;
}

}  // namespace

std::string LiteralFilePath(const std::string& localPath, const std::string& fileHash) {
  const size_t slash = localPath.rfind('/');
  if (slash == std::string::npos) return {};
  return localPath.substr(0, slash + 1) + fileHash + ".tmp";
}

CBlockDelta::CBlockDelta() { index_.set_empty_key(kEmptyKey); }

bool CBlockDelta::LoadChecksums(const char* body, int32_t length) {
  if (body == nullptr || length <= 0 || length % static_cast<int32_t>(kEntrySize) != 0) {
    return false;
  }
  const int32_t count = length / static_cast<int32_t>(kEntrySize);
  const char* digests = body + 4 * static_cast<size_t>(count);
  // A match names its block in 16 bits: blocks past that cannot be named, so they are not stored.
  const int32_t usable = count - 1 > kMaxMatchableBlock ? kMaxMatchableBlock + 1 : count;
  for (int32_t i = 0; i < usable; ++i) {
    const uint32_t weak = LoadLe32(body + 4 * static_cast<size_t>(i));
    // The index's empty-key marker cannot be stored; no block has it as its Adler-32 anyway, so
    // a list that carries it is only skipped there, not trusted to corrupt the index.
    if (weak == kEmptyKey) continue;
    std::string digest(digests + kDigestSize * static_cast<size_t>(i), kDigestSize);
    index_[weak][std::move(digest)] = i;  // a later equal block overwrites: highest index wins
  }
  return true;
}

bool CBlockDelta::SerializeMatches(std::unique_ptr<char[]>& buffer, int32_t& length) const {
  if (matches_.empty()) return false;
  const size_t total = matches_.size() * sizeof(BlockMatch);
  auto out = std::make_unique<char[]>(total);
  char* w = out.get();
  for (const BlockMatch& m : matches_) {
    const uint64_t offset = m.offset;
    const uint16_t block = m.block;
    for (int i = 0; i < 8; ++i) *w++ = static_cast<char>(offset >> (8 * i));
    *w++ = static_cast<char>(block);
    *w++ = static_cast<char>(block >> 8);
  }
  buffer = std::move(out);
  length = static_cast<int32_t>(total);
  return true;
}

CBlockDelta::Outcome CBlockDelta::ComputeDelta(platform::File& local, platform::File& literal) {
  matches_.clear();
  const uint32_t B = blockSize_;
  const int64_t length = local.Length();
  // An empty file cannot be mapped; a block size of 0 would never advance the scan.
  if (length <= 0 || B == 0) return Outcome::kAbandoned;
  const uint64_t S = static_cast<uint64_t>(length);
  if (!literal.Seek(0)) return Outcome::kWriteFailed;

  // Writers are kept waiting while the file is mapped: a truncation would make the lost pages
  // fatal to touch. One that is already writing makes the mapping unsafe from the start.
  platform::ReadLease lease;
  if (lease.Acquire(local.fd()) == platform::ReadLease::State::kWriterPresent) {
    return Outcome::kAbandoned;
  }
  platform::MappedView view;  // unmapped before the lease is released
  if (!view.Map(local.fd(), S)) return Outcome::kAbandoned;
  const unsigned char* d = view.data();

  uint64_t e = 0;  // bytes [0, e) are accounted for: matched, or written as literal
  if (S > B) {
    const uint64_t limit = 2 * S / 3;
    const uint64_t end = S - B;  // windows are compared while p + B < S, that is p < end
    const WeakFilter filter(index_);
    Md5Hasher md5;
    RollingAdler weak(B);
    const bool vector = vectorScan_ && VectorScanSupported();

    uint64_t p = 0;
    uint64_t nextCheck = kSegment;
    bool scanning = true;
    while (scanning) {
      // A writer waiting to open the file is let in promptly: the delta is abandoned for it.
      if (p >= nextCheck) {
        if (lease.Broken()) return Outcome::kAbandoned;
        nextCheck = p + kSegment;
      }
      // Full weak checksum of the window at p: at the start and after each match.
      view.ReadAhead(p + B);
      weak.Reset(static_cast<uint32_t>(adler32(1L, d + p, B)));
      for (;;) {
        // Compare the window at p.
        if (filter.MayContain(weak.value()) && filter.Contains(weak.value())) {
          const auto it = index_.find(weak.value());
          if (it != index_.end()) {
            const Md5 digest = md5.Digest(d + p, B);
            const auto jt = it->second.find(DigestBytes(digest));
            if (jt != it->second.end()) {
              matches_.push_back(BlockMatch{p, static_cast<uint16_t>(jt->second)});
              if (e < p && !literal.Write(d + e, p - e)) return Outcome::kWriteFailed;
              p += B;
              e = p;
              scanning = p < end;
              break;
            }
          }
        }
        // A miss: roll on by one byte at a time until the filter may know a window. The scan
        // stops at `end`; with no match yet, it gives up once it passes two thirds of the file.
        const bool mayAbandon = matches_.empty() && limit + 1 < end;
        const uint64_t stop = mayAbandon ? limit + 1 : end;
        uint64_t q = p;
        bool hit = false;
        while (!hit && q + 1 < stop) {
          if (lease.Broken()) return Outcome::kAbandoned;
          view.ReadAhead(q + B);
          const uint64_t segmentEnd = stop - q > kSegment ? q + kSegment : stop;
          q = vector ? RollToCandidateVector(d, q, segmentEnd, B, weak, filter)
                     : RollToCandidate(d, q, segmentEnd, B, weak, filter);
          hit = q < segmentEnd;
          if (!hit) --q;  // windows up to segmentEnd - 1 are done; go on from the last of them
        }
        if (!hit) q = stop;
        p = q;
        if (!hit) {
          if (mayAbandon) return Outcome::kAbandoned;
          scanning = false;
          break;
        }
      }
    }
  }
  if (e < S && !literal.Write(d + e, S - e)) return Outcome::kWriteFailed;
  // No flush to the device: nothing is buffered in this process, so the upload's own reads see
  // every byte at once, and the file is deleted after the upload anyway.
  return Outcome::kDone;
}

}  // namespace plumet
