#pragma once
// Which loop the delta scan rolls its weak checksum with (see upload/rolling_scan.h). Apart, so
// that the delta's settings can name a loop without the loops themselves.

namespace plumet {

// The loops the scan can roll with, whether this processor can run one, and the one it takes
// when the vector unit is allowed (the widest it can run). BlockScan decides through these alone,
// so that tests can check they cover it.
enum class RollPath { kScalar, kAvx2, kAvx512 };
bool RollPathSupported(RollPath path);
RollPath ChosenRollPath();

}  // namespace plumet
