#pragma once
// `zelmicd serve`: the four listeners on loopback until SIGTERM or SIGINT.

#include "service/cli/options.h"

namespace zelmic {

// Returns the process exit code.
int Serve(const Options& options);

}  // namespace zelmic
