#pragma once
// The program's own state on disk, which survives a reboot: $XDG_STATE_HOME/plumet/ (default
// ~/.local/state/plumet/). It holds the session journal, the credentials the journal's uploads need
// and the unsent store; only the user may read it.

#include <string>

namespace platform {

// The folder's path with a trailing "/" (not created); empty without a usable HOME.
std::string StateDir();

// Creates `path` and any missing parent, each new folder 0700. True when `path` is then a folder
// of ours that no other account can enter (a folder open to others is tightened to 0700).
bool MakePrivateDirs(const std::string& path);

}  // namespace platform
