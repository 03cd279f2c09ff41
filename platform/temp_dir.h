#pragma once
// The program's private temporary folder: ${TMPDIR:-/tmp}/plumet-<uid>/, created 0700. A folder of
// that name that is a symlink, not a directory, or not owned by us is refused: another local user
// could otherwise read the copies or plant files where we write them.

#include <string>

namespace platform {

// The folder's path with a trailing "/", created when missing; empty when it is refused or
// cannot be made.
std::string PrivateTempDir();

}  // namespace platform
