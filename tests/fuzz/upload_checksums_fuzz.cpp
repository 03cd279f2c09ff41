// The client's block delta against a stored copy it really shares blocks with. The input builds
// the stored content, zelmicd's own code turns it into the "/download_checksum" list, and the
// local file is that content with inserts, deletes, replacements and copied stretches at chosen
// offsets. The delta is computed in one scan and in pieces, and each result must
//  - rebuild the local file exactly from the stored content, the serialised match records and
//    the literal file (rebuilt here with plain code, sharing nothing with the client);
//  - name exactly the windows and blocks of a naive greedy scan: from p, a window equal to a
//    stored block is a match (the highest-numbered such block, as the list's loader keeps it) and
//    the scan resumes at p + B, else at p + 1; windows run while p + B < S, and with nothing
//    matched the scan gives up at the first window past 2S/3;
//  - be a match list zelmicd accepts.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "service/upload/delta_rebuild.h"
#include "tests/fuzz/fuzz_reach.h"
#include "upload/block_delta.h"

namespace {

struct Match {
  uint64_t offset;
  uint32_t block;
  bool operator==(const Match&) const = default;
};

// `n` bytes from the input, then a filler that repeats little, over an alphabet the input picks:
// a small one gives many equal blocks, a large one gives blocks that are all different.
std::string Bytes(FuzzedDataProvider& in, size_t n, unsigned alphabet, uint32_t& seed) {
  std::string out = in.ConsumeBytesAsString(n);
  for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(c) % alphabet);
  while (out.size() < n) {
    seed = seed * 1103515245u + 12345u;
    out.push_back(static_cast<char>((seed >> 16) % alphabet));
  }
  return out;
}

platform::File Memfd(const char* name) {
  platform::File file;
  file.Adopt(::memfd_create(name, MFD_CLOEXEC));
  if (!file.IsOpen()) __builtin_trap();
  return file;
}

std::string Contents(const platform::File& file) {
  const int64_t length = file.Length();
  if (length < 0) __builtin_trap();
  std::string out(static_cast<size_t>(length), '\0');
  if (length > 0 && file.ReadAt(out.data(), out.size(), 0) != length) __builtin_trap();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_reach::Counter matched("matches");
  static fuzz_reach::Counter gaps("literal_gaps");
  static fuzz_reach::Counter rebuilt("rebuilt_equal");
  FuzzedDataProvider in(data, size);
  const uint32_t B = in.ConsumeIntegralInRange<uint32_t>(1, 64);
  const unsigned alphabet = in.ConsumeIntegralInRange<unsigned>(1, 256);
  uint32_t seed = in.ConsumeIntegral<uint32_t>();
  const std::string stored = Bytes(in, in.ConsumeIntegralInRange<size_t>(0, 4096), alphabet, seed);

  // The local file: the stored content after a few edits.
  std::string local = stored;
  const int edits = in.ConsumeIntegralInRange<int>(0, 8);
  for (int e = 0; e < edits; ++e) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 3);
    const size_t at = in.ConsumeIntegralInRange<size_t>(0, local.size());
    const size_t n = in.ConsumeIntegralInRange<size_t>(0, 4 * B);
    if (kind == 0) {
      local.insert(at, Bytes(in, n, alphabet, seed));
    } else if (kind == 1) {
      local.erase(at, n);
    } else if (kind == 2) {
      local.replace(at, n, Bytes(in, n, alphabet, seed));
    } else {  // a stretch of the stored content again, anywhere: blocks at unaligned offsets
      const size_t from = in.ConsumeIntegralInRange<size_t>(0, stored.size());
      local.insert(at, stored, from, n);
    }
  }
  const bool vector = in.ConsumeBool();
  const bool ahead = in.ConsumeBool();
  const unsigned pieces = in.ConsumeIntegralInRange<unsigned>(0, 6);
  const uint64_t paceBlocks = in.ConsumeIntegralInRange<uint64_t>(0, 8);
  const uint64_t paceSteps = in.ConsumeIntegralInRange<uint64_t>(0, 4);

  // The checksum list as zelmicd serves it, read from the stored content on disk.
  platform::File storedFile = Memfd("stored");
  if (!stored.empty() && !storedFile.Write(stored.data(), stored.size())) __builtin_trap();
  const uint64_t count = zelmic::FullBlockCount(stored.size(), B);
  std::string list;
  if (count > 0 &&
      !zelmic::BuildChecksumList("/proc/self/fd/" + std::to_string(storedFile.fd()), B, count, list)
           .ok()) {
    __builtin_trap();
  }
  plumet::CBlockDelta delta;
  if (count > 0 && !delta.LoadChecksums(list.data(), static_cast<int32_t>(list.size()))) {
    __builtin_trap();
  }

  // The naive scan. Equal bytes stand for equal weak checksum and MD5: the input cannot make an
  // MD5 collision.
  std::map<std::string_view, uint32_t> blocks;
  for (uint64_t i = 0; i < count; ++i) blocks[std::string_view(stored).substr(i * B, B)] = i;
  const uint64_t S = local.size();
  std::vector<Match> expected;
  bool expectAbandoned = S == 0;  // an empty file cannot be mapped
  for (uint64_t p = 0; S > B && p + B < S;) {
    if (expected.empty() && p > 2 * S / 3) {
      expectAbandoned = true;
      break;
    }
    const auto it = blocks.find(std::string_view(local).substr(p, B));
    if (it == blocks.end()) {
      ++p;
    } else {
      expected.push_back(Match{p, it->second});
      p += B;
    }
  }

  // The local copy as the engine holds it: read-only, nobody writing, so that the scan's read
  // lease is granted.
  platform::File writer = Memfd("local");
  platform::File localFile;
  if (!local.empty() && !writer.Write(local.data(), local.size())) __builtin_trap();
  if (!localFile.Open("/proc/self/fd/" + std::to_string(writer.fd()),
                      platform::File::Mode::kRead)) {
    __builtin_trap();
  }
  writer.Close();

  delta.SetBlockSize(B);
  delta.SetVectorScan(vector);
  delta.SetAheadPace(paceBlocks, paceSteps);
  for (const bool split : {false, true}) {
    delta.SetSplitScanMinSize(split ? 1 : UINT64_MAX);
    delta.SetScanPieces(pieces);
    if (ahead) {
      delta.StartAhead(localFile, B);
      delta.WaitAhead();
    }
    platform::File literal = Memfd("literal");
    const plumet::CBlockDelta::Outcome outcome = delta.ComputeDelta(localFile, literal);
    if (outcome == plumet::CBlockDelta::Outcome::kAbandoned) {
      if (!expectAbandoned) __builtin_trap();
      continue;
    }
    if (outcome != plumet::CBlockDelta::Outcome::kDone || expectAbandoned) __builtin_trap();

    std::unique_ptr<char[]> buffer;
    int32_t length = 0;
    const bool any = delta.SerializeMatches(buffer, length);
    if (any != !expected.empty() || length != static_cast<int32_t>(10 * expected.size())) {
      __builtin_trap();
    }
    const std::string records = any ? std::string(buffer.get(), static_cast<size_t>(length)) : "";
    std::vector<Match> got;
    for (size_t r = 0; r < records.size(); r += 10) {
      const auto* u = reinterpret_cast<const unsigned char*>(records.data() + r);
      uint64_t offset = 0;
      for (int i = 7; i >= 0; --i) offset = offset << 8 | u[i];
      got.push_back(Match{offset, static_cast<uint32_t>(u[8] | u[9] << 8)});
    }
    if (got != expected) __builtin_trap();

    // Stored blocks at the records' offsets, literal bytes in the gaps and after the last one.
    const std::string lit = Contents(literal);
    std::string out;
    size_t used = 0;
    for (const Match& m : got) {
      if (m.offset < out.size() || m.block >= count) __builtin_trap();
      const size_t gap = m.offset - out.size();
      if (gap > lit.size() - used) __builtin_trap();
      out.append(lit, used, gap);
      used += gap;
      out.append(stored, m.block * B, B);
    }
    out.append(lit, used);
    if (out != local) __builtin_trap();

    // What zelmicd checks before it takes the list.
    uint64_t accepted = 0;
    if (any && !zelmic::CheckMatchList(records, B, count, S, accepted).ok()) __builtin_trap();

    if (!split) {
      if (!got.empty()) matched.Hit();
      for (size_t i = 1; i < got.size(); ++i) {
        if (got[i].offset > got[i - 1].offset + B) {
          gaps.Hit();
          break;
        }
      }
      rebuilt.Hit();
    }
  }
  return 0;
}
