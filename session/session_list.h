#pragma once
// The list of edit sessions and its once-a-second state machine.
//
// What the shell does with it (all on the main thread unless said otherwise):
//   - At start: curl_global_init, dorvic_set_host / dorvic_set_secret, then build an EnginePorts
//     (session/engine_ports.h), fill in its notifier and opener, and construct the SessionList
//     with its ports and the private temp folder (platform/temp_dir.h). Call
//     AnnounceUnsentCopies() once, then OnLaunchRequest() (session/launch_request.h) for the
//     program's own launch URL, if any.
//   - For every launch request handed over by a later start (the queued WM_LAUNCH_REQUEST
//     call): OnLaunchRequest(list, text); when it returns true call OnSessionTick() right away,
//     so that a click opens the editor without waiting for the next timer beat.
//   - Every 1000 ms (the session timer): OnSessionTick().
//   - At the orderly exit ("退出", SIGTERM, SIGINT), after stopping the timers:
//     CloseAllSessions(). Then destroy the list and the ports.
//   - Ports the shell implements: Notifier (ShowBalloon: notification with summary "提示") and
//     Opener (OpenWithAssociatedApp). Both are also called from download threads, with the
//     session lock held; see session/session_ports.h.
// Nothing here needs Qt; tests drive the list with fake ports.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/edit_session.h"
#include "session/session_ports.h"

namespace plumet {

// Counts by state, for the tooltip or a "busy" check.
struct SessionSummary {
  int total = 0;
  int transferring = 0;  // Downloading or Uploading
  int unsent = 0;        // sessions whose copy holds changes the service has not confirmed
};

class SessionList {
 public:
  // `tempDir`: the private temp folder, with or without a trailing "/"; every local copy lies in
  // it. `unsentDir`: where copies with unsent changes are saved at exit (empty: the default
  // under $XDG_STATE_HOME, see platform/unsent_store.h).
  SessionList(const SessionPorts& ports, std::string tempDir, std::string unsentDir = {});
  ~SessionList();  // CloseAllSessions() if the shell did not
  SessionList(const SessionList&) = delete;
  SessionList& operator=(const SessionList&) = delete;

  // Takes a new session (state New). False when it declines it (a download of the same file
  // is already running); the record is then discarded.
  bool RegisterSession(std::unique_ptr<EditSession> session);

  // One step of every session. Holds the session lock for the whole pass.
  void OnSessionTick();

  // Orderly exit: stops every task and waits for it, deletes the copies that hold nothing
  // unsent, keeps the others in place and saves them into the unsent store.
  void CloseAllSessions();

  // Tells the user (one balloon) about copies kept in the unsent store by an earlier run.
  void AnnounceUnsentCopies();

  SessionSummary Summary();

  const std::string& tempDir() const { return tempDir_; }  // with a trailing "/"
  std::recursive_mutex& lock() { return lock_; }
  const SessionPorts& ports() const { return ports_; }

  // The sessions, for tests; read them under lock().
  const std::vector<std::unique_ptr<EditSession>>& sessions() const { return sessions_; }

 private:
  enum class Retirement { kReplaced, kExpired, kExit };
  void StepNew(EditSession& session);
  bool StepEditing(EditSession& session);  // false: the session ends
  void StepUploaded(EditSession& session);
  void StepFailed(EditSession& session);
  bool ExchangeToken(EditSession& session);
  void OnDownloadFinished(uint64_t id, DownloadOutcome outcome, const std::string& cause);
  void OpenCopy(EditSession& session);
  void Fail(EditSession& session, const std::string& cause, const std::wstring& text);
  bool HasUnsentChanges(const EditSession& session);
  void MoveAside(EditSession& session);
  void StopTask(EditSession& session);
  void Retire(std::unique_ptr<EditSession> session, Retirement how);
  void Tell(const std::wstring& text);
  void Log(const EditSession& session, const std::string& what);

  SessionPorts ports_;
  std::string tempDir_;
  std::string unsentDir_;
  std::recursive_mutex lock_;
  std::vector<std::unique_ptr<EditSession>> sessions_;
  uint64_t nextId_ = 1;
};

}  // namespace plumet
