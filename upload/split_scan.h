#pragma once
// The scan of a whole file, optionally cut into pieces scanned at once, two per processor. Each
// piece after the first is scanned on a helper thread from its first window as though it were a
// file of its own, up to the start of the next piece (a little beyond, when its last match
// reaches over). The calling thread scans the first piece and then joins the others in order:
// where its path arrives in a piece at a window that the piece's scan compared too, the rest of
// that scan's path is exactly the path one scan would have taken from there (a scan's next step
// depends on its position alone), so its matches are taken over; where it arrives inside a block
// the piece matched, it goes on by itself until it meets that path again. The result is
// identical to one scan from the start in every case; only the time differs.

#include <cstdint>
#include <vector>

#include "platform/mapped_view.h"
#include "upload/block_scan.h"

namespace plumet {

// Files below this size are scanned by one thread: helpers would not pay for their start.
inline constexpr uint64_t kSplitScanMinSize = 16u << 20;

// How a file is cut: at least `minSize` bytes for any cut at all, into `pieces` pieces (0: two
// per processor). Pieces are never shorter than two windows. Two rather than one: pieces cost
// unlike amounts (a stretch the stored copy cannot name is rolled byte by byte, a matched one
// jumps a block at a time), and with one each a processor whose piece ends early stays idle.
struct ScanSplit {
  uint64_t minSize = kSplitScanMinSize;
  unsigned pieces = 0;
};

// How many pieces a file of `size` bytes is scanned in at block size `blockSize`; piece k starts
// at size * k / count. The blocks summed ahead are spread over the same pieces.
unsigned ScanPieceCount(uint64_t size, uint32_t blockSize, ScanSplit split);

// Scans the windows of `input` from offset 0 to the end; no match by the first window past
// `abandonAfter` gives up (kAbandoned). `poll` is the caller's: it is asked (on the calling
// thread) as BlockScan asks it, and while the helpers' pieces are awaited. Each helper reads
// ahead in `view` by itself. Returns kEnd with `matches` filled, kAbandoned or kInterrupted.
BlockScan::Stop ScanFile(const ScanInput& input, uint64_t abandonAfter, ScanSplit split,
                         const BlockScan::Poll& poll, const platform::MappedView& view,
                         std::vector<BlockMatch>& matches);

}  // namespace plumet
