#include "upload/file_upload.h"

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/atomic_file.h"
#include "upload/upload_http.h"
#include "upload/upload_task.h"

namespace plumet {

namespace {

// Keeps the one report of the task; read and written under the caller's lock.
class KeptReport : public UploadObserver {
 public:
  void OnUploadFinished(const UploadReport& report) override { report_ = report; }
  const std::optional<UploadReport>& report() const { return report_; }

 private:
  std::optional<UploadReport> report_;
};

}  // namespace

FileUploadResult UploadLocalFile(const FileUploadRequest& request, const UploadProgress& progress,
                                 std::chrono::milliseconds interval) {
  FileUploadResult result;
  // The engine's own lock discipline, with this function as the only other party.
  std::recursive_mutex lock;
  KeptReport kept;
  UploadJob job;
  job.mount = request.mount;
  job.accessToken = request.accessToken;
  job.remotePath = request.remotePath;
  job.sourcePath = ToUtf8(request.localPath);
  const std::string folder = job.sourcePath.substr(0, job.sourcePath.rfind('/') + 1);
  if (!platform::CanCreateFilesIn(folder)) job.deltaRefused = true;  // no room for a literal file
  std::unique_ptr<CUploadTask> task;
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    task = std::make_unique<CUploadTask>(job, lock, &kept);
    if (!task->Start()) return result;
  }
  // The worker is bounded by the engine's own retry counts and time limits.
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> guard(lock);
      if (kept.report()) break;
    }
    if (request.cancelled && request.cancelled()) {
      // Destroying the task stops the worker, waits for it and removes the literal file.
      task.reset();
      result.cancelled = true;
      return result;
    }
    if (progress) progress(task->progressDone.load(), task->progressTotal.load());
    std::this_thread::sleep_for(interval);
  }
  // Telling the report was the worker's last act: after the join its fields are ours to read.
  task->thread.join();
  const UploadReport& report = *kept.report();
  result.ok = report.end == UploadEnd::kStored;
  result.registered = task->alreadyStored || !task->uploadServerUrl.empty();
  result.alreadyStored = report.alreadyStored;
  result.delta = report.delta;
  result.version = report.version;
  result.status = task->status;
  result.fileSize = report.fileSize;
  result.fileHash = ToUtf8(report.fileHash);
  result.bytesSent = report.bytesSent;
  result.refusal = task->refusal;
  if (result.ok && progress && !result.alreadyStored) {
    const uint64_t total = task->progressTotal.load();
    progress(total, total);
  }
  return result;
}

}  // namespace plumet
