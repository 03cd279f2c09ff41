#pragma once
// The inner loop of the delta scan: roll the weak checksum on from one window to the next until
// the filter may know a window. A vector version does sixteen windows per step on processors
// with AVX-512; it gives exactly the results of the scalar loop.

#include <cstdint>

#include "upload/rolling_adler.h"
#include "upload/weak_filter.h"

namespace plumet {

// True when this processor can run RollToCandidateVector.
bool VectorScanSupported();

// The loops the scan can roll with, and the one it takes on this processor when the vector unit
// is allowed. BlockScan decides through this alone, so that tests can check they cover it.
enum class RollPath { kScalar, kAvx512 };
RollPath ChosenRollPath();

// Starting from the window at q (whose checksum `rolling` holds and which has been compared
// already), rolls over the windows q+1, q+2 ... below `stop`, and returns the first one that
// `filter` may contain, with `rolling` holding its checksum. Returns `stop` when there is none;
// `rolling` then holds the checksum of window stop - 1. `d` is the file, B the window size.
uint64_t RollToCandidate(const unsigned char* d, uint64_t q, uint64_t stop, uint32_t B,
                         RollingAdler& rolling, const WeakFilter& filter);

// The same, sixteen windows at a time; only when VectorScanSupported().
uint64_t RollToCandidateVector(const unsigned char* d, uint64_t q, uint64_t stop, uint32_t B,
                               RollingAdler& rolling, const WeakFilter& filter);

}  // namespace plumet
