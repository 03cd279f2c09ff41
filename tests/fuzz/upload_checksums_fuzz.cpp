// The checksum list of "/download_checksum" into LoadChecksums, then a scan of a small local file
// against what it loaded. Input: one byte of block size (1..64), two bytes of list length, the
// list, then the local file's content.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "upload/block_delta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t blockSize = 1u + data[0] % 64u;
  size_t listLength = static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8;
  data += 3;
  size -= 3;
  if (listLength > size) listLength = size;
  plumet::CBlockDelta delta;
  if (!delta.LoadChecksums(reinterpret_cast<const char*>(data), static_cast<int32_t>(listLength))) {
    return 0;
  }
  // The local copy as the engine holds it: read-only, nobody writing, so that the scan's read
  // lease is granted.
  platform::File writer, local, literal;
  writer.Adopt(::memfd_create("local", MFD_CLOEXEC));
  literal.Adopt(::memfd_create("literal", MFD_CLOEXEC));
  if (!writer.IsOpen() || !literal.IsOpen()) __builtin_trap();
  if (size > listLength && !writer.Write(data + listLength, size - listLength)) __builtin_trap();
  if (!local.Open("/proc/self/fd/" + std::to_string(writer.fd()), platform::File::Mode::kRead)) {
    __builtin_trap();
  }
  writer.Close();
  delta.SetBlockSize(blockSize);
  delta.SetSplitScanMinSize(size % 2 == 0 ? 1 : UINT64_MAX);
  (void)delta.ComputeDelta(local, literal);
  std::unique_ptr<char[]> matches;
  int32_t length = 0;
  (void)delta.SerializeMatches(matches, length);
  return 0;
}
