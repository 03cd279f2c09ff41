// Sending saves: a save noticed on the tick, a snapshot of the copy uploaded off it, the outcome
// taken back (stored, retried later, refused), and a session that nobody saves ending.
#include <string>

#include "common/text_utf.h"
#include "platform/file_ops.h"
#include "platform/file_snapshot.h"
#include "platform/state_dir.h"
#include "session/session_files.h"
#include "session/session_list.h"
#include "session/session_texts.h"

namespace plumet {

using plumet_text::ToUtf8;
using texts::Format;

namespace {

// A session not saved for this long (and released by its application) ends.
constexpr int64_t kExpirySeconds = 600000;

}  // namespace

// The upload of one session tells its outcome here; the id finds the session, never a pointer.
class SessionList::UploadReporter : public UploadObserver {
 public:
  UploadReporter(SessionList& list, uint64_t id) : list_(list), id_(id) {}
  void OnUploadFinished(const UploadReport& report) override {
    list_.OnUploadFinished(id_, report);
  }

 private:
  SessionList& list_;
  uint64_t id_;
};

void SessionList::DeferUpload(EditSession& session, const std::string& cause) {
  session.state = EditSessionState::Editing;
  session.unsent = true;
  ++session.uploadFailures;
  session.retryAt = ports_.clock->NowSeconds() + RetryDelay(session.uploadFailures, random_);
  random_ = random_ * 1664525u + 1013904223u;
  if (session.uploadFailures == 1) {
    // Once when the trouble starts; the retries go on quietly until the upload lands.
    Log(session, cause + "; retried, changes kept in " + ToUtf8(session.localPath));
    Tell(Format(texts::kUploadRetrying, session.remotePath, session.localPath), true,
         ShowFolderOf(ToUtf8(session.localPath)));
  }
}

void SessionList::StartUpload(EditSession& session, int64_t modified) {
  // The upload reads a snapshot: a save written in place while it runs is the next upload.
  int64_t snapshotTime = 0;  // the tick's own view of the time is what counts (below)
  if (!platform::MakePrivateDirs(session.workDir) ||
      !platform::SnapshotFile(ToUtf8(session.localPath), Snapshot(session), snapshotTime)) {
    return;  // the copy is being written or the disk is full: the next tick tries again
  }
  StopTask(session);
  UploadJob job;
  job.accessToken = session.accessToken;
  job.remotePath = session.remotePath;
  job.mount = session.mount;
  job.sourcePath = Snapshot(session);
  job.deltaRefused = session.deltaRefused != 0;
  for (const std::wstring* hash : {&session.downloadedHash, &session.storedHash}) {
    if (!hash->empty()) job.expectedRemoteHashes.push_back(*hash);
  }
  session.fileHash.clear();
  session.uploadHash.clear();
  // The time the tick saw, not the snapshot's own: it is what the next tick compares with.
  session.uploadStartTime = modified;
  session.state = EditSessionState::Uploading;
  session.uploadObserver = std::make_unique<UploadReporter>(*this, session.id);
  session.task = ports_.tasks->StartUpload(job, session.uploadObserver.get(), lock_);
  if (!session.task) {
    session.uploadObserver.reset();
    DeferUpload(session, "upload could not be started");
  }
}

void SessionList::OnUploadFinished(uint64_t id, const UploadReport& report) {
  // The worker's thread, with the session lock held (the task was not stopped).
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto& entry : sessions_) {
    EditSession& session = *entry;
    if (session.id != id || session.state != EditSessionState::Uploading) continue;
    session.fileHash = report.fileHash;
    session.fileSize = report.fileSize;
    session.uploadHash = report.uploadHash;
    if (report.deltaRefused) session.deltaRefused = 1;
    switch (report.end) {
      case UploadEnd::kStored:
        NoteServiceAnswered();
        session.storedHash = report.fileHash;
        session.storedAt = ports_.clock->NowSeconds();
        session.uploadFailures = 0;
        session.retryAt = 0;
        if (report.conflict && !report.storedPath.empty() &&
            report.storedPath != session.remotePath) {
          // Somebody stored another version meanwhile: ours went beside it, and this session
          // carries on with that copy.
          Log(session, "stored as a conflict copy: " + ToUtf8(report.storedPath));
          Tell(Format(texts::kConflictCopy, session.remotePath, report.storedPath), true);
          session.remotePath = report.storedPath;
        }
        session.state = EditSessionState::Uploaded;
        break;
      case UploadEnd::kRetry:
        NoteServiceTrouble();
        [[fallthrough]];
      case UploadEnd::kStopped:
        DeferUpload(session, "upload failed: " + report.cause + " (result code " +
                                 std::to_string(report.status) + ")");
        break;
      case UploadEnd::kPermanent:
        session.unsent = true;
        session.stopped = true;
        Fail(session,
             "upload refused: " + report.cause + " (result code " + std::to_string(report.status) +
                 "); changes kept in " + ToUtf8(session.localPath),
             Format(texts::kUploadFailed, session.remotePath, session.localPath),
             ShowFolderOf(ToUtf8(session.localPath)));
        break;
    }
    WriteJournal();
    return;
  }
}

bool SessionList::StepEditing(EditSession& session) {
  const std::string path = ToUtf8(session.localPath);
  const int64_t m = ports_.probes->GetFileModifiedTime(path);
  // A missing copy (deleted, or between an editor's write and its rename) is waited for.
  if (m == 0) return true;
  if (m != session.modifiedTime || session.unsent) {
    session.unsent = true;
    if (session.waitingForClick) return true;
    if (ports_.clock->NowSeconds() < session.retryAt) return true;
    // A save is complete once nobody has the copy open for writing; an office suite's lock file
    // or read handle does not hold it back.
    if (ports_.probes->IsBeingWritten(path)) return true;
    if (session.callPending) return true;
    session.callPending = true;
    TokenSource* tokens = ports_.tokens;
    Dispatch(
        [tokens, id = session.id, refresh = session.refreshToken]() -> std::pair<Result, bool> {
          std::wstring access;
          std::string cause;
          const TokenResult token = tokens->Refresh(refresh, access, cause);
          Result result = [=](SessionList& list) { list.OnUploadToken(id, token, access, cause); };
          return {result, token == TokenResult::kOk};
        });
    return true;
  }
  if (ports_.probes->IsFileLocked(path)) return true;
  const int64_t idle = ports_.clock->NowSeconds() - session.modifiedTime / 1000000000;
  return idle < 0 || idle <= kExpirySeconds;
}

void SessionList::OnUploadToken(uint64_t id, TokenResult token, const std::wstring& access,
                                const std::string& cause) {
  for (auto& entry : sessions_) {
    EditSession& session = *entry;
    if (session.id != id) continue;
    if (session.state != EditSessionState::Editing || !session.callPending) return;
    session.callPending = false;
    if (!ApplyToken(session, token, access, cause) || session.waitingForClick) return;
    const int64_t m = ports_.probes->GetFileModifiedTime(ToUtf8(session.localPath));
    if (m != 0) StartUpload(session, m);
    return;
  }
}

void SessionList::StepUploaded(EditSession& session) {
  Tell(Format(texts::kUploaded, session.remotePath));
  StopTask(session);
  platform::RemoveFile(Snapshot(session));
  if (!session.unsentCopy.empty()) {
    // The safety copy of an earlier exit has landed now (or a later save of it has).
    platform::RemoveFile(session.unsentCopy);
    session.unsentCopy.clear();
  }
  // Back to watching: an editor that keeps its buffer saves again, and each save is a version.
  session.modifiedTime = session.uploadStartTime;
  session.unsent = false;
  session.failureTold = false;
  session.state = EditSessionState::Editing;
}

}  // namespace plumet
