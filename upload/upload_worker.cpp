#include "upload/upload_worker.h"

#include <dorvic/dorvic.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "platform/file_probe.h"
#include "upload/digests.h"
#include "upload/upload_http.h"
#include "upload/upload_protocol.h"

namespace plumet {

namespace {

// How often FinishUpload looks again at the stop flag while the session lock is taken.
constexpr auto kLockRetryInterval = std::chrono::milliseconds(2);

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

uint64_t StatusSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

// The block size the service offers for content of `size` bytes: the smallest power of two of
// at least 4 KiB that cuts it into no more than 65536 blocks (a match names its block with 16
// bits). The offer comes with the upload session; this only lets work start before it.
uint32_t LikelyBlockSize(uint64_t size) {
  uint64_t block = 4096;
  while (block < (uint64_t{1} << 30) && (size + block - 1) / block > 65536) block <<= 1;
  return static_cast<uint32_t>(block);
}

}  // namespace

bool OpenLocalFile(CUploadTask& task) {
  EditSession& session = *task.editSession;
  if (!platform::OpenDenyingWriters(ToUtf8(session.localPath), task.localFile)) return false;
  const int64_t length = task.localFile.Length();
  if (length < 0) {
    task.localFile.Close();
    return false;
  }
  session.fileSize = static_cast<uint64_t>(length);
  return true;
}

void FinishUpload(CUploadTask& task, bool failed) {
  // The event goes first: an owner destroying the task under the session lock must not wait for
  // a worker that waits for that lock.
  task.doneEvent.Set();
  if (task.stopRequested.load()) return;
  std::unique_lock<std::recursive_mutex> lock(task.sessionLock, std::defer_lock);
  while (!lock.try_lock()) {
    // An owner that holds the lock to stop us will join this thread: give way to it.
    if (task.stopRequested.load()) return;
    std::this_thread::sleep_for(kLockRetryInterval);
  }
  // An owner that stopped the task may free the session as soon as it releases the lock.
  if (task.stopRequested.load()) return;
  task.editSession->state = failed ? EditSessionState::Failed : EditSessionState::Uploaded;
}

unsigned UploadThreadProc(CUploadTask* task) {
  EditSession& session = *task->editSession;
  const std::string localPath = ToUtf8(session.localPath);
  // The other processor sums the file's blocks while this one hashes it, at the block size the
  // service will most likely offer; the delta uses them when the guess holds.
  if (task->aheadFile.Open(localPath, platform::File::Mode::kRead)) {
    const int64_t length = task->aheadFile.Length();
    if (length > 0) {
      task->delta.StartAhead(task->aheadFile, LikelyBlockSize(static_cast<uint64_t>(length)));
    }
  }
  if (session.fileHash.empty()) session.fileHash = Widen(HashFileSha1(localPath));
  session.fileSize = StatusSize(localPath);

  dorvic_addfile_ret answer;
  UploadOutcome outcome = UploadOutcome::kFailed;
  // No hash (the copy could not be read whole): nothing is registered, the upload fails.
  if (!session.fileHash.empty() &&
      dorvic_add_file(session.accessToken, session.remotePath, session.mount, session.fileHash,
                      session.fileSize, 0, answer)) {
    task->registeredVersion = answer.version;
    if (answer.state != 0) {
      task->alreadyStored = true;
      outcome = UploadOutcome::kCompleted;  // the service already holds this content
    } else {
      session.uploadHash = answer.hash;
      task->uploadServerUrl = answer.server;
      if (OpenLocalFile(*task)) outcome = RunUploadProtocol(*task);
    }
  }

  // No delta (or it is done): nothing more to sum ahead, and no reason to keep the file open.
  task->delta.StopAhead();
  task->aheadFile.Close();
  switch (outcome) {
    case UploadOutcome::kStopped:
      task->doneEvent.Set();
      break;
    case UploadOutcome::kCompleted:
      FinishUpload(*task, false);
      break;
    case UploadOutcome::kFailed:
      FinishUpload(*task, true);
      break;
  }
  return 0;
}

}  // namespace plumet
