#pragma once
// The block-checksum delta of one upload. The upload server describes its stored copy as N
// blocks of B bytes, each with a weak (Adler-32) and a strong (MD5) checksum. The scan slides a
// B-byte window over the local file and produces
//  - the match list: where a window equal to a stored block starts, and which block it equals;
//  - the literal file: every byte that no matched window covers, in file order.
// Walking the local file from offset 0, each match covers B bytes equal to the named block and
// the gaps are the literal bytes in order, so that
//   literal length + matches * B == local file size.
//
// How the owning upload task uses it (its PrepareDelta step):
//   1. if the literal file is already open: done (true);
//   2. path = LiteralFilePath(localPath, fileHash); empty -> fail (false), retried by the protocol;
//   3. literalFile.Open(path, platform::File::Mode::kCreate); failure -> false;
//   4. delta.SetBlockSize(static_cast<uint32_t>(blockSize));
//   5. switch (delta.ComputeDelta(localFile, literalFile)):
//        kDone:        delta.SerializeMatches(matchBuffer, matchLength) (false with no match,
//                      leaving both empty/zero), then true;
//        kAbandoned:   blockSize = 0, close and unlink the literal file, true (the upload goes
//                      on as a whole-file upload and no match list is sent);
//        kWriteFailed: close and unlink the literal file, false (blockSize untouched: the
//                      protocol's retry rule repeats the step, and finally fails the upload).
// Cleanup when the task ends: close the literal file, reset matchBuffer / matchLength /
// matchSendOffset, unlink LiteralFilePath(...) if it exists.
//
// Everything here runs on the thread of the task that owns the object; nothing is shared. Two
// exceptions: the helper of StartAhead, which only reads the local file into memory of its own
// and is stopped by ComputeDelta, StopAhead or the destructor; and, inside ComputeDelta, on a big
// file, helper threads scan the later pieces while the caller's thread scans the first (see
// upload/split_scan.h); they only read the mapped file and the block index, and are stopped and
// joined before ComputeDelta returns, whatever the outcome.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <sparsehash/dense_hash_map>
#include <string>
#include <vector>

#include "platform/file.h"
#include "upload/aligned_digests.h"
#include "upload/roll_path.h"

namespace plumet {

// One match, in memory and on the wire alike: 10 bytes, packed, little-endian.
// The fields are packed: copy them (e.g. `uint64_t off = m.offset;`) before binding them to a
// reference, as EXPECT_EQ and std::min do.
#pragma pack(push, 1)
struct BlockMatch {
  uint64_t offset;  // where the matched window starts in the local file
  uint16_t block;   // index of the stored block it equals (0-based in the server's list)
};
#pragma pack(pop)
static_assert(sizeof(BlockMatch) == 10, "BlockMatch is a 10-byte wire record");

// The largest stored block index a BlockMatch can name; stored blocks beyond it are not matched.
inline constexpr int32_t kMaxMatchableBlock = 65535;

// The literal file of an upload: the folder of `localPath` up to and including its last "/",
// then `fileHash`, then ".tmp". Empty when `localPath` has no "/" or `fileHash` is empty.
std::string LiteralFilePath(const std::string& localPath, const std::string& fileHash);

class CBlockDelta {
 public:
  // Raw 16-byte MD5 of a stored block -> its index. Compared bytewise (the digest may hold zero
  // bytes); std::less<> lets a lookup use a string_view of the digest without an allocation.
  using DigestMap = std::map<std::string, int32_t, std::less<>>;
  // Weak checksum -> digests of the stored blocks that have it. Empty key 0xFFFFFFFF: both halves
  // of an Adler-32 are below 65521, so no real checksum can collide with it.
  using BlockIndex = google::dense_hash_map<uint32_t, DigestMap>;
  static constexpr uint32_t kEmptyKey = 0xFFFFFFFFu;

  enum class Outcome {
    kDone,         // literal file written, match list filled (possibly empty)
    kAbandoned,    // delta not worth it or not possible: upload the whole file instead
    kWriteFailed,  // the literal file could not be written (e.g. disk full)
  };

  CBlockDelta();

  // Reads the body of "/download_checksum": N weak checksums (u32 little-endian), then N raw MD5
  // digests. False, storing nothing, when `length` is 0 or not a multiple of 20. When several
  // stored blocks share weak checksum and digest, the highest index wins. Blocks with an index
  // above kMaxMatchableBlock are not stored (a match could not name them), nor is an entry whose
  // weak checksum is kEmptyKey (no Adler-32 has that value).
  bool LoadChecksums(const char* body, int32_t length);

  // B, taken from the low 32 bits of the task's block size before each scan.
  void SetBlockSize(uint32_t blockSize) { blockSize_ = blockSize; }
  uint32_t blockSize() const { return blockSize_; }

  // Scans `local` (read through one read-only mapping of the whole file) against the block index
  // and writes the literal bytes to `literal` from its start. The match list is rebuilt from
  // scratch. kAbandoned when no read lease can be held on `local`, when the file cannot be mapped
  // (an empty file included), when B is 0,
  // when no block has matched once the scan passes two thirds of the file, or when another
  // program has the local file open for writing or asks to open it so during the scan (it waits
  // under a read lease meanwhile, so that it cannot truncate the mapped file under the scan).
  // The literal runs are written once the scan is complete, one write per run, straight from
  // the mapping; a failed write is kWriteFailed.
  Outcome ComputeDelta(platform::File& local, platform::File& literal);

  // While the upload waits for the checksum list, the blocks of `local` at multiples of B can be
  // summed ahead on a helper thread (see upload/aligned_digests.h), spread over the pieces the
  // scan will cut the file into; the next ComputeDelta with that B stops the helper and uses what
  // it computed. `local` must stay open until then, or until StopAhead() (the destructor stops
  // the helper too). A helper already started with this B and these pieces (on the same content)
  // goes on instead of starting over.
  void StartAhead(const platform::File& local, uint32_t blockSize);
  void StopAhead() { ahead_.Stop(); }
  void WaitAhead() { ahead_.Wait(); }

  // With M > 0 matches: allocates 10*M bytes, writes the records in list order, stores them in
  // `buffer` and 10*M in `length`, returns true. With none: false, both left untouched.
  bool SerializeMatches(std::unique_ptr<char[]>& buffer, int32_t& length) const;

  // The scan uses the processor's widest vector unit when it has one (same results); tests and
  // benchmarks turn it off to cover the plain loop, or name the loop (one the processor lacks
  // falls back to the plain one).
  void SetVectorScan(bool enabled) { rollPath_ = enabled ? ChosenRollPath() : RollPath::kScalar; }
  void SetRollPath(RollPath path) { rollPath_ = path; }

  // Files of at least this many bytes are scanned in pieces at once, two per processor (same
  // results, see upload/split_scan.h); tests lower it to cover the joining on small files, and
  // choose the number of pieces (0: two per processor).
  void SetSplitScanMinSize(uint64_t size) { splitMinSize_ = size; }
  void SetScanPieces(unsigned pieces) { scanPieces_ = pieces; }
  // Tests stop the helper of later StartAhead calls part-way (see AlignedDigests::SetPace).
  void SetAheadPace(uint64_t blocks, uint64_t steps) { ahead_.SetPace(blocks, steps); }

  const std::vector<BlockMatch>& matches() const { return matches_; }
  const BlockIndex& index() const { return index_; }

 private:
  BlockIndex index_;
  std::vector<BlockMatch> matches_;
  uint32_t blockSize_ = 0;
  RollPath rollPath_ = ChosenRollPath();
  uint64_t splitMinSize_;
  unsigned scanPieces_ = 0;
  AlignedDigests ahead_;  // last: its helper is stopped before anything else goes
};

}  // namespace plumet
