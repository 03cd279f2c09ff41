#pragma once
// A small HTTP server on 127.0.0.1 for the download and token tests: each request is answered by
// a handler the test gives; an answer can also stall after its headers until the server stops.

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/http/mhd_daemon.h"

namespace session_test {

struct Request {
  std::string method;
  std::string url;
  std::map<std::string, std::string> form;  // multipart or urlencoded fields
  std::string contentType;
};

struct Answer {
  unsigned status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool stall = false;  // send the headers, then nothing until the server stops
};

class LoopbackServer {
 public:
  using Handler = std::function<Answer(const Request&)>;

  explicit LoopbackServer(Handler handler) : handler_(std::move(handler)) {
    daemon_ = zelmic::MhdDaemon::Start(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD, 0,
        &LoopbackServer::OnRequest, this,
        {{MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&LoopbackServer::OnCompleted),
          this}});
  }
  ~LoopbackServer() {
    stopping_.store(true);
    daemon_.Stop();  // before the members its threads read go
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool ok() const { return daemon_.running(); }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(daemon_.port()); }
  std::string Host() const { return "127.0.0.1:" + std::to_string(daemon_.port()); }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }
  // Stalled answers whose body the server has begun to hold back (their headers are queued):
  // a test learns that the client is inside the stalled transfer without guessing a time.
  int StallsBegun() const { return stallsBegun_.load(); }

 private:
  struct Pending {
    Request request;
    MHD_PostProcessor* post = nullptr;
  };

  static MHD_Result OnField(void* cls, MHD_ValueKind, const char* key, const char*, const char*,
                            const char*, const char* data, uint64_t, size_t size) {
    static_cast<Pending*>(cls)->request.form[key].append(data, size);
    return MHD_YES;
  }

  static ssize_t StallReader(void* cls, uint64_t, char*, size_t) {
    auto* self = static_cast<LoopbackServer*>(cls);
    self->stallsBegun_.fetch_add(1);
    // Bounded: a stalled answer ends with the server or after 20 s.
    for (int i = 0; i < 400 && !self->stopping_.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char* uploadData,
                              size_t* uploadSize, void** state) {
    auto* self = static_cast<LoopbackServer*>(cls);
    if (*state == nullptr) {
      auto* pending = new Pending;
      pending->request.method = method;
      pending->request.url = url;
      const char* type =
          MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
      pending->request.contentType = type != nullptr ? type : "";
      pending->post =
          MHD_create_post_processor(connection, 4096, &LoopbackServer::OnField, pending);
      *state = pending;
      return MHD_YES;
    }
    auto* pending = static_cast<Pending*>(*state);
    if (*uploadSize != 0) {
      if (pending->post != nullptr) MHD_post_process(pending->post, uploadData, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->requests_.push_back(pending->request);
    }
    const Answer answer = self->handler_(pending->request);
    MHD_Response* response =
        answer.stall
            ? MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024,
                                                &LoopbackServer::StallReader, self, nullptr)
            : MHD_create_response_from_buffer(
                  answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    for (const auto& [name, value] : answer.headers)
      MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result r = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return r;
  }

  static void OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    auto* pending = static_cast<Pending*>(*state);
    if (pending == nullptr) return;
    if (pending->post != nullptr) MHD_destroy_post_processor(pending->post);
    delete pending;
    *state = nullptr;
  }

  Handler handler_;
  zelmic::MhdDaemon daemon_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> stallsBegun_{0};
  std::mutex mutex_;
  std::vector<Request> requests_;
};

}  // namespace session_test
