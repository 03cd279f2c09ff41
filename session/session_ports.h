#pragma once
// What the session list needs from the world around it, as small interfaces: the shell provides
// the notifier and the opener (they need the desktop), the engine provides the rest (see
// session/engine_ports.h), and tests replace any of them with fakes to drive the state machine
// without a network, a desktop or real time.
//
// Threads: every port may be called from the main thread AND from a download thread (a finished
// download opens its copy at once), always with the session lock held; the token source and the
// file service are called from dispatched calls (see Dispatcher), without the lock. An
// implementation must therefore be safe to call from any thread and must never call back into the
// SessionList, nor run a nested event loop that could (the session lock is recursive: a tick
// started from inside a port would change the list under the pass that called it).

#include <dorvic/dorvic.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "auth/token_result.h"
#include "session/edit_session.h"
#include "upload/upload_job.h"

namespace plumet {

// What a lasting notification offers to do, where the desktop shows actions: show the folder of a
// kept copy ("打开文件夹"), or open the web page again for a new edit link ("重新打开网页").
struct NoticeAction {
  enum class Kind { kNone, kOpenFolder, kReopenWebPage };
  Kind kind = Kind::kNone;
  std::string folder;  // kOpenFolder: UTF-8
};

// Balloons and desktop notifications. Title and text may be of any length: the implementation
// truncates them to what its channel holds, it never refuses them.
class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void ShowBalloon(const std::wstring& title, const std::wstring& text) = 0;
  // A failure or a kept copy: shown until the user closes it, where the channel allows, with
  // `action` offered where it can be.
  virtual void ShowLasting(const std::wstring& title, const std::wstring& text,
                           const NoticeAction& action) {
    (void)action;
    ShowBalloon(title, text);
  }
};

enum class OpenResult {
  kOpened,         // the default application was started (or the chooser was shown)
  kNoAssociation,  // no application handles the copy's type and no chooser is available
  kRunsCode,       // the copy's type would be run, not opened: nothing was started
  kFailed,         // the launch itself failed
};

// Opens a local copy with the application the user associated with its type. `path` is UTF-8
// and lies in the private temp folder. Content whose type is run rather than opened by its
// handler (desktop entries, executables, installers, Java archives...) must not be opened: the
// answer is then kRunsCode, and the session ends Failed with its untouched copy deleted.
class Opener {
 public:
  virtual ~Opener() = default;
  virtual OpenResult OpenWithAssociatedApp(const std::string& path) = 0;
};

// Wall-clock time, in seconds since 1970 (session expiry).
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowSeconds() = 0;
};

// The refresh-token exchange. Leaves `accessToken` untouched unless it answers kOk; on failure
// `cause` says why in a few words (never with a token).
class TokenSource {
 public:
  virtual ~TokenSource() = default;
  virtual TokenResult Refresh(const std::wstring& refreshToken, std::wstring& accessToken,
                              std::string& cause) = 0;
};

// How a re-fetch ended: the file's answer, a failure that may heal (no answer, the service's own
// trouble), or a refusal that asking again does not change.
enum class RegetEnd { kFound, kRetry, kRefused };

// The service's re-fetch of a file: hash, size and download location.
class FileService {
 public:
  virtual ~FileService() = default;
  virtual RegetEnd RegetFile(const std::wstring& accessToken, const std::wstring& remotePath,
                             int32_t mount, dorvic_file_reget& answer, std::string& cause) = 0;
};

// Probes of the local copy. Paths are UTF-8.
class FileProbes {
 public:
  virtual ~FileProbes() = default;
  // Somebody else has the file open at all (or holds a lock on it). A missing file gives false.
  virtual bool IsFileOpenElsewhere(const std::string& path) = 0;
  // Somebody may still write the file: open for writing, locked, or an office lock file beside
  // it. A missing file gives true.
  virtual bool IsFileLocked(const std::string& path) = 0;
  // A save is still being written: another process has the file open for writing. Unlike
  // IsFileLocked, a record lock or an office lock file held while a document stays open does not
  // count. A missing file gives true.
  virtual bool IsBeingWritten(const std::string& path) = 0;
  // Modification time in nanoseconds since 1970, 0 when the file cannot be read.
  virtual int64_t GetFileModifiedTime(const std::string& path) = 0;
};

// How a download ended, as the session sees it.
enum class DownloadOutcome {
  kComplete,  // status 2xx, announced length and hash matched: the copy is the file
  kFailed,    // transfer error, refused status, wrong length or wrong hash
};

// Called by a download task on its own thread when its transfer ended, with the session lock
// held, and never after the task was asked to stop (destroying the task asks it to stop).
// `cause` says why a download failed.
using DownloadFinished = std::function<void(DownloadOutcome, const std::string& cause)>;

struct DownloadRequest {
  std::string url;        // from the re-fetch answer
  std::string localPath;  // UTF-8, inside the private temp folder
  uint64_t expectedSize =
      0;  // the announced size; 0 never reaches a task (empty files are not downloaded)
  std::string expectedSha1;  // 40 lowercase hex digits, or empty when the service named none
};

enum class DownloadStart {
  kStarted,     // `task` holds the running download
  kCopyFailed,  // the local copy could not be created; nothing started
};

// Creates the tasks a session holds. Both are called with the session lock held.
class TaskFactory {
 public:
  virtual ~TaskFactory() = default;
  // Creates (or truncates) the local copy, 0600 and without following a symlink, then starts the
  // transfer on a thread of its own.
  virtual DownloadStart StartDownload(const DownloadRequest& request, DownloadFinished finished,
                                      std::recursive_mutex& sessionLock,
                                      std::unique_ptr<SessionTask>& task) = 0;
  // Creates the local copy empty (a file of size 0 is not downloaded). False when it cannot.
  virtual bool CreateEmptyCopy(const std::string& localPath) = 0;
  // Starts an upload of `job` on a thread of its own; nullptr when the thread could not be
  // started. The task tells `observer` how it ended, with `sessionLock` held, unless it was
  // stopped (destroying the task stops it).
  virtual std::unique_ptr<SessionTask> StartUpload(const UploadJob& job, UploadObserver* observer,
                                                   std::recursive_mutex& sessionLock) = 0;
};

// One line per failure the user should know about, on stderr and in the system log. Callers
// never pass a token.
class FailureLog {
 public:
  virtual ~FailureLog() = default;
  virtual void Failure(const std::string& line) = 0;
};

// Runs a network call of the tick (token exchange, re-fetch) off the main thread, so that a
// service that does not answer never holds the main thread or the session lock. `work` must not
// touch the SessionList; it reports through the list's own mailbox. A call may still run when the
// list is gone: the program then ends without waiting for it.
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual void Post(std::function<void()> work) = 0;
};

// Everything the session list calls, not owned. All must outlive the list (and, for the ones the
// dispatched calls use, every call still running).
struct SessionPorts {
  Notifier* notifier = nullptr;
  Opener* opener = nullptr;
  Clock* clock = nullptr;
  TokenSource* tokens = nullptr;
  FileService* files = nullptr;
  FileProbes* probes = nullptr;
  TaskFactory* tasks = nullptr;
  FailureLog* log = nullptr;
  Dispatcher* dispatcher = nullptr;  // null: the calls run inline, within the tick (tests)
};

}  // namespace plumet
