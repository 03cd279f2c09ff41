#pragma once
// The full weak checksum of one window, as the scan needs it at its start and after every match.
// On a file that is mostly matched, that is once per block, beside the block's MD5: zlib's byte
// loop there costs about a quarter as much as the MD5 itself. With AVX2 the same value comes from
// 32 bytes per step (sums of the bytes and of the bytes weighted by their distance to the end).

#include <cstddef>
#include <cstdint>

namespace plumet {

// Adler-32 of `n` bytes at `d`, equal to zlib's adler32(1, d, n).
uint32_t WindowAdler(const unsigned char* d, size_t n);

// The same through zlib alone (for comparison in tests and benchmarks).
uint32_t WindowAdlerPlain(const unsigned char* d, size_t n);

// The loop WindowAdler takes on this processor for 64 bytes and more (shorter ones go to zlib),
// so that tests can check they cover it.
enum class WindowAdlerPath { kZlib, kAvx2 };
WindowAdlerPath ChosenWindowAdlerPath();

}  // namespace plumet
