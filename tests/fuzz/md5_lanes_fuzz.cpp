// Md5Many against OpenSSL's one-message MD5 on batches carved from the input: the input picks how
// many messages (up to 40, past two groups of 16 lanes) and each one's length (up to 9000, past
// two 4 KiB blocks), and its bytes repeat to fill them. Each message lies in its own allocation of
// exactly its length, so that a lane reading past its end stops the run. Every path that this
// processor has runs on every batch.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/md5_lanes.h"
#include "tests/fuzz/fuzz_reach.h"

using plumet_common::Md5Bytes;
using plumet_common::Md5Path;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  static fuzz_reach::Counter mixed("mixed_lengths_over_16");
  FuzzedDataProvider in(input, size);
  const size_t count = in.ConsumeIntegralInRange<size_t>(1, 40);
  std::vector<size_t> lengths(count);
  for (size_t& n : lengths) {
    // Mostly near the padding boundaries of a block's last 64 bytes, sometimes anywhere.
    n = in.ConsumeBool() ? 64 * in.ConsumeIntegralInRange<size_t>(0, 70) +
                               in.ConsumeIntegralInRange<size_t>(52, 68) - 4
                         : in.ConsumeIntegralInRange<size_t>(0, 9000);
  }
  std::vector<unsigned char> fill = in.ConsumeRemainingBytes<unsigned char>();
  if (fill.empty()) fill.push_back(0);
  std::vector<std::vector<unsigned char>> messages(count);
  std::vector<const unsigned char*> data(count);
  std::vector<Md5Bytes> expected(count);
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    messages[i].resize(lengths[i]);
    for (unsigned char& b : messages[i]) b = fill[at++ % fill.size()];
    data[i] = messages[i].data();
    unsigned int digest_size = 0;
    if (EVP_Digest(data[i], lengths[i], expected[i].data(), &digest_size, EVP_md5(), nullptr) !=
        1) {
      std::abort();
    }
  }
  bool differ = false;
  for (size_t i = 1; i < count; ++i) differ = differ || lengths[i] != lengths[0];
  if (differ && count > 16) mixed.Hit();

  for (const Md5Path path : {Md5Path::kAuto, Md5Path::kOpenssl, Md5Path::kAvx2, Md5Path::kAvx512}) {
    if (!plumet_common::Md5PathAvailable(path)) continue;
    std::vector<Md5Bytes> out(count);
    if (!plumet_common::Md5Many(data.data(), lengths.data(), count, out.data(), path)) std::abort();
    if (out != expected) std::abort();
  }
  return 0;
}
