#pragma once
// The list of edit sessions and its once-a-second state machine.
//
// What the shell does with it (all on the main thread unless said otherwise):
//   - At start: curl_global_init, dorvic_set_host / dorvic_set_secret, then build an EnginePorts
//     (session/engine_ports.h), fill in its notifier and opener, and construct the SessionList
//     with its ports and the private temp folder (platform/temp_dir.h). SetWake() with a call
//     that runs a tick soon on the main thread (answers of the network calls arrive off it).
//     Then AnnounceUnsentCopies(), Resume() (the journal of an earlier run), and OnLaunchRequest()
//     (session/launch_request.h) for the program's own launch URL, if any.
//   - For every launch request handed over by a later start (queued to the main thread by the
//     hand-off listener): OnLaunchRequest(list, text); when it returns true call OnSessionTick()
//     right away, so that a click opens the editor without waiting for the next timer beat.
//   - Every 1000 ms (the session timer), on every wake, and when a copy's folder reports a save:
//     OnSessionTick().
//   - At the orderly exit ("退出", SIGTERM, SIGINT, SIGHUP, SIGQUIT), after stopping the timers:
//     CloseAllSessions(). When LeftWorkRunning() then says a call still hangs, end the process
//     instead of destroying the list.
//   - Ports the shell implements: Notifier (ShowBalloon and ShowLasting: notifications with
//     summary "提示") and Opener (OpenWithAssociatedApp). Both are also called from download
//     threads, with the session lock held; see session/session_ports.h.
// Nothing here needs Qt; tests drive the list with fake ports.
//
// The members are defined in three files: session_list.cpp (the list, the tick, the journal and
// the exit), session_opening.cpp (from a click to an open copy) and session_saving.cpp (from a
// save to a stored version).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "session/edit_session.h"
#include "session/session_menu.h"
#include "session/session_ports.h"

namespace plumet {

// Counts by state, for the tooltip or a "busy" check.
struct SessionSummary {
  int total = 0;
  int transferring = 0;  // Downloading or Uploading
  int uploading = 0;
  int opening = 0;  // clicks waiting for the service before their download
  int unsent = 0;   // sessions whose copy holds changes the service has not confirmed
  int editing = 0;  // copies open for editing with nothing left to send
  // The first transfer in the list, for the tooltip: its remote path, direction and how far it is.
  std::wstring transferPath;
  bool transferIsUpload = false;
  int transferPercent = 0;
};

class SessionJournal;

class SessionList {
 public:
  // `tempDir`: the private temp folder, with or without a trailing "/"; every local copy lies in
  // it. `unsentDir`: where copies with unsent changes are saved at exit (empty: the default
  // under $XDG_STATE_HOME, see platform/unsent_store.h). `journalDir`: where the session journal
  // lives (empty: $XDG_STATE_HOME/plumet/, see session/session_journal.h).
  SessionList(const SessionPorts& ports, std::string tempDir, std::string unsentDir = {},
              std::string journalDir = {});
  ~SessionList();  // CloseAllSessions() if the shell did not
  SessionList(const SessionList&) = delete;
  SessionList& operator=(const SessionList&) = delete;

  // Takes a click. A file that has a session already keeps it: the session takes the click's
  // token (a link that had expired works again, an upload that had failed for good is tried
  // again) and its copy is opened again; nothing is downloaded over it. Otherwise the record
  // becomes a new session (state New). False when it is declined; the record is then discarded.
  bool RegisterSession(std::unique_ptr<EditSession> session);

  // Whether (mount, remote path) has a session.
  bool HasSession(int32_t mount, const std::wstring& remotePath) const;

  // At start, before the first click: the sessions the journal kept from an earlier run (a
  // kill -9, a crash, a logout) are watched again, and copies holding unsent changes are sent
  // without a new click. A copy lost with the temp folder comes back from the unsent store.
  void Resume();

  // One step of every session. Holds the session lock for the whole pass.
  void OnSessionTick();

  // Orderly exit, bounded whatever the network does: first saves each copy with unsent changes
  // into the unsent store and writes the journal (a SIGKILL after that loses nothing), then asks
  // every task to stop and waits at most `grace` for them. The journal is kept: the next start
  // watches the copies again (an editor may still save them) and sends what is unsent. Nothing is
  // deleted. Tasks and calls that did not end in time are left running: LeftWorkRunning() then
  // tells the shell to end the process without waiting for them.
  void CloseAllSessions(std::chrono::milliseconds grace = std::chrono::milliseconds(1000));
  bool LeftWorkRunning() const;

  // Called (from any thread) when a dispatched call has delivered its result: the shell runs a
  // tick soon on the main thread. Cleared by CloseAllSessions.
  void SetWake(std::function<void()> wake);

  // Tells the user (one balloon) about copies kept in the unsent store by an earlier run.
  void AnnounceUnsentCopies();

  SessionSummary Summary() const;

  // The tray menu's view of the list (see session/session_menu.h).
  SessionMenu Menu() const;

  // The tray menu's entry of a session: its copy opened again in its application. False when the
  // session has gone or has no copy yet.
  bool OpenAgain(uint64_t id);

  // The folders of the copies being watched, for a watcher that wakes the tick at a save.
  std::set<std::string> CopyFolders() const;

  const std::string& tempDir() const { return tempDir_; }  // with a trailing "/"
  const std::string& unsentDir() const { return unsentDir_; }
  std::recursive_mutex& lock() { return lock_; }
  const SessionPorts& ports() const { return ports_; }

  // The sessions, for tests; read them under lock().
  const std::vector<std::unique_ptr<EditSession>>& sessions() const { return sessions_; }

  // Seconds before upload attempt n + 1 after n failures in a row (n >= 1): 5 s doubling to 300 s,
  // plus up to a quarter more at random so that many copies do not retry in step.
  static int64_t RetryDelay(int32_t failures, uint32_t random);

 private:
  class UploadReporter;
  struct Mailbox;
  using Result = std::function<void(SessionList&)>;
  // `call` answers with what to do under the lock, and whether to wake the tick for it now (a
  // failure waits for the next beat: a service that is down is not asked again at once).
  void Dispatch(std::function<std::pair<Result, bool>()> call);
  void DrainMailbox();
  bool ApplyToken(EditSession& session, TokenResult result, const std::wstring& access,
                  const std::string& cause);
  void OnPrepared(uint64_t id, TokenResult token, const std::wstring& access,
                  const std::string& tokenCause, RegetEnd reget, const dorvic_file_reget& answer,
                  const std::string& cause);
  void OnUploadToken(uint64_t id, TokenResult token, const std::wstring& access,
                     const std::string& cause);
  enum class Retirement { kReplaced, kExpired };
  EditSession* Find(int32_t mount, const std::wstring& remotePath);
  bool TakeClick(EditSession& session, const EditSession& click);
  void StepNew(EditSession& session);
  bool StepEditing(EditSession& session);  // false: the session ends
  void StartUpload(EditSession& session, int64_t modified);
  void StepUploaded(EditSession& session);
  void OnDownloadFinished(uint64_t id, DownloadOutcome outcome, const std::string& cause);
  bool PlaceDownload(EditSession& session);
  void OnUploadFinished(uint64_t id, const UploadReport& report);
  void OpenCopy(EditSession& session);
  void Fail(EditSession& session, const std::string& cause, const std::wstring& text,
            const NoticeAction& action = {});
  void DeferUpload(EditSession& session, const std::string& cause);
  bool HasUnsentChanges(const EditSession& session);
  bool MoveAside(const EditSession& session, const std::string& path);
  void StopTask(EditSession& session);
  void Retire(std::unique_ptr<EditSession> session, Retirement how);
  void WriteJournal();
  void Tell(const std::wstring& text, bool lasting = false, const NoticeAction& action = {});
  // The action of a notice about a kept copy: its folder shown.
  static NoticeAction ShowFolderOf(const std::string& path);
  void NoteServiceTrouble();
  void NoteServiceAnswered();
  void Log(const EditSession& session, const std::string& what);

  SessionPorts ports_;
  std::string tempDir_;
  std::string unsentDir_;
  std::unique_ptr<SessionJournal> journal_;
  mutable std::recursive_mutex lock_;
  std::vector<std::unique_ptr<EditSession>> sessions_;
  uint64_t nextId_ = 1;
  uint32_t random_;
  std::shared_ptr<Mailbox> mailbox_;
  bool leftTasks_ = false;
  int serviceFailures_ = 0;   // failed exchanges with the service in a row, all sessions
  bool waitingTold_ = false;  // the user was told that plumet waits for the service
};

}  // namespace plumet
