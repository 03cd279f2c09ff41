// Kept checksum lists: served byte for byte as computed, read back instead of computed again,
// redone when their file does not check out, computed once when a request and the background
// want the same list, and abandoned when the keeper goes.

#include "service/upload/checksum_keeper.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/upload/delta_rebuild.h"
#include "tests/service/upload/fake_backend.h"

namespace zelmic {
namespace {

// A Status as a gtest result, so a failure prints its message.
::testing::AssertionResult Succeeded(const Status& s) {
  if (s.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << s.message();
}

using zelmic_test::RandomBytes;
using zelmic_test::ReadWholeFile;

class ChecksumKeeperTest : public ::testing::Test {
 protected:
  StoredContent Write(const std::string& name, const std::string& bytes) {
    StoredContent c{backend_.root() + "/" + name, bytes.size(), zelmic_test::Sha1Hex(bytes)};
    std::ofstream(c.blob_path, std::ios::binary) << bytes;
    return c;
  }

  // A content of `size` zero bytes that costs no disk, under a made-up hash.
  StoredContent Sparse(const std::string& name, uint64_t size, char hash_digit) {
    StoredContent c{backend_.root() + "/" + name, size, std::string(40, hash_digit)};
    std::ofstream(c.blob_path, std::ios::binary).flush();
    std::filesystem::resize_file(c.blob_path, size);
    return c;
  }

  static std::string Computed(const StoredContent& c, uint32_t block_size) {
    std::string list;
    const Status built =
        BuildChecksumList(c.blob_path, block_size, FullBlockCount(c.size, block_size), list);
    EXPECT_TRUE(built.ok()) << built.message();
    return list;
  }

  // Waits (bounded) until the keeper has started `n` computations.
  static bool WaitForComputations(const ChecksumKeeper& keeper, uint64_t n) {
    for (int i = 0; i < 2000 && keeper.computations() < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return keeper.computations() >= n;
  }

  zelmic_test::FakeBackend backend_;
};

TEST_F(ChecksumKeeperTest, KeptListIsServedAsComputedAndABadFileIsRedone) {
  ChecksumKeeper keeper(backend_.root());
  const StoredContent c = Write("blob", RandomBytes(16 * 4096 + 100, 7));
  const std::string expected = Computed(c, 4096);
  std::string list;
  ASSERT_TRUE(Succeeded(keeper.List(c, 4096, 16, list)));
  EXPECT_TRUE(list == expected);
  const std::string kept_path = keeper.KeptPath(c.filehash, 4096);
  const std::string good = ReadWholeFile(kept_path);
  ASSERT_FALSE(good.empty());
  // The list at another block size has a file of its own.
  ASSERT_TRUE(Succeeded(keeper.List(c, 8192, 8, list)));
  EXPECT_TRUE(list == Computed(c, 8192));
  const std::string other_size = ReadWholeFile(keeper.KeptPath(c.filehash, 8192));
  ASSERT_EQ(keeper.computations(), 2u);

  // Read back, not computed again.
  list.clear();
  ASSERT_TRUE(Succeeded(keeper.List(c, 4096, 16, list)));
  EXPECT_TRUE(list == expected);
  EXPECT_EQ(keeper.computations(), 2u);

  std::string garbled = good;
  garbled[100] = static_cast<char>(garbled[100] ^ 0x40);
  // Whole and checked, but made at another block size.
  std::string relabelled = good;
  relabelled[5] = static_cast<char>(relabelled[5] ^ 0x30);  // 4096 becomes 8192
  const uint32_t crc = static_cast<uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(relabelled.data()), relabelled.size() - 4));
  for (int i = 0; i < 4; ++i) {
    relabelled[relabelled.size() - 4 + i] = static_cast<char>(crc >> (8 * i));
  }
  const struct {
    const char* what;
    std::string bytes;
  } bad[] = {
      {"torn", good.substr(0, good.size() - 1)},
      {"a byte of the list changed", garbled},
      {"another block size", relabelled},
      {"the list of another block size", other_size},
      {"empty", ""},
  };
  uint64_t computations = keeper.computations();
  for (const auto& b : bad) {
    SCOPED_TRACE(b.what);
    std::ofstream(kept_path, std::ios::binary | std::ios::trunc) << b.bytes;
    list.clear();
    ASSERT_TRUE(Succeeded(keeper.List(c, 4096, 16, list)));
    EXPECT_TRUE(list == expected);
    EXPECT_EQ(keeper.computations(), ++computations);
    EXPECT_TRUE(ReadWholeFile(kept_path) == good);
  }
}

TEST_F(ChecksumKeeperTest, PreparedListIsComputedOnceInTheBackgroundAtLowPriority) {
  ChecksumKeeper keeper(backend_.root());
  const StoredContent big = Sparse("big", 64ull << 20, 'b');
  const uint32_t block = BlockSizeFor(big.size);
  keeper.Prepare(big);
  keeper.Prepare(big);  // on its way already
  ASSERT_TRUE(WaitForComputations(keeper, 1));
  // Waits for the background computation instead of starting its own.
  std::string list;
  ASSERT_TRUE(Succeeded(keeper.List(big, block, FullBlockCount(big.size, block), list)));
  EXPECT_TRUE(list == Computed(big, block));
  EXPECT_EQ(keeper.computations(), 1u);
  keeper.Prepare(big);  // kept
  // The background thread runs nicer than this one.
  int nicest = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string stat = ReadWholeFile(task.path().string() + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19 && fields >> field; ++i) {
      if (i == 19) nicest = std::max(nicest, std::stoi(field));
    }
  }
  EXPECT_GE(nicest, 10);
  EXPECT_EQ(keeper.computations(), 1u);
}

TEST_F(ChecksumKeeperTest, DestroyingAbandonsQueuedAndRunningWork) {
  auto keeper = std::make_unique<ChecksumKeeper>(backend_.root());
  std::vector<StoredContent> contents;
  for (char digit : {'1', '2', '3', '4'}) {
    contents.push_back(Sparse(std::string("huge") + digit, 1ull << 30, digit));
    keeper->Prepare(contents.back());
  }
  ASSERT_TRUE(WaitForComputations(*keeper, 1));
  const auto start = std::chrono::steady_clock::now();
  keeper.reset();
  // Each of the four takes seconds; the one under way stops after its current reads.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  const ChecksumKeeper paths(backend_.root());
  for (const StoredContent& c : contents) {
    const std::string kept = paths.KeptPath(c.filehash, BlockSizeFor(c.size));
    EXPECT_FALSE(std::filesystem::exists(kept)) << kept;
  }
}

}  // namespace
}  // namespace zelmic
