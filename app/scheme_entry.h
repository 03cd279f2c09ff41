#pragma once
// The desktop entry that makes "plumet://" links start this program, filled in for its path.

#include <string>

namespace plumet {

// The entry text for the program at `programPath` (Exec quoted, %u; Icon the program's icon file
// when installed beside it, else the icon name).
std::string DesktopEntryFor(const std::string& programPath);

}  // namespace plumet
