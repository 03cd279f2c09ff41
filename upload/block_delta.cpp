#include "upload/block_delta.h"

#include <zlib.h>

#include "platform/mapped_view.h"
#include "platform/read_lease.h"
#include "upload/block_scan.h"
#include "upload/split_scan.h"
#include "upload/weak_filter.h"

namespace plumet {

namespace {

constexpr size_t kDigestSize = 16;
constexpr size_t kEntrySize = 4 + kDigestSize;

uint32_t LoadLe32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 |
         static_cast<uint32_t>(u[2]) << 16 | static_cast<uint32_t>(u[3]) << 24;
}

}  // namespace

std::string LiteralFilePath(const std::string& localPath, const std::string& fileHash) {
  const size_t slash = localPath.rfind('/');
  // Without a hash the name would be ".tmp" alone: a file of anybody's, which the upload would
  // truncate and delete.
  if (slash == std::string::npos || fileHash.empty()) return {};
  return localPath.substr(0, slash + 1) + fileHash + ".tmp";
}

CBlockDelta::CBlockDelta() : splitMinSize_(kSplitScanMinSize) { index_.set_empty_key(kEmptyKey); }

bool CBlockDelta::LoadChecksums(const char* body, int32_t length) {
  if (body == nullptr || length <= 0 || length % static_cast<int32_t>(kEntrySize) != 0) {
    return false;
  }
  const int32_t count = length / static_cast<int32_t>(kEntrySize);
  const char* digests = body + 4 * static_cast<size_t>(count);
  // A match names its block in 16 bits: blocks past that cannot be named, so they are not stored.
  const int32_t usable = count - 1 > kMaxMatchableBlock ? kMaxMatchableBlock + 1 : count;
  // Sized once: growing step by step would move every digest map at each step.
  index_.resize(index_.size() + static_cast<size_t>(usable));
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

void CBlockDelta::StartAhead(const platform::File& local, uint32_t blockSize) {
  const int64_t length = local.Length();
  if (length <= 0) return;
  const uint64_t size = static_cast<uint64_t>(length);
  const unsigned pieces = ScanPieceCount(size, blockSize, ScanSplit{splitMinSize_, scanPieces_});
  if (ahead_.StartedWith(blockSize, pieces)) return;
  ahead_.Start(local, size, blockSize, pieces);
}

CBlockDelta::Outcome CBlockDelta::ComputeDelta(platform::File& local, platform::File& literal) {
  matches_.clear();
  // The scan wants every processor; what the helper summed ahead by now is used as it is.
  ahead_.Stop();
  const uint32_t B = blockSize_;
  // A block size of 0 would never advance the scan.
  if (B == 0) return Outcome::kAbandoned;

  // Writers are kept waiting while the file is mapped: a truncation would make the lost pages
  // fatal to touch. The lease comes before the length, so that the length is the one mapped; a
  // writer already present, or a file that takes no lease, makes the mapping unsafe.
  platform::ReadLease lease;
  if (lease.Acquire(local.fd()) != platform::ReadLease::State::kHeld) return Outcome::kAbandoned;
  const int64_t length = local.Length();
  // An empty file cannot be mapped.
  if (length <= 0) return Outcome::kAbandoned;
  const uint64_t S = static_cast<uint64_t>(length);
  if (!literal.Seek(0)) return Outcome::kWriteFailed;
  platform::MappedView view;  // unmapped before the lease is released
  if (!view.Map(local.fd(), S)) return Outcome::kAbandoned;
  const unsigned char* d = view.data();

  if (S > B) {
    const WeakFilter filter(index_);
    ScanInput input;
    input.data = d;
    input.size = S;
    input.blockSize = B;
    input.index = &index_;
    input.filter = &filter;
    input.roll = RollPathSupported(rollPath_) ? rollPath_ : RollPath::kScalar;
    input.aligned = &ahead_;
    platform::ViewReadAhead ahead(view, 0);
    // A writer waiting to open the file is let in promptly: the delta is abandoned for it.
    const BlockScan::Poll poll = [&lease, &ahead](uint64_t upTo) {
      if (lease.Broken()) return true;
      ahead.At(upTo);
      return false;
    };
    // With no match by two thirds of the file, the whole file is uploaded instead.
    const ScanSplit split{splitMinSize_, scanPieces_};
    const BlockScan::Stop stop = ScanFile(input, 2 * S / 3, split, poll, view, matches_);
    if (stop != BlockScan::Stop::kEnd) {
      matches_.clear();
      return Outcome::kAbandoned;
    }
  }

  // The literal file: the bytes around and between the matched blocks, one write per run.
  uint64_t e = 0;  // bytes [0, e) are accounted for
  for (const BlockMatch& m : matches_) {
    const uint64_t offset = m.offset;
    if (e < offset && !literal.Write(d + e, offset - e)) return Outcome::kWriteFailed;
    e = offset + B;
  }
  if (e < S && !literal.Write(d + e, S - e)) return Outcome::kWriteFailed;
  // No flush to the device: nothing is buffered in this process, so the upload's own reads see
  // every byte at once, and the file is deleted after the upload anyway.
  return Outcome::kDone;
}

}  // namespace plumet
