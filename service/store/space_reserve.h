#pragma once
// Room kept back for the changes that free space. A full disk must not stop a delete: even a
// delete appends its pages to the database's write-ahead log, which grows when it was never this
// long (or when readers keep a checkpoint from starting it over), and the write then fails. So a
// serving process keeps DIR/space.reserve, a few MiB allocated on the device, and gives it up when
// such a change fails; the purge makes it again once there is room.

#include <string>

namespace zelmic {

// Bytes kept back: the write-ahead log grows by at most about the checkpoint threshold (1000
// pages of 4 KiB) before SQLite starts it over.
constexpr long kSpaceReserveBytes = 8L << 20;

// Makes DIR/space.reserve when it is missing; false when the device has no room for it.
bool KeepSpaceReserve(const std::string& dir);
// Removes it; true when there was one to give up.
bool ReleaseSpaceReserve(const std::string& dir);

}  // namespace zelmic
