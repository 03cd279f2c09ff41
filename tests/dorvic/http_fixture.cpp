#include "tests/dorvic/http_fixture.h"

#include <microhttpd.h>
#include <strings.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace dorvic_test {

namespace {

// Keeps the target exactly as received (percent-escapes included).
size_t KeepEscapes(void*, MHD_Connection*, char* s) { return std::strlen(s); }

// The raw request target arrives here first; it becomes the connection's request state.
void* StartRequest(void*, const char* uri, MHD_Connection*) {
  auto* request = new RecordedRequest();
  request->target = uri;
  return request;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<RecordedRequest*>(cls)->headers.emplace_back(key, value != nullptr ? value : "");
  return MHD_YES;
}

void FinishRequest(void*, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
  delete static_cast<RecordedRequest*>(*con_cls);
  *con_cls = nullptr;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return "\x01";
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualsNoCase(header.first, name)) return true;
  }
  return false;
}

std::vector<std::string> RecordedRequest::NamesWithPrefix(const std::string& prefix) const {
  std::vector<std::string> names;
  for (const auto& header : headers) {
    if (header.first.size() >= prefix.size() &&
        strncasecmp(header.first.c_str(), prefix.c_str(), prefix.size()) == 0) {
      names.push_back(header.first);
    }
  }
  return names;
}

struct FixtureAccess {
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char*, const char* method,
                           const char*, const char* upload_data, size_t* upload_data_size,
                           void** con_cls) {
    auto* fixture = static_cast<HttpFixture*>(cls);
    auto* request = static_cast<RecordedRequest*>(*con_cls);
    if (request->method.empty()) {  // first call: the head of the request
      request->method = method;
      MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, request);
      return MHD_YES;
    }
    if (*upload_data_size != 0) {
      request->body.append(upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    fixture->Record(*request);
    const ScriptedAnswer answer = fixture->NextAnswer(*request);
    if (answer.delay_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(answer.delay_ms));
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    for (const auto& [name, value] : answer.headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
  }
};

HttpFixture::HttpFixture(bool thread_per_connection) {
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD;
  if (thread_per_connection) flags |= MHD_USE_THREAD_PER_CONNECTION;
  daemon_ = zelmic::MhdDaemon::Start(
      flags, 0, &FixtureAccess::Handle, this,
      {{MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&KeepEscapes), nullptr},
       {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&StartRequest), nullptr},
       {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&FinishRequest), nullptr}});
  if (!daemon_) throw std::runtime_error("cannot start the loopback HTTP fixture");
  port_ = daemon_.port();
}

// The daemon's threads read the script and the record, so it stops before they go.
HttpFixture::~HttpFixture() { daemon_.Stop(); }

std::string HttpFixture::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::wstring HttpFixture::whost() const {
  const std::string h = host();
  return std::wstring(h.begin(), h.end());
}

void HttpFixture::Script(ScriptedAnswer answer) {
  std::lock_guard<std::mutex> hold(mu_);
  script_.push_back(std::move(answer));
}

void HttpFixture::SetResponder(std::function<ScriptedAnswer(const RecordedRequest&)> responder) {
  std::lock_guard<std::mutex> hold(mu_);
  responder_ = std::move(responder);
}

std::vector<RecordedRequest> HttpFixture::requests() const {
  std::lock_guard<std::mutex> hold(mu_);
  return requests_;
}

size_t HttpFixture::request_count() const {
  std::lock_guard<std::mutex> hold(mu_);
  return requests_.size();
}

ScriptedAnswer HttpFixture::NextAnswer(const RecordedRequest& request) {
  std::function<ScriptedAnswer(const RecordedRequest&)> responder;
  {
    std::lock_guard<std::mutex> hold(mu_);
    if (!script_.empty()) {
      ScriptedAnswer next = std::move(script_.front());
      script_.pop_front();
      return next;
    }
    responder = responder_;
  }
  return responder ? responder(request) : ScriptedAnswer();
}

void HttpFixture::Record(const RecordedRequest& request) {
  std::lock_guard<std::mutex> hold(mu_);
  requests_.push_back(request);
}

}  // namespace dorvic_test
