#include "service/cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "common/endpoints.h"

namespace zelmic {

const char* const kUsage =
    "usage: zelmicd init DIR\n"
    "       zelmicd add-user DIR NAME [--mount N]... [--password-file FILE]\n"
    "       zelmicd put DIR --mount N LOCAL_FILE REMOTE_PATH [--user NAME] [--progress]\n"
    "       zelmicd link DIR --mount N REMOTE_PATH --user NAME\n"
    "       zelmicd serve DIR [--api-port N] [--token-port N] [--upload-port N] [--web-port N]\n"
    "                         [--token-ttl SECONDS] [--ready-file FILE] [--secret S]\n"
    "                         [--tls-cert FILE --tls-key FILE] [--max-connections N] [--faults]\n"
    "                         [--upload-url URL] [--web-url URL]\n"
    "       zelmicd --help\n"
    "\n"
    "  init      create an empty data folder DIR\n"
    "  add-user  add a user with access to the given mounts; prints the user's refresh token\n"
    "            (the web-page password: first line of FILE, or asked on a terminal)\n"
    "  put       store LOCAL_FILE as the new version of REMOTE_PATH (--progress: on stderr)\n"
    "  link      print a plumet:// edit link of REMOTE_PATH for the user\n"
    "  serve     serve DIR: REST API, token endpoint, upload server and web page (loopback,\n"
    "            HTTPS with --tls-*; --faults turns on the answer-scripting test hooks;\n"
    "            --upload-url/--web-url: the bases clients reach them by, e.g. a TLS front)\n";

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
    {"add-user", {1, {"--mount", "--password-file"}, {}}},
    {"put", {2, {"--mount", "--user", "--progress"}, {"--mount"}}},
    {"link", {1, {"--mount", "--user"}, {"--mount", "--user"}}},
    {"serve",
     {0,
      {"--api-port", "--token-port", "--upload-port", "--web-port", "--token-ttl", "--ready-file",
       "--secret", "--tls-cert", "--tls-key", "--max-connections", "--faults", "--upload-url",
       "--web-url"},
      {}}},
};

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error) {
  if (argc < 2) {
    error = "missing subcommand";
    return std::nullopt;
  }
  Options o;
  o.command = argv[1];
  auto shape = kShapes.find(o.command);
  if (shape == kShapes.end()) {
    error = "unknown subcommand \"" + o.command + "\"";
    return std::nullopt;
  }
  o.api_port = plumet_defaults::kApiPort;
  o.token_port = plumet_defaults::kTokenPort;
  o.upload_port = plumet_defaults::kUploadPort;
  o.web_port = plumet_defaults::kWebPort;
  o.secret = plumet_defaults::kClientSecret;
  std::vector<std::string> positional;
  std::set<std::string> seen;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      positional.push_back(arg);
      continue;
    }
    if (!shape->second.flags.count(arg)) {
      error = "unknown option " + arg + " for " + o.command;
      return std::nullopt;
    }
    if (arg == "--progress") {  // options without a value
      o.progress = true;
      continue;
    }
    if (arg == "--faults") {
      o.faults = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = arg + " needs a value";
      return std::nullopt;
    }
    const std::string value = argv[++i];
    seen.insert(arg);
    long long n = 0;
    if (arg == "--mount") {
      if (!ParseNumber(value, INT32_MIN, INT32_MAX, n)) {
        error = "--mount needs a number, not \"" + value + "\"";
        return std::nullopt;
      }
      o.mounts.push_back(static_cast<int>(n));
    } else if (arg == "--user") {
      o.user = value;
    } else if (arg == "--ready-file") {
      o.ready_file = value;
    } else if (arg == "--secret") {
      o.secret = value;
    } else if (arg == "--password-file") {
      o.password_file = value;
    } else if (arg == "--tls-cert") {
      o.tls_cert = value;
    } else if (arg == "--tls-key") {
      o.tls_key = value;
    } else if (arg == "--max-connections") {
      if (!ParseNumber(value, 1, 1000000, n)) {
        error = "--max-connections needs a number (1 to 1000000)";
        return std::nullopt;
      }
      o.max_connections = static_cast<unsigned>(n);
    } else if (arg == "--upload-url" || arg == "--web-url") {
      // A base URL: scheme, authority and perhaps a path prefix, to which paths are appended.
      std::string base = value;
      while (!base.empty() && base.back() == '/') base.pop_back();
      if (base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0) {
        error = arg + " needs an http:// or https:// URL";
        return std::nullopt;
      }
      if (base.find_first_of(" \t\r\n\"\\") != std::string::npos) {
        error = arg + " must not contain white space, quotes or backslashes";
        return std::nullopt;
      }
      (arg == "--upload-url" ? o.upload_url : o.web_url) = base;
    } else if (arg == "--token-ttl") {
      if (!ParseNumber(value, 1, 365LL * 86400, n)) {
        error = "--token-ttl needs a number of seconds (1 to one year)";
        return std::nullopt;
      }
      o.token_ttl = n;
    } else {
      if (!ParseNumber(value, 0, 65535, n)) {
        error = arg + " needs a port number (0 to 65535)";
        return std::nullopt;
      }
      uint16_t port = static_cast<uint16_t>(n);
      if (arg == "--api-port") o.api_port = port;
      if (arg == "--token-port") o.token_port = port;
      if (arg == "--upload-port") o.upload_port = port;
      if (arg == "--web-port") o.web_port = port;
    }
  }
  for (const auto& r : shape->second.required) {
    if (!seen.count(r)) {
      error = o.command + " needs " + r;
      return std::nullopt;
    }
  }
  if (positional.empty()) {
    error = o.command + " needs DIR";
    return std::nullopt;
  }
  o.dir = positional[0];
  o.args.assign(positional.begin() + 1, positional.end());
  if (o.args.size() != shape->second.positional) {
    error = o.command + " takes " + std::to_string(shape->second.positional) +
            " argument(s) after DIR, got " + std::to_string(o.args.size());
    return std::nullopt;
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    error = "--tls-cert and --tls-key go together";
    return std::nullopt;
  }
  if ((o.command == "put" || o.command == "link") && o.mounts.size() != 1) {
    error = o.command + " takes exactly one --mount";
    return std::nullopt;
  }
  return o;
}

}  // namespace zelmic
