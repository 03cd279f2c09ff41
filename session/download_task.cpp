#include "session/download_task.h"

#include <openssl/evp.h>

#include <cctype>
#include <chrono>
#include <system_error>

#include "common/http_status_line.h"
#include "common/text_forms.h"
#include "common/transport_settings.h"
#include "upload/upload_http.h"

namespace plumet {

namespace {

// How often the finishing thread looks again at the stop flag while the session lock is taken.
constexpr auto kLockRetryInterval = std::chrono::milliseconds(2);

bool StartsWithNoCase(const char* data, size_t size, const char* prefix) {
  for (size_t i = 0; prefix[i] != '\0'; ++i) {
    if (i >= size) return false;
    if (std::tolower(static_cast<unsigned char>(data[i])) != prefix[i]) return false;
  }
  return true;
}

bool IsSha1Hex(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The download's transport settings in one place: the user's proxy and certificate bundle;
// redirects are followed (the request carries no credential); certificates are verified; a
// transfer that stands still for the stall limit fails (no overall limit: files may be large).
void PrepareDownloadRequest(CURL* curl, const std::string& url, void* task,
                            const plumet_transport::ProgressLimits& limits,
                            curl_write_callback onHeader, curl_write_callback onData,
                            curl_xferinfo_callback onProgress) {
  curl_easy_reset(curl);
  plumet_transport::ApplyTransportSettings(curl, url, plumet_transport::FromEnvironment(),
                                           plumet_transport::Redirects::kFollowed);
  plumet_transport::ApplyProgressLimits(curl, limits);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, task);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, task);
  // The progress callback runs at least once a second even on a stalled transfer: that is where
  // a cancelled download notices it must stop.
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, task);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUploadUserAgent);
}

}  // namespace

DownloadTask::DownloadTask(std::recursive_mutex& sessionLock)
    : sessionLock_(sessionLock), curl_(curl_easy_init()) {}

DownloadTask::~DownloadTask() {
  cancelled_.store(true);
  if (thread_.joinable()) {
    doneEvent_.Wait();
    thread_.join();
  }
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
  file_.Close();
}

bool DownloadTask::Open(const DownloadRequest& request, DownloadFinished finished) {
  request_ = request;
  finished_ = std::move(finished);
  progressTotal.store(request_.expectedSize);
  if (curl_ == nullptr) return false;
  if (!file_.Open(request_.localPath, platform::File::Mode::kCreate)) return false;
  // The copy may have existed with other bits: a file from the service is never executable.
  if (!file_.RestrictToOwner()) {
    file_.Close();
    return false;
  }
  sha1_ = plumet_common::NewDigest(EVP_sha1());
  return sha1_ != nullptr;
}

bool DownloadTask::Start() {
  if (thread_.joinable() || !file_.IsOpen()) return false;
  try {
    thread_ = std::thread(&DownloadTask::Run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

size_t DownloadTask::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* task = static_cast<DownloadTask*>(self);
  const size_t bytes = size * count;
  // Every response of a redirect chain begins with its status line; the last one is the answer.
  if (StartsWithNoCase(data, bytes, "http/")) {
    task->statusLine_.assign(data, bytes);
    task->status_ = plumet_text::FinalAnswerStatus(task->statusLine_).value_or(-1);
  }
  return bytes;
}

size_t DownloadTask::OnData(char* data, size_t size, size_t count, void* self) {
  auto* task = static_cast<DownloadTask*>(self);
  const size_t bytes = size * count;
  // An error page is never written into the user's copy, nor more than was announced.
  if (task->cancelled_.load() || task->status_ < 200 || task->status_ > 299) return 0;
  if (task->request_.expectedSize != 0 && task->received_ + bytes > task->request_.expectedSize)
    return 0;
  if (!task->file_.Write(data, bytes)) return 0;
  EVP_DigestUpdate(task->sha1_.get(), data, bytes);
  task->received_ += bytes;
  task->progressDone.store(task->received_);
  return bytes;
}

int DownloadTask::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<DownloadTask*>(self)->cancelled_.load() ? 1 : 0;
}

DownloadOutcome DownloadTask::Check(CURLcode result) {
  if (status_ != 0 && (status_ < 200 || status_ > 299)) {
    cause_ = "download answered status " + std::to_string(status_);
    return DownloadOutcome::kFailed;
  }
  if (result != CURLE_OK) {
    cause_ = std::string("download failed: ") + curl_easy_strerror(result);
    return DownloadOutcome::kFailed;
  }
  if (status_ == 0) {
    cause_ = "download gave no status";
    return DownloadOutcome::kFailed;
  }
  if (request_.expectedSize != 0 && received_ != request_.expectedSize) {
    cause_ = "download length " + std::to_string(received_) + " instead of " +
             std::to_string(request_.expectedSize);
    return DownloadOutcome::kFailed;
  }
  if (IsSha1Hex(request_.expectedSha1)) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(sha1_.get(), digest, &length);
    if (plumet_text::HexLower(digest, length) != Lower(request_.expectedSha1)) {
      cause_ = "download content does not match its SHA-1";
      return DownloadOutcome::kFailed;
    }
  }
  if (!file_.Flush()) {
    cause_ = "local copy could not be written";
    return DownloadOutcome::kFailed;
  }
  return DownloadOutcome::kComplete;
}

void DownloadTask::Run() {
  PrepareDownloadRequest(curl_, request_.url, this, limits, &DownloadTask::OnHeader,
                         &DownloadTask::OnData, &DownloadTask::OnProgress);
  const CURLcode result = curl_easy_perform(curl_);
  if (cancelled_.load()) {
    threadDone.store(true);
    doneEvent_.Set();
    return;
  }
  const DownloadOutcome outcome = Check(result);
  file_.Close();
  // What the report needs is taken before the signal: after it, an owner may destroy the task.
  DownloadFinished finished = finished_;
  const std::string cause = cause_;
  std::atomic<bool>& cancelled = cancelled_;
  std::recursive_mutex& lock = sessionLock_;
  // The event goes before the lock: an owner destroying the task under the session lock must
  // not wait for a thread that waits for that lock.
  threadDone.store(true);
  doneEvent_.Set();
  std::unique_lock<std::recursive_mutex> guard(lock, std::defer_lock);
  while (!guard.try_lock()) {
    if (cancelled.load()) return;
    std::this_thread::sleep_for(kLockRetryInterval);
  }
  // Cancelled while we waited: the owner may free the session as soon as it lets go of the lock.
  if (cancelled.load()) return;
  finished(outcome, cause);
}

}  // namespace plumet
