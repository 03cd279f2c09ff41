// dorvicctl: every export of libdorvic from the shell, one JSON object per call.
//
// Exit status: 0 when the export returned true, 1 when it returned false, 2 on a usage error
// (one line on stderr, nothing on stdout). download and upload follow the same rules.

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <dorvic/dorvic.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "common/owned_json.h"
#include "dorvic/src/text.h"
#include "tools/dorvicctl/args.h"
#include "tools/dorvicctl/commands.h"

namespace {

constexpr const char kUsage[] =
    "usage: dorvicctl [--host H] [--secret S] [--token T] [--mount N]\n"
    "                 [--proxy-type N --proxy-host H --proxy-port P [--proxy-user U "
    "--proxy-password W]]\n"
    "                 SUBCOMMAND ARGS...";

constexpr const char kHelpTail[] =
    "\n"
    "The globals default to $DORVIC_HOST, $DORVIC_SECRET, $DORVIC_TOKEN and $DORVIC_MOUNT, then to "
    "the\n"
    "built-in service on loopback. Each call prints one JSON object on stdout with \"ok\",\n"
    "\"error_code\", \"error_msg\" and the call's results. --progress prints progress on stderr.\n"
    "Exit status: 0 when the call succeeded, 1 when it failed, 2 on a usage error.\n";

int Run(const std::vector<std::string>& args) {
  dorvicctl::Invocation inv;
  const plumet_common::JsonPtr owned(cJSON_CreateObject());
  cJSON* out = owned.get();
  // The three common members come first; they get their values once the call is made.
  cJSON_AddFalseToObject(out, "ok");
  cJSON_AddNumberToObject(out, "error_code", 0);
  cJSON_AddStringToObject(out, "error_msg", "");
  bool ok = false;
  dorvicctl::LocalFailure failure;
  try {
    inv = dorvicctl::ParseCommandLine(args);
    dorvic_set_host(dorvic::FromUtf8(inv.globals.host));
    dorvic_set_secret(dorvic::FromUtf8(inv.globals.secret));
    dorvic_set_network_info(inv.globals.proxy ? &inv.globals.network : nullptr);
    ok = dorvicctl::RunCommand(inv, out, failure);
  } catch (const dorvicctl::UsageError& e) {
    std::fprintf(stderr, "dorvicctl: %s\n", e.what());
    return 2;
  }
  std::wstring message;
  int32_t code = dorvic_get_last_error_code(message);
  if (failure.set) {
    code = failure.code;
    message = dorvic::FromUtf8(failure.message);
  }
  cJSON_ReplaceItemInObject(out, "ok", cJSON_CreateBool(ok));
  cJSON_ReplaceItemInObject(out, "error_code", cJSON_CreateNumber(code));
  cJSON_ReplaceItemInObject(out, "error_msg", cJSON_CreateString(dorvic::ToUtf8(message).c_str()));
  const std::string text = plumet_common::PrintJson(out);
  if (text.empty()) {
    std::fprintf(stderr, "dorvicctl: out of memory\n");
    return 1;
  }
  std::printf("%s\n", text.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n\nSubcommands:\n%s%s", kUsage, dorvicctl::SubcommandHelp().c_str(), kHelpTail);
    return 0;
  }
  // Before any thread exists: the upload engine runs its transfers on a worker thread.
  curl_global_init(CURL_GLOBAL_DEFAULT);
  try {
    return Run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dorvicctl: %s\n", e.what());
    return 1;
  }
}
