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

namespace {

// A connection idle this long is closed; clients keep one handle open for a whole upload and
// reconnect when it was closed meanwhile.
constexpr unsigned kConnectionTimeoutSeconds = 60;
// Threads of the listener. More than the other listeners have: a finish hashes or rebuilds the
// whole file on the thread that answers it.
constexpr unsigned kThreads = 8;
// Bodies held in memory by all requests together (parts up to 16 MiB, match lists up to 64 MiB);
// a request that would go over is refused with 503 before its body is read.
constexpr uint64_t kMaxBufferedBodies = 256ull << 20;

// One request while it arrives.
struct PendingRequest {
  UploadRequest request;
  uint64_t body_limit = 0;
  uint64_t reserved = 0;  // bytes of the shared body budget this request holds
  bool answered = false;  // refused from its head; the body is not read
  uLong crc = 0;
};

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
      UploadRequest& request = pending->request;
      request.method = method;
      request.path = url;
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);
      pending->crc = crc32_z(0, Z_NULL, 0);
      // Refused from the head alone, the body is never read: a connection cannot make the
      // server hold a part for a session that does not exist or an offset it does not want. (A
      // scripted answer waiting for this endpoint is served after the body, as before.)
      if (!server->faults_.pending(request.path)) {
        if (auto refusal = server->service_->Refusal(request)) {
          pending->answered = true;
          return Queue(connection, *refusal);
        }
      }
      pending->body_limit = server->service_->BodyLimit(request);
      if (pending->body_limit > 0) {
        if (!server->Reserve(pending->body_limit)) {
          pending->answered = true;
          return Queue(connection,
                       ErrorAnswer(503, kErrInternal, "too many uploads at once; try again"));
        }
        pending->reserved = pending->body_limit;
      }
      return MHD_YES;
    }
    if (pending->answered) {
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (*upload_data_size > 0) {
      UploadRequest& request = pending->request;
      const size_t n = *upload_data_size;
      if (!request.body_too_long && request.body.size() + n <= pending->body_limit) {
        request.body.append(upload_data, n);
        pending->crc = crc32_z(pending->crc, reinterpret_cast<const Bytef*>(upload_data), n);
      } else {
        // Read on to the end so the answer can go out on a connection that stays usable.
        request.body_too_long = true;
      }
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (auto scripted = server->faults_.take(pending->request.path)) {
      if (auto result = ServeScripted(connection, *scripted)) return *result;
    }
    pending->request.body_crc = static_cast<uint32_t>(pending->crc);
    return Queue(connection, server->service_->Handle(pending->request));
  }

  static void Completed(void* cls, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    auto* pending = static_cast<PendingRequest*>(*con_cls);
    if (pending != nullptr && pending->reserved > 0) {
      static_cast<UploadServer*>(cls)->buffered_ -= pending->reserved;
    }
    delete pending;
    *con_cls = nullptr;
  }
};

UploadServer::UploadServer(UploadBackend& backend, FaultScript& faults, ChecksumKeeper& keeper)
    : service_(std::make_unique<UploadService>(backend, keeper)), faults_(faults) {}

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

bool UploadServer::Reserve(uint64_t bytes) {
  uint64_t held = buffered_.load();
  do {
    if (held + bytes > kMaxBufferedBodies) return false;
  } while (!buffered_.compare_exchange_weak(held, held + bytes));
  return true;
}

}  // namespace zelmic
