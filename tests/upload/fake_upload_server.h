#pragma once
// A scripted upload server for the engine's tests: answers the six upload requests the way the
// service's upload server does (sessions, held byte count, checksum list of a stored version,
// match list, parts checked by range and CRC, rebuild at finish) and the REST "PUT" that
// registers an upload, records every request, and serves queued answers instead when a test asks
// for faults. Binds 127.0.0.1 on an ephemeral port.

#include <microhttpd.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service/http/mhd_daemon.h"

namespace upload_test {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;

  // Value of the first header named `name` (case-insensitive, as HTTP names are); empty if none.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct Scripted {
  unsigned status = 500;  // 0: no fault, the request is served as usual
  std::string body;
  bool serverHeader = true;  // send "X-SERVER: ZELMIC"
  std::string serverValue = "ZELMIC";
  std::string location;  // answered with this Location header (for redirects)
};

class FakeUploadServer {
 public:
  FakeUploadServer();
  ~FakeUploadServer();
  FakeUploadServer(const FakeUploadServer&) = delete;
  FakeUploadServer& operator=(const FakeUploadServer&) = delete;

  bool Start();
  uint16_t port() const { return port_; }
  std::wstring BaseUrl() const;  // "http://127.0.0.1:N"
  std::string Host() const;      // "127.0.0.1:N"

  // The stored version a delta is built on, and the block size offered for it (0: no delta).
  void SetStored(const std::string& content, uint32_t blockSize);
  // The checksum list as "/download_checksum" sends it: Adler-32s, then MD5s, of the full blocks.
  static std::string ChecksumList(const std::string& content, uint32_t blockSize);
  // Offers a delta against a stored version known only by its checksum list (no rebuild possible).
  void SetChecksumList(std::string list, uint32_t blockSize);
  // Sink mode, for measurements: parts and match lists are counted, neither checked nor kept.
  void SetSink(bool sink) { sink_.store(sink); }
  uint64_t SinkBytes() const {
    std::lock_guard<std::mutex> l(mu_);
    return sinkBytes_;
  }

  // REST "PUT" answer: state non-zero means the service already holds the content.
  void SetAddFileState(int state) {
    std::lock_guard<std::mutex> l(mu_);
    addFileState_ = state;
  }
  // Content the server already holds from an earlier, interrupted upload (answer of "/upload_req").
  void SetHeld(const std::string& prefix) {
    std::lock_guard<std::mutex> l(mu_);
    literal_ = prefix;
  }
  // Each "/upload_part" waits this long before it is answered.
  void SetPartDelayMs(unsigned ms) {
    std::lock_guard<std::mutex> l(mu_);
    partDelayMs_ = ms;
  }
  // The next request to `path` waits this long before it is handled.
  void StallNext(const std::string& path, unsigned ms) {
    std::lock_guard<std::mutex> l(mu_);
    stalls_[path] = ms;
  }
  // Requests that have arrived and begun such a wait (the client is then waiting for the answer).
  int StallsBegun() const {
    std::lock_guard<std::mutex> l(mu_);
    return stallsBegun_;
  }

  // Queues an answer for the next request to `path` ("/upload_part", "PUT" for the REST call).
  void Push(const std::string& path, Scripted answer);

  std::vector<RecordedRequest> Requests() const;
  int Count(const std::string& path) const;
  // The content rebuilt at the last successful "/upload_finish".
  std::string Committed() const;
  bool HasCommitted() const;
  std::string Literal() const;  // the part bytes received in the current upload session

 private:
  struct Connection;
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* uploadData,
                           size_t* uploadDataSize, void** conCls);
  static void Completed(void* cls, MHD_Connection* connection, void** conCls,
                        MHD_RequestTerminationCode code);
  MHD_Result Answer(MHD_Connection* connection, const RecordedRequest& request);
  MHD_Result Send(MHD_Connection* connection, unsigned status, const std::string& body,
                  bool serverHeader = true, const std::string& serverValue = "ZELMIC",
                  const std::string& location = {});

  zelmic::MhdDaemon daemon_;
  uint16_t port_ = 0;

  mutable std::mutex mu_;
  std::vector<RecordedRequest> requests_;
  std::map<std::string, std::deque<Scripted>> script_;
  std::map<std::string, unsigned> stalls_;
  int stallsBegun_ = 0;
  std::string stored_;
  std::string checksumList_;
  uint32_t blockSize_ = 0;
  std::atomic<bool> sink_{false};
  uint64_t sinkBytes_ = 0;
  int addFileState_ = 0;
  unsigned partDelayMs_ = 0;
  int sessions_ = 0;
  std::string literal_;  // the bytes of the content held so far (whole file or literal file)
  std::string matches_;
  bool haveMatches_ = false;
  std::string committed_;
  bool hasCommitted_ = false;
};

}  // namespace upload_test
