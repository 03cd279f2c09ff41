#pragma once
// One authenticated REST request as the verb handlers see it, and their answer.

#include <microhttpd.h>

#include <optional>
#include <string>

#include "service/store/store.h"

namespace zelmic {

struct ApiRequest {
  std::string verb;
  int mount = 0;
  std::string path;     // normalised, see paths.h
  bool folder = false;  // the request path ended in "/"
  std::string query;    // raw text after "?", empty when none
  AccessInfo who;
  std::string body;
  MHD_Connection* connection = nullptr;
  std::optional<std::string> header(const char* name) const;
};

struct ApiReply {
  unsigned status = 200;
  std::string body;
  const char* content_type = "application/json";
  static ApiReply Error(const Status& e);
};

// Where the other listeners are reached, for the URLs that answers carry.
struct ServiceUrls {
  std::string download_base;  // "http://127.0.0.1:<web>/download/"
  std::string publish_base;   // "http://127.0.0.1:<web>/s/"
  std::string upload_server;  // "http://127.0.0.1:<upload>"
};

// Runs the verb; req has passed authentication, path and scope checks.
ApiReply HandleVerb(Store& store, const ServiceUrls& urls, const ApiRequest& req);

// The fourteen verbs of the REST interface.
bool IsKnownVerb(const std::string& verb);

// Strict decimal parsing of header values: optional "-", digits, within range.
bool ParseInt(const std::string& text, long long min, long long max, long long& out);

}  // namespace zelmic
