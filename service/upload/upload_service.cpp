#include "service/upload/upload_service.h"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/owned_json.h"
#include "service/store/file_hash.h"
#include "service/upload/delta_rebuild.h"
#include "service/upload/file_io.h"

namespace zelmic {

namespace {

constexpr std::chrono::hours kDefaultIdleLimit(1);
constexpr char kStagedPrefix[] = "upload-";

bool IsBodyRequest(const std::string& path) {
  return path == "/upload_part" || path == "/upload_checksum_result";
}

bool ParseCrc(const UploadRequest& request, uint32_t& crc) {
  const std::string* text = request.header("x-zm-upload-crc");
  uint64_t value = 0;
  if (text == nullptr || !ParseDecimal(*text, value) || value > 0xffffffffu) return false;
  crc = static_cast<uint32_t>(value);
  return true;
}

UploadAnswer Text(unsigned status, std::string body) {
  UploadAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  return answer;
}

UploadAnswer Unauthorized() {
  return ErrorAnswer(401, kErrUnauthorized, "unknown or expired upload session");
}

// A commit the store refused: its 4xx (the file changed since the edited version, it is locked...)
// reach the client as such, so it knows not to send again; everything else is the store's fault.
UploadAnswer CommitRefused(unsigned status, const std::string& error) {
  if (status == 409) return ErrorAnswer(409, kErrChanged, "commit refused: " + error);
  // The user's quota: more of the same upload would be refused too.
  if (status == 507) return ErrorAnswer(507, kErrNoSpace, "commit refused: " + error);
  if (status >= 400 && status < 500)
    return ErrorAnswer(status, static_cast<int>(status) * 100, "commit refused: " + error);
  return ErrorAnswer(500, kErrInternal, "commit failed: " + error);
}

UploadAnswer SessionAnswer(const UploadSession& session) {
  const plumet_common::JsonPtr root(cJSON_CreateObject());
  cJSON_AddStringToObject(root.get(), "session", session.id.c_str());
  cJSON_AddNumberToObject(root.get(), "piecelen", session.block_size);
  UploadAnswer answer;
  answer.content_type = "application/json";
  answer.body = plumet_common::PrintJson(root.get());
  return answer;
}

// The SHA-1 of a whole (not delta) upload's staged content, flushed to the device first. The writer
// hashed the parts as it wrote them; only a content it could not follow whole is read again.
Status FlushAndHash(UploadSession& session, std::string& sha1) {
  const int fd = ::open(session.staged_path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fdatasync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced) return Status::Error("");
  if (session.written_sha1 && session.hashed == session.ticket.filesize) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_DigestFinal_ex(session.written_sha1.get(), digest, &digest_size) == 1) {
      sha1 = HexLower(digest, digest_size);
    }
    session.written_sha1.reset();
  }
  if (!sha1.empty()) return Status::OK();
  return Sha1OfFile(session.staged_path, session.ticket.filesize, sha1);
}

// One line per stored upload, so that whoever runs the service sees what a save cost the wire.
void LogStored(const UploadTicket& ticket, uint64_t sent, bool delta) {
  std::string path = ticket.path;
  for (char& c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  // The file's size first, then what of it crossed the wire: for a delta only the literal bytes.
  std::fprintf(stderr, "zelmicd: stored %s (mount %d): %llu bytes stored, %llu of them sent (%s)\n",
               path.c_str(), ticket.mount, static_cast<unsigned long long>(ticket.filesize),
               static_cast<unsigned long long>(sent), delta ? "block delta" : "whole");
}

}  // namespace

UploadService::UploadService(UploadBackend& backend, ChecksumKeeper& keeper)
    : backend_(backend),
      keeper_(keeper),
      sessions_(std::chrono::duration_cast<std::chrono::milliseconds>(kDefaultIdleLimit)) {}

void UploadService::RemoveStaleStagedFiles() {
  const std::string dir = backend_.staging_dir();
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return;
  while (dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name.rfind(kStagedPrefix, 0) == 0) ::unlink((dir + "/" + name).c_str());
  }
  ::closedir(handle);
}

std::optional<UploadAnswer> UploadService::Refusal(const UploadRequest& request) {
  const std::string* length_text = request.header("content-length");
  uint64_t length = 0;
  const bool has_length = length_text != nullptr && ParseDecimal(*length_text, length);
  const bool has_body =
      (has_length && length > 0) || request.header("transfer-encoding") != nullptr;
  if (request.method != "PUT" || !IsBodyRequest(request.path)) {
    if (!has_body) return std::nullopt;
    UploadRequest headless = request;
    headless.body_too_long = true;  // what Handle answers to a body where none belongs
    return Handle(headless);
  }
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session) return Unauthorized();
  if (request.path == "/upload_checksum_result") {
    if (session->block_size == 0 || session->block_count == 0) {
      return ErrorAnswer(205, kErrDeltaRefused, "no stored version to build a delta on");
    }
    if (has_length && length > BodyLimit(request)) {
      return ErrorAnswer(400, kErrBodyLength, "the match list is longer than the file allows");
    }
    return std::nullopt;
  }
  const std::string* range = request.header("x-zm-upload-range");
  uint64_t first = 0;
  uint64_t last = 0;
  if (range == nullptr || !ParseRange(*range, first, last)) {
    return ErrorAnswer(400, kErrBadRequest, "bad x-zm-upload-range");
  }
  if (last - first + 1 > kMaxPartSize) {
    return ErrorAnswer(413, kErrBodyLength, "the part is larger than a part may be");
  }
  if (has_length && length != last - first + 1) {
    return ErrorAnswer(400, kErrBodyLength, "the body length differs from x-zm-upload-range");
  }
  std::lock_guard<std::mutex> lock(session->mutex);
  if (session->closed) return Unauthorized();
  if (session->write_failed) {
    return ErrorAnswer(500, kErrInternal, "the staged content could not be written");
  }
  if (session->held == session->total) return Text(202, std::string());
  if (first != session->held) return ExpectAnswer(session->held);
  if (last >= session->total) {
    return ErrorAnswer(400, kErrBodyLength, "the part runs past the end of the content");
  }
  return std::nullopt;
}

uint64_t UploadService::BodyLimit(const UploadRequest& request) {
  if (request.method != "PUT" || !IsBodyRequest(request.path)) return 0;
  if (request.path == "/upload_part") {
    const std::string* range = request.header("x-zm-upload-range");
    uint64_t first = 0;
    uint64_t last = 0;
    if (range == nullptr || !ParseRange(*range, first, last)) return 0;
    return last - first + 1 > kMaxPartSize ? 0 : last - first + 1;
  }
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session || session->block_size == 0) return 0;
  uint64_t limit = session->ticket.filesize / session->block_size * kMatchRecordSize;
  return std::min(limit, kMaxMatchListSize);
}

UploadAnswer UploadService::Handle(UploadRequest& request) {
  struct Route {
    const char* path;
    const char* method;
    UploadAnswer (UploadService::*handler)(UploadRequest&);
  };
  static const Route kRoutes[] = {
      {"/upload_init", "POST", &UploadService::Init},
      {"/upload_req", "POST", &UploadService::Req},
      {"/download_checksum", "POST", &UploadService::DownloadChecksum},
      {"/upload_checksum_result", "PUT", &UploadService::ChecksumResult},
      {"/upload_part", "PUT", &UploadService::Part},
      {"/upload_finish", "POST", &UploadService::Finish},
  };
  for (const Route& route : kRoutes) {
    if (request.path != route.path) continue;
    if (request.method != route.method) {
      return ErrorAnswer(405, kErrMethod, request.path + " takes " + route.method);
    }
    if (!IsBodyRequest(request.path) && (!request.body.empty() || request.body_too_long)) {
      return ErrorAnswer(400, kErrBodyLength, request.path + " takes no body");
    }
    return (this->*route.handler)(request);
  }
  return ErrorAnswer(404, kErrNotFound, "no such endpoint: " + request.path);
}

std::shared_ptr<UploadSession> UploadService::SessionOf(const UploadRequest& request) {
  const std::string* id = request.header("x-zm-upload-session");
  if (id == nullptr || id->empty()) return nullptr;
  return sessions_.Find(*id);
}

bool UploadService::ClaimBody(UploadSession& session) {
  std::lock_guard<std::mutex> lock(session.mutex);
  if (session.closed || session.body_arriving) return false;
  session.body_arriving = true;
  return true;
}

void UploadService::ReleaseBody(UploadSession& session) {
  std::lock_guard<std::mutex> lock(session.mutex);
  session.body_arriving = false;
}

void UploadService::Discard(UploadSession& session) {
  session.closed = true;
  sessions_.Remove(session.id);
}

void UploadService::PrepareCurrent(const UploadTicket& ticket) {
  if (std::optional<StoredContent> now = backend_.current_content(ticket)) keeper_.Prepare(*now);
}

UploadAnswer UploadService::Init(UploadRequest& request) {
  const std::string* token = request.header("x-zm-token");
  const std::string* pathhash = request.header("x-zm-upload-pathhash");
  const std::string* filehash = request.header("x-zm-upload-filehash");
  const std::string* size_text = request.header("x-zm-upload-filesize");
  if (token == nullptr || token->empty()) return ErrorAnswer(401, kErrUnauthorized, "no token");
  uint64_t filesize = 0;
  if (pathhash == nullptr || filehash == nullptr || size_text == nullptr ||
      !ParseDecimal(*size_text, filesize) || request.header("x-zm-upload-filename") == nullptr) {
    return ErrorAnswer(400, kErrBadRequest,
                       "x-zm-upload-filesize, -pathhash, -filehash and -filename are required");
  }
  std::optional<UploadTicket> ticket = backend_.ticket_for(*pathhash, *token);
  if (!ticket) {
    return ErrorAnswer(401, kErrUnauthorized, "no upload registered for this token and pathhash");
  }
  if (ticket->filesize != filesize || ticket->filehash != *filehash) {
    return ErrorAnswer(400, kErrTicketMismatch, "size or hash differs from the registered upload");
  }
  if (backend_.may_skip_content(*ticket)) {
    if (Status refused = backend_.commit(*ticket, std::string()); !refused.ok()) {
      return CommitRefused(refused.http_status(), refused.message());
    }
    PrepareCurrent(*ticket);
    return Text(202, std::string());
  }
  const std::string key =
      *token + '\n' + *pathhash + '\n' + ticket->filehash + '\n' + std::to_string(filesize);
  std::lock_guard<std::mutex> lock(init_mutex_);
  std::shared_ptr<UploadSession> session = sessions_.FindByKey(key);
  if (!session) {
    if (Status opened = OpenSession(*ticket, key, session); !opened.ok())
      return ErrorAnswer(500, kErrInternal, opened.message());
    if (!sessions_.Add(session, kMaxSessionsPerUser)) {
      return ErrorAnswer(429, kErrTooMany,
                         "too many uploads in progress for this user; finish or abandon one");
    }
  }
  return SessionAnswer(*session);
}

Status UploadService::OpenSession(const UploadTicket& ticket, const std::string& key,
                                  std::shared_ptr<UploadSession>& opened) {
  auto session = std::make_shared<UploadSession>();
  session->id = NewSessionId();
  if (session->id.empty()) return Status::Error("no random bytes for a session id");
  session->key = key;
  session->ticket = ticket;
  session->base = backend_.current_content(ticket);
  if (session->base) {
    session->block_size = BlockSizeFor(session->base->size);
    session->block_count = FullBlockCount(session->base->size, session->block_size);
    // Under way while the client asks what is held and prepares its requests.
    keeper_.Prepare(*session->base);
  }
  const std::string dir = backend_.staging_dir();
  session->staged_path = dir + "/" + kStagedPrefix + session->id + ".part";
  const int fd = ::open(session->staged_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    const std::string why = "cannot create a staged file in " + dir + ": " + std::strerror(errno);
    session->staged_path.clear();
    return Status::Error(why);
  }
  ::close(fd);
  session->total = ticket.filesize;
  opened = std::move(session);
  return Status::OK();
}

UploadAnswer UploadService::Req(UploadRequest& request) {
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session) return Unauthorized();
  std::lock_guard<std::mutex> lock(session->mutex);
  if (session->closed) return Unauthorized();
  return Text(200, std::to_string(session->held));
}

UploadAnswer UploadService::DownloadChecksum(UploadRequest& request) {
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session) return Unauthorized();
  if (session->block_size == 0 || session->block_count == 0) {
    return ErrorAnswer(205, kErrDeltaRefused, "no stored version to build a delta on");
  }
  UploadAnswer answer;
  answer.content_type = "application/octet-stream";
  if (Status listed =
          keeper_.List(*session->base, session->block_size, session->block_count, answer.body);
      !listed.ok()) {
    return ErrorAnswer(205, kErrDeltaRefused, listed.message());
  }
  return answer;
}

UploadAnswer UploadService::ChecksumResult(UploadRequest& request) {
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session) return Unauthorized();
  if (session->block_size == 0 || session->block_count == 0) {
    return ErrorAnswer(205, kErrDeltaRefused, "no stored version to build a delta on");
  }
  uint32_t crc = 0;
  if (!ParseCrc(request, crc)) return ErrorAnswer(400, kErrBadRequest, "bad x-zm-upload-crc");
  if (request.body_too_long) {
    return ErrorAnswer(400, kErrBodyLength, "the match list is longer than the file allows");
  }
  if (crc != request.body_crc) {
    return ErrorAnswer(400, kErrBadChecksum, "the match list does not match x-zm-upload-crc");
  }
  uint64_t count = 0;
  const Status checked = CheckMatchList(request.body, session->block_size, session->block_count,
                                        session->ticket.filesize, count);
  if (!checked.ok()) return ErrorAnswer(400, kErrBadMatchList, checked.message());
  std::lock_guard<std::mutex> lock(session->mutex);
  if (session->closed) return Unauthorized();
  // The match list decides what the parts are; once parts are held it cannot change.
  if (session->held != 0) return ExpectAnswer(session->held);
  // Kept on disk until the finish, so a session costs no memory for it while the parts come.
  const std::string match_path =
      session->staged_path.substr(0, session->staged_path.size() - 5) + ".matches";
  const int fd = ::open(match_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  session->match_path = match_path;
  const bool written = fd >= 0 && WriteAll(fd, request.body.data(), request.body.size());
  if (fd >= 0) ::close(fd);
  if (!written) return ErrorAnswer(500, kErrInternal, "cannot keep the match list");
  session->total = LiteralLength(session->ticket.filesize, count, session->block_size);
  session->match_count = count;
  session->delta = true;
  if (session->total == 0) return Text(202, std::string());
  return Text(200, std::string());
}

UploadAnswer UploadService::Part(UploadRequest& request) {
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session) return Unauthorized();
  const std::string* range = request.header("x-zm-upload-range");
  uint64_t first = 0;
  uint64_t last = 0;
  if (range == nullptr || !ParseRange(*range, first, last)) {
    return ErrorAnswer(400, kErrBadRequest, "bad x-zm-upload-range");
  }
  uint32_t crc = 0;
  if (!ParseCrc(request, crc)) return ErrorAnswer(400, kErrBadRequest, "bad x-zm-upload-crc");
  if (last - first + 1 > kMaxPartSize) {
    return ErrorAnswer(413, kErrBodyLength, "the part is larger than a part may be");
  }
  if (request.body_too_long || request.body.size() != last - first + 1) {
    return ErrorAnswer(400, kErrBodyLength, "the body length differs from x-zm-upload-range");
  }
  if (crc != request.body_crc) {
    return ErrorAnswer(400, kErrBadChecksum, "the body does not match x-zm-upload-crc");
  }
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->closed) return Unauthorized();
    if (session->held == session->total) return Text(202, std::string());
    if (first != session->held) return ExpectAnswer(session->held);
    if (last >= session->total) {
      return ErrorAnswer(400, kErrBodyLength, "the part runs past the end of the content");
    }
    if (session->write_failed) {
      return ErrorAnswer(500, kErrInternal, "the staged content could not be written");
    }
    session->held += request.body.size();
    ++session->pending_writes;
  }
  writer_.Submit(session, first, std::move(request.body));
  return Text(200, std::string());
}

UploadAnswer UploadService::Finish(UploadRequest& request) {
  std::shared_ptr<UploadSession> session = SessionOf(request);
  if (!session) return Unauthorized();
  const std::string* size_text = request.header("x-zm-upload-filesize");
  uint64_t size = 0;
  if (size_text == nullptr || !ParseDecimal(*size_text, size)) {
    return ErrorAnswer(400, kErrBadRequest, "bad x-zm-upload-filesize");
  }
  std::unique_lock<std::mutex> lock(session->mutex);
  // The wait lets go of the lock, so a concurrent finish may close the session meanwhile.
  if (session->pending_writes != 0) writer_.Flush();
  session->writes_done.wait(lock, [&] { return session->pending_writes == 0; });
  if (session->closed) return Unauthorized();
  if (session->write_failed) {
    Discard(*session);
    return ErrorAnswer(500, kErrInternal, "the staged content could not be written");
  }
  if (session->held < session->total) return ExpectAnswer(session->held);
  if (size != session->total) {
    return ErrorAnswer(400, kErrContentMismatch,
                       "x-zm-upload-filesize " + std::to_string(size) + " but the content holds " +
                           std::to_string(session->total) + " bytes");
  }
  std::string sha1;
  std::string final_path = session->staged_path;
  if (session->delta) {
    session->rebuilt_path =
        session->staged_path.substr(0, session->staged_path.size() - 5) + ".new";
    final_path = session->rebuilt_path;
    const Status rebuilt =
        RebuildFileFromList(session->base->blob_path, session->staged_path, session->match_path,
                            session->block_size, session->ticket.filesize, final_path, sha1);
    if (!rebuilt.ok()) {
      // The match list was checked and every literal byte is held: what fails is the store.
      Discard(*session);
      return ErrorAnswer(500, kErrInternal, "cannot rebuild the file: " + rebuilt.message());
    }
  } else {
    if (Status hashed = FlushAndHash(*session, sha1); !hashed.ok()) {
      Discard(*session);
      return ErrorAnswer(500, kErrInternal, "cannot read the staged content: " + hashed.message());
    }
  }
  if (sha1 != session->ticket.filehash) {
    Discard(*session);
    return ErrorAnswer(400, kErrContentMismatch,
                       "the content's SHA-1 " + sha1 + " differs from " + session->ticket.filehash);
  }
  // Hashed on the way in and flushed: the store need not read the content again.
  const Status refused = backend_.commit_hashed(session->ticket, final_path, sha1);
  const bool delta = session->delta;
  const uint64_t sent = session->total;
  Discard(*session);
  if (!refused.ok()) return CommitRefused(refused.http_status(), refused.message());
  PrepareCurrent(session->ticket);
  LogStored(session->ticket, sent, delta);
  return Text(200, std::string());
}

}  // namespace zelmic
