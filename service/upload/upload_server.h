#pragma once
// The upload server of zelmicd: an HTTP listener on 127.0.0.1 that speaks the upload protocol
// (UploadService) for the uploads the REST interface registered.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "service/http/faults.h"
#include "service/http/mhd_daemon.h"
#include "service/store/upload_backend.h"
#include "service/upload/body_budget.h"
#include "service/upload/checksum_keeper.h"
#include "service/upload/upload_answer.h"

struct MHD_Connection;

namespace zelmic {

class UploadService;
struct PendingRequest;

class UploadServer {
 public:
  // The keeper must outlive the server.
  UploadServer(UploadBackend& backend, FaultScript& faults, ChecksumKeeper& keeper);
  ~UploadServer();
  UploadServer(const UploadServer&) = delete;
  UploadServer& operator=(const UploadServer&) = delete;

  Status Start(uint16_t port);  // binds 127.0.0.1 only; port 0 = ephemeral
  uint16_t port() const;        // the bound port after Start
  void Stop();

  // Upload sessions idle for longer are forgotten (default one hour).
  void set_session_idle_limit(std::chrono::milliseconds limit);
  size_t session_count();
  // Bytes of request bodies the shared budget holds now: a test learns that the server has taken
  // every request it will take without guessing a time.
  uint64_t buffered_bytes() const { return budget_.held(); }

 private:
  struct Glue;
  // The answer to a request refused from its head; none when its body (if any) is wanted, the
  // session then claimed for it.
  std::optional<UploadAnswer> Admit(MHD_Connection* connection, const char* url, const char* method,
                                    PendingRequest& pending);
  // Keeps the bytes that arrived, taking them from the budget first.
  void Receive(PendingRequest& pending, const char* data, size_t n);
  // Gives back the request's claim on its session and its bytes of the budget.
  void Settle(PendingRequest& pending);

  BodyBudget budget_;
  std::unique_ptr<UploadService> service_;
  FaultScript& faults_;
  MhdDaemon daemon_;
  uint16_t port_ = 0;
};

}  // namespace zelmic
