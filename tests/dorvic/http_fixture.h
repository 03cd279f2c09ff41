#pragma once
// A loopback HTTP server for the library's tests: records every request (method, raw target, header
// lines in arrival order, body) and answers from a script. One server thread by default.

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service/http/mhd_daemon.h"

namespace dorvic_test {

struct RecordedRequest {
  std::string method;
  std::string target;  // as sent on the request line, percent-escapes and query included
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Value of the first header named `name` (case-insensitive); "\x01" when there is none.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
  // Names of the header lines, in order, that begin with `prefix` (case-insensitive).
  std::vector<std::string> NamesWithPrefix(const std::string& prefix) const;
};

struct ScriptedAnswer {
  ScriptedAnswer() = default;
  ScriptedAnswer(unsigned status_code, std::string body_text,
                 std::vector<std::pair<std::string, std::string>> header_lines = {}, int delay = 0)
      : status(status_code),
        body(std::move(body_text)),
        headers(std::move(header_lines)),
        delay_ms(delay) {}

  unsigned status = 200;
  std::string body = "{}";
  std::vector<std::pair<std::string, std::string>> headers;
  int delay_ms = 0;  // the answer is held back this long
};

class HttpFixture {
 public:
  // Listens on 127.0.0.1 on an ephemeral port. `thread_per_connection` serves connections side by
  // side instead of on the one server thread.
  explicit HttpFixture(bool thread_per_connection = false);
  ~HttpFixture();
  HttpFixture(const HttpFixture&) = delete;
  HttpFixture& operator=(const HttpFixture&) = delete;

  uint16_t port() const { return port_; }
  // "127.0.0.1:PORT", as the library takes a host.
  std::string host() const;
  std::wstring whost() const;

  // Answers are used in order; once the queue is empty the responder (if set) answers, else 200
  // "{}".
  void Script(ScriptedAnswer answer);
  void SetResponder(std::function<ScriptedAnswer(const RecordedRequest&)> responder);

  std::vector<RecordedRequest> requests() const;
  size_t request_count() const;

 private:
  friend struct FixtureAccess;
  ScriptedAnswer NextAnswer(const RecordedRequest& request);
  void Record(const RecordedRequest& request);

  zelmic::MhdDaemon daemon_;
  uint16_t port_ = 0;
  mutable std::mutex mu_;
  std::deque<ScriptedAnswer> script_;
  std::function<ScriptedAnswer(const RecordedRequest&)> responder_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace dorvic_test
