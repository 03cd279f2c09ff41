#include "session/session_list.h"

#include <unistd.h>

#include <cerrno>

#include <utility>

#include "platform/unsent_store.h"
#include "session/session_texts.h"
#include "session/text_utf.h"
#include "upload/upload_task.h"

namespace plumet {

namespace {

// A session not saved for this long (and released by its application) ends.
constexpr int64_t kExpirySeconds = 600000;
// "invalid_grant" answers in a row after which the link counts as expired.
constexpr int32_t kRefusedGrantLimit = 5;
// SHA-1 of no content: a size of 0 with this hash (or none) is an empty file.
constexpr const char* kEmptySha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

std::wstring Format(const wchar_t* pattern, const std::wstring& first,
                    const std::wstring& second = {}) {
  std::wstring out(pattern);
  const size_t a = out.find(L"%s");
  if (a != std::wstring::npos) out.replace(a, 2, first);
  const size_t b = out.find(L"%s", a == std::wstring::npos ? 0 : a + first.size());
  if (b != std::wstring::npos) out.replace(b, 2, second);
  return out;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// "name.ext" -> "name.unsent-N.ext": the extension stays, so the kept copy opens as before.
std::string AsideName(const std::string& path, int n) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const std::string suffix = ".unsent-" + std::to_string(n);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash + 2))
    return path + suffix;
  return path.substr(0, dot) + suffix + path.substr(dot);
}

}  // namespace

SessionList::SessionList(const SessionPorts& ports, std::string tempDir, std::string unsentDir)
    : ports_(ports), tempDir_(std::move(tempDir)), unsentDir_(std::move(unsentDir)) {
  if (!tempDir_.empty() && tempDir_.back() != '/') tempDir_.push_back('/');
  if (unsentDir_.empty()) unsentDir_ = platform::UnsentStoreDir();
}

SessionList::~SessionList() { CloseAllSessions(); }

void SessionList::Tell(const std::wstring& text) { ports_.notifier->ShowBalloon(texts::kTitle, text); }

void SessionList::Log(const EditSession& session, const std::string& what) {
  ports_.log->Failure("[" + WideToUtf8(session.remotePath) + "] " + what);
}

bool SessionList::HasUnsentChanges(const EditSession& session) {
  const int64_t m = ports_.probes->GetFileModifiedTime(WideToUtf8(session.localPath));
  switch (session.state) {
    case EditSessionState::Uploaded:
      // The service confirmed what the upload read: only a save since it started is unsent.
      return m != 0 && m != session.uploadStartTime;
    case EditSessionState::Uploading:
      return true;
    case EditSessionState::Editing:
      return session.unsent || (m != 0 && m != session.modifiedTime);
    case EditSessionState::New:
    case EditSessionState::Downloading:
    case EditSessionState::Failed:
      return session.unsent;
  }
  return session.unsent;
}

void SessionList::StopTask(EditSession& session) {
  // Destroying a task stops its thread and waits for it; a finished upload is announced first.
  session.task.reset();
}

void SessionList::Retire(std::unique_ptr<EditSession> session, Retirement how) {
  if (session->state == EditSessionState::Uploaded) {
    // The service holds the upload: say so even though the session ends here.
    Tell(Format(texts::kUploaded, session->remotePath));
  }
  StopTask(*session);
  const std::string path = WideToUtf8(session->localPath);
  const bool unsent = HasUnsentChanges(*session);
  switch (how) {
    case Retirement::kReplaced:
      if (unsent) MoveAside(*session);
      break;
    case Retirement::kExpired:
      if (!unsent) ::unlink(path.c_str());
      break;
    case Retirement::kExit:
      if (unsent) {
        std::string stored;
        if (Exists(path) && platform::SaveUnsentCopy(unsentDir_, path, stored)) {
          Log(*session, "unsent changes kept in " + path + " and " + stored);
        } else {
          Log(*session, "unsent changes kept in " + path);
        }
      } else {
        ::unlink(path.c_str());
      }
      break;
  }
}

void SessionList::MoveAside(EditSession& session) {
  const std::string path = WideToUtf8(session.localPath);
  if (!Exists(path)) return;
  for (int n = 1; n < 1000; ++n) {
    const std::string aside = AsideName(path, n);
    // link() never replaces an existing name; the original name is then free for the new copy.
    // Where hard links are not supported, a rename to a name seen free is the next best thing.
    if (::link(path.c_str(), aside.c_str()) == 0) {
      ::unlink(path.c_str());
    } else if (errno == EEXIST || Exists(aside) || ::rename(path.c_str(), aside.c_str()) != 0) {
      if (errno == EEXIST || Exists(aside)) continue;
      break;
    }
    Log(session, "unsent changes moved aside to " + aside);
    Tell(Format(texts::kMovedAside, session.remotePath, Utf8ToWide(aside)));
    return;
  }
  Log(session, "unsent changes could not be moved aside");
}

bool SessionList::RegisterSession(std::unique_ptr<EditSession> session) {
  if (!session) return false;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // The first session of the same remote file decides, as the replacement table says.
  for (auto& old : sessions_) {
    if (old->remotePath != session->remotePath) continue;
    if (old->state == EditSessionState::Downloading && old->fileHash == session->fileHash)
      return false;  // the same content is arriving already
    break;
  }
  // Every session of the same remote file, and every other one whose copy has the same name, ends
  // now: two sessions must never watch one copy.
  for (size_t i = 0; i < sessions_.size();) {
    EditSession& old = *sessions_[i];
    if (old.remotePath != session->remotePath && old.localPath != session->localPath) {
      ++i;
      continue;
    }
    std::unique_ptr<EditSession> retired = std::move(sessions_[i]);
    sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(i));
    Retire(std::move(retired), Retirement::kReplaced);
  }
  session->id = nextId_++;
  sessions_.push_back(std::move(session));
  return true;
}

void SessionList::Fail(EditSession& session, const std::string& cause, const std::wstring& text) {
  session.state = EditSessionState::Failed;
  session.failureTold = true;
  Log(session, cause);
  if (!text.empty()) Tell(text);
}

bool SessionList::ExchangeToken(EditSession& session) {
  std::string cause;
  switch (ports_.tokens->Refresh(session.refreshToken, session.accessToken, cause)) {
    case TokenResult::kOk:
      session.refusedGrants = 0;
      session.tokenFailures = 0;
      return true;
    case TokenResult::kInvalidGrant:
      session.tokenFailures = 0;
      if (++session.refusedGrants >= kRefusedGrantLimit) {
        const bool kept = HasUnsentChanges(session);
        session.unsent = kept;
        Fail(session, "edit link expired: " + cause,
             kept ? Format(texts::kLinkExpiredKept, session.remotePath, session.localPath)
                  : Format(texts::kLinkExpired, session.remotePath));
      }
      return false;
    case TokenResult::kFailed:
      session.refusedGrants = 0;
      // Retried every tick: one line when the trouble starts, not one a second.
      if (session.tokenFailures++ == 0) Log(session, "token exchange failed: " + cause);
      return false;
  }
  return false;
}

void SessionList::StepNew(EditSession& session) {
  if (!ExchangeToken(session)) return;
  dorvic_file_reget answer;
  std::string cause;
  if (!ports_.files->RegetFile(session.accessToken, session.remotePath, session.mount, answer,
                               cause)) {
    Fail(session, "re-fetch failed: " + cause, Format(texts::kDownloadFailed, session.remotePath));
    return;
  }
  Tell(Format(texts::kOpening, session.remotePath));
  session.fileHash = answer.filehash;
  session.fileSize = answer.filesize > 0 ? static_cast<uint64_t>(answer.filesize) : 0;
  const std::string localPath = WideToUtf8(session.localPath);
  const std::string hash = WideToUtf8(answer.filehash);

  // A size of 0 is an empty file unless a hash of some content says the size was not announced.
  if (session.fileSize == 0 && (hash.size() != 40 || hash == kEmptySha1)) {
    if (!ports_.tasks->CreateEmptyCopy(localPath)) return;  // tried again next tick
    session.state = EditSessionState::Editing;
    session.modifiedTime = ports_.probes->GetFileModifiedTime(localPath);
    session.fileHash.clear();
    OpenCopy(session);
    return;
  }

  DownloadRequest request;
  request.url = WideToUtf8(answer.uri);
  request.localPath = localPath;
  request.expectedSize = session.fileSize;
  request.expectedSha1 = hash;
  const uint64_t id = session.id;
  std::unique_ptr<SessionTask> task;
  const DownloadStart start = ports_.tasks->StartDownload(
      request,
      [this, id](DownloadOutcome outcome, const std::string& why) {
        OnDownloadFinished(id, outcome, why);
      },
      lock_, task);
  if (start != DownloadStart::kStarted) return;  // the copy could not be made: next tick
  session.task = std::move(task);
  session.state = EditSessionState::Downloading;
}

void SessionList::OnDownloadFinished(uint64_t id, DownloadOutcome outcome,
                                     const std::string& cause) {
  // The task's thread holds the session lock here, and its task was not stopped: its session is
  // still in the list. Find it by id all the same, never by a pointer kept from before.
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto& session : sessions_) {
    if (session->id != id) continue;
    if (session->state != EditSessionState::Downloading) return;
    if (outcome != DownloadOutcome::kComplete) {
      // Whatever arrived is not the user's file: it must never be opened.
      ::unlink(WideToUtf8(session->localPath).c_str());
      Fail(*session, cause, Format(texts::kDownloadFailed, session->remotePath));
      return;
    }
    session->state = EditSessionState::Editing;
    session->modifiedTime =
        ports_.probes->GetFileModifiedTime(WideToUtf8(session->localPath));
    session->fileHash.clear();
    OpenCopy(*session);
    return;
  }
}

void SessionList::OpenCopy(EditSession& session) {
  const std::string path = WideToUtf8(session.localPath);
  switch (ports_.opener->OpenWithAssociatedApp(path)) {
    case OpenResult::kOpened:
      return;
    case OpenResult::kRunsCode:
      // Nothing of it was opened or changed: the copy goes, the session stays Failed.
      ::unlink(path.c_str());
      Fail(session, "not opened: its content type runs code",
           Format(texts::kRunsCode, session.remotePath));
      return;
    case OpenResult::kNoAssociation:
      Log(session, "no application is associated with the copy " + path);
      return;
    case OpenResult::kFailed:
      Log(session, "the application for the copy " + path + " could not be started");
      return;
  }
}

bool SessionList::StepEditing(EditSession& session) {
  const std::string path = WideToUtf8(session.localPath);
  const int64_t m = ports_.probes->GetFileModifiedTime(path);
  // A missing copy (deleted, or between an editor's write and its rename) is waited for.
  if (m == 0) return true;
  if (m != session.modifiedTime) {
    session.unsent = true;
    if (ports_.probes->IsFileLocked(path)) return true;
    if (!ExchangeToken(session)) return true;
    StopTask(session);
    session.fileHash.clear();
    session.uploadHash.clear();
    session.uploadStartTime = m;
    session.state = EditSessionState::Uploading;
    session.task = ports_.tasks->StartUpload(session, lock_);
    if (!session.task) {
      Fail(session, "upload could not be started",
           Format(texts::kUploadFailed, session.remotePath, session.localPath));
    }
    return true;
  }
  if (ports_.probes->IsFileLocked(path)) return true;
  const int64_t idle = ports_.clock->NowSeconds() - session.modifiedTime / 1000000000;
  return idle < 0 || idle <= kExpirySeconds;
}

void SessionList::StepUploaded(EditSession& session) {
  Tell(Format(texts::kUploaded, session.remotePath));
  StopTask(session);
  // Back to watching: an editor that keeps its buffer saves again, and each save is a version.
  session.modifiedTime = session.uploadStartTime;
  session.unsent = false;
  session.state = EditSessionState::Editing;
}

void SessionList::StepFailed(EditSession& session) {
  if (session.failureTold) return;
  // The upload task set Failed on its own thread: the copy keeps the changes, tell where.
  session.failureTold = true;
  session.unsent = true;
  std::string cause = "upload failed";
  if (const auto* upload = dynamic_cast<const CUploadTask*>(session.task.get())) {
    cause += " (result code " + std::to_string(upload->status) + ")";
  }
  Log(session, cause + "; changes kept in " + WideToUtf8(session.localPath));
  Tell(Format(texts::kUploadFailed, session.remotePath, session.localPath));
}

void SessionList::OnSessionTick() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (size_t i = 0; i < sessions_.size();) {
    EditSession& session = *sessions_[i];
    bool keep = true;
    switch (session.state) {
      case EditSessionState::New:
        StepNew(session);
        break;
      case EditSessionState::Editing:
        keep = StepEditing(session);
        break;
      case EditSessionState::Uploaded:
        StepUploaded(session);
        break;
      case EditSessionState::Failed:
        StepFailed(session);
        break;
      case EditSessionState::Downloading:
      case EditSessionState::Uploading:
        break;
    }
    if (keep) {
      ++i;
      continue;
    }
    // Erasing moves the next session to index i: it is visited next, not skipped.
    std::unique_ptr<EditSession> ended = std::move(sessions_[i]);
    sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(i));
    Retire(std::move(ended), Retirement::kExpired);
  }
}

void SessionList::CloseAllSessions() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::vector<std::unique_ptr<EditSession>> all = std::move(sessions_);
  sessions_.clear();
  for (auto& session : all) Retire(std::move(session), Retirement::kExit);
}

void SessionList::AnnounceUnsentCopies() {
  if (platform::ListUnsentCopies(unsentDir_).empty()) return;
  Tell(Format(texts::kUnsentKept, Utf8ToWide(unsentDir_)));
}

SessionSummary SessionList::Summary() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SessionSummary summary;
  for (auto& session : sessions_) {
    ++summary.total;
    if (session->state == EditSessionState::Downloading ||
        session->state == EditSessionState::Uploading)
      ++summary.transferring;
    if (session->unsent || session->state == EditSessionState::Uploading) ++summary.unsent;
  }
  return summary;
}

}  // namespace plumet
