#include "app/command_line.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace plumet {

const char* const kUsage =
    "usage: plumet [plumet://LINK]\n"
    "       plumet --unregister\n"
    "       plumet --help | --version\n"
    "\n"
    "  (none)          stay running (tray icon) and register plumet:// links for this account\n"
    "  plumet://LINK   open the file of an edit link in its usual application; the browser\n"
    "                  starts this when a link is clicked\n"
    "  --unregister    remove the registration of plumet:// links\n";

namespace {

// Schemes are case-insensitive; the resident parses the rest.
bool IsLink(const char* arg) { return strncasecmp(arg, "plumet://", 9) == 0; }

int Refuse(const char* what) {
  std::fprintf(stderr, "plumet: %s\n%s", what, kUsage);
  return 2;
}

}  // namespace

int AnswerCommandLine(int argc, char** argv) {
  if (argc < 2) return -1;
  const char* arg = argv[1];
  if (argc > 2) return Refuse("one argument at most");
  if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (std::strcmp(arg, "--version") == 0) {
    std::printf("plumet %s\n", PLUMET_VERSION);
    return 0;
  }
  if (std::strcmp(arg, "--unregister") == 0 || IsLink(arg)) return -1;
  if (arg[0] == '-') {
    std::fprintf(stderr, "plumet: unknown option %s\n%s", arg, kUsage);
    return 2;
  }
  // Not echoed: a mangled link still carries its refresh token, and stderr may be a shared log.
  return Refuse("the argument is not a plumet:// link");
}

}  // namespace plumet
