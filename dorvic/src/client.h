#pragma once
// The process-wide client of the library and the global object that owns it.

#include <curl/curl.h>
#include <dorvic/dorvic.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "dorvic/src/request.h"
#include "dorvic/src/transport.h"

namespace dorvic {

class CdorvicClient {
 public:
  // Owns the handle from curl_easy_init.
  CdorvicClient();
  // Owns `handle`; a null handle makes every request fail as a transport failure.
  explicit CdorvicClient(CURL* handle);
  // Waits for a request that is still running, then releases the handle.
  ~CdorvicClient();

  CdorvicClient(const CdorvicClient&) = delete;
  CdorvicClient& operator=(const CdorvicClient&) = delete;

  // Configuration: callers set these before operations can run, so they take no request lock.
  void SetHost(std::wstring text) { host = std::move(text); }
  std::wstring GetHost() const { return host; }
  void SetSecret(const std::wstring& text);
  void SetNetworkInfo(dorvic_info_stx* info) { networkInfo = info; }
  void SetTransferLimits(const TransferLimits& value) { limits = value; }

  // The last failure; 0 and empty until an operation fails.
  int32_t GetLastErrorCode() const;
  int32_t GetLastError(std::wstring* message) const;

  // One signed request, serialised with every other request of this client. True exactly when the
  // final answer's status was 200 (a proxy's CONNECT answer or a 1xx before it does not count),
  // after `reader` has read its body; otherwise the last error holds the reason. A request whose
  // header lines would carry a line break is not sent and fails like a transfer that failed.
  bool Perform(const Request& request, const AnswerReader& reader);

 private:
  void RecordTransportFailure();
  void RecordServiceFailure(int32_t code, std::wstring message);

  // The library's design names these members as they stand (requestLock, lastErrorCode...).
  // NOLINTBEGIN(readability-identifier-naming)
  CURL* curl;
  std::wstring host;
  std::string secret;  // UTF-8 bytes: the HMAC key as given
  // The last error is written under requestLock but read without it; errorLock only keeps the
  // code and message readable while a request writes them.
  mutable std::mutex errorLock;
  int32_t lastErrorCode = 0;
  std::wstring lastErrorMessage;
  std::mutex requestLock;
  dorvic_info_stx* networkInfo = nullptr;  // the caller's record, not owned
  TransferLimits limits;
  // NOLINTEND(readability-identifier-naming)
};

// Process-wide libcurl set-up for as long as the library is loaded.
class CurlRuntime {
 public:
  CurlRuntime();
  ~CurlRuntime();
  CurlRuntime(const CurlRuntime&) = delete;
  CurlRuntime& operator=(const CurlRuntime&) = delete;

 private:
  bool initialised_;
};

// The library's global object: constructed at load, libcurl first, then the client.
class CdorvicApp : public CurlRuntime {
 public:
  CdorvicClient m_client;
};

// The client of the global object.
CdorvicClient& Client();

}  // namespace dorvic
