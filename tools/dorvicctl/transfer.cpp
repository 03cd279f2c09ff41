#include "tools/dorvicctl/transfer.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "common/credential_guard.h"
#include "common/owned_digest.h"
#include "common/progress_line.h"
#include "common/result_codes.h"
#include "common/text_forms.h"
#include "dorvic/src/text.h"
#include "platform/atomic_file.h"
#include "platform/interrupt.h"
#include "platform/terminal.h"
#include "tools/dorvicctl/output.h"
#include "upload/file_upload.h"

namespace dorvicctl {

namespace {

using dorvic::FromUtf8;
using dorvic::ToUtf8;

constexpr long kConnectSeconds = 10;
// A transfer that moves less than a byte a second for this long has stalled.
constexpr long kStallSeconds = 30;

void CheckArguments(const Invocation& inv) {
  if (inv.words.size() < 2) throw UsageError(inv.command + ": too few arguments");
  if (inv.words.size() > 2) throw UsageError(inv.command + ": too many arguments");
  if (!inv.options.empty()) {
    throw UsageError(inv.command + ": unknown option --" + inv.options.begin()->first);
  }
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The progress line, only when --progress was given.
std::optional<plumet_text::ProgressLine> ProgressFor(const Invocation& inv,
                                                     const std::string& name) {
  std::optional<plumet_text::ProgressLine> line;
  if (inv.flags.count("progress") != 0) {
    line.emplace(stderr, platform::IsTerminal(stderr), "dorvicctl: " + inv.command + " " + name);
  }
  return line;
}

// The content of one download as it arrives: into the temporary file and the digest.
struct Receiver {
  platform::AtomicFile file;
  EVP_MD_CTX* sha1 = nullptr;
  uint64_t received = 0;
  uint64_t expected = 0;
  bool write_failed = false;
  int write_errno = 0;
  std::optional<plumet_text::ProgressLine>* progress = nullptr;
};

size_t Receive(char* data, size_t size, size_t count, void* userdata) {
  Receiver& r = *static_cast<Receiver*>(userdata);
  const size_t n = size * count;
  // More than the service announced is already a mismatch: stop rather than fill the disk.
  if (r.received + n > r.expected) return 0;
  if (!r.file.Write(data, n)) {
    r.write_failed = true;
    r.write_errno = errno;
    return 0;
  }
  EVP_DigestUpdate(r.sha1, data, n);
  r.received += n;
  if (*r.progress) (*r.progress)->Update(r.received, r.expected);
  return n;
}

int CheckInterrupt(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return platform::Interrupted() ? 1 : 0;
}

void ApplyProxy(CURL* curl, const Globals& g) {
  // Like the library: the environment's proxy settings are not used, only those given.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  if (!g.proxy) return;
  curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(g.network.proxyType));
  curl_easy_setopt(curl, CURLOPT_PROXY, ToUtf8(g.network.proxyHost).c_str());
  curl_easy_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(g.network.proxyPort));
  if (!g.network.proxyUser.empty()) {
    curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, ToUtf8(g.network.proxyUser).c_str());
    curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, ToUtf8(g.network.proxyPassword).c_str());
  }
}

}  // namespace

bool Download(const Invocation& inv, cJSON* out, LocalFailure& failure) {
  CheckArguments(inv);
  platform::CatchInterrupts();
  const std::string& local = inv.words[1];
  dorvic_file_reget file;
  const bool found = dorvic_regetfile(FromUtf8(inv.globals.token), FromUtf8(inv.words[0]),
                                      inv.globals.mount, file);
  cJSON_AddItemToObject(out, "file", RegetJson(file));
  if (!found) return false;
  AddText(out, "local", FromUtf8(local));

  std::optional<plumet_text::ProgressLine> progress = ProgressFor(inv, BaseName(local));
  Receiver r;
  r.expected = file.filesize > 0 ? static_cast<uint64_t>(file.filesize) : 0;
  r.progress = &progress;
  if (!r.file.Begin(local)) {
    return failure.Fail(kFailureLocalFile, "cannot write " + local + ": " + std::strerror(errno));
  }
  const plumet_common::DigestCtx sha1 = plumet_common::NewDigest(EVP_sha1());
  if (!sha1) return failure.Fail(kFailureLocalFile, "no SHA-1 context");
  r.sha1 = sha1.get();

  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) return failure.Fail(plumet_codes::kTransportFailure, "no HTTP handle");
  const std::string uri = ToUtf8(file.uri);
  // The location is signed: whoever receives it may read the file for a while.
  const std::string refusal = plumet_transport::CredentialRefusal(
      uri, inv.globals.proxy
               ? plumet_transport::ProxyWithPort(ToUtf8(inv.globals.network.proxyHost),
                                                 inv.globals.network.proxyPort)
               : std::string());
  if (!refusal.empty()) return failure.Fail(plumet_codes::kTransportFailure, refusal);
  curl_easy_setopt(curl.get(), CURLOPT_URL, uri.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Receive);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, CheckInterrupt);
  ApplyProxy(curl.get(), inv.globals);
  const CURLcode code = curl_easy_perform(curl.get());
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (progress) progress->Finish();

  if (platform::Interrupted()) return failure.Fail(kFailureInterrupted, "interrupted");
  if (r.write_failed) {
    return failure.Fail(kFailureLocalFile,
                        "cannot write " + local + ": " + std::strerror(r.write_errno));
  }
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && status == 200)) {
    return failure.Fail(plumet_codes::kTransportFailure,
                        "download failed: " + std::string(curl_easy_strerror(code)));
  }
  if (status != 200) {
    return failure.Fail(plumet_codes::kTransportFailure,
                        "download answered HTTP " + std::to_string(status));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(r.sha1, digest, &length);
  const std::string got_hash = plumet_text::HexLower(digest, length);
  if (code == CURLE_WRITE_ERROR || r.received != r.expected || got_hash != ToUtf8(file.filehash)) {
    return failure.Fail(kFailureMismatch,
                        "downloaded content does not match: expected " +
                            std::to_string(r.expected) + " bytes with SHA-1 " +
                            ToUtf8(file.filehash) + ", got " +
                            (code == CURLE_WRITE_ERROR
                                 ? "more bytes"
                                 : std::to_string(r.received) + " bytes with SHA-1 " + got_hash));
  }
  if (!r.file.Commit()) {
    return failure.Fail(kFailureLocalFile, "cannot write " + local + ": " + std::strerror(errno));
  }
  AddNumber(out, "bytes", static_cast<double>(r.received));
  return true;
}

bool Upload(const Invocation& inv, cJSON* out, LocalFailure& failure) {
  CheckArguments(inv);
  platform::CatchInterrupts();
  const std::string& local = inv.words[0];
  std::error_code error;
  if (!std::filesystem::is_regular_file(local, error)) {
    return failure.Fail(kFailureLocalFile, "cannot read " + local + ": not a regular file");
  }
  std::FILE* probe = std::fopen(local.c_str(), "rb");
  if (probe == nullptr) {
    return failure.Fail(kFailureLocalFile, "cannot read " + local + ": " + std::strerror(errno));
  }
  std::fclose(probe);

  plumet::FileUploadRequest request;
  request.accessToken = FromUtf8(inv.globals.token);
  request.remotePath = FromUtf8(inv.words[1]);
  request.mount = inv.globals.mount;
  request.localPath = FromUtf8(std::filesystem::absolute(local, error).string());
  request.cancelled = platform::Interrupted;
  std::optional<plumet_text::ProgressLine> progress = ProgressFor(inv, BaseName(local));
  plumet::UploadProgress report;
  if (progress)
    report = [&progress](uint64_t done, uint64_t total) {
      if (total != 0) progress->Update(done, total);
    };
  const plumet::FileUploadResult result = plumet::UploadLocalFile(request, report);
  if (progress) progress->Finish();

  AddText(out, "filehash", FromUtf8(result.fileHash));
  AddNumber(out, "filesize", static_cast<double>(result.fileSize));
  AddNumber(out, "version", result.version);
  cJSON_AddStringToObject(out, "sent",
                          !result.registered || result.alreadyStored ? "none"
                          : result.delta                             ? "delta"
                                                                     : "whole");
  AddNumber(out, "bytes_sent", static_cast<double>(result.bytesSent));
  if (result.ok) return true;
  if (result.cancelled) return failure.Fail(kFailureInterrupted, "interrupted");
  if (!result.refusal.empty()) return failure.Fail(plumet_codes::kTransportFailure, result.refusal);
  // A failed registration is the library's last error, already in place.
  if (!result.registered) return false;
  const int32_t code = result.status != 0 ? result.status : plumet_codes::kTransportFailure;
  return failure.Fail(code, "the upload server did not take the content (last result " +
                                std::to_string(result.status) + ")");
}

}  // namespace dorvicctl
