#pragma once
// Where copies with changes that never reached the service survive a reboot:
// $XDG_STATE_HOME/plumet/unsent/ (default ~/.local/state/plumet/unsent/). The temp folder may be a
// tmpfs that a reboot empties; this one is not.

#include <string>
#include <vector>

namespace platform {

// The store's path with a trailing "/" (not created).
std::string UnsentStoreDir();

// Copies `source` into the store (created 0700 when missing) under its own file name, or with a
// numbered suffix when that name is taken. The stored path goes to `stored`. False on failure.
bool SaveUnsentCopy(const std::string& storeDir, const std::string& source, std::string& stored);

// The regular files in the store, sorted by name.
std::vector<std::string> ListUnsentCopies(const std::string& storeDir);

}  // namespace platform
