#pragma once
// The two subcommands that move content between a local file and the service: download (re-fetch,
// then the content from its download location, size and SHA-1 checked, written atomically) and
// upload (the upload engine: SHA-1, registration, whole or block delta).

#include <cjson/cJSON.h>

#include <cstdint>

#include "common/result_codes.h"
#include "tools/dorvicctl/args.h"
#include "tools/dorvicctl/commands.h"

namespace dorvicctl {

// Codes of the failures dorvicctl finds itself; a transport failure has the library's code.
inline constexpr int32_t kFailureLocalFile = 10001;    // LOCAL cannot be read or written
inline constexpr int32_t kFailureMismatch = 10002;     // the content is not what the service named
inline constexpr int32_t kFailureInterrupted = 10003;  // Ctrl-C or SIGTERM: stopped, nothing left

bool Download(const Invocation& inv, cJSON* out, LocalFailure& failure);
bool Upload(const Invocation& inv, cJSON* out, LocalFailure& failure);

}  // namespace dorvicctl
