#pragma once
// The scan of a whole file, optionally in two halves at once. The second half is scanned on a
// helper thread from its first window as though it were a file of its own; the first half is
// scanned as usual. Where the first scan arrives in the second half at a window that the helper
// compared too, the rest of the helper's path is exactly the path the single scan would have
// taken from there (a scan's next step depends on its position alone), so its matches are taken
// over. Where the first scan arrives inside a block the helper matched, it goes on by itself
// until it meets the helper's path again (or reaches the end). The result is identical to one
// scan from the start in every case; only the time differs.

#include <cstdint>
#include <vector>

#include "platform/mapped_view.h"
#include "upload/block_scan.h"

namespace plumet {

// Files below this size are scanned by one thread: a helper would not pay for its start.
inline constexpr uint64_t kSplitScanMinSize = 16u << 20;

// Scans the windows of `input` from offset 0 to the end; no match by the first window past
// `abandonAfter` gives up (kAbandoned). `poll` is the caller's: it is asked (on the calling
// thread) as BlockScan asks it, and while the helper's half is awaited. With the file at least
// `splitMinSize` bytes and a second processor, the second half runs on a helper thread, which
// reads ahead in `view` by itself. Returns kEnd with `matches` filled, kAbandoned or
// kInterrupted.
BlockScan::Stop ScanFile(const ScanInput& input, uint64_t abandonAfter, uint64_t splitMinSize,
                         const BlockScan::Poll& poll, const platform::MappedView& view,
                         std::vector<BlockMatch>& matches);

}  // namespace plumet
