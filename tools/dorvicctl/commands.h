#pragma once
// One subcommand per export of the library.

#include <cjson/cJSON.h>

#include <cstdint>
#include <string>

#include "tools/dorvicctl/args.h"

namespace dorvicctl {

// A failure found by dorvicctl itself rather than by the library (a local file, a download, the
// upload server): it takes the place of the library's last error in the result.
struct LocalFailure {
  bool set = false;
  int32_t code = 0;
  std::string message;
  bool Fail(int32_t failure_code, std::string text) {
    set = true;
    code = failure_code;
    message = std::move(text);
    return false;
  }
};

// Runs the subcommand of `inv` (the library already configured) and adds its out-parameters to
// `out`. Returns what the export returned; UsageError when the subcommand or its arguments are
// wrong (checked before anything is sent).
bool RunCommand(const Invocation& inv, cJSON* out, LocalFailure& failure);

// Every subcommand with its arguments and what it does, one line each, for --help.
std::string SubcommandHelp();

}  // namespace dorvicctl
