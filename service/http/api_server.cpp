#include "service/http/api_server.h"

#include <ctime>
#include <set>

#include "service/http/auth.h"
#include "service/http/http_util.h"
#include "service/store/paths.h"
#include "service/store/secrets.h"

namespace zelmic {

namespace {

struct ApiState : RequestState {
  ApiRequest request;
};

const StateFactory kFactory{[]() -> RequestState* { return new ApiState(); }};

// What the token of an edit link may do with its one file: read it and store new versions. The
// rest (publishing, sharing, locking, moving, ...) acts for the user beyond that edit and needs
// the user's own token.
bool LinkTokenMay(const std::string& verb) {
  static const std::set<std::string> kReadAndStore = {"GET", "URL", "COMPARE", "VERSION", "PUT"};
  return kReadAndStore.count(verb) != 0;
}

MHD_Result Reply(MHD_Connection* connection, const Status& e) {
  return AnswerError(connection, e.http_status(), e.code(), e.message());
}

}  // namespace

ApiServer::ApiServer(Store& store, FaultScript& faults, std::string secret)
    : store_(store), faults_(faults), secret_(std::move(secret)) {}

ApiServer::~ApiServer() { Stop(); }

Status ApiServer::Start(uint16_t port) {
  Status started = StartLoopbackDaemon(port, &ApiServer::Handle, this, &kFactory, daemon_);
  if (started.ok()) port_ = daemon_.port();
  return started;
}

void ApiServer::Stop() { daemon_.Stop(); }

Status ApiServer::Admit(MHD_Connection* connection, const std::string& method,
                        const std::string& raw_uri, ApiRequest& request) {
  if (!IsKnownVerb(method)) return Fail(405, 40500, "unknown verb " + method);
  request.verb = method;
  request.connection = connection;

  auto mount_text = HeaderValue(connection, "x-zm-mount");
  long long mount = 0;
  if (!mount_text || !ParseInt(*mount_text, INT32_MIN, INT32_MAX, mount))
    return Fail(400, 40000, "x-zm-mount must be a decimal number");
  request.mount = static_cast<int>(mount);

  auto date = HeaderValue(connection, "Date");
  time_t wall = 0;
  if (!date || !ParseRequestDate(*date, wall))
    return Fail(400, 40012, "Date must look like \"Mon, 07 Dec 26 14:05:09 GMT\"");
  if (!DatePlausible(wall, time(nullptr)))
    return Fail(401, 40103, "the request date is out of range");

  auto authorization = HeaderValue(connection, "Authorization");
  std::string token, signature;
  if (!authorization || !SplitAuthorization(*authorization, token, signature))
    return Fail(401, 40100, "Authorization must be token:signature");
  // The signature covers the request target exactly as sent, query included.
  const std::string expected = ComputeSignature(secret_, method, *date, request.mount, raw_uri);
  if (!SameSecret(signature, expected)) return Fail(401, 40101, "bad signature");
  auto who = store_.users().CheckAccess(token);
  if (!who) return Fail(401, 40102, "unknown or expired access token");
  request.who = *who;

  const size_t mark = raw_uri.find('?');
  const std::string raw_path = raw_uri.substr(0, mark);
  if (mark != std::string::npos) request.query = raw_uri.substr(mark + 1);
  if (Status bad = DecodeRequestPath(raw_path, request.path, request.folder); !bad.ok())
    return Fail(400, 40001, bad.message());
  if (!store_.users().HasGrant(who->user_id, request.mount))
    return Fail(403, 40301, "no access to this mount");
  if (!who->Allows(request.mount, request.path))
    return Fail(403, 40300, "this token is limited to another file");
  if (who->scoped && !LinkTokenMay(method))
    return Fail(403, 40302, "an edit link's token may only read and store its file, not " + method);
  return {};
}

MHD_Result ApiServer::Handle(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char*, const char* upload_data, size_t* upload_data_size,
                             void** con_cls) {
  auto* self = static_cast<ApiServer*>(cls);
  auto* state = static_cast<ApiState*>(*con_cls);
  if (!state->started) {
    state->started = true;
    if (auto scripted = self->faults_.take(std::string("api:") + method)) {
      if (auto served = ServeScripted(connection, *scripted)) {
        state->answered = true;
        return *served;
      }
    }
    if (auto length = HeaderValue(connection, "Content-Length")) {
      long long n = 0;
      if (!ParseInt(*length, 0, INT64_MAX, n)) {
        state->answered = true;
        return Reply(connection, Fail(400, 40013, "bad Content-Length"));
      }
      if (static_cast<unsigned long long>(n) > kMaxBody) {
        state->answered = true;
        return Reply(connection, Fail(413, 41301, "the request body is too large"));
      }
    }
    if (Status e = self->Admit(connection, method, state->raw_uri, state->request); !e.ok()) {
      state->answered = true;
      return Reply(connection, e);
    }
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    if (!state->answered) CollectBody(*state, upload_data, *upload_data_size, kMaxBody);
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (state->answered) return MHD_YES;
  if (state->too_large) return Reply(connection, Fail(413, 41301, "the request body is too large"));
  state->request.body = std::move(state->body);
  ApiReply reply = HandleVerb(self->store_, self->urls_, state->request);
  return Answer(connection, reply.status, reply.body, reply.content_type);
}

}  // namespace zelmic
