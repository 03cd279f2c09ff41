// Every path of Md5Many against OpenSSL's one-message MD5: each padding boundary, lengths mixed in
// one batch, and batch sizes around the lane counts (8 and 16), so that groups run part-full.
#include "common/md5_lanes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace {

using plumet_common::Md5Bytes;
using plumet_common::Md5Path;

struct Batch {
  std::string name;
  std::vector<size_t> lengths;
};

std::vector<Batch> Batches() {
  std::vector<Batch> batches;
  // Around each padding boundary: the length field fits (<= 55), spills (56..63), whole blocks.
  for (size_t n : {0, 1, 3, 55, 56, 63, 64, 65, 119, 120, 127, 1001, 4095, 4096, 4097}) {
    batches.push_back({"one of " + std::to_string(n), {n}});
  }
  batches.push_back(
      {"mixed",
       {4096, 0, 55, 4097, 56, 1, 63, 64, 65, 119, 120, 4095, 7, 333, 2049, 8191, 17, 4096, 129}});
  for (size_t count = 1; count <= 33; count = count == 17 ? 33 : count + 1) {
    batches.push_back({std::to_string(count) + " blocks", std::vector<size_t>(count, 4096)});
    // The file's last block is short: one lane runs fewer rounds than the others.
    std::vector<size_t> last_short(count, 4096);
    last_short.back() = 1000 + count;
    batches.push_back({std::to_string(count) + " blocks, last short", last_short});
  }
  return batches;
}

Md5Bytes Reference(const unsigned char* data, size_t length) {
  Md5Bytes digest{};
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(data, length, digest.data(), &size, EVP_md5(), nullptr), 1);
  return digest;
}

std::string PathName(const testing::TestParamInfo<Md5Path>& info) {
  const char* const names[] = {"Auto", "Openssl", "Avx2", "Avx512"};
  return names[static_cast<int>(info.param)];
}

class Md5LanesTest : public testing::TestWithParam<Md5Path> {};

TEST_P(Md5LanesTest, MatchesOpensslOnEveryBatch) {
  if (!plumet_common::Md5PathAvailable(GetParam())) GTEST_SKIP() << "unit missing here";
  std::mt19937 random(7);
  std::vector<unsigned char> bytes(40 * 8192);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  for (const Batch& batch : Batches()) {
    SCOPED_TRACE(batch.name);
    std::vector<const unsigned char*> data;
    // Messages at odd offsets of one buffer, so that no lane reads aligned.
    for (size_t i = 0; i < batch.lengths.size(); ++i)
      data.push_back(bytes.data() + i * 8192 + i % 5);
    std::vector<Md5Bytes> out(batch.lengths.size());
    ASSERT_TRUE(plumet_common::Md5Many(data.data(), batch.lengths.data(), data.size(), out.data(),
                                       GetParam()));
    for (size_t i = 0; i < data.size(); ++i) {
      EXPECT_EQ(out[i], Reference(data[i], batch.lengths[i])) << "message " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Md5LanesTest,
                         testing::Values(Md5Path::kAuto, Md5Path::kOpenssl, Md5Path::kAvx2,
                                         Md5Path::kAvx512),
                         PathName);

}  // namespace
