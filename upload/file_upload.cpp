#include "upload/file_upload.h"

#include <memory>
#include <mutex>
#include <thread>

#include "platform/atomic_file.h"
#include "session/edit_session.h"
#include "upload/upload_http.h"
#include "upload/upload_task.h"

namespace plumet {

FileUploadResult UploadLocalFile(const FileUploadRequest& request, const UploadProgress& progress,
                                 std::chrono::milliseconds interval) {
  FileUploadResult result;
  // The engine's own lock discipline, with this function as the only other party.
  std::recursive_mutex lock;
  EditSession session;
  session.mount = request.mount;
  session.accessToken = request.accessToken;
  session.remotePath = request.remotePath;
  session.localPath = request.localPath;
  const std::string folder = ToUtf8(request.localPath.substr(0, request.localPath.rfind(L'/') + 1));
  if (!platform::CanCreateFilesIn(folder)) session.deltaRefused = 1;  // no room for a literal file
  CUploadTask* task = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto owned = std::make_unique<CUploadTask>(lock);
    task = owned.get();
    session.task = std::move(owned);
    session.state = EditSessionState::Uploading;
    task->editSession = &session;
    if (!task->Start()) return result;
  }
  // The worker is bounded by the engine's own retry counts and time limits.
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> guard(lock);
      if (session.state != EditSessionState::Uploading) break;
    }
    if (request.cancelled && request.cancelled()) {
      // Destroying the task stops the worker, waits for it and removes the literal file.
      session.task.reset();
      result.cancelled = true;
      return result;
    }
    if (progress) progress(task->progressDone.load(), task->progressTotal.load());
    std::this_thread::sleep_for(interval);
  }
  // The worker's last act was the state write: after the join its fields are ours to read.
  task->thread.join();
  result.ok = session.state == EditSessionState::Uploaded;
  result.registered = task->alreadyStored || !task->uploadServerUrl.empty();
  result.alreadyStored = task->alreadyStored;
  result.delta = task->blockSize != 0;
  result.version = task->registeredVersion;
  result.status = task->status;
  result.fileSize = session.fileSize;
  result.fileHash = ToUtf8(session.fileHash);
  result.bytesSent = task->bodyBytesSent;
  if (result.ok && progress && !result.alreadyStored) {
    const uint64_t total = task->progressTotal.load();
    progress(total, total);
  }
  session.task.reset();
  return result;
}

}  // namespace plumet
