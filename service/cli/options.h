#pragma once
// Command line of zelmicd: a subcommand, the data DIR, positional arguments and --options.

#include <cstdint>
#include <string>
#include <vector>

#include "service/store/status.h"

namespace zelmic {

struct Options {
  std::string command;  // init, add-user, put, link, revoke, serve
  std::string dir;
  std::vector<std::string> args;  // positional arguments after DIR
  std::vector<int> mounts;        // --mount (repeatable)
  std::string user;               // --user
  uint16_t api_port = 0, token_port = 0, upload_port = 0, web_port = 0;
  int64_t token_ttl = 3600;       // --token-ttl seconds
  std::string ready_file;         // --ready-file
  std::string secret;             // --secret
  bool progress = false;          // --progress (put): progress on stderr
  bool faults = false;            // --faults: the test hooks that script answers
  unsigned max_connections = 0;   // --max-connections per listener; 0: from the fd limit
  unsigned max_per_peer = 32;     // --max-per-peer: per client account or address and listener
  std::string password_file;      // --password-file (add-user)
  int64_t quota = -1;             // --quota bytes (add-user); 0: none; -1: left as it is
  int keep_days = 30;             // --keep-days (serve): deleted and replaced content kept
  std::string tls_cert, tls_key;  // --tls-cert, --tls-key (PEM files)
  std::string listen;             // --listen IPv4 address (serve, TLS only); empty: 127.0.0.1
  // External base URLs (no trailing "/") under which clients reach the upload listener and the
  // web listener, e.g. through a TLS front; empty: http://127.0.0.1:PORT of the listener.
  std::string upload_url;  // --upload-url, named as "server" in PUT answers
  std::string web_url;     // --web-url, base of the "uri" download and publish links
};

// Parses argv into out; on failure leaves out alone and fails with a one-line reason.
Status ParseOptions(int argc, char** argv, Options& out);

// Every subcommand with its arguments; --help prints it on stdout, a usage error on stderr.
extern const char* const kUsage;

}  // namespace zelmic
