// The server's block delta pieces on their own: the block-size rule, the checksum list layout,
// the match list checks and the rebuild.

#include "service/upload/delta_rebuild.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>

#include "service/upload/rebuild_output.h"
#include "tests/service/upload/fake_backend.h"
#include "tests/service/upload/upload_test_client.h"

namespace zelmic {
namespace {

using zelmic_test::EncodeMatches;
using zelmic_test::Match;
using zelmic_test::RandomBytes;

TEST(BlockSizeRule, KeepsEveryStoredVersionWithinTheBlockIndexRange) {
  EXPECT_EQ(BlockSizeFor(0), 0u);
  EXPECT_EQ(BlockSizeFor(4095), 0u);  // no full block to offer
  EXPECT_EQ(BlockSizeFor(4096), 4096u);
  EXPECT_EQ(BlockSizeFor(65536ull * 4096), 4096u);
  EXPECT_EQ(BlockSizeFor(65536ull * 4096 + 1), 8192u);
  EXPECT_EQ(BlockSizeFor(1ull << 40), 1u << 24);
  EXPECT_EQ(BlockSizeFor(1ull << 47), 0u);  // would need blocks beyond what "piecelen" carries
  for (uint64_t size : {5000ull, 1ull << 28, (1ull << 33) + 7, (1ull << 44) - 1}) {
    uint32_t block = BlockSizeFor(size);
    ASSERT_NE(block, 0u) << size;
    EXPECT_LE((size + block - 1) / block, kMaxBlocks) << size;
    // The smallest such size: half of it would need too many blocks.
    if (block > kMinBlockSize) {
      EXPECT_GT((size + block / 2 - 1) / (block / 2), kMaxBlocks) << size;
    }
  }
}

class BlockDeltaFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = backend_.root() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  zelmic_test::FakeBackend backend_;
};

TEST_F(BlockDeltaFiles, ChecksumListHoldsAdlerThenMd5OfEachFullBlock) {
  // A small version is summed on one thread; a big one in runs on several, which must still give
  // every entry its own place; a block larger than a read is summed across reads. A version
  // shorter than its record fails either way.
  struct Case {
    uint32_t block;
    size_t blocks;
  } cases[] = {{4096, 3}, {4096, 6001}, {8192, 2100}, {2u << 20, 5}};
  for (const Case& c : cases) {
    const std::string stored =
        RandomBytes(c.block * c.blocks + 100, static_cast<unsigned>(c.blocks));
    const std::string path = Write("stored", stored);
    std::string list;
    const Status built = BuildChecksumList(path, c.block, c.blocks, list);
    ASSERT_TRUE(built.ok()) << built.message();
    ASSERT_EQ(list.size(), 20 * c.blocks);
    for (size_t i = 0; i < c.blocks; ++i) {
      const auto* block = reinterpret_cast<const Bytef*>(stored.data() + i * c.block);
      uint32_t adler = static_cast<uint32_t>(adler32(1, block, c.block));
      uint32_t got = 0;
      for (int b = 3; b >= 0; --b) {
        got = (got << 8) | static_cast<unsigned char>(list[4 * i + static_cast<size_t>(b)]);
      }
      ASSERT_EQ(got, adler) << c.blocks << " blocks, block " << i;
      unsigned char md5[16];
      unsigned int size = 0;
      EVP_Digest(block, c.block, md5, &size, EVP_md5(), nullptr);
      ASSERT_EQ(list.substr(4 * c.blocks + 16 * i, 16),
                std::string(reinterpret_cast<char*>(md5), 16))
          << c.blocks << " blocks, block " << i;
    }
    const std::string cut = stored.substr(0, c.block * (c.blocks - 1) + 10);
    EXPECT_FALSE(BuildChecksumList(Write("short", cut), c.block, c.blocks, list).ok()) << c.blocks;
  }
}

TEST_F(BlockDeltaFiles, MatchListChecksRejectWhatCannotDescribeTheFile) {
  std::vector<BlockMatch> matches;
  // Two stored blocks of 4096, a new file of 10000 bytes.
  EXPECT_TRUE(ParseMatchList(EncodeMatches({{0, 1}, {5000, 0}}), 4096, 2, 10000, matches).ok());
  ASSERT_EQ(matches.size(), 2u);
  EXPECT_EQ(matches[1].offset, 5000u);
  EXPECT_EQ(matches[1].block, 0u);
  EXPECT_EQ(LiteralLength(10000, matches.size(), 4096), 10000u - 8192u);
  EXPECT_TRUE(ParseMatchList("", 4096, 2, 10000, matches).ok());
  EXPECT_TRUE(matches.empty());

  EXPECT_FALSE(ParseMatchList(EncodeMatches({{0, 2}}), 4096, 2, 10000, matches).ok())
      << "block index beyond the stored blocks";
  EXPECT_FALSE(ParseMatchList(EncodeMatches({{0, 0}, {4095, 1}}), 4096, 2, 10000, matches).ok())
      << "overlapping matches";
  EXPECT_FALSE(ParseMatchList(EncodeMatches({{4096, 0}, {0, 1}}), 4096, 2, 10000, matches).ok())
      << "descending offsets";
  EXPECT_FALSE(ParseMatchList(EncodeMatches({{5905, 0}}), 4096, 2, 10000, matches).ok())
      << "match past the end of the file";
  EXPECT_FALSE(ParseMatchList(EncodeMatches({{~0ull - 10, 0}}), 4096, 2, 10000, matches).ok())
      << "offset that wraps";
  EXPECT_FALSE(ParseMatchList(EncodeMatches({{0, 0}}).substr(0, 9), 4096, 2, 10000, matches).ok())
      << "partial record";
  EXPECT_FALSE(
      ParseMatchList(EncodeMatches({{0, 0}, {4096, 1}, {8192, 0}}), 4096, 2, 10000, matches).ok())
      << "more matches than fit";
}

TEST_F(BlockDeltaFiles, RebuildPutsBlocksAtTheirOffsetsAndLiteralBytesInTheGaps) {
  const std::string stored = RandomBytes(2 * 4096, 2);
  const std::string fresh =
      "xy" + stored.substr(4096, 4096) + "middle" + stored.substr(0, 4096) + "tail";
  const std::string literal = "xymiddletail";
  std::vector<BlockMatch> matches = {{2, 1}, {2 + 4096 + 6, 0}};
  std::string sha1;
  const std::string out = backend_.root() + "/out";
  const Status rebuilt = RebuildFile(Write("stored", stored), Write("literal", literal), matches,
                                     4096, fresh.size(), out, sha1);
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.message();
  EXPECT_EQ(zelmic_test::ReadWholeFile(out), fresh);
  EXPECT_EQ(sha1, zelmic_test::Sha1Hex(fresh));
  // A literal file one byte short cannot fill the file.
  EXPECT_FALSE(RebuildFile(backend_.root() + "/stored", Write("short", literal.substr(1)), matches,
                           4096, fresh.size(), out, sha1)
                   .ok());
}

TEST_F(BlockDeltaFiles, RebuildOfABigEditJoinsRunsOfBlocksAndHashesWhatItWrites) {
  // 12 MiB stored: long runs of consecutive blocks (copied as one), runs broken by a swapped
  // pair, a repeated block and edited blocks sent as literal bytes, across the copy's pieces.
  constexpr uint32_t kBlock = 4096;
  constexpr size_t kBlocks = 3072;
  const std::string stored = RandomBytes(kBlock * kBlocks, 3);
  std::string fresh, literal;
  std::vector<BlockMatch> matches;
  for (size_t k = 0; k < kBlocks; ++k) {
    size_t source = k;
    if (k % 700 == 5) {  // edited: its bytes travel as literal
      const std::string edited = RandomBytes(kBlock + k % 3, static_cast<unsigned>(k));
      fresh += edited;
      literal += edited;
      continue;
    }
    if (k % 900 == 10)
      source = k + 1;  // a swapped pair breaks the run...
    else if (k % 900 == 11)
      source = k - 1;  // ...twice
    else if (k % 1000 == 20)
      source = 0;  // a block seen before
    matches.push_back({fresh.size(), static_cast<uint16_t>(source)});
    fresh += stored.substr(source * kBlock, kBlock);
  }
  std::string sha1;
  const std::string out = backend_.root() + "/out";
  const Status rebuilt = RebuildFile(Write("stored", stored), Write("literal", literal), matches,
                                     kBlock, fresh.size(), out, sha1);
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.message();
  EXPECT_TRUE(zelmic_test::ReadWholeFile(out) == fresh) << "the rebuilt file differs";
  EXPECT_EQ(sha1, zelmic_test::Sha1Hex(fresh));
}

// Whether the file system under fd lets it be switched to direct I/O (switched back after).
bool TakesDirectIo(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return false;
  ::fcntl(fd, F_SETFL, flags);
  return true;
}

TEST_F(BlockDeltaFiles, RebuildOutputHashesAndWritesInEveryModeAndReportsAFailedWrite) {
  // One source read in uneven pieces, so buffers fill across piece boundaries; sizes around the
  // buffer and the direct-I/O alignment, the last one leaving a short tail.
  const std::string source = RandomBytes((3 << 20) + 5, 9);
  const std::string source_path = Write("source", source);
  const int in = ::open(source_path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0);
  struct Mode {
    bool threaded, direct;
  };
  for (const Mode mode : {Mode{false, false}, Mode{true, false}, Mode{true, true}}) {
    for (const size_t size : {size_t{0}, size_t{4095}, size_t{1} << 20, source.size()}) {
      SCOPED_TRACE(::testing::Message() << "threaded " << mode.threaded << " direct " << mode.direct
                                        << " size " << size);
      const std::string out_path = backend_.root() + "/out";
      const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      ASSERT_GE(out, 0);
      std::string sha1;
      {
        RebuildOutput output(out, mode.threaded, mode.direct);
        for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 + 1) {
          ASSERT_TRUE(output.CopyFrom(in, at, std::min(piece, size - at)));
        }
        const Status finished = output.Finish(sha1);
        ASSERT_TRUE(finished.ok()) << finished.message();
        // Where the file system takes direct I/O, a full buffer goes around the cache.
        if (mode.direct && size >= (1u << 20)) {
          EXPECT_EQ(output.wrote_direct(), TakesDirectIo(out));
        }
      }
      ::close(out);
      EXPECT_TRUE(zelmic_test::ReadWholeFile(out_path) == source.substr(0, size));
      EXPECT_EQ(sha1, zelmic_test::Sha1Hex(source.substr(0, size)));
    }
  }
  // A device that fills up: files of this process may not grow past 1 MiB. Every mode fails
  // cleanly, in CopyFrom or at the latest in Finish, and never waits for a helper forever.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (const Mode mode : {Mode{false, false}, Mode{true, false}, Mode{true, true}}) {
    const int out =
        ::open((backend_.root() + "/full").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    rlimit small = saved;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string sha1;
    {
      RebuildOutput output(out, mode.threaded, mode.direct);
      const bool copied = output.CopyFrom(in, 0, source.size());
      EXPECT_FALSE(copied && output.Finish(sha1).ok()) << "threaded " << mode.threaded;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::close(out);
  }
  ::signal(SIGXFSZ, SIG_DFL);
  ::close(in);
}

}  // namespace
}  // namespace zelmic
