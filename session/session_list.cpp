#include "session/session_list.h"

#include <algorithm>
#include <random>
#include <thread>
#include <utility>

#include "common/text_utf.h"
#include "platform/file_ops.h"
#include "platform/file_snapshot.h"
#include "platform/state_dir.h"
#include "platform/unsent_store.h"
#include "session/launch_request.h"
#include "session/session_journal.h"
#include "session/session_texts.h"
#include "upload/digests.h"

namespace plumet {

using plumet_text::FromUtf8;
using plumet_text::ToUtf8;

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

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The session's own files: the download before it is complete, and the snapshot an upload reads.
std::string DownloadPart(const EditSession& s) { return s.workDir + "download"; }
std::string Snapshot(const EditSession& s) { return s.workDir + "upload"; }

// Empties and removes the session's work folder; its files are all of our own making.
void RemoveWorkDir(const EditSession& s) {
  if (s.workDir.empty()) return;
  platform::RemoveFile(DownloadPart(s));
  platform::RemoveFile(Snapshot(s));
  platform::RemoveEmptyFolder(s.workDir);
}

// Removes the copy's now empty folders up to the temp folder (a folder with anything in it stays).
void RemoveEmptyFolders(const std::string& tempDir, std::string dir) {
  while (dir.size() > tempDir.size() && dir.compare(0, tempDir.size(), tempDir) == 0) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    if (!platform::RemoveEmptyFolder(dir)) return;
    dir = FolderOf(dir);
  }
}

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

// Results of the calls that run off the tick. Shared with the calls, so that one still running when
// the list is gone finds a mailbox that nobody reads any more instead of a freed list.
struct SessionList::Mailbox {
  std::mutex mutex;
  std::vector<Result> results;
  std::function<void()> wake;
  int inFlight = 0;
  bool closed = false;

  void Deliver(std::pair<Result, bool> answer) {
    std::lock_guard<std::mutex> guard(mutex);
    --inFlight;
    if (closed) return;
    results.push_back(std::move(answer.first));
    // Under the mutex: the exit clears `wake` under it before the shell goes away.
    if (answer.second && wake) wake();
  }
};

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

SessionList::SessionList(const SessionPorts& ports, std::string tempDir, std::string unsentDir,
                         std::string journalDir)
    : ports_(ports),
      tempDir_(std::move(tempDir)),
      unsentDir_(std::move(unsentDir)),
      random_(std::random_device{}()),
      mailbox_(std::make_shared<Mailbox>()) {
  if (!tempDir_.empty() && tempDir_.back() != '/') tempDir_.push_back('/');
  if (unsentDir_.empty()) unsentDir_ = platform::UnsentStoreDir();
  if (journalDir.empty()) journalDir = platform::StateDir();
  journal_ = std::make_unique<SessionJournal>(journalDir);
}

SessionList::~SessionList() { CloseAllSessions(); }

int64_t SessionList::RetryDelay(int32_t failures, uint32_t random) {
  int64_t base = 5;
  for (int32_t i = 1; i < failures && base < 300; ++i) base *= 2;
  base = std::min<int64_t>(base, 300);
  return base + static_cast<int64_t>(random % static_cast<uint32_t>(base / 4 + 1));
}

void SessionList::Tell(const std::wstring& text, bool lasting) {
  if (lasting) {
    ports_.notifier->ShowLasting(texts::kTitle, text);
  } else {
    ports_.notifier->ShowBalloon(texts::kTitle, text);
  }
}

// After a few failures in a row, one notice that plumet waits for the service; one more when it
// answers again. Between them the tooltip counts what waits.
constexpr int kServiceFailuresBeforeNotice = 3;

void SessionList::NoteServiceTrouble() {
  if (++serviceFailures_ < kServiceFailuresBeforeNotice || waitingTold_) return;
  waitingTold_ = true;
  ports_.log->Failure("the service does not answer; waiting for it");
  Tell(texts::kWaitingForService, true);
}

void SessionList::NoteServiceAnswered() {
  serviceFailures_ = 0;
  if (!waitingTold_) return;
  waitingTold_ = false;
  Tell(texts::kServiceBack);
}

void SessionList::Log(const EditSession& session, const std::string& what) {
  ports_.log->Failure("[" + ToUtf8(session.remotePath) + "] " + what);
}

void SessionList::WriteJournal() { journal_->Write(sessions_); }

void SessionList::SetWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(mailbox_->mutex);
  mailbox_->wake = std::move(wake);
}

void SessionList::Dispatch(std::function<std::pair<Result, bool>()> call) {
  {
    std::lock_guard<std::mutex> guard(mailbox_->mutex);
    ++mailbox_->inFlight;
  }
  std::shared_ptr<Mailbox> mailbox = mailbox_;
  auto work = [mailbox, call = std::move(call)] { mailbox->Deliver(call()); };
  if (ports_.dispatcher != nullptr) {
    ports_.dispatcher->Post(std::move(work));
  } else {
    work();
  }
}

void SessionList::DrainMailbox() {
  std::vector<Result> results;
  {
    std::lock_guard<std::mutex> guard(mailbox_->mutex);
    results.swap(mailbox_->results);
  }
  for (Result& result : results) result(*this);
}

bool SessionList::LeftWorkRunning() {
  std::lock_guard<std::mutex> guard(mailbox_->mutex);
  return leftTasks_ || mailbox_->inFlight > 0;
}

EditSession* SessionList::Find(int32_t mount, const std::wstring& remotePath) {
  for (auto& s : sessions_) {
    if (s->mount == mount && s->remotePath == remotePath) return s.get();
  }
  return nullptr;
}

bool SessionList::HasSession(int32_t mount, const std::wstring& remotePath) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return Find(mount, remotePath) != nullptr;
}

bool SessionList::HasUnsentChanges(const EditSession& session) {
  const int64_t m = ports_.probes->GetFileModifiedTime(ToUtf8(session.localPath));
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
  // Destroying a task stops its thread and waits for it; a stopped upload reports nothing.
  session.task.reset();
  session.uploadObserver.reset();
}

void SessionList::Retire(std::unique_ptr<EditSession> session, Retirement how) {
  if (session->state == EditSessionState::Uploaded) {
    // The service holds the upload: say so even though the session ends here.
    Tell(Format(texts::kUploaded, session->remotePath));
  }
  StopTask(*session);
  const std::string path = ToUtf8(session->localPath);
  const bool unsent = HasUnsentChanges(*session);
  if (unsent) {
    // Only a replaced session can hold unsent changes here; its copy stays, under another name.
    if (how == Retirement::kReplaced) MoveAside(*session, path);
  } else {
    platform::RemoveFile(path);
    RemoveEmptyFolders(tempDir_, FolderOf(path));
  }
  RemoveWorkDir(*session);
}

bool SessionList::MoveAside(const EditSession& session, const std::string& path) {
  if (!platform::PathExists(path)) return true;
  for (int n = 1; n < 1000; ++n) {
    const std::string aside = AsideName(path, n);
    // Never over an existing name; the original name is then free for the new copy.
    const platform::MoveResult moved = platform::MoveWithoutReplacing(path, aside);
    if (moved == platform::MoveResult::kNameTaken) continue;
    if (moved == platform::MoveResult::kFailed) break;
    Log(session, "unsent changes moved aside to " + aside);
    Tell(Format(texts::kMovedAside, session.remotePath, FromUtf8(aside)), true);
    return true;
  }
  Log(session, "unsent changes could not be moved aside");
  return false;
}

bool SessionList::TakeClick(EditSession& session, const EditSession& click) {
  // The click's token is the freshest the user gave for this file: a link that had expired or an
  // upload that had failed for good gets another chance with it.
  session.refreshToken = click.refreshToken;
  session.refusedGrants = 0;
  session.tokenFailures = 0;
  session.waitingForClick = false;
  switch (session.state) {
    case EditSessionState::New:          // the copy is on its way and opens when it is there
    case EditSessionState::Downloading:  // arriving already; a stalled one ends by its time limit
      return true;
    case EditSessionState::Failed:
      if (!session.stopped) return false;  // nothing of the user's: start afresh
      session.stopped = false;
      session.failureTold = false;
      session.uploadFailures = 0;
      session.retryAt = 0;
      session.state = EditSessionState::Editing;
      break;
    case EditSessionState::Editing:
      session.uploadFailures = 0;
      session.retryAt = 0;
      break;
    case EditSessionState::Uploading:
    case EditSessionState::Uploaded:
      break;
  }
  OpenCopy(session);
  return true;
}

bool SessionList::RegisterSession(std::unique_ptr<EditSession> session) {
  if (!session) return false;
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (EditSession* old = Find(session->mount, session->remotePath)) {
    if (TakeClick(*old, *session)) {
      WriteJournal();
      return true;
    }
  }
  // A session of the same remote file that holds nothing of the user's, and any other whose copy
  // would be the same file (never, with a folder per remote file), ends now: two sessions must
  // never watch one copy.
  for (size_t i = 0; i < sessions_.size();) {
    EditSession& old = *sessions_[i];
    const bool same = old.mount == session->mount && old.remotePath == session->remotePath;
    if (!same && old.localPath != session->localPath) {
      ++i;
      continue;
    }
    std::unique_ptr<EditSession> retired = std::move(sessions_[i]);
    sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(i));
    Retire(std::move(retired), Retirement::kReplaced);
  }
  if (session->workDir.empty())
    session->workDir = WorkDirFor(tempDir_, session->mount, session->remotePath);
  session->id = nextId_++;
  sessions_.push_back(std::move(session));
  WriteJournal();
  return true;
}

void SessionList::Resume() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto& session : journal_->Read()) {
    if (Find(session->mount, session->remotePath) != nullptr) continue;
    const std::string path = ToUtf8(session->localPath);
    if (session->state != EditSessionState::New && !platform::PathExists(path)) {
      // The temp folder went with a reboot: an unsent copy comes back from the unsent store.
      int64_t ignored = 0;
      if (!session->unsent || session->unsentCopy.empty() ||
          !platform::MakePrivateDirs(FolderOf(path)) ||
          !platform::SnapshotFile(session->unsentCopy, path, ignored)) {
        continue;
      }
      session->modifiedTime = 0;  // whatever its time, it is unsent
    }
    if (session->workDir.empty())
      session->workDir = WorkDirFor(tempDir_, session->mount, session->remotePath);
    session->id = nextId_++;
    if (session->unsent) Log(*session, "unsent changes of an earlier run are sent again");
    sessions_.push_back(std::move(session));
  }
  WriteJournal();
}

void SessionList::Fail(EditSession& session, const std::string& cause, const std::wstring& text) {
  session.state = EditSessionState::Failed;
  session.failureTold = true;
  Log(session, cause);
  if (!text.empty()) Tell(text, true);
}

bool SessionList::ApplyToken(EditSession& session, TokenResult result, const std::wstring& access,
                             const std::string& cause) {
  switch (result) {
    case TokenResult::kOk:
      session.accessToken = access;
      session.refusedGrants = 0;
      session.tokenFailures = 0;
      return true;  // the service counts as back once the call the token was for went through
    case TokenResult::kInvalidGrant:
      session.tokenFailures = 0;
      if (++session.refusedGrants >= kRefusedGrantLimit) {
        if (session.state == EditSessionState::New) {
          Fail(session, "edit link expired: " + cause,
               Format(texts::kLinkExpired, session.remotePath));
          return false;
        }
        // The copy stays and is watched; the next click on this file brings a token to send it.
        session.waitingForClick = true;
        const bool kept = HasUnsentChanges(session);
        session.unsent = kept;
        Log(session, "edit link expired: " + cause);
        Tell(kept ? Format(texts::kLinkExpiredKept, session.remotePath, session.localPath)
                  : Format(texts::kLinkExpired, session.remotePath),
             true);
      }
      return false;
    case TokenResult::kFailed:
      session.refusedGrants = 0;
      NoteServiceTrouble();
      // Retried every tick: one line when the trouble starts, not one a second.
      if (session.tokenFailures++ == 0) Log(session, "token exchange failed: " + cause);
      return false;
  }
  return false;
}

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

void SessionList::DeferUpload(EditSession& session, const std::string& cause) {
  session.state = EditSessionState::Editing;
  session.unsent = true;
  ++session.uploadFailures;
  session.retryAt = ports_.clock->NowSeconds() + RetryDelay(session.uploadFailures, random_);
  random_ = random_ * 1664525u + 1013904223u;
  if (session.uploadFailures == 1) {
    // Once when the trouble starts; the retries go on quietly until the upload lands.
    Log(session, cause + "; retried, changes kept in " + ToUtf8(session.localPath));
    Tell(Format(texts::kUploadRetrying, session.remotePath, session.localPath), true);
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
             Format(texts::kUploadFailed, session.remotePath, session.localPath));
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

void SessionList::OnSessionTick() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  DrainMailbox();
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
        // A failed download or re-fetch has nothing of the user's; a session whose upload failed
        // for good keeps its copy until the next click. Neither ends by itself.
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
  // Calls run inline (no dispatcher) have answered already: act on them in this same tick.
  DrainMailbox();
  WriteJournal();
}

void SessionList::CloseAllSessions(std::chrono::milliseconds grace) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  {
    // Answers still to come go nowhere, and nobody is woken for them any more.
    std::lock_guard<std::mutex> hold(mailbox_->mutex);
    mailbox_->closed = true;
    mailbox_->wake = nullptr;
    mailbox_->results.clear();
  }
  if (sessions_.empty()) return;
  // First what must survive a SIGKILL that may follow at any moment (a logout gives seconds).
  for (auto& session : sessions_) {
    session->callPending = false;
    const std::string path = ToUtf8(session->localPath);
    if (!HasUnsentChanges(*session) || !platform::PathExists(path)) continue;
    session->unsent = true;
    // The safety copy the user can find, also when the temp folder goes with a reboot.
    if (!session->unsentCopy.empty()) platform::RemoveFile(session->unsentCopy);
    session->unsentCopy.clear();
    std::string stored;
    if (platform::SaveUnsentCopy(unsentDir_, path, stored)) {
      session->unsentCopy = stored;
      Log(*session, "unsent changes kept in " + path + " and " + stored);
    } else {
      Log(*session, "unsent changes kept in " + path);
    }
  }
  WriteJournal();

  // Then the tasks: all are asked at once, and none may hold the exit longer than `grace`. A
  // stopped upload reports nothing: its session stays unsent in the journal and is sent again.
  for (auto& session : sessions_) {
    if (session->task) session->task->RequestStop();
  }
  const auto deadline = std::chrono::steady_clock::now() + grace;
  for (auto& session : sessions_) {
    while (session->task && !session->task->threadDone.load() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (session->task && !session->task->threadDone.load()) {
      // Stuck in a call that cannot be interrupted (a registration, a hash): it is left to the
      // end of the process, and so is what it may still read.
      leftTasks_ = true;
      (void)session->task.release();
      (void)session->uploadObserver.release();
    }
    StopTask(*session);
  }
  sessions_.clear();
}

void SessionList::AnnounceUnsentCopies() {
  if (platform::ListUnsentCopies(unsentDir_).empty()) return;
  Tell(Format(texts::kUnsentKept, FromUtf8(unsentDir_)), true);
}

std::set<std::string> SessionList::CopyFolders() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::set<std::string> folders;
  for (auto& session : sessions_) {
    if (session->state != EditSessionState::New && session->state != EditSessionState::Downloading)
      folders.insert(FolderOf(ToUtf8(session->localPath)));
  }
  return folders;
}

SessionSummary SessionList::Summary() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SessionSummary summary;
  for (auto& session : sessions_) {
    ++summary.total;
    const bool upload = session->state == EditSessionState::Uploading;
    if (upload) ++summary.uploading;
    if (session->state == EditSessionState::New) ++summary.opening;
    if (upload || session->state == EditSessionState::Downloading) {
      if (summary.transferring++ == 0) {
        summary.transferPath = session->remotePath;
        summary.transferIsUpload = upload;
        if (session->task) {
          const uint64_t total = session->task->progressTotal.load();
          const uint64_t done = std::min(session->task->progressDone.load(), total);
          summary.transferPercent = total == 0 ? 0 : static_cast<int>(done * 100 / total);
        }
      }
    }
    if (session->unsent || session->state == EditSessionState::Uploading) ++summary.unsent;
  }
  return summary;
}

}  // namespace plumet
