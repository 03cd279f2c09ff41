#pragma once
// The inner loop of the delta scan: roll the weak checksum on from one window to the next until
// the filter may know a window. Vector versions do sixteen windows per step on processors with
// AVX-512 and eight with AVX2; they give exactly the results of the scalar loop.

#include <cstdint>

#include "upload/roll_path.h"
#include "upload/rolling_adler.h"
#include "upload/weak_filter.h"

namespace plumet {

// Starting from the window at q (whose checksum `rolling` holds and which has been compared
// already), rolls over the windows q+1, q+2 ... below `stop`, and returns the first one that
// `filter` may contain, with `rolling` holding its checksum. Returns `stop` when there is none;
// `rolling` then holds the checksum of window stop - 1. `d` is the file, B the window size.
uint64_t RollToCandidate(const unsigned char* d, uint64_t q, uint64_t stop, uint32_t B,
                         RollingAdler& rolling, const WeakFilter& filter);

// The same, sixteen windows at a time; only where RollPathSupported(RollPath::kAvx512).
uint64_t RollToCandidateAvx512(const unsigned char* d, uint64_t q, uint64_t stop, uint32_t B,
                               RollingAdler& rolling, const WeakFilter& filter);

// The same, eight windows at a time; only where RollPathSupported(RollPath::kAvx2).
uint64_t RollToCandidateAvx2(const unsigned char* d, uint64_t q, uint64_t stop, uint32_t B,
                             RollingAdler& rolling, const WeakFilter& filter);

// The loop of `path` (which this processor must support).
using RollLoop = uint64_t (*)(const unsigned char*, uint64_t, uint64_t, uint32_t, RollingAdler&,
                              const WeakFilter&);
RollLoop RollLoopFor(RollPath path);

}  // namespace plumet
