// Digests: published test vectors, the system's sha1sum / md5sum and zlib as independent
// references, the block boundaries of the reads, and offsets beyond 4 GiB.

#include "upload/digests.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/upload/test_files.h"

namespace {

using plumet_test::RandomBytes;
using plumet_test::ScratchDir;
using plumet_test::WriteFile;

std::string Hex(const plumet::Md5& digest) {
  std::string out;
  char two[3];
  for (unsigned char c : digest) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// First word of a "sha1sum file" / "md5sum file" line.
std::string ToolDigest(const std::string& tool, const std::string& path) {
  return plumet_test::CommandOutput(tool + " '" + path + "'").substr(0, tool == "md5sum" ? 32 : 40);
}

uint32_t ZlibCrc(const unsigned char* data, size_t size) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, static_cast<uInt>(size)));
}

TEST(DigestVectors, PublishedValues) {
  EXPECT_EQ(Hex(plumet::Md5Digest("", 0)), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(plumet::Md5Digest("abc", 3)), "900150983cd24fb0d6963f7d28e17f72");
  const char* quick = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(Hex(plumet::Md5Digest(quick, std::strlen(quick))), "9e107d9d372bb6826bd81d3542a419d6");
  EXPECT_EQ(plumet::Crc32Buffer("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(plumet::Crc32Buffer(quick, static_cast<int32_t>(std::strlen(quick))), 0x414FA339u);
}

TEST(DigestVectors, EmptyAndNegativeBodiesHaveChecksumZero) {
  EXPECT_EQ(plumet::Crc32Buffer("x", 0), 0u);
  EXPECT_EQ(plumet::Crc32Buffer("x", -5), 0u);
  EXPECT_EQ(plumet::Crc32Buffer(nullptr, 0), 0u);
}

TEST(DigestVectors, ReusedMd5HasherAgreesWithOneShotDigest) {
  plumet::Md5Hasher hasher;
  const auto data = RandomBytes(70000, 7);
  for (size_t size : {0u, 1u, 55u, 56u, 64u, 4096u, 70000u}) {
    EXPECT_EQ(hasher.Digest(data.data(), size), plumet::Md5Digest(data.data(), size)) << size;
  }
}

class FileDigestTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  ScratchDir dir_;
};

TEST_F(FileDigestTest, FileHashMatchesSha1sumAtReadBoundaries) {
  EXPECT_EQ(plumet::HashFileSha1(dir_.File("none")), "");
  uint64_t seed = 100;
  for (size_t size : {0u, 1u, 9999u, 10000u, 10001u, 20000u, 20001u, 123457u}) {
    const std::string path = dir_.File("f" + std::to_string(size));
    ASSERT_TRUE(WriteFile(path, RandomBytes(size, ++seed)));
    const std::string hash = plumet::HashFileSha1(path);
    EXPECT_EQ(hash.size(), 40u);
    EXPECT_EQ(hash, ToolDigest("sha1sum", path)) << "size " << size;
  }
  const std::string abc = dir_.File("abc");
  ASSERT_TRUE(WriteFile(abc, {'a', 'b', 'c'}));
  EXPECT_EQ(plumet::HashFileSha1(abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(plumet::HashFileSha1(dir_.File("f0")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_F(FileDigestTest, ReadErrorGivesNoHash) {
  // A regular file that opens but fails its first read (EIO): not the hash of nothing.
  EXPECT_EQ(plumet::HashFileSha1("/proc/self/mem"), "");
}

TEST_F(FileDigestTest, FileBeingWrittenHasNoHash) {
  const std::string path = dir_.File("busy");
  ASSERT_TRUE(WriteFile(path, RandomBytes(300, 3)));
  const int writer = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(plumet::HashFileSha1(path), "");
  ::close(writer);
  EXPECT_EQ(plumet::HashFileSha1(path), ToolDigest("sha1sum", path));
}

TEST_F(FileDigestTest, BlockDigestMatchesMd5sum) {
  for (size_t size : {0u, 1u, 63u, 64u, 65u, 4096u, 100003u}) {
    const auto data = RandomBytes(size, 40 + size);
    const std::string path = dir_.File("m" + std::to_string(size));
    ASSERT_TRUE(WriteFile(path, data));
    EXPECT_EQ(Hex(plumet::Md5Digest(data.data(), data.size())), ToolDigest("md5sum", path));
  }
}

TEST_F(FileDigestTest, RangeChecksumsAgreeWithZlib) {
  const size_t size = 3 * 4096 + 123;
  const auto data = RandomBytes(size, 9);
  const std::string path = dir_.File("range");
  ASSERT_TRUE(WriteFile(path, data));
  platform::File file;
  ASSERT_TRUE(file.Open(path, platform::File::Mode::kRead));

  struct Range {
    uint64_t first, last;
  };
  const Range ranges[] = {
      {0, 0},       {17, 17},    {0, 4095},     {0, 4096},        {1, 4097},
      {4095, 8191}, {100, 8292}, {0, size - 1}, {5000, size - 1}, {size - 1, size - 1},
  };
  for (const Range& r : ranges) {
    EXPECT_EQ(plumet::Crc32Range(file, r.first, r.last),
              ZlibCrc(data.data() + r.first, r.last - r.first + 1))
        << r.first << ".." << r.last;
  }
  // Past the end only the bytes that exist count; a range wholly past it is the CRC of nothing.
  EXPECT_EQ(plumet::Crc32Range(file, 9000, size + 5000), ZlibCrc(data.data() + 9000, size - 9000));
  EXPECT_EQ(plumet::Crc32Range(file, size + 10, size + 20), 0u);
  EXPECT_EQ(plumet::Crc32Range(file, 0, UINT64_MAX), ZlibCrc(data.data(), size));
  // The position is moved: the range function seeks itself and leaves it after the range.
  char next;
  ASSERT_TRUE(file.Seek(0));
  plumet::Crc32Range(file, 10, 19);
  ASSERT_EQ(file.Read(&next, 1), 1);
  EXPECT_EQ(static_cast<unsigned char>(next), data[20]);
}

TEST_F(FileDigestTest, RangeChecksumOfAClosedFileIsOfNothing) {
  platform::File closed;
  EXPECT_EQ(plumet::Crc32Range(closed, 0, 100), 0u);
}

TEST_F(FileDigestTest, RangesBeyondFourGiBUseFullOffsets) {
  // A sparse file of 4 GiB + 64 KiB: only the pages around the 4 GiB mark hold data.
  const std::string path = dir_.File("sparse");
  const uint64_t four = uint64_t{1} << 32;
  const auto data = RandomBytes(40000, 11);
  {
    platform::File file;
    ASSERT_TRUE(file.Open(path, platform::File::Mode::kCreate));
    ASSERT_EQ(::ftruncate(file.fd(), static_cast<off_t>(four + 65536)), 0);
    ASSERT_TRUE(file.Seek(four - 20000));
    ASSERT_TRUE(file.Write(data.data(), data.size()));
  }
  platform::File file;
  ASSERT_TRUE(file.Open(path, platform::File::Mode::kRead));
  ASSERT_EQ(file.Length(), static_cast<int64_t>(four + 65536));
  // Straddling the 4 GiB mark, and wholly above it.
  EXPECT_EQ(plumet::Crc32Range(file, four - 20000, four - 20000 + data.size() - 1),
            ZlibCrc(data.data(), data.size()));
  EXPECT_EQ(plumet::Crc32Range(file, four + 1, four + 9000), ZlibCrc(data.data() + 20001, 9000));
  // Zeros past the data up to the end: a truncated 32-bit offset would read the data instead.
  std::vector<unsigned char> zeros(4096, 0);
  EXPECT_EQ(plumet::Crc32Range(file, four + 61440, four + 65536 + 100),
            ZlibCrc(zeros.data(), 4096));
}

}  // namespace
