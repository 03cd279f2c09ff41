#pragma once
// Result codes that every client path shares.

#include <cstdint>

namespace plumet_codes {

// A transfer that got no answer: no connection, a time-out or stall, a name that does not
// resolve, a read callback that gave up, any other libcurl error. The REST library reports it as
// its last error code and the upload engine as its status, and callers treat it as worth trying
// again. The value is the design's own (it stood for "connection refused" there) and peers and
// callers rely on it, so it never changes.
inline constexpr int32_t kTransportFailure = 10061;

}  // namespace plumet_codes
