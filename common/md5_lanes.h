#pragma once
// MD5 of many independent messages at once, one message per vector lane (16 with AVX-512, 8 with
// AVX2), for the block digests of the delta protocol, where thousands of equal-sized blocks are
// hashed back to back. The digests are plain MD5, bit-exact with OpenSSL's: peers compare them.

#include <array>
#include <cstddef>

namespace plumet_common {

using Md5Bytes = std::array<unsigned char, 16>;

// kAuto takes the widest unit this processor has and leaves a small last group to OpenSSL; the
// others force one path for every message (tests and benchmarks run each on one machine).
enum class Md5Path { kAuto, kOpenssl, kAvx2, kAvx512 };

// Whether `path` can run on this processor (kAuto and kOpenssl always can).
bool Md5PathAvailable(Md5Path path);

// out[i] = MD5 of lengths[i] bytes at data[i], for i < count. Lengths may differ within a batch.
// A forced path this processor lacks falls back to kAuto. False when OpenSSL failed on a message
// it was given (that digest is then all zeros).
[[nodiscard]] bool Md5Many(const unsigned char* const* data, const size_t* lengths, size_t count,
                           Md5Bytes* out, Md5Path path = Md5Path::kAuto);

}  // namespace plumet_common
