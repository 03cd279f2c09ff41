// The block delta: the checksum list, the scan's edge cases, the wire form of the match list, and
// a property test against the plain scan that rebuilds every local file from its delta.

#include "upload/block_delta.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/upload/delta_fixture.h"

namespace {

using plumet::CBlockDelta;
using Outcome = plumet::CBlockDelta::Outcome;
using namespace plumet_test;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t size) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + size));
}

class BlockDeltaTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // Scans and checks what every scan must satisfy: same as the plain scan, and rebuildable;
  // the vector loop (where the processor has one) and the scalar loop alike, each as one scan
  // and cut into pieces scanned at once and joined, with none, part or all of the aligned blocks
  // summed ahead.
  DeltaResult Check(const std::vector<Bytes>& blocks, const Bytes& local, uint32_t B) {
    const DeltaResult plain = ReferenceScan(blocks, local, B);
    static const ScanMode kModes[] = {
        {false, UINT64_MAX, 0, Ahead::kNone},
        {false, 1, 3, Ahead::kPartWay},
        {true, 1, 2, Ahead::kNone},
        {true, 1, 5, Ahead::kAll},
    };
    for (const ScanMode& mode : kModes) {
      SCOPED_TRACE(std::string(mode.vector ? "vector" : "scalar") +
                   (mode.splitMinSize == 1 ? ", pieces: " + std::to_string(mode.pieces)
                                           : std::string(", one scan")) +
                   (mode.ahead == Ahead::kAll       ? ", all summed ahead"
                    : mode.ahead == Ahead::kPartWay ? ", part summed ahead"
                                                    : ""));
      CheckAgainst(plain, Scan(dir_, blocks, local, B, mode), blocks, local, B);
    }
    const ScanMode last{true, UINT64_MAX, 0, Ahead::kPartWay};
    return CheckAgainst(plain, Scan(dir_, blocks, local, B, last), blocks, local, B);
  }

  DeltaResult CheckAgainst(const DeltaResult& plain, DeltaResult fast,
                           const std::vector<Bytes>& blocks, const Bytes& local, uint32_t B) {
    EXPECT_EQ(fast.outcome, plain.outcome);
    EXPECT_EQ(fast.matches, plain.matches);
    if (fast.outcome == Outcome::kDone) {
      EXPECT_EQ(fast.literal, plain.literal);
      Bytes rebuilt;
      EXPECT_TRUE(Rebuild(blocks, fast.matches, fast.literal, B, rebuilt));
      EXPECT_TRUE(rebuilt == local) << "rebuilt file differs";
      EXPECT_EQ(fast.literal.size() + fast.matches.size() * B, local.size());
    }
    return fast;
  }

  ScratchDir dir_;
};

TEST(LiteralFilePath, FolderOfTheLocalCopyPlusHash) {
  EXPECT_EQ(plumet::LiteralFilePath("/tmp/p/report.docx", "ab12"), "/tmp/p/ab12.tmp");
  EXPECT_EQ(plumet::LiteralFilePath("/report.docx", "ab12"), "/ab12.tmp");
  EXPECT_EQ(plumet::LiteralFilePath("a/b/", "ab12"), "a/b/ab12.tmp");
  EXPECT_EQ(plumet::LiteralFilePath("report.docx", "ab12"), "");
  EXPECT_EQ(plumet::LiteralFilePath("", "ab12"), "");
  // No hash, no name: "<folder>/.tmp" may be anybody's file.
  EXPECT_EQ(plumet::LiteralFilePath("/tmp/p/report.docx", ""), "");
}

TEST(LoadChecksums, RejectsListsThatAreNotWholeEntries) {
  CBlockDelta delta;
  const std::string list(21, 'x');
  for (int32_t length : {0, 19, 21, 39, -20}) {
    EXPECT_FALSE(delta.LoadChecksums(list.data(), length)) << length;
  }
  EXPECT_TRUE(delta.index().empty());
  EXPECT_FALSE(delta.LoadChecksums(nullptr, 20));
}

TEST(LoadChecksums, ReadsLittleEndianWeakSumsThenDigests) {
  // Two entries: weak sums first, then the two digests (with zero bytes inside).
  std::string list = {'\x04', '\x03', '\x02', '\x01', '\x00', '\x00', '\x00', '\x00'};
  std::string d0(16, '\0'), d1(16, '\0');
  d0[3] = 'a';
  d1[15] = 'b';
  list += d0 + d1;
  CBlockDelta delta;
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  ASSERT_EQ(delta.index().size(), 2u);
  const auto it = delta.index().find(0x01020304u);
  ASSERT_NE(it, delta.index().end());
  ASSERT_EQ(it->second.size(), 1u);
  EXPECT_EQ(it->second.begin()->first, d0);
  EXPECT_EQ(it->second.begin()->second, 0);
  const auto zero = delta.index().find(0u);
  ASSERT_NE(zero, delta.index().end());
  EXPECT_EQ(zero->second.at(d1), 1);

  CBlockDelta one;
  EXPECT_TRUE(one.LoadChecksums(list.data(), 20)) << "a single 20-byte entry is a valid list";
}

TEST(LoadChecksums, TheIndexMarkerValueFromTheServerIsSkipped) {
  // 0xFFFFFFFF is no Adler-32; storing it would break the index, whose empty marker it is.
  std::string list = {'\xFF', '\xFF', '\xFF', '\xFF', '\x01', '\x00', '\x00', '\x00'};
  list += std::string(32, 'd');
  CBlockDelta delta;
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  ASSERT_EQ(delta.index().size(), 1u);
  EXPECT_EQ(delta.index().begin()->first, 1u);
  EXPECT_EQ(delta.index().begin()->second.begin()->second, 1);
}

TEST_F(BlockDeltaTest, IdenticalFileOfWholeBlocksLeavesTheLastBlockLiteral) {
  const uint32_t B = 64;
  const Bytes stored = RandomBytes(5 * B, 1);
  const DeltaResult r = Check(Blocks(stored, B), stored, B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  EXPECT_EQ(r.matches, (std::vector<Match>{{0, 0}, {64, 1}, {128, 2}, {192, 3}}));
  EXPECT_EQ(r.literal, Slice(stored, 4 * B, B));
}

TEST_F(BlockDeltaTest, IdenticalFileWithAShortTailMatchesEveryFullBlock) {
  const uint32_t B = 64;
  const Bytes stored = RandomBytes(5 * B + 7, 2);
  const DeltaResult r = Check(Blocks(stored, B), stored, B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  ASSERT_EQ(r.matches.size(), 5u);
  EXPECT_EQ(r.matches.back(), (Match{256, 4}));
  EXPECT_EQ(r.literal, Slice(stored, 5 * B, 7));
}

TEST_F(BlockDeltaTest, ByteInsertedAtTheFrontShiftsEveryMatch) {
  for (uint32_t B : {16u, 70000u}) {  // also a block larger than the Adler-32 modulus
    const Bytes stored = RandomBytes(3 * B + 5, B);
    const Bytes local = Concat({{'Z'}, stored});
    const DeltaResult r = Scan(dir_, Blocks(stored, B), local, B);
    ASSERT_EQ(r.outcome, Outcome::kDone);
    EXPECT_EQ(r.matches, (std::vector<Match>{{1, 0}, {1 + B, 1}, {1 + 2 * B, 2}})) << B;
    EXPECT_EQ(r.literal, Concat({{'Z'}, Slice(stored, 3 * B, 5)})) << B;
  }
}

TEST_F(BlockDeltaTest, DuplicateStoredBlocksNameTheHighestIndex) {
  const uint32_t B = 32;
  const Bytes x = RandomBytes(B, 3), y = RandomBytes(B, 4);
  const std::vector<Bytes> blocks = {x, y, x, x, y};
  const DeltaResult r = Check(blocks, Concat({x, y, x, x, {'z'}}), B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  EXPECT_EQ(r.matches, (std::vector<Match>{{0, 3}, {32, 4}, {64, 3}, {96, 3}}));
}

TEST_F(BlockDeltaTest, SameWeakSumDifferentContentIsTellApartByDigest) {
  const uint32_t B = 24;
  // +1, -2, +1 on three neighbouring bytes leaves both halves of the Adler-32 unchanged.
  const Bytes p(B, 10);
  Bytes q = p, other = p;
  q[5] += 1, q[6] -= 2, q[7] += 1;
  other[5] += 2, other[6] -= 4, other[7] += 2;
  ASSERT_EQ(Adler(p.data(), B), Adler(q.data(), B));
  ASSERT_EQ(Adler(p.data(), B), Adler(other.data(), B));
  const std::vector<Bytes> blocks = {p, q};
  CBlockDelta delta;
  const std::string list = ChecksumList(blocks);
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  ASSERT_EQ(delta.index().size(), 1u);
  EXPECT_EQ(delta.index().begin()->second.size(), 2u);

  const DeltaResult r = Check(blocks, Concat({q, p, other, {'!', '!'}}), B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  EXPECT_EQ(r.matches, (std::vector<Match>{{0, 1}, {24, 0}}));
  EXPECT_EQ(r.literal, Concat({other, {'!', '!'}}));
}

TEST_F(BlockDeltaTest, NothingInCommonAbandonsPastTwoThirds) {
  const uint32_t B = 64;
  const std::vector<Bytes> blocks = Blocks(RandomBytes(40 * B, 5), B);
  const DeltaResult r = Check(blocks, RandomBytes(3000, 6), B);
  EXPECT_EQ(r.outcome, Outcome::kAbandoned);
  EXPECT_TRUE(r.matches.empty());
}

TEST_F(BlockDeltaTest, AbandonNeedsAWindowPastTwoThirdsBeforeTheEnd) {
  const uint32_t B = 9;
  const std::vector<Bytes> blocks = Blocks(RandomBytes(10 * B, 7), B);
  // S = 30: floor(2S/3) + 1 + B = 30, not below S: scanned to the end, all literal.
  const Bytes short30 = RandomBytes(30, 8);
  DeltaResult r = Check(blocks, short30, B);
  EXPECT_EQ(r.outcome, Outcome::kDone);
  EXPECT_TRUE(r.matches.empty());
  EXPECT_EQ(r.literal, short30);
  // S = 31: the window at offset 21 exists before the end, and the scan gives up there.
  r = Check(blocks, RandomBytes(31, 9), B);
  EXPECT_EQ(r.outcome, Outcome::kAbandoned);
}

TEST_F(BlockDeltaTest, FirstMatchDecidesAgainstAbandonAtExactlyTwoThirds) {
  const uint32_t B = 10;
  const Bytes local = RandomBytes(300, 10);  // floor(2S/3) = 200
  DeltaResult r = Check({Slice(local, 200, B)}, local, B);
  EXPECT_EQ(r.outcome, Outcome::kDone);
  EXPECT_EQ(r.matches, (std::vector<Match>{{200, 0}}));
  r = Check({Slice(local, 201, B)}, local, B);
  EXPECT_EQ(r.outcome, Outcome::kAbandoned);
  // Once something matched, later windows are searched to the end.
  r = Check({Slice(local, 20, B), Slice(local, 270, B)}, local, B);
  EXPECT_EQ(r.matches, (std::vector<Match>{{20, 0}, {270, 1}}));
}

TEST_F(BlockDeltaTest, FileNoLongerThanABlockIsAllLiteral) {
  const uint32_t B = 100;
  const Bytes stored = RandomBytes(B, 11);
  for (size_t size : {1u, 99u, 100u}) {
    const Bytes local = Slice(stored, 0, size);
    const DeltaResult r = Check(Blocks(stored, B), local, B);
    EXPECT_EQ(r.outcome, Outcome::kDone);
    EXPECT_TRUE(r.matches.empty());
    EXPECT_EQ(r.literal, local);
  }
}

TEST_F(BlockDeltaTest, EmptyFileOrNoBlockSizeAbandons) {
  const Bytes stored = RandomBytes(64, 12);
  EXPECT_EQ(Scan(dir_, Blocks(stored, 16), {}, 16).outcome, Outcome::kAbandoned);
  EXPECT_EQ(Scan(dir_, Blocks(stored, 16), stored, 0).outcome, Outcome::kAbandoned);
}

TEST_F(BlockDeltaTest, BlocksBeyondTheSixteenBitIndexAreNotMatched) {
  const uint32_t B = 8;
  const Bytes stored = RandomBytes(65537 * B, 13);
  const std::vector<Bytes> blocks = Blocks(stored, B);
  const Bytes local = Concat({blocks[65536], blocks[65535], blocks[0], {'x'}});
  const DeltaResult r = Check(blocks, local, B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  EXPECT_EQ(r.matches, (std::vector<Match>{{8, 65535}, {16, 0}}));
  EXPECT_EQ(r.literal, Concat({blocks[65536], {'x'}}));
}

TEST_F(BlockDeltaTest, RepeatedScanStartsAFreshMatchList) {
  const uint32_t B = 16;
  const Bytes stored = RandomBytes(4 * B + 1, 14);
  CBlockDelta delta;
  const std::string list = ChecksumList(Blocks(stored, B));
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  const DeltaResult first = RunScan(dir_, delta, stored, B);
  const DeltaResult second = RunScan(dir_, delta, stored, B);
  EXPECT_EQ(first.matches.size(), 4u);
  EXPECT_EQ(second.matches, first.matches);
  EXPECT_EQ(second.literal, first.literal);
}

TEST_F(BlockDeltaTest, UnwritableLiteralFileIsAWriteFailure) {
  const uint32_t B = 16;
  const Bytes stored = RandomBytes(4 * B, 15);
  CBlockDelta delta;
  const std::string list = ChecksumList(Blocks(stored, B));
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  delta.SetBlockSize(B);
  const std::string localPath = dir_.File("l.bin");
  ASSERT_TRUE(WriteFile(localPath, Concat({{'a'}, stored})));
  platform::File local, full, closed;
  ASSERT_TRUE(local.Open(localPath, platform::File::Mode::kRead));
  ASSERT_TRUE(full.Open("/dev/full", platform::File::Mode::kReadWrite));
  EXPECT_EQ(delta.ComputeDelta(local, full), Outcome::kWriteFailed);
  EXPECT_EQ(delta.ComputeDelta(local, closed), Outcome::kWriteFailed);
}

TEST_F(BlockDeltaTest, MatchListTravelsAsPackedLittleEndianRecords) {
  const uint32_t B = 16;
  const Bytes stored = RandomBytes(300 * B, 16);
  const std::vector<Bytes> blocks = Blocks(stored, B);
  const Bytes local = Concat({RandomBytes(0x1234, 17), blocks[0x0102], RandomBytes(3000, 18)});
  plumet::CBlockDelta delta;
  const std::string list = ChecksumList(blocks);
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));

  std::unique_ptr<char[]> buffer;
  int32_t length = -1;
  EXPECT_FALSE(delta.SerializeMatches(buffer, length)) << "no match yet";
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, -1);

  const DeltaResult r = RunScan(dir_, delta, local, B);
  ASSERT_EQ(r.matches, (std::vector<Match>{{0x1234, 0x0102}}));
  ASSERT_TRUE(delta.SerializeMatches(buffer, length));
  ASSERT_EQ(length, 10);
  const unsigned char expected[10] = {0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x02, 0x01};
  EXPECT_EQ(std::memcmp(buffer.get(), expected, 10), 0);
  EXPECT_EQ(std::memcmp(buffer.get(), delta.matches().data(), 10), 0) << "in memory as on wire";
}

TEST_F(BlockDeltaTest, RandomEditsRebuildByteForByte) {
  std::mt19937_64 rng(20261207);
  const uint32_t sizes[] = {1, 2, 3, 7, 16, 33, 64, 100, 256};
  int done = 0;
  for (int round = 0; round < 120; ++round) {
    const uint32_t B = sizes[rng() % std::size(sizes)];
    const size_t storedSize = rng() % 6000;
    Bytes stored = RandomBytes(storedSize, rng());
    // Low-entropy files too: many equal blocks and many weak-sum hits.
    if (round % 5 == 0) {
      for (auto& c : stored) c &= 0x03;
    }
    Bytes local = stored;
    const int edits = static_cast<int>(rng() % 6);
    for (int i = 0; i < edits; ++i) {
      const size_t at = local.empty() ? 0 : rng() % local.size();
      const size_t len = 1 + rng() % 40;
      switch (rng() % 4) {
        case 0:  // insert
          local.insert(local.begin() + static_cast<long>(at), len,
                       static_cast<unsigned char>(rng()));
          break;
        case 1:  // delete
          local.erase(local.begin() + static_cast<long>(at),
                      local.begin() + static_cast<long>(std::min(local.size(), at + len)));
          break;
        case 2:  // overwrite
          for (size_t k = at; k < std::min(local.size(), at + len); ++k) local[k] ^= 0x5A;
          break;
        default: {  // copy a run from elsewhere (repeated content)
          const size_t from = local.empty() ? 0 : rng() % local.size();
          const Bytes run = Slice(local, from, std::min(local.size() - from, len * 4));
          local.insert(local.begin() + static_cast<long>(at), run.begin(), run.end());
        }
      }
    }
    SCOPED_TRACE("round " + std::to_string(round) + " B " + std::to_string(B) + " S " +
                 std::to_string(local.size()));
    const DeltaResult r = Check(Blocks(stored, B), local, B);
    if (r.outcome == Outcome::kDone && !r.matches.empty()) ++done;
    if (HasFailure()) break;
  }
  EXPECT_GT(done, 60) << "the rounds must mostly exercise matching, not only abandoning";
}

}  // namespace

namespace {

TEST_F(BlockDeltaTest, LocalFileOpenForWritingIsNotMapped) {
  const uint32_t B = 16;
  const Bytes stored = RandomBytes(8 * B + 3, 21);
  CBlockDelta delta;
  const std::string list = ChecksumList(Blocks(stored, B));
  ASSERT_TRUE(delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size())));
  delta.SetBlockSize(B);
  const std::string localPath = dir_.File("busy.bin");
  const std::string literalPath = dir_.File("busy.tmp");
  ASSERT_TRUE(WriteFile(localPath, stored));
  platform::File local, literal, writer;
  ASSERT_TRUE(local.Open(localPath, platform::File::Mode::kRead));
  ASSERT_TRUE(literal.Open(literalPath, platform::File::Mode::kCreate));
  ASSERT_TRUE(writer.Open(localPath, platform::File::Mode::kReadWrite));
  EXPECT_EQ(delta.ComputeDelta(local, literal), Outcome::kAbandoned);
  writer.Close();
  EXPECT_EQ(delta.ComputeDelta(local, literal), Outcome::kDone);
  EXPECT_EQ(delta.matches().size(), 8u);
}

}  // namespace

namespace {

// Two halves scanned at once: the second scan starts in the middle of the file as though it were
// a file of its own; the first joins it where their paths meet. Check() runs every case both ways;
// these place the middle where the two paths disagree for a while.

TEST_F(BlockDeltaTest, HalvesWhosePathsNeverMeetGiveTheSingleScan) {
  // All zeros: every window matches, so the second scan keeps its own odd alignment (it starts
  // at 42) and the first one, aligned to 0, always lands inside one of its blocks.
  const uint32_t B = 8;
  const Bytes local(85, 0);
  const DeltaResult r = Check({Bytes(B, 0), RandomBytes(B, 30)}, local, B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  ASSERT_EQ(r.matches.size(), 10u);
  EXPECT_EQ(r.matches.back(), (Match{72, 0}));
  EXPECT_EQ(r.literal, Bytes(5, 0));
}

TEST_F(BlockDeltaTest, HalvesMeetAgainAfterDisagreeing) {
  // The second scan starts at 65 inside a run of zeros and matches there out of step with the
  // first; both miss byte by byte through the new bytes after the run, where they meet.
  const uint32_t B = 8;
  const Bytes r1 = RandomBytes(B, 31), r2 = RandomBytes(B, 32);
  const Bytes local = Concat({Bytes(80, 0), RandomBytes(30, 33), r1, r2, RandomBytes(5, 34)});
  ASSERT_EQ(local.size() / 2, 65u);
  const DeltaResult r = Check({Bytes(B, 0), r1, r2}, local, B);
  ASSERT_EQ(r.outcome, Outcome::kDone);
  ASSERT_EQ(r.matches.size(), 12u);
  EXPECT_EQ(r.matches[9], (Match{72, 0}));
  EXPECT_EQ(r.matches[10], (Match{110, 1}));
  EXPECT_EQ(r.matches[11], (Match{118, 2}));
}

TEST_F(BlockDeltaTest, HalvesDecideTheTwoThirdsRuleAsOneScan) {
  // Nothing in the first half; the second half's first match lies at, then just past, two thirds.
  const uint32_t B = 10;
  const Bytes local = RandomBytes(300, 35);  // middle 150, two thirds 200
  for (const uint64_t at : {199u, 200u, 201u, 260u}) {
    const DeltaResult r = Check({Slice(local, at, B)}, local, B);
    EXPECT_EQ(r.outcome, at <= 200 ? Outcome::kDone : Outcome::kAbandoned) << at;
  }
  // Once the first half matched, the second half's matches count wherever they are.
  const DeltaResult r = Check({Slice(local, 20, B), Slice(local, 280, B)}, local, B);
  EXPECT_EQ(r.matches, (std::vector<Match>{{20, 0}, {280, 1}}));
}

TEST(BlockDeltaLease, NoLeaseNoScan) {
  // Without a read lease another program could truncate the mapped file under the scan (SIGBUS).
  // A lease needs the file's owner or CAP_LEASE: a child that has neither scans a system file it
  // may only read, with a block size that would otherwise copy the whole file as literal bytes.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    platform::File local, literal;
    if (!local.Open("/etc/passwd", platform::File::Mode::kRead) ||
        !literal.Open("/dev/null", platform::File::Mode::kReadWrite)) {
      ::_exit(3);
    }
    CBlockDelta delta;
    delta.SetBlockSize(1u << 20);
    ::_exit(delta.ComputeDelta(local, literal) == Outcome::kAbandoned ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: scanned without a lease; 2, 3: set-up failed";
}

TEST(AlignedDigests, StoppedPartWayEveryStripeHasAboutTheSameShare) {
  // A sparse file: large enough that the helper is far from through when stopped, at no cost.
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const uint32_t B = 64u << 10;
  const uint64_t n = 3 * 1024;  // 192 MiB of blocks
  const uint64_t step = plumet::AlignedDigests::kStepBytes / B;
  platform::File file;
  ASSERT_TRUE(file.Open(dir.File("sparse.bin"), platform::File::Mode::kCreate));
  ASSERT_EQ(::ftruncate(file.fd(), static_cast<off_t>(n * B)), 0);

  plumet::AlignedDigests digests;
  // Stopped after seven steps: summed from the front, they would all lie in the first stripe.
  digests.SetPace(0, 7);
  digests.Start(file, n * B, B, 3);
  EXPECT_FALSE(digests.StartedWith(B, 1)) << "another stripe count starts over";
  digests.Wait();
  uint64_t counts[3] = {};
  for (uint64_t k = 0; k < n; ++k) counts[k * 3 / n] += digests.At(k * B, B) != nullptr ? 1 : 0;
  SCOPED_TRACE(std::to_string(counts[0]) + " " + std::to_string(counts[1]) + " " +
               std::to_string(counts[2]));
  for (const uint64_t c : counts) EXPECT_GT(c, 0u);
  EXPECT_LT(counts[0] + counts[1] + counts[2], n) << "stopped part-way";
  const auto [low, high] = std::minmax({counts[0], counts[1], counts[2]});
  EXPECT_LE(high - low, step);
}

}  // namespace
