#pragma once
// Whether a command-line program's text goes to a person's terminal.

#include <cstdio>

namespace platform {

// True when `stream` is a terminal (progress may then redraw one line in place).
bool IsTerminal(std::FILE* stream);

}  // namespace platform
