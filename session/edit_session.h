#pragma once
// The record of one file opened for editing from the browser. The session list owns it; every field
// is read and written under the session lock. An upload task works on a copy of what it needs (an
// UploadJob) and reports back once, under the lock, through the session's uploadObserver.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/transfer_task.h"
#include "upload/upload_job.h"

namespace plumet {

enum class EditSessionState : int32_t {
  New = 0,          // registered, not yet fetched
  Downloading = 1,  // a download task fills the local copy
  Editing = 2,      // the copy is open in its application and watched
  Uploading = 3,    // an upload task sends the copy
  Uploaded = 4,     // the upload task finished successfully
  Failed = 5,       // re-fetch or download failed, or an upload failed for good (see `stopped`)
};

// What a session's `task` holds: a download or an upload task. Destroying one stops its thread
// and waits for it, so a session may be freed once its task is gone.
using SessionTask = TransferTask;

struct EditSession {
  EditSessionState state = EditSessionState::New;
  int32_t mount = 0;
  std::wstring refreshToken;
  std::wstring accessToken;
  std::wstring remotePath;
  std::wstring localPath;
  uint64_t fileSize = 0;
  std::wstring fileHash;
  std::wstring uploadHash;
  // Modification time of the copy, in nanoseconds since 1970, when it was opened or when its last
  // confirmed upload started: a save within the same second still differs.
  int64_t modifiedTime = 0;
  int32_t deltaRefused = 0;  // the server refused block checksums: later uploads go whole

  // Kept by the session list.
  uint64_t id = 0;              // unique per run; a finishing download finds its session by it
  int64_t uploadStartTime = 0;  // the copy's modification time when the running upload started
  bool unsent = false;          // the copy holds saved changes the service has not confirmed
  bool failureTold = false;     // the user has been told why this session failed
  int32_t refusedGrants = 0;    // "invalid_grant" answers in a row
  int32_t tokenFailures = 0;    // other failed exchanges in a row
  int32_t regetFailures = 0;    // re-fetches in a row that may heal

  // What an edit must never lose, kept in the journal (session/session_journal.h).
  std::wstring downloadedHash;  // the service's hash of the content the copy was downloaded as
  std::wstring storedHash;      // the hash this session last stored
  int64_t storedAt = 0;         // seconds since 1970 when it stored it (this run only)
  std::string workDir;          // private folder of the download part and the upload snapshots
  std::string unsentCopy;       // where an exit saved the unsent copy (the unsent store), if it did
  int64_t retryAt = 0;          // seconds since 1970: no new upload attempt before then
  int32_t uploadFailures = 0;   // failed upload attempts in a row
  bool waitingForClick = false;  // the link expired: the token of the next click sends the copy
  bool stopped = false;          // an upload failed for good: nothing is tried until the next click
  bool callPending = false;      // a token exchange or re-fetch for this session runs off the tick

  std::unique_ptr<UploadObserver> uploadObserver;  // the running upload reports through it
  // Declared last so that it is destroyed first: a task's thread never outlives the record.
  std::unique_ptr<SessionTask> task;
};

}  // namespace plumet
