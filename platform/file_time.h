#pragma once
// A file's modification time at full precision: two saves within the same second differ.

#include <cstdint>
#include <string>

namespace platform {

// st_mtim in nanoseconds since 1970; 0 when the file cannot be read. Follows the path (a copy
// replaced by rename is the new file).
int64_t ModifiedTimeNs(const std::string& path);

}  // namespace platform
