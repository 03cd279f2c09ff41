#include "upload/upload_worker.h"

#include <dorvic/dorvic.h>

#include <chrono>
#include <ctime>
#include <cwctype>
#include <thread>

#include "common/credential_guard.h"
#include "common/result_codes.h"
#include "platform/file_ops.h"
#include "platform/file_probe.h"
#include "upload/digests.h"
#include "upload/service_calls.h"
#include "upload/upload_http.h"
#include "upload/upload_protocol.h"

namespace plumet {

namespace {

// How often FinishUpload looks again at the stop flag while the owner's lock is taken.
constexpr auto kLockRetryInterval = std::chrono::milliseconds(2);

constexpr int32_t kStatusUnauthorized = 401;
constexpr int32_t kStatusForbidden = 403;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The block size the service offers for content of `size` bytes: the smallest power of two of
// at least 4 KiB that cuts it into no more than 65536 blocks (a match names its block with 16
// bits). The offer comes with the upload session; this only lets work start before it.
uint32_t LikelyBlockSize(uint64_t size) {
  uint64_t block = 4096;
  while (block < (uint64_t{1} << 30) && (size + block - 1) / block > 65536) block <<= 1;
  return static_cast<uint32_t>(block);
}

// Hex digests compared without regard to case: the service and the callers may differ in it.
bool SameHash(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Before the registration: has somebody stored a version the content was not based on? Then the
// content goes beside the file, so that neither version is lost. False (with `report` filled) when
// the check itself failed.
bool CheckForConflict(CUploadTask& task, UploadReport& report) {
  if (task.expectedRemoteHashes.empty()) return true;
  dorvic_file_reget current;
  int32_t code = 0;
  if (!CallService(
          [&] { return dorvic_regetfile(task.accessToken, task.remotePath, task.mount, current); },
          code)) {
    if (IsNoSuchFile(code)) return true;  // deleted meanwhile: nothing to overwrite
    report = MakeReport(task, UploadEnd::kRetry, code,
                        "conflict check failed (service error " + std::to_string(code) + ")");
    return false;
  }
  if (current.filehash.empty()) return true;
  for (const std::wstring& expected : task.expectedRemoteHashes) {
    if (SameHash(current.filehash, expected)) return true;
  }
  task.storedPath = ConflictCopyPath(task.remotePath, static_cast<int64_t>(std::time(nullptr)));
  task.conflict = true;
  return true;
}

// Everything up to the end of the protocol; kStopped when the owner stopped the task.
UploadReport RunJob(CUploadTask& task) {
  // No hash (the file could not be read whole): nothing is registered.
  if (task.fileHash.empty()) return MakeReport(task, UploadEnd::kRetry, 0, "cannot read the file");
  // The REST calls below carry the token too. The library refuses such a host as well, but only
  // as a failed transfer, which would be retried: this ends the upload with its cause.
  task.refusal = plumet_transport::CredentialRefusal(ToUtf8(dorvic_get_host()), std::string());
  if (!task.refusal.empty()) {
    return MakeReport(task, UploadEnd::kPermanent, plumet_codes::kTransportFailure, task.refusal);
  }
  UploadReport report;
  if (!CheckForConflict(task, report)) return report;

  dorvic_addfile_ret answer;
  int32_t code = 0;
  if (!CallService(
          [&] {
            return dorvic_add_file(task.accessToken, task.storedPath, task.mount, task.fileHash,
                                   task.fileSize, 0, answer);
          },
          code)) {
    return MakeReport(task, RegistrationEnd(code), code,
                      "registration refused (service error " + std::to_string(code) + ")");
  }
  task.registeredVersion = answer.version;
  if (answer.state != 0) {
    task.alreadyStored = true;
    return MakeReport(task, UploadEnd::kStored, 0, "the service already held the content");
  }
  task.uploadHash = answer.hash;
  task.uploadServerUrl = answer.server;
  if (!OpenLocalFile(task)) return MakeReport(task, UploadEnd::kRetry, 0, "cannot open the file");
  switch (RunUploadProtocol(task)) {
    case UploadOutcome::kCompleted:
      return MakeReport(task, UploadEnd::kStored, task.status,
                        task.blockSize != 0 ? "sent as a block delta" : "sent whole");
    case UploadOutcome::kStopped:
      return MakeReport(task, UploadEnd::kStopped, task.status, "stopped");
    case UploadOutcome::kFailed:
      break;
  }
  return ProtocolFailureReport(task);
}

}  // namespace

bool OpenLocalFile(CUploadTask& task) {
  if (!platform::OpenDenyingWriters(task.sourcePath, task.localFile)) return false;
  const int64_t length = task.localFile.Length();
  if (length < 0) {
    task.localFile.Close();
    return false;
  }
  task.fileSize = static_cast<uint64_t>(length);
  return true;
}

UploadReport MakeReport(const CUploadTask& task, UploadEnd end, int32_t status, std::string cause) {
  UploadReport report;
  report.end = end;
  report.status = status;
  report.cause = std::move(cause);
  report.storedPath = task.storedPath;
  report.conflict = task.conflict;
  report.fileHash = task.fileHash;
  report.fileSize = task.fileSize;
  report.uploadHash = task.uploadHash;
  report.alreadyStored = task.alreadyStored;
  report.delta = task.blockSize != 0;
  report.deltaRefused = task.deltaRefused;
  report.version = task.registeredVersion;
  report.bytesSent = task.bodyBytesSent;
  return report;
}

UploadReport ProtocolFailureReport(const CUploadTask& task) {
  const int32_t status = task.status;
  // A request not sent to a listener that may not have the token: trying again changes nothing.
  if (!task.refusal.empty()) return MakeReport(task, UploadEnd::kPermanent, status, task.refusal);
  // The upload server refuses the token or the registration it names: the same job is refused
  // again.
  if (status == kStatusUnauthorized || status == kStatusForbidden) {
    return MakeReport(task, UploadEnd::kPermanent, status,
                      "upload server refused the upload (" + std::to_string(status) + ")");
  }
  std::string cause;
  if (task.unidentifiedAnswer) {
    cause = "answer without the upload server's identity";
  } else if (status == plumet_codes::kTransportFailure) {
    cause = "no answer from the upload server";
  } else if (status == kStatusNoAnswer) {
    cause = "no status line from the upload server";
  } else {
    cause = "upload server answered " + std::to_string(status);
  }
  return MakeReport(task, UploadEnd::kRetry, status, cause);
}

void FinishUpload(CUploadTask& task, const UploadReport& report) {
  // The event goes first: an owner destroying the task under its lock must not wait for a worker
  // that waits for that lock.
  task.threadDone.store(true);
  task.doneEvent.Set();
  if (task.stopRequested.load()) return;
  std::unique_lock<std::recursive_mutex> lock(task.ownerLock, std::defer_lock);
  while (!lock.try_lock()) {
    // An owner that holds the lock to stop us will join this thread: give way to it.
    if (task.stopRequested.load()) return;
    std::this_thread::sleep_for(kLockRetryInterval);
  }
  // An owner that stopped the task may free the observer as soon as it releases the lock.
  if (task.stopRequested.load()) return;
  if (task.observer != nullptr) task.observer->OnUploadFinished(report);
}

void UploadThreadProc(CUploadTask* task) {
  const std::string& path = task->sourcePath;
  // The other processor sums the file's blocks while this one hashes it, at the block size the
  // service will most likely offer; the delta uses them when the guess holds.
  if (task->aheadFile.Open(path, platform::File::Mode::kRead)) {
    const int64_t length = task->aheadFile.Length();
    if (length > 0) {
      task->delta.StartAhead(task->aheadFile, LikelyBlockSize(static_cast<uint64_t>(length)));
    }
  }
  if (task->fileHash.empty()) task->fileHash = Widen(HashFileSha1(path));
  task->fileSize = platform::FileSizeOf(path);

  const UploadReport report = RunJob(*task);

  // No delta (or it is done): nothing more to sum ahead, and no reason to keep the file open.
  task->delta.StopAhead();
  task->aheadFile.Close();
  if (report.end == UploadEnd::kStopped) {
    task->threadDone.store(true);
    task->doneEvent.Set();
  } else {
    FinishUpload(*task, report);
  }
}

}  // namespace plumet
