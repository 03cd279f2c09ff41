#include "service/http/http_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace zelmic {

JsonPtr MakeJson(cJSON* item) { return JsonPtr(item); }

std::string PrintJson(const cJSON* item) {
  // An answer body is always a JSON document, even when cJSON cannot print one.
  std::string out = plumet_common::PrintJson(item);
  return out.empty() ? "{}" : out;
}

void* LogUri(void* cls, const char* uri, MHD_Connection*) {
  const auto* factory = static_cast<const StateFactory*>(cls);
  RequestState* state = factory ? factory->make() : new RequestState();
  state->raw_uri = uri ? uri : "";
  return state;
}

void CompleteRequest(void*, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
  delete static_cast<RequestState*>(*con_cls);
  *con_cls = nullptr;
}

size_t KeepEscaped(void*, MHD_Connection*, char* s) { return strlen(s); }

void CollectBody(RequestState& state, const char* data, size_t size, size_t limit) {
  if (state.too_large) return;
  if (state.body.size() + size > limit) {
    state.too_large = true;
    state.body.clear();
    return;
  }
  state.body.append(data, size);
}

MHD_Result Answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* content_type) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  if (content_type) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  MHD_Result r = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return r;
}

MHD_Result AnswerJson(MHD_Connection* connection, unsigned status, const cJSON* json) {
  return Answer(connection, status, PrintJson(json), "application/json");
}

MHD_Result AnswerError(MHD_Connection* connection, unsigned status, int code,
                       const std::string& message) {
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddNumberToObject(root.get(), "error_code", code);
  cJSON_AddStringToObject(root.get(), "error_msg", message.c_str());
  return AnswerJson(connection, status, root.get());
}

std::optional<std::string> HeaderValue(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  if (!value) return std::nullopt;
  return std::string(value);
}

bool PeerIsLoopback(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return false;
  const sockaddr* addr = info->client_addr;
  if (addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (addr->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
  }
  return false;
}

Status StartLoopbackDaemon(uint16_t port, MHD_AccessHandlerCallback handler, void* cls,
                           const StateFactory* factory, MhdDaemon& daemon) {
  // Header lines beyond the memory limit are refused by MHD itself with a 4xx.
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&LogUri),
       const_cast<StateFactory*>(factory)},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&CompleteRequest), nullptr},
      {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&KeepEscaped), nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t{64} * 1024, nullptr},
  };
  return StartListener(port, handler, cls, std::move(options), 0, 0, daemon);
}

}  // namespace zelmic
