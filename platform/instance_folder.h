#pragma once
// The per-user folder that holds the single-instance objects (mutex, shared block, event, window
// entry). Under $XDG_RUNTIME_DIR when the session has one (private to the user, emptied at
// logout), otherwise beside the temporary files. The folder is created 0700 and refused when it is
// a symlink or belongs to someone else: another local user must not be able to plant objects that
// a start of ours would trust.

#include <string>

namespace platform {

// The folder's path without a trailing slash, created when missing; empty when no safe folder can
// be had.
std::string InstanceFolder();

// Makes `path` a private directory of ours (mkdir 0700 when missing). False when it exists as
// something else, is a symlink, or is owned by another user.
bool EnsurePrivateDirectory(const std::string& path);

}  // namespace platform
