#pragma once
// The launch argument: the first command-line argument that does not begin with "-" or "/" (the
// registered command passes the launch URL as the only one). It carries a refresh token, so it is
// taken out of the process's argument memory at once: other local users can read
// /proc/PID/cmdline.

#include <string>

namespace plumet {

// Returns the launch argument as UTF-16 (empty when there is none), overwrites its bytes in
// argv with zeros, and removes it from argv (argc shrinks), so that nothing later sees it. A text
// longer than kHandoffMaxTextUnits (app/handoff_block.h) is refused with a line on stderr: empty.
std::u16string TakeLaunchArgument(int& argc, char** argv);

}  // namespace plumet
