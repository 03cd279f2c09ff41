// Opening a clicked file: the token exchange and the re-fetch off the tick, the download into the
// session's own folder, the copy put in place and opened in its application.
#include <string>

#include "common/text_utf.h"
#include "platform/file_ops.h"
#include "platform/state_dir.h"
#include "session/session_files.h"
#include "session/session_list.h"
#include "session/session_texts.h"
#include "upload/digests.h"

namespace plumet {

using plumet_text::FromUtf8;
using plumet_text::ToUtf8;
using texts::Format;

namespace {

// SHA-1 of no content: a size of 0 with this hash (or none) is an empty file.
constexpr const char* kEmptySha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

}  // namespace

void SessionList::StepNew(EditSession& session) {
  if (session.callPending || session.waitingForClick) return;
  session.callPending = true;
  // The token exchange and the re-fetch run off the tick; OnPrepared goes on with their answers.
  TokenSource* tokens = ports_.tokens;
  FileService* files = ports_.files;
  Dispatch([tokens, files, id = session.id, refresh = session.refreshToken,
            remote = session.remotePath, mount = session.mount]() -> std::pair<Result, bool> {
    std::wstring access;
    std::string tokenCause;
    const TokenResult token = tokens->Refresh(refresh, access, tokenCause);
    dorvic_file_reget answer;
    std::string cause;
    const RegetEnd reget = token == TokenResult::kOk
                               ? files->RegetFile(access, remote, mount, answer, cause)
                               : RegetEnd::kRetry;
    Result result = [=](SessionList& list) {
      list.OnPrepared(id, token, access, tokenCause, reget, answer, cause);
    };
    return {result, token == TokenResult::kOk && reget != RegetEnd::kRetry};
  });
}

void SessionList::OnPrepared(uint64_t id, TokenResult token, const std::wstring& access,
                             const std::string& tokenCause, RegetEnd reget,
                             const dorvic_file_reget& answer, const std::string& cause) {
  EditSession* target = nullptr;
  for (auto& s : sessions_) {
    if (s->id == id) target = s.get();
  }
  if (target == nullptr || target->state != EditSessionState::New) return;
  EditSession& session = *target;
  session.callPending = false;
  if (!ApplyToken(session, token, access, tokenCause)) return;
  if (reget == RegetEnd::kRefused) {
    Fail(session, "re-fetch failed: " + cause, Format(texts::kDownloadFailed, session.remotePath));
    return;
  }
  if (reget == RegetEnd::kRetry) {
    // Tried again next tick; a service that stays away is told once for all sessions.
    NoteServiceTrouble();
    if (session.regetFailures++ == 0) Log(session, "re-fetch failed, retrying: " + cause);
    return;
  }
  session.regetFailures = 0;
  NoteServiceAnswered();
  Tell(Format(texts::kOpening, session.remotePath));
  session.fileHash = answer.filehash;
  session.fileSize = answer.filesize > 0 ? static_cast<uint64_t>(answer.filesize) : 0;
  const std::string localPath = ToUtf8(session.localPath);
  const std::string hash = ToUtf8(answer.filehash);
  if (!platform::MakePrivateDirs(FolderOf(localPath)) ||
      !platform::MakePrivateDirs(session.workDir))
    return;  // tried again next tick

  // A size of 0 is an empty file unless a hash of some content says the size was not announced.
  if (session.fileSize == 0 && (hash.size() != 40 || hash == kEmptySha1)) {
    // An empty file replaces nothing: a copy that is there already (of an earlier session that
    // left no record) is kept as it is.
    if (!platform::PathExists(localPath) && !ports_.tasks->CreateEmptyCopy(localPath)) return;
    session.state = EditSessionState::Editing;
    session.modifiedTime = ports_.probes->GetFileModifiedTime(localPath);
    session.downloadedHash = FromUtf8(kEmptySha1);
    session.fileHash.clear();
    OpenCopy(session);
    return;
  }

  // The content goes into the session's own folder and takes the copy's place only when it is
  // complete and nothing unsent would be replaced.
  DownloadRequest request;
  request.url = ToUtf8(answer.uri);
  request.localPath = DownloadPart(session);
  request.expectedSize = session.fileSize;
  request.expectedSha1 = hash;
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

bool SessionList::PlaceDownload(EditSession& session) {
  const std::string part = DownloadPart(session);
  const std::string path = ToUtf8(session.localPath);
  if (platform::PathExists(path)) {
    // A copy of an earlier run that no journal knew of. The same content stays as it is (an
    // editor may have it open); anything else may be the user's unsent work and moves aside.
    const std::string expected = ToUtf8(session.fileHash);
    if (!expected.empty() && HashFileSha1(path) == expected) {
      platform::RemoveFile(part);
      return true;
    }
    if (!MoveAside(session, path)) return false;
  }
  return platform::RenameFile(part, path);
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
      platform::RemoveFile(DownloadPart(*session));
      Fail(*session, cause, Format(texts::kDownloadFailed, session->remotePath));
      return;
    }
    if (!PlaceDownload(*session)) {
      platform::RemoveFile(DownloadPart(*session));
      Fail(*session, "the copy could not be put in place",
           Format(texts::kDownloadFailed, session->remotePath));
      return;
    }
    session->state = EditSessionState::Editing;
    session->modifiedTime = ports_.probes->GetFileModifiedTime(ToUtf8(session->localPath));
    session->downloadedHash = session->fileHash;
    session->fileHash.clear();
    OpenCopy(*session);
    WriteJournal();
    return;
  }
}

void SessionList::OpenCopy(EditSession& session) {
  const std::string path = ToUtf8(session.localPath);
  switch (ports_.opener->OpenWithAssociatedApp(path)) {
    case OpenResult::kOpened:
      return;
    case OpenResult::kRunsCode:
      // Nothing of it was opened; a copy with no change of the user's goes.
      if (!HasUnsentChanges(session)) platform::RemoveFile(path);
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

}  // namespace plumet
