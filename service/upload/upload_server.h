#pragma once
// The upload server of zelmicd: an HTTP listener on 127.0.0.1 that speaks the upload protocol
// (UploadService) for the uploads the REST interface registered.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "service/http/faults.h"
#include "service/http/mhd_daemon.h"
#include "service/store/upload_backend.h"
#include "service/upload/checksum_keeper.h"

namespace zelmic {

class UploadService;

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
  uint64_t buffered_bytes() const { return buffered_.load(); }

 private:
  struct Glue;
  // Takes bytes from the budget of bodies held in memory; false when it would go over.
  bool Reserve(uint64_t bytes);

  std::atomic<uint64_t> buffered_{0};
  std::unique_ptr<UploadService> service_;
  FaultScript& faults_;
  MhdDaemon daemon_;
  uint16_t port_ = 0;
};

}  // namespace zelmic
