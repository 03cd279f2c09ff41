#include "upload/upload_task.h"

#include <system_error>

#include "platform/file_ops.h"
#include "upload/upload_http.h"
#include "upload/upload_worker.h"

namespace plumet {

CUploadTask::CUploadTask(const UploadJob& job, std::recursive_mutex& lock, UploadObserver* told)
    : curl(curl_easy_init()),
      accessToken(job.accessToken),
      remotePath(job.remotePath),
      mount(job.mount),
      sourcePath(job.sourcePath),
      fileHash(job.fileHash),
      deltaRefused(job.deltaRefused),
      expectedRemoteHashes(job.expectedRemoteHashes),
      storedPath(job.remotePath),
      ownerLock(lock),
      observer(told) {}

CUploadTask::~CUploadTask() {
  stopRequested.store(true);
  if (thread.joinable()) {
    // The worker may be inside a transfer on `curl` until it signals.
    doneEvent.Wait();
    thread.join();
  }
  if (curl != nullptr) curl_easy_cleanup(curl);
  curl = nullptr;
  delta.StopAhead();  // its helper may read either file
  localFile.Close();
  aheadFile.Close();
  CleanupLiteralFile();
}

bool CUploadTask::Start() {
  if (thread.joinable()) return false;
  try {
    thread = std::thread(UploadThreadProc, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::string CUploadTask::LiteralPath() const {
  return LiteralFilePath(sourcePath, ToUtf8(fileHash));
}

bool CUploadTask::PrepareDelta() {
  if (literalFile.IsOpen()) return true;
  const std::string path = LiteralPath();
  if (path.empty()) return false;
  if (!literalFile.Open(path, platform::File::Mode::kCreate)) return false;
  delta.SetBlockSize(static_cast<uint32_t>(blockSize));
  switch (delta.ComputeDelta(localFile, literalFile)) {
    case CBlockDelta::Outcome::kDone:
      // With no match the buffer stays empty and the match list goes out as an empty body.
      delta.SerializeMatches(matchBuffer, matchLength);
      return true;
    case CBlockDelta::Outcome::kAbandoned:
      blockSize = 0;
      literalFile.Close();
      platform::RemoveFile(path);
      return true;
    case CBlockDelta::Outcome::kWriteFailed:
      // Probably a full disk: this attempt fails and leaves nothing behind.
      literalFile.Close();
      platform::RemoveFile(path);
      return false;
  }
  return false;
}

void CUploadTask::CleanupLiteralFile() {
  literalFile.Close();
  matchBuffer.reset();
  matchLength = 0;
  matchSendOffset = 0;
  const std::string path = LiteralPath();
  if (!path.empty()) platform::RemoveFile(path);
}

}  // namespace plumet
