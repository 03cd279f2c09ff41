#include "dorvic/src/client.h"

#include <utility>

#include "common/http_status_line.h"
#include "common/result_codes.h"
#include "dorvic/src/answers.h"
#include "dorvic/src/credential_check.h"
#include "dorvic/src/signing.h"
#include "dorvic/src/text.h"

namespace dorvic {

CurlRuntime::CurlRuntime() : initialised_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}

CurlRuntime::~CurlRuntime() {
  if (initialised_) curl_global_cleanup();
}

CdorvicClient::CdorvicClient() : CdorvicClient(curl_easy_init()) {}

CdorvicClient::CdorvicClient(CURL* handle) : curl(handle) {}

CdorvicClient::~CdorvicClient() {
  std::lock_guard<std::mutex> hold(requestLock);
  if (curl != nullptr) curl_easy_cleanup(curl);
  curl = nullptr;
}

void CdorvicClient::SetSecret(const std::wstring& text) { secret = ToUtf8(text); }

int32_t CdorvicClient::GetLastErrorCode() const {
  std::lock_guard<std::mutex> hold(errorLock);
  return lastErrorCode;
}

int32_t CdorvicClient::GetLastError(std::wstring* message) const {
  std::lock_guard<std::mutex> hold(errorLock);
  *message = lastErrorMessage;
  return lastErrorCode;
}

void CdorvicClient::RecordTransportFailure() {
  std::lock_guard<std::mutex> hold(errorLock);
  lastErrorCode = plumet_codes::kTransportFailure;  // the message of an earlier failure stays
}

void CdorvicClient::RecordServiceFailure(int32_t code, std::wstring message) {
  std::lock_guard<std::mutex> hold(errorLock);
  lastErrorCode = code;
  lastErrorMessage = std::move(message);
}

bool CdorvicClient::Perform(const Request& request, const AnswerReader& reader) {
  std::lock_guard<std::mutex> hold(requestLock);
  const std::string request_path = EncodePath(request.path) + request.query;
  const std::string date = MakeRequestDate();
  const std::string authorization =
      SignRequest(secret, request.token, request.verb, date, request.mount, request_path);
  const std::string url = ToUtf8(host) + request_path;
  if (curl == nullptr) {
    RecordTransportFailure();
    return false;
  }
  const std::string refusal = CredentialRefusal(url, networkInfo);
  if (!refusal.empty()) {
    RecordServiceFailure(plumet_codes::kTransportFailure, FromUtf8(refusal));
    return false;
  }

  Answer answer;
  curl_easy_reset(curl);
  ConfigureTransfer(curl, url, request.verb, request.body, &answer, networkInfo, limits);
  HeaderList headers;
  bool headers_ok = CommonHeaders(request.mount, date, authorization, &headers);
  for (const std::string& line : request.headers) headers_ok = headers_ok && headers.Append(line);
  if (!headers_ok) {
    RecordTransportFailure();
    return false;
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  const CURLcode result = curl_easy_perform(curl);
  // The list must not outlive its use by the handle, nor be left referenced by it.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));

  if (result != CURLE_OK) {
    RecordTransportFailure();
    return false;
  }
  const int status = plumet_text::FinalAnswerStatus(answer.headers).value_or(-1);
  if (status == 200) {
    reader(answer.body);
    return true;
  }
  ServiceError error = ParseServiceError(answer.body);
  RecordServiceFailure(error.code != 0 ? error.code : status, std::move(error.message));
  return false;
}

namespace {
CdorvicApp theApp;
}  // namespace

CdorvicClient& Client() { return theApp.m_client; }

}  // namespace dorvic
