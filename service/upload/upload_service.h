#pragma once
// The upload protocol of zelmicd: opens upload sessions for the tickets the REST "PUT" registered,
// takes the content in checked parts (the whole file, or the literal bytes of a block delta),
// rebuilds and verifies the new file and hands it to the store. Independent of the HTTP library;
// UploadServer feeds it.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "service/store/upload_backend.h"
#include "service/upload/checksum_keeper.h"
#include "service/upload/staged_writer.h"
#include "service/upload/upload_answer.h"
#include "service/upload/upload_session.h"

namespace zelmic {

// Largest "/upload_part" body accepted. Clients send at most 1 MiB; the margin leaves room for
// other part sizes while keeping a part's buffer bounded.
constexpr uint64_t kMaxPartSize = 16u << 20;
// Largest match list accepted, whatever the file size.
constexpr uint64_t kMaxMatchListSize = 64u << 20;
// Live upload sessions one user may have; an abandoned one counts until it expires.
constexpr size_t kMaxSessionsPerUser = 16;

// Error codes of the JSON error answers.
enum UploadErrorCode : int {
  kErrBadRequest = 40000,
  kErrBadChecksum = 40001,
  kErrBodyLength = 40002,
  kErrBadMatchList = 40003,
  kErrContentMismatch = 40004,
  kErrTicketMismatch = 40005,
  kErrUnauthorized = 40100,
  kErrNotFound = 40400,
  kErrMethod = 40500,
  kErrExpect = 40900,
  kErrChanged = 40902,
  kErrTooMany = 42900,
  kErrDeltaRefused = 20500,
  kErrInternal = 50000,
  kErrNoSpace = 50700,
};

class UploadService {
 public:
  // The keeper serves the checksum lists and must outlive the service.
  UploadService(UploadBackend& backend, ChecksumKeeper& keeper);
  UploadService(const UploadService&) = delete;
  UploadService& operator=(const UploadService&) = delete;

  // Removes staged files a previous run left behind (a crash mid-upload).
  void RemoveStaleStagedFiles();

  // How many body bytes the request may carry, decided from its method, path and headers before
  // the body arrives. More is cut and the request is refused.
  uint64_t BodyLimit(const UploadRequest& request);

  // The answer to a request that can be refused from its head alone (unknown session, bad range,
  // a part too large or not where the content goes on, a body where none belongs), so its body
  // need not be read; none when the body is wanted.
  std::optional<UploadAnswer> Refusal(const UploadRequest& request);

  // Answers the request; a part's body is taken from it.
  UploadAnswer Handle(UploadRequest& request);

  // The session named by the request's x-zm-upload-session, or nullptr.
  std::shared_ptr<UploadSession> SessionOf(const UploadRequest& request);
  // Claims the session for one arriving body (a part or the match list): the content goes on at
  // one place, so a second body of the same session while one arrives can only be a duplicate or
  // an attempt to hold memory. False when another body is arriving or the session is closed.
  bool ClaimBody(UploadSession& session);
  void ReleaseBody(UploadSession& session);

  // Sessions idle for longer are forgotten; their id then gets 401.
  void set_session_idle_limit(std::chrono::milliseconds limit) { sessions_.set_idle_limit(limit); }
  size_t session_count() { return sessions_.size(); }
  void Clear() { sessions_.Clear(); }

 private:
  UploadAnswer Init(UploadRequest& request);
  UploadAnswer Req(UploadRequest& request);
  UploadAnswer DownloadChecksum(UploadRequest& request);
  UploadAnswer ChecksumResult(UploadRequest& request);
  UploadAnswer Part(UploadRequest& request);
  UploadAnswer Finish(UploadRequest& request);

  // A new session for the ticket with its staged file made; session receives it.
  Status OpenSession(const UploadTicket& ticket, const std::string& key,
                     std::shared_ptr<UploadSession>& session);
  // Ends a session for good: no request may use it again.
  void Discard(UploadSession& session);
  // The ticket's file has a new current content: the next edit of it will want its list.
  void PrepareCurrent(const UploadTicket& ticket);

  UploadBackend& backend_;
  ChecksumKeeper& keeper_;
  SessionTable sessions_;
  StagedWriter writer_;
  std::mutex init_mutex_;  // one "/upload_init" at a time, so a key never gets two sessions
};

}  // namespace zelmic
