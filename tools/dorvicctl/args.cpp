#include "tools/dorvicctl/args.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "common/endpoints.h"
#include "dorvic/src/text.h"

namespace dorvicctl {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : fallback;
}

bool AllDigits(const std::string& text, size_t from) {
  if (from >= text.size()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

long long ParseSigned(const std::string& text, const std::string& what, long long lo,
                      long long hi) {
  const size_t from = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  if (!AllDigits(text, from)) throw UsageError(what + " must be a number, not '" + text + "'");
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < lo || value > hi)
    throw UsageError(what + " is out of range: " + text);
  return value;
}

unsigned long long ParseUnsigned(const std::string& text, const std::string& what,
                                 unsigned long long hi) {
  if (!AllDigits(text, 0)) throw UsageError(what + " must be a number, not '" + text + "'");
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value > hi) throw UsageError(what + " is out of range: " + text);
  return value;
}

}  // namespace

int32_t ParseInt32(const std::string& text, const std::string& what) {
  return static_cast<int32_t>(ParseSigned(text, what, std::numeric_limits<int32_t>::min(),
                                          std::numeric_limits<int32_t>::max()));
}

uint32_t ParseUint32(const std::string& text, const std::string& what) {
  return static_cast<uint32_t>(ParseUnsigned(text, what, std::numeric_limits<uint32_t>::max()));
}

uint64_t ParseUint64(const std::string& text, const std::string& what) {
  return ParseUnsigned(text, what, std::numeric_limits<uint64_t>::max());
}

Invocation ParseCommandLine(const std::vector<std::string>& args) {
  Invocation inv;
  Globals& g = inv.globals;
  g.host = EnvOr("DORVIC_HOST", plumet_defaults::kApiHost);
  g.secret = EnvOr("DORVIC_SECRET", plumet_defaults::kClientSecret);
  g.token = EnvOr("DORVIC_TOKEN", "");
  const char* mount_env = std::getenv("DORVIC_MOUNT");
  if (mount_env != nullptr) g.mount = ParseInt32(mount_env, "DORVIC_MOUNT");

  size_t i = 0;
  bool proxy_host_given = false;
  auto value_of = [&](const std::string& name) -> std::string {
    if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
    return args[++i];
  };
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    const std::string& name = args[i];
    if (name == "--host") {
      g.host = value_of(name);
    } else if (name == "--secret") {
      g.secret = value_of(name);
    } else if (name == "--token") {
      g.token = value_of(name);
    } else if (name == "--mount") {
      g.mount = ParseInt32(value_of(name), name);
    } else if (name == "--proxy-type") {
      g.proxy = true;
      g.network.proxyType = ParseInt32(value_of(name), name);
    } else if (name == "--proxy-host") {
      g.proxy = true;
      proxy_host_given = true;
      g.network.proxyHost = dorvic::FromUtf8(value_of(name));
    } else if (name == "--proxy-port") {
      g.proxy = true;
      g.network.proxyPort = ParseInt32(value_of(name), name);
    } else if (name == "--proxy-user") {
      g.proxy = true;
      g.network.proxyUser = dorvic::FromUtf8(value_of(name));
    } else if (name == "--proxy-password") {
      g.proxy = true;
      g.network.proxyPassword = dorvic::FromUtf8(value_of(name));
    } else {
      throw UsageError("unknown option " + name);
    }
  }
  if (g.proxy && !proxy_host_given) throw UsageError("--proxy-host is needed with proxy options");
  g.network.useProxy = g.proxy;
  if (i >= args.size()) throw UsageError("no subcommand given");
  inv.command = args[i++];

  bool words_only = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!words_only && arg == "--") {
      words_only = true;
    } else if (!words_only && IsFlag(arg)) {
      inv.flags.insert(arg.substr(2));
    } else if (!words_only && arg.rfind("--", 0) == 0) {
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      inv.options[arg.substr(2)] = args[++i];
    } else {
      inv.words.push_back(arg);
    }
  }
  return inv;
}

}  // namespace dorvicctl
