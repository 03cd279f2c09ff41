#pragma once
// Building one transfer on the client's libcurl handle.

#include <curl/curl.h>
#include <dorvic/dorvic.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/transport_settings.h"

namespace dorvic {

// Time limits of one request in seconds: the connection phase, the whole transfer, and how long
// the connection may stand still (below plumet_transport::kStallBytesPerSecond) before it ends.
struct TransferLimits {
  long connect_seconds = plumet_transport::kConnectSeconds;
  long transfer_seconds = 30;
  long stall_seconds = plumet_transport::kStallSeconds;
};

// Where the answer of one transfer is collected.
struct Answer {
  std::string headers;  // every header line received, status lines included, in arrival order
  std::string body;
};

// A curl header list that frees itself.
class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list_); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;

  // False when the line holds a CR or LF, or could not be stored.
  bool Append(const std::string& line);
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// The first lines of every request: empty Expect (no 100-continue), mount, Date, Authorization.
bool CommonHeaders(int32_t mount, const std::string& date, const std::string& authorization,
                   HeaderList* list);

// Sets the options of one transfer on a freshly reset handle. `body` and `answer` must outlive the
// transfer. Proxy settings of the environment are never used (no_proxy included); `network` (may
// be null) names the only proxy a request goes through, and only when its useProxy is true.
// Redirects are not followed; SSL_CERT_FILE names certificates trusted besides the system store.
void ConfigureTransfer(CURL* curl, const std::string& url, const std::string& verb,
                       const std::string& body, Answer* answer, const dorvic_info_stx* network,
                       const TransferLimits& limits);

}  // namespace dorvic
