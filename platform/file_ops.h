#pragma once
// The plain file-system steps the session engine takes on its copies and its work files: test,
// remove, rename, and a move that never replaces what is at the target.

#include <cstdint>
#include <string>

namespace platform {

bool PathExists(const std::string& path);

// The size in bytes of the file `path` names (following links), or 0 when it cannot be read.
uint64_t FileSizeOf(const std::string& path);

// Removes a file (not a folder). A file that is not there is no failure.
bool RemoveFile(const std::string& path);

// Removes `dir` only when it is empty; false otherwise (nothing inside is ever removed).
bool RemoveEmptyFolder(const std::string& dir);

// Renames `from` to `to` in one step, replacing a file at `to`.
bool RenameFile(const std::string& from, const std::string& to);

enum class MoveResult { kMoved, kNameTaken, kFailed };

// Moves `from` to `to` unless something is at `to` already (kNameTaken). A hard link never
// replaces an existing name; where hard links are not supported, a rename to a name just seen
// free is the next best thing.
MoveResult MoveWithoutReplacing(const std::string& from, const std::string& to);

// A regular file (not a link) of this account that no other account may read or write.
bool IsPrivateFileOfOurs(const std::string& path);

}  // namespace platform
