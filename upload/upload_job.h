#pragma once
// What one upload is asked to do and what it reports back: the engine's whole contract with its
// callers (the edit sessions, the command line, the benchmarks). The engine never sees a session:
// a job is copied in when the task starts, and the outcome comes back once, through an
// UploadObserver, so the same job can be run again by whoever retries it.

#include <cstdint>
#include <string>
#include <vector>

namespace plumet {

struct UploadJob {
  std::wstring accessToken;
  std::wstring remotePath;
  int32_t mount = 0;
  // The file that is read and sent (UTF-8 path): for an edit session a snapshot of the copy, so a
  // save during the upload is simply the next upload. The delta's literal file goes beside it.
  std::string sourcePath;
  // SHA-1 of sourcePath when the caller knows it (40 lowercase hex digits); computed when empty.
  std::wstring fileHash;
  bool deltaRefused = false;  // the server refused block checksums before: send the whole content
  // Conflict check before registering: the hashes the service's content may have without anybody
  // else having stored a version since this content was based on it (the hash downloaded, the
  // hash last stored). Empty: no check. When the service's current content has another hash, the
  // content is stored beside it under ConflictCopyPath(remotePath, now) instead.
  std::vector<std::wstring> expectedRemoteHashes;
};

// How an upload ended, as its caller needs to act on it.
enum class UploadEnd {
  kStored,     // the service holds the content (sent now, or already held)
  kRetry,      // failed in a way that may heal: network, 5xx, no identity line, stalled transfer
  kPermanent,  // failed in a way retrying will not mend: 401/403, a path the service refuses
  kStopped,    // the owner stopped the task (never reported through the observer)
};

struct UploadReport {
  UploadEnd end = UploadEnd::kRetry;
  int32_t status = 0;       // the last result code (HTTP status, 10061, or the service's code)
  std::string cause;        // a few words for the log; never a token
  std::wstring storedPath;  // the remote path the content went to (a conflict copy's, if any)
  bool conflict = false;    // storedPath is a conflict copy beside remotePath
  std::wstring fileHash;    // SHA-1 of what was sent
  uint64_t fileSize = 0;
  std::wstring uploadHash;     // the path hash of the registration
  bool alreadyStored = false;  // the service held this content: nothing was sent
  bool delta = false;          // the content went as a block delta
  bool deltaRefused = false;   // the server refused block checksums on the way
  int32_t version = 0;         // the version the registration named
  uint64_t bytesSent = 0;      // request body bytes (parts and match list)
};

// Told once, on the worker's thread, after the task's done event is set and with the owner's lock
// held, unless the task was asked to stop: then nothing is told, and the owner that stopped the
// task may free whatever the observer points into as soon as the task is destroyed.
class UploadObserver {
 public:
  virtual ~UploadObserver() = default;
  virtual void OnUploadFinished(const UploadReport& report) = 0;
};

// "/a/notes.txt" at 2026-12-07 21:30:15 local time -> "/a/notes (冲突副本 2026-12-07 213015).txt":
// same folder, stem and extension kept. `now` is seconds since 1970.
std::wstring ConflictCopyPath(const std::wstring& remotePath, int64_t now);

}  // namespace plumet
