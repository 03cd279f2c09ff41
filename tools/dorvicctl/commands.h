#pragma once
// One subcommand per export of the library.

#include <cjson/cJSON.h>

#include "tools/dorvicctl/args.h"

namespace dorvicctl {

// Runs the subcommand of `inv` (the library already configured) and adds its out-parameters to
// `out`. Returns what the export returned; UsageError when the subcommand or its arguments are wrong
// (checked before anything is sent).
bool RunCommand(const Invocation& inv, cJSON* out);

}  // namespace dorvicctl
