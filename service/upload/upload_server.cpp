#include "service/upload/upload_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <zlib.h>

#include <cctype>
#include <cstring>

#include "service/http/listener.h"
#include "service/upload/upload_service.h"

namespace zelmic {

// One request while it arrives.
struct PendingRequest {
  UploadRequest request;
  std::shared_ptr<UploadSession> session;  // claimed for this body while claimed is set
  bool claimed = false;
  uint64_t body_limit = 0;
  uint64_t reserved = 0;     // bytes of the budget this request holds
  bool answered = false;     // refused from its head; the body is not read
  bool over_budget = false;  // refused while its body arrived; the rest is read and dropped
  uLong crc = 0;
};

namespace {

// A connection idle this long is closed; clients keep one handle open for a whole upload and
// reconnect when it was closed meanwhile.
constexpr unsigned kConnectionTimeoutSeconds = 60;
// Threads of the listener. More than the other listeners have: a finish hashes or rebuilds the
// whole file on the thread that answers it.
constexpr unsigned kThreads = 8;
// Bodies held in memory by all requests together (parts up to 16 MiB, match lists up to 64 MiB),
// and by the requests of one user: what one user sends can fill at most a quarter of it.
constexpr uint64_t kMaxBufferedBodies = 256ull << 20;
constexpr uint64_t kMaxBufferedPerUser = kMaxBufferedBodies / 4;
// Bytes are taken from the budget as they arrive, this much at a time.
constexpr uint64_t kBudgetStep = 1u << 20;

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* headers = static_cast<std::map<std::string, std::string>*>(cls);
  std::string name(key);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  (*headers)[name] = value == nullptr ? std::string() : std::string(value);
  return MHD_YES;
}

MHD_Result Queue(MHD_Connection* connection, const UploadAnswer& answer) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "X-SERVER", "ZELMIC");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
  MHD_Result result = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return result;
}

}  // namespace

struct UploadServer::Glue {
  static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char* upload_data,
                           size_t* upload_data_size, void** con_cls) {
    auto* server = static_cast<UploadServer*>(cls);
    auto* pending = static_cast<PendingRequest*>(*con_cls);
    if (pending == nullptr) {
      pending = new PendingRequest;
      *con_cls = pending;
      if (auto refusal = server->Admit(connection, url, method, *pending)) {
        pending->answered = true;
        return Queue(connection, *refusal);
      }
      return MHD_YES;
    }
    if (pending->answered) {
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (*upload_data_size > 0) {
      server->Receive(*pending, upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (auto scripted = server->faults_.take(pending->request.path)) {
      server->Settle(*pending);
      if (auto result = ServeScripted(connection, *scripted)) return *result;
    }
    UploadAnswer answer;
    if (pending->over_budget) {
      answer = ErrorAnswer(503, kErrInternal, "too many uploads at once; try again");
    } else {
      pending->request.body_crc = static_cast<uint32_t>(pending->crc);
      answer = server->service_->Handle(pending->request);
    }
    // The claim and the bytes go back before the answer does: the client's next part may come
    // on another connection the moment it has the answer.
    server->Settle(*pending);
    return Queue(connection, answer);
  }

  static void Completed(void* cls, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    auto* pending = static_cast<PendingRequest*>(*con_cls);
    if (pending != nullptr) static_cast<UploadServer*>(cls)->Settle(*pending);
    delete pending;
    *con_cls = nullptr;
  }
};

std::optional<UploadAnswer> UploadServer::Admit(MHD_Connection* connection, const char* url,
                                                const char* method, PendingRequest& pending) {
  UploadRequest& request = pending.request;
  request.method = method;
  request.path = url;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);
  pending.crc = crc32_z(0, Z_NULL, 0);
  // Refused from the head alone, the body is never read: a connection cannot make the server
  // hold a part for a session that does not exist or an offset it does not want. (A scripted
  // answer waiting for this endpoint is served after the body, as before.)
  if (!faults_.pending(request.path)) {
    if (auto refusal = service_->Refusal(request)) return refusal;
  }
  pending.body_limit = service_->BodyLimit(request);
  if (pending.body_limit == 0) return std::nullopt;
  pending.session = service_->SessionOf(request);
  if (!pending.session || !service_->ClaimBody(*pending.session)) {
    return ErrorAnswer(503, kErrInternal, "another part of this upload is still arriving");
  }
  pending.claimed = true;
  return std::nullopt;
}

void UploadServer::Receive(PendingRequest& pending, const char* data, size_t n) {
  UploadRequest& request = pending.request;
  if (pending.over_budget) return;
  if (request.body_too_long || request.body.size() + n > pending.body_limit) {
    // Read on to the end so the answer can go out on a connection that stays usable.
    request.body_too_long = true;
    return;
  }
  const uint64_t need = request.body.size() + n;
  if (need > pending.reserved) {
    const uint64_t want =
        std::min(pending.body_limit, (need + kBudgetStep - 1) / kBudgetStep * kBudgetStep);
    if (!budget_.Take(pending.session->ticket.user_id, want - pending.reserved)) {
      pending.over_budget = true;
      std::string().swap(request.body);
      budget_.Give(pending.session->ticket.user_id, pending.reserved);
      pending.reserved = 0;
      return;
    }
    pending.reserved = want;
  }
  request.body.append(data, n);
  pending.crc = crc32_z(pending.crc, reinterpret_cast<const Bytef*>(data), n);
}

void UploadServer::Settle(PendingRequest& pending) {
  if (pending.reserved > 0) budget_.Give(pending.session->ticket.user_id, pending.reserved);
  pending.reserved = 0;
  if (pending.claimed) service_->ReleaseBody(*pending.session);
  pending.claimed = false;
}

UploadServer::UploadServer(UploadBackend& backend, FaultScript& faults, ChecksumKeeper& keeper)
    : budget_(kMaxBufferedBodies, kMaxBufferedPerUser),
      service_(std::make_unique<UploadService>(backend, keeper)),
      faults_(faults) {}

UploadServer::~UploadServer() { Stop(); }

Status UploadServer::Start(uint16_t port) {
  if (daemon_.running()) return Status::Error("the upload server is already running");
  service_->RemoveStaleStagedFiles();
  Status started = StartListener(
      port, &Glue::Access, this,
      {{MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Glue::Completed), this}},
      kConnectionTimeoutSeconds, kThreads, daemon_);
  if (started.ok()) port_ = daemon_.port();
  return started;
}

uint16_t UploadServer::port() const { return port_; }

void UploadServer::Stop() {
  daemon_.Stop();
  service_->Clear();
}

void UploadServer::set_session_idle_limit(std::chrono::milliseconds limit) {
  service_->set_session_idle_limit(limit);
}

size_t UploadServer::session_count() { return service_->session_count(); }

}  // namespace zelmic
