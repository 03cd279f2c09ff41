#include "dorvic/src/transport.h"

#include "common/transport_settings.h"
#include "dorvic/src/answers.h"
#include "dorvic/src/text.h"

namespace dorvic {

bool HeaderList::Append(const std::string& line) {
  // A line break inside a value (a token, an order text, a hash) would smuggle further header
  // lines into the request.
  if (line.find_first_of("\r\n") != std::string::npos) return false;
  curl_slist* grown = curl_slist_append(list_, line.c_str());
  if (grown == nullptr) return false;
  list_ = grown;
  return true;
}

bool CommonHeaders(int32_t mount, const std::string& date, const std::string& authorization,
                   HeaderList* list) {
  return list->Append("Expect:") && list->Append("x-zm-mount: " + std::to_string(mount)) &&
         list->Append("Date: " + date) && list->Append("Authorization: " + authorization);
}

void ConfigureTransfer(CURL* curl, const std::string& url, const std::string& verb,
                       const std::string& body, Answer* answer, const dorvic_info_stx* network,
                       const TransferLimits& limits) {
  curl_write_callback append = AppendData;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb.c_str());
  curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer->headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer->body);
  // Every request goes out as post data, an empty body included (Content-Length: 0); a non-null
  // pointer keeps libcurl from falling back to its read callback.
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.transfer_seconds);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  // Connecting and standing still are bounded as on every other path, besides the overall limit.
  plumet_transport::ApplyProgressLimits(curl, {limits.connect_seconds, limits.stall_seconds});
  // The proxy is the caller's alone; the certificate bundle is the user's, as on every path.
  // Certificates stay verified and redirects are not followed: the Authorization value carries
  // the caller's token, and libcurl would send it on to whatever host a redirect names.
  plumet_transport::TransportSettings settings;
  settings.caFile = plumet_transport::FromEnvironment().caFile;
  plumet_transport::ApplyTransportSettings(curl, url, settings);
  if (network != nullptr && network->useProxy) {
    // CURLOPT_NOPROXY stays "": the environment's no_proxy must not bypass the caller's proxy.
    curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(network->proxyType));
    curl_easy_setopt(curl, CURLOPT_PROXY, ToUtf8(network->proxyHost).c_str());
    curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(network->proxyPort));
    if (!network->proxyUser.empty()) {
      curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, ToUtf8(network->proxyUser).c_str());
      curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, ToUtf8(network->proxyPassword).c_str());
    }
  }
}

}  // namespace dorvic
