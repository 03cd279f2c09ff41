#pragma once
// Command line of dorvicctl: global options, a subcommand, its words and its options.

#include <dorvic/dorvic.h>

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace dorvicctl {

// A command line that cannot be run; the message is one line for stderr.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the library is pointed, after the environment fallbacks.
struct Globals {
  std::string host;
  std::string secret;
  std::string token;
  int32_t mount = 0;
  bool proxy = false;  // some --proxy-* option was given
  dorvic_info_stx network;
};

struct Invocation {
  Globals globals;
  std::string command;
  std::vector<std::string> words;              // positional arguments after the subcommand
  std::map<std::string, std::string> options;  // "--name value" after the subcommand, without "--"
  std::set<std::string> flags;  // options that take no value ("--progress"), without "--"
};

// The options after a subcommand that take no value.
inline bool IsFlag(const std::string& arg) { return arg == "--progress"; }

// Reads argv (without the program name) and the environment.
Invocation ParseCommandLine(const std::vector<std::string>& args);

// Strict decimal readers; UsageError naming `what` when the text is no number in range.
int32_t ParseInt32(const std::string& text, const std::string& what);
uint32_t ParseUint32(const std::string& text, const std::string& what);
uint64_t ParseUint64(const std::string& text, const std::string& what);

}  // namespace dorvicctl
