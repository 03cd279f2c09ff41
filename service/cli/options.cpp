#include "service/cli/options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "common/endpoints.h"

namespace zelmic {

const char* const kUsage =
    "usage: zelmicd init DIR\n"
    "       zelmicd add-user DIR NAME [--mount N]... [--password-file FILE] [--quota BYTES]\n"
    "       zelmicd put DIR --mount N LOCAL_FILE REMOTE_PATH [--user NAME] [--progress]\n"
    "       zelmicd link DIR --mount N REMOTE_PATH --user NAME\n"
    "       zelmicd revoke DIR NAME\n"
    "       zelmicd serve DIR [--api-port N] [--token-port N] [--upload-port N] [--web-port N]\n"
    "                         [--token-ttl SECONDS] [--ready-file FILE] [--secret S]\n"
    "                         [--tls-cert FILE --tls-key FILE [--listen ADDRESS]]\n"
    "                         [--max-connections N] [--max-per-peer N] [--faults]\n"
    "                         [--upload-url URL] [--web-url URL] [--keep-days N]\n"
    "       zelmicd --help\n"
    "\n"
    "  init      create an empty data folder DIR\n"
    "  add-user  add a user with access to the given mounts; prints the user's refresh token\n"
    "            (the web-page password: first line of FILE, or asked on a terminal); for a\n"
    "            user who exists, says what changed, and the new token replaces the earlier ones;\n"
    "            --quota: most bytes the user's stored versions may hold (suffix K, M or G;\n"
    "            0: no limit)\n"
    "  put       store LOCAL_FILE as the new version of REMOTE_PATH (--progress: on stderr)\n"
    "  link      print a plumet:// edit link of REMOTE_PATH for the user\n"
    "  revoke    end every token and every web login of the user NAME\n"
    "  serve     serve DIR: REST API, token endpoint, upload server and web page (loopback,\n"
    "            HTTPS with --tls-*, which may then --listen on ADDRESS instead of loopback;\n"
    "            --faults turns on the answer-scripting test hooks;\n"
    "            --upload-url/--web-url: the bases clients reach them by, e.g. a TLS front;\n"
    "            --keep-days: how long deleted files and replaced versions stay, 30 by default)\n";

namespace {

bool ParseNumber(const std::string& text, long long min, long long max, long long& out) {
  if (text.empty() || text.size() > 19) return false;
  for (size_t i = (text[0] == '-' ? 1 : 0); i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  errno = 0;
  out = strtoll(text.c_str(), nullptr, 10);
  return errno == 0 && out >= min && out <= max;
}

struct Shape {
  size_t positional;            // arguments after DIR
  std::set<std::string> flags;  // allowed --options
  std::set<std::string> required;
};

const std::map<std::string, Shape> kShapes = {
    {"init", {0, {}, {}}},
    {"add-user", {1, {"--mount", "--password-file", "--quota"}, {}}},
    {"put", {2, {"--mount", "--user", "--progress"}, {"--mount"}}},
    {"link", {1, {"--mount", "--user"}, {"--mount", "--user"}}},
    {"revoke", {1, {}, {}}},
    {"serve",
     {0,
      {"--api-port", "--token-port", "--upload-port", "--web-port", "--token-ttl", "--ready-file",
       "--secret", "--tls-cert", "--tls-key", "--listen", "--max-connections", "--max-per-peer",
       "--faults", "--upload-url", "--web-url", "--keep-days"},
      {}}},
};

// The defaults of the settings no option gave: the endpoints every client assumes.
Options WithDefaults(const std::string& command) {
  Options o;
  o.command = command;
  o.api_port = plumet_defaults::kApiPort;
  o.token_port = plumet_defaults::kTokenPort;
  o.upload_port = plumet_defaults::kUploadPort;
  o.web_port = plumet_defaults::kWebPort;
  o.secret = plumet_defaults::kClientSecret;
  return o;
}

// One option with a value: checks the value and stores it in its setting.
using Setter = Status (*)(const std::string& flag, const std::string& value, Options& o);

template <std::string Options::*setting>
Status SetText(const std::string&, const std::string& value, Options& o) {
  o.*setting = value;
  return Status::OK();
}

template <uint16_t Options::*setting>
Status SetPort(const std::string& flag, const std::string& value, Options& o) {
  long long n = 0;
  if (!ParseNumber(value, 0, 65535, n))
    return Status::Error(flag + " needs a port number (0 to 65535)");
  o.*setting = static_cast<uint16_t>(n);
  return Status::OK();
}

// A base URL: scheme, authority and perhaps a path prefix, to which paths are appended.
template <std::string Options::*setting>
Status SetBaseUrl(const std::string& flag, const std::string& value, Options& o) {
  std::string base = value;
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0) {
    return Status::Error(flag + " needs an http:// or https:// URL");
  }
  if (base.find_first_of(" \t\r\n\"\\") != std::string::npos) {
    return Status::Error(flag + " must not contain white space, quotes or backslashes");
  }
  o.*setting = base;
  return Status::OK();
}

Status AddMount(const std::string&, const std::string& value, Options& o) {
  long long n = 0;
  if (!ParseNumber(value, INT32_MIN, INT32_MAX, n)) {
    return Status::Error("--mount needs a number, not \"" + value + "\"");
  }
  o.mounts.push_back(static_cast<int>(n));
  return Status::OK();
}

Status SetMaxConnections(const std::string&, const std::string& value, Options& o) {
  long long n = 0;
  if (!ParseNumber(value, 1, 1000000, n)) {
    return Status::Error("--max-connections needs a number (1 to 1000000)");
  }
  o.max_connections = static_cast<unsigned>(n);
  return Status::OK();
}

// One client (a local account, or an address) may not hold every connection of a listener.
Status SetMaxPerPeer(const std::string&, const std::string& value, Options& o) {
  long long n = 0;
  if (!ParseNumber(value, 1, 1000000, n)) {
    return Status::Error("--max-per-peer needs a number (1 to 1000000)");
  }
  o.max_per_peer = static_cast<unsigned>(n);
  return Status::OK();
}

// The address every listener binds instead of 127.0.0.1.
Status SetListen(const std::string&, const std::string& value, Options& o) {
  in_addr parsed{};
  if (inet_pton(AF_INET, value.c_str(), &parsed) != 1)
    return Status::Error("--listen needs an IPv4 address, like 192.0.2.10 or 0.0.0.0");
  o.listen = value;
  return Status::OK();
}

Status SetTokenTtl(const std::string&, const std::string& value, Options& o) {
  long long n = 0;
  if (!ParseNumber(value, 1, 365LL * 86400, n)) {
    return Status::Error("--token-ttl needs a number of seconds (1 to one year)");
  }
  o.token_ttl = n;
  return Status::OK();
}

// A size in bytes, or in KiB, MiB or GiB with the suffix K, M or G.
Status SetQuota(const std::string&, const std::string& value, Options& o) {
  static const std::map<char, int> kShifts = {{'K', 10}, {'M', 20}, {'G', 30}};
  std::string digits = value;
  int shift = 0;
  if (!digits.empty() && kShifts.count(digits.back())) {
    shift = kShifts.at(digits.back());
    digits.pop_back();
  }
  long long n = 0;
  if (!ParseNumber(digits, 0, (1LL << 50) >> shift, n))
    return Status::Error("--quota needs a number of bytes, optionally followed by K, M or G");
  o.quota = n << shift;
  return Status::OK();
}

Status SetKeepDays(const std::string&, const std::string& value, Options& o) {
  long long n = 0;
  if (!ParseNumber(value, 0, 36500, n)) return Status::Error("--keep-days needs 0 to 36500");
  o.keep_days = static_cast<int>(n);
  return Status::OK();
}

// Options that stand alone.
const std::map<std::string, bool Options::*> kSwitches = {
    {"--progress", &Options::progress},
    {"--faults", &Options::faults},
};

// Options followed by a value.
const std::map<std::string, Setter> kValueOptions = {
    {"--mount", AddMount},
    {"--user", SetText<&Options::user>},
    {"--ready-file", SetText<&Options::ready_file>},
    {"--secret", SetText<&Options::secret>},
    {"--password-file", SetText<&Options::password_file>},
    {"--tls-cert", SetText<&Options::tls_cert>},
    {"--tls-key", SetText<&Options::tls_key>},
    {"--listen", SetListen},
    {"--max-connections", SetMaxConnections},
    {"--max-per-peer", SetMaxPerPeer},
    {"--upload-url", SetBaseUrl<&Options::upload_url>},
    {"--web-url", SetBaseUrl<&Options::web_url>},
    {"--token-ttl", SetTokenTtl},
    {"--quota", SetQuota},
    {"--keep-days", SetKeepDays},
    {"--api-port", SetPort<&Options::api_port>},
    {"--token-port", SetPort<&Options::token_port>},
    {"--upload-port", SetPort<&Options::upload_port>},
    {"--web-port", SetPort<&Options::web_port>},
};

// Walks the arguments after the subcommand: options go into o (those with a value also into
// seen), the rest into positional, in order.
Status ReadArguments(int argc, char** argv, const Shape& shape, Options& o,
                     std::vector<std::string>& positional, std::set<std::string>& seen) {
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    const auto setter = kValueOptions.find(arg);
    if (!shape.flags.count(arg) || (setter == kValueOptions.end() && kSwitches.count(arg) == 0)) {
      return Status::Error("unknown option " + arg + " for " + o.command);
    }
    if (setter == kValueOptions.end()) {
      o.*kSwitches.at(arg) = true;
      continue;
    }
    if (i + 1 >= argc) return Status::Error(arg + " needs a value");
    const std::string value = argv[++i];
    seen.insert(arg);
    if (Status set = setter->second(arg, value, o); !set.ok()) return set;
  }
  return Status::OK();
}

Status CheckRequired(const Shape& shape, const std::string& command,
                     const std::set<std::string>& seen) {
  for (const auto& r : shape.required) {
    if (!seen.count(r)) return Status::Error(command + " needs " + r);
  }
  return Status::OK();
}

// The first positional argument is DIR; the subcommand fixes how many follow it.
Status TakePositional(const Shape& shape, const std::vector<std::string>& positional, Options& o) {
  if (positional.empty()) return Status::Error(o.command + " needs DIR");
  o.dir = positional[0];
  o.args.assign(positional.begin() + 1, positional.end());
  if (o.args.size() != shape.positional) {
    return Status::Error(o.command + " takes " + std::to_string(shape.positional) +
                         " argument(s) after DIR, got " + std::to_string(o.args.size()));
  }
  return Status::OK();
}

// Options that only make sense together, or once.
Status CheckCombinations(const Options& o) {
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    return Status::Error("--tls-cert and --tls-key go together");
  }
  // Beyond loopback every password, token and file would cross the network in clear text.
  if (!o.listen.empty() && o.tls_cert.empty()) {
    return Status::Error(
        "--listen needs --tls-cert and --tls-key: without TLS serve stays on "
        "127.0.0.1");
  }
  if ((o.command == "put" || o.command == "link") && o.mounts.size() != 1) {
    return Status::Error(o.command + " takes exactly one --mount");
  }
  return Status::OK();
}

}  // namespace

Status ParseOptions(int argc, char** argv, Options& out) {
  if (argc < 2) return Status::Error("missing subcommand");
  Options o = WithDefaults(argv[1]);
  const auto shape = kShapes.find(o.command);
  if (shape == kShapes.end()) return Status::Error("unknown subcommand \"" + o.command + "\"");
  std::vector<std::string> positional;
  std::set<std::string> seen;
  if (Status read = ReadArguments(argc, argv, shape->second, o, positional, seen); !read.ok())
    return read;
  if (Status required = CheckRequired(shape->second, o.command, seen); !required.ok())
    return required;
  if (Status taken = TakePositional(shape->second, positional, o); !taken.ok()) return taken;
  if (Status combined = CheckCombinations(o); !combined.ok()) return combined;
  out = std::move(o);
  return Status::OK();
}

}  // namespace zelmic
