#include "service/http/token_server.h"

#include <cstring>
#include <map>

#include "service/http/auth.h"
#include "service/http/http_util.h"
#include "service/store/secrets.h"

namespace zelmic {

struct TokenRequest : RequestState {
  ~TokenRequest() override {
    if (post) MHD_destroy_post_processor(post);
  }
  MHD_PostProcessor* post = nullptr;
  std::map<std::string, std::string> fields;
  bool malformed = false;
};

namespace {

constexpr size_t kMaxField = 4096;
const StateFactory kFactory{[]() -> RequestState* { return new TokenRequest(); }};

MHD_Result CollectField(void* cls, MHD_ValueKind, const char* key, const char*, const char*,
                        const char*, const char* data, uint64_t, size_t size) {
  auto* request = static_cast<TokenRequest*>(cls);
  std::string& value = request->fields[key ? key : ""];
  if (value.size() + size > kMaxField || request->fields.size() > 16) {
    request->malformed = true;
    return MHD_NO;
  }
  value.append(data, size);
  return MHD_YES;
}

MHD_Result OAuthError(MHD_Connection* connection, unsigned status, const char* error) {
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddStringToObject(root.get(), "error", error);
  return AnswerJson(connection, status, root.get());
}

}  // namespace

TokenServer::TokenServer(Store& store, FaultScript& faults, std::string client_id,
                         std::string client_secret)
    : store_(store),
      faults_(faults),
      client_id_(std::move(client_id)),
      client_secret_(std::move(client_secret)) {}

TokenServer::~TokenServer() { Stop(); }

Status TokenServer::Start(uint16_t port) {
  Status started = StartLoopbackDaemon(port, &TokenServer::Handle, this, &kFactory, daemon_);
  if (started.ok()) port_ = daemon_.port();
  return started;
}

void TokenServer::Stop() { daemon_.Stop(); }

MHD_Result TokenServer::Handle(void* cls, MHD_Connection* connection, const char* url,
                               const char* method, const char*, const char* upload_data,
                               size_t* upload_data_size, void** con_cls) {
  auto* self = static_cast<TokenServer*>(cls);
  auto* request = static_cast<TokenRequest*>(*con_cls);
  if (!request->started) {
    request->started = true;
    if (strcmp(url, "/oauth/token") != 0) return OAuthError(connection, 404, "not_found");
    if (strcmp(method, "POST") != 0) return OAuthError(connection, 405, "invalid_request");
    if (auto scripted = self->faults_.take("/oauth/token")) {
      if (auto served = ServeScripted(connection, *scripted)) return *served;
    }
    request->post = MHD_create_post_processor(connection, 4096, &CollectField, request);
    if (!request->post) return OAuthError(connection, 400, "invalid_request");
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    if (!request->malformed &&
        MHD_post_process(request->post, upload_data, *upload_data_size) != MHD_YES)
      request->malformed = true;
    *upload_data_size = 0;
    return MHD_YES;
  }
  return self->Finish(connection, *request);
}

MHD_Result TokenServer::Finish(MHD_Connection* connection, TokenRequest& request) {
  if (request.malformed) return OAuthError(connection, 400, "invalid_request");
  auto field = [&](const char* name) -> const std::string* {
    auto it = request.fields.find(name);
    return it == request.fields.end() ? nullptr : &it->second;
  };
  const std::string* grant = field("grant_type");
  const std::string* refresh = field("refresh_token");
  const std::string* id = field("client_id");
  const std::string* secret = field("client_secret");
  if (!grant || !refresh || !id || !secret) return OAuthError(connection, 400, "invalid_request");
  if (!SameSecret(*id, client_id_) || !SameSecret(*secret, client_secret_))
    return OAuthError(connection, 401, "invalid_client");
  if (*grant != "refresh_token") return OAuthError(connection, 400, "unsupported_grant_type");
  std::string access;
  switch (store_.users().ExchangeRefresh(*refresh, access)) {
    case UserStore::Exchange::Ok:
      break;
    case UserStore::Exchange::Expired:
    case UserStore::Exchange::Unknown:
      return OAuthError(connection, 400, "invalid_grant");
  }
  JsonPtr root = MakeJson(cJSON_CreateObject());
  cJSON_AddStringToObject(root.get(), "access_token", access.c_str());
  cJSON_AddStringToObject(root.get(), "token_type", "bearer");
  cJSON_AddNumberToObject(root.get(), "expires_in",
                          static_cast<double>(store_.policy().access_ttl));
  return AnswerJson(connection, 200, root.get());
}

}  // namespace zelmic
