#pragma once
// Scripted answers for tests: the admin endpoint queues answers per endpoint; a listener that finds
// one for the request it is handling serves it instead of doing the real work.

#include <microhttpd.h>

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "service/store/status.h"

namespace zelmic {

struct ScriptedAnswer {
  enum class Kind { Status, Redirect, Stall, Drop };
  Kind kind = Kind::Status;
  unsigned status = 500;                     // Status: the status to answer
  std::string body;                          // Status: the body (JSON or text)
  std::optional<std::string> server_header;  // Status: X-SERVER value; none leaves the header out
  std::string location;                      // Redirect: the Location (answered with 302)
  unsigned stall_ms = 0;                     // Stall: wait this long, then do the real work
};

// Endpoint keys: the upload paths ("/upload_part"...), "/oauth/token", "download" for the
// download locations, "api:VERB" for the REST verbs ("api:GET", "api:PUT"...) and "login" for the
// password check of a web login (a stall holds the check on its own thread, not the listener).
class FaultScript {
 public:
  void push(const std::string& endpoint, ScriptedAnswer answer);
  std::optional<ScriptedAnswer> take(const std::string& endpoint);
  // Whether an answer is queued for endpoint (it is then taken once the request is read).
  bool pending(const std::string& endpoint) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::deque<ScriptedAnswer>> queued_;
};

// Serves a Status or Redirect answer. A Drop answer returns MHD_NO, which closes the connection
// without an answer. A Stall sleeps and returns nullopt: the caller goes on with the real work.
std::optional<MHD_Result> ServeScripted(MHD_Connection* connection, const ScriptedAnswer& answer);

// Parses one answer from the admin endpoint's JSON:
// {"endpoint": "/upload_part", "kind": "status"|"redirect"|"stall"|"drop", "status": 409,
//  "body": "...", "server": "ZELMIC" (absent: no X-SERVER), "location": "...", "stall_ms": 1500}
// A refusal is a plain Status::Error saying what is wrong with the script.
Status ParseScriptedAnswer(const std::string& json, std::string& endpoint, ScriptedAnswer& answer);

}  // namespace zelmic
