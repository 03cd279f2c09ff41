#pragma once
// Small helpers shared by the listeners of zelmicd: per-request state, answers, header access.

#include <cjson/cJSON.h>
#include <microhttpd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/owned_json.h"
#include "service/http/listener.h"

namespace zelmic {

// Owns a cJSON tree.
using plumet_common::JsonPtr;
JsonPtr MakeJson(cJSON* item);
std::string PrintJson(const cJSON* item);

// State of one request between the calls of a listener's access handler. Created by the URI log
// callback, which sees the request target exactly as the client sent it (before MHD splits off the
// query), and freed by the completion callback.
struct RequestState {
  virtual ~RequestState() = default;
  std::string raw_uri;
  bool started = false;    // the handler has seen the headers
  bool answered = false;   // an answer was queued before the body was read
  bool too_large = false;  // the body went over the listener's limit
  std::string body;
};

// Callbacks to install with MHD_OPTION_URI_LOG_CALLBACK / MHD_OPTION_NOTIFY_COMPLETED.
void* LogUri(void* cls, const char* uri, MHD_Connection* connection);
void CompleteRequest(void* cls, MHD_Connection* connection, void** con_cls,
                     MHD_RequestTerminationCode code);
// Keeps the URL as sent: the REST signature covers the percent-encoded form.
size_t KeepEscaped(void* cls, MHD_Connection* connection, char* s);

// Appends one chunk of the request body to state.body, marking too_large above limit.
void CollectBody(RequestState& state, const char* data, size_t size, size_t limit);

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* content_type);
MHD_Result AnswerJson(MHD_Connection* connection, unsigned status, const cJSON* json);
// The REST error form: {"error_code": code, "error_msg": message}.
MHD_Result AnswerError(MHD_Connection* connection, unsigned status, int code,
                       const std::string& message);

std::optional<std::string> HeaderValue(MHD_Connection* connection, const char* name);
bool PeerIsLoopback(MHD_Connection* connection);

// StartListener with the per-request state of RequestState: the factory is used by the URI log
// callback. daemon receives the holder, a stopped one on failure.
struct StateFactory {
  RequestState* (*make)();
};
Status StartLoopbackDaemon(uint16_t port, MHD_AccessHandlerCallback handler, void* cls,
                           const StateFactory* factory, MhdDaemon& daemon);

}  // namespace zelmic
