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
#include "session/session_files.h"
#include "session/session_journal.h"
#include "session/session_texts.h"

namespace plumet {

using plumet_text::FromUtf8;
using plumet_text::ToUtf8;
using texts::Format;

namespace {

// "invalid_grant" answers in a row after which the link counts as expired.
constexpr int32_t kRefusedGrantLimit = 5;

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

void SessionList::Tell(const std::wstring& text, bool lasting, const NoticeAction& action) {
  if (lasting) {
    ports_.notifier->ShowLasting(texts::kTitle, text, action);
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

bool SessionList::LeftWorkRunning() const {
  std::lock_guard<std::mutex> guard(mailbox_->mutex);
  return leftTasks_ || mailbox_->inFlight > 0;
}

EditSession* SessionList::Find(int32_t mount, const std::wstring& remotePath) {
  for (auto& s : sessions_) {
    if (s->mount == mount && s->remotePath == remotePath) return s.get();
  }
  return nullptr;
}

bool SessionList::HasSession(int32_t mount, const std::wstring& remotePath) const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& s) {
    return s->mount == mount && s->remotePath == remotePath;
  });
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
    Tell(Format(texts::kMovedAside, session.remotePath, FromUtf8(aside)), true,
         ShowFolderOf(aside));
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

void SessionList::Fail(EditSession& session, const std::string& cause, const std::wstring& text,
                       const NoticeAction& action) {
  session.state = EditSessionState::Failed;
  session.failureTold = true;
  Log(session, cause);
  if (!text.empty()) Tell(text, true, action);
}

NoticeAction SessionList::ShowFolderOf(const std::string& path) {
  return {NoticeAction::Kind::kOpenFolder, FolderOf(path)};
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
               Format(texts::kLinkExpired, session.remotePath),
               {NoticeAction::Kind::kReopenWebPage, {}});
          return false;
        }
        // The copy stays and is watched; the next click on this file brings a token to send it.
        session.waitingForClick = true;
        const bool kept = HasUnsentChanges(session);
        session.unsent = kept;
        Log(session, "edit link expired: " + cause);
        if (kept) {
          Tell(Format(texts::kLinkExpiredKept, session.remotePath, session.localPath), true,
               ShowFolderOf(ToUtf8(session.localPath)));
        } else {
          Tell(Format(texts::kLinkExpired, session.remotePath), true,
               {NoticeAction::Kind::kReopenWebPage, {}});
        }
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
  Tell(Format(texts::kUnsentKept, FromUtf8(unsentDir_)), true,
       {NoticeAction::Kind::kOpenFolder, unsentDir_});
}

std::set<std::string> SessionList::CopyFolders() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::set<std::string> folders;
  for (auto& session : sessions_) {
    if (session->state != EditSessionState::New && session->state != EditSessionState::Downloading)
      folders.insert(FolderOf(ToUtf8(session->localPath)));
  }
  return folders;
}

SessionMenu SessionList::Menu() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  SessionMenu menu;
  const int64_t now = ports_.clock->NowSeconds();
  for (auto& session : sessions_) {
    menu.sessions.push_back(
        {session->id,
         SessionEntryText(session->remotePath, SessionStateText(*session, now, waitingTold_))});
    if (StillOpen(*session)) ++menu.stillOpen;
  }
  menu.unsentKept = !platform::ListUnsentCopies(unsentDir_).empty();
  return menu;
}

bool SessionList::OpenAgain(uint64_t id) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto& session : sessions_) {
    if (session->id != id) continue;
    if (session->state == EditSessionState::New ||
        session->state == EditSessionState::Downloading ||
        !platform::PathExists(ToUtf8(session->localPath))) {
      return false;
    }
    OpenCopy(*session);
    return true;
  }
  return false;
}

SessionSummary SessionList::Summary() const {
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
    if (session->unsent || session->state == EditSessionState::Uploading) {
      ++summary.unsent;
    } else if (session->state == EditSessionState::Editing) {
      ++summary.editing;
    }
  }
  return summary;
}

}  // namespace plumet
