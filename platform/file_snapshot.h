#pragma once
// A private copy of a file as it is at one moment, so that an upload reads content that a save
// written in place meanwhile cannot change under it. Where the file system shares extents
// (btrfs, XFS) the copy is a reflink and costs no data; elsewhere the kernel copies it.

#include <cstdint>
#include <string>

namespace platform {

// Replaces `target` (created 0600, never through a symlink) with the content of `source`. False
// when either cannot be opened, the copy fails, or the source changed while it was copied; no
// target is left behind then.
// `modifiedNs` receives the source's modification time as it was when the copy was taken.
bool SnapshotFile(const std::string& source, const std::string& target, int64_t& modifiedNs);

}  // namespace platform
