#pragma once
// Drives an upload task the way an owner does: create and start it under the owner's lock, then
// poll until the task told its report, or stop it by destroying it under that lock.

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/transport_settings.h"
#include "upload/upload_job.h"
#include "upload/upload_task.h"

namespace upload_test {

// Keeps every report a task tells (the owner's lock is held while it is told).
class RecordingObserver : public plumet::UploadObserver {
 public:
  void OnUploadFinished(const plumet::UploadReport& report) override { reports.push_back(report); }
  std::vector<plumet::UploadReport> reports;
};

// One upload as its owner holds it: the lock, the observer and the task (destroyed first).
class UploadRun {
 public:
  // Replaces any earlier task, then creates and starts one for `job` under the lock. The task
  // uses `transport` when given, else the environment's settings.
  bool Start(const plumet::UploadJob& job,
             const plumet_transport::TransportSettings* transport = nullptr) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    task_.reset();
    observer_.reports.clear();
    task_ = std::make_unique<plumet::CUploadTask>(job, lock_, &observer_);
    if (transport != nullptr) task_->transport = *transport;
    return task_->Start();
  }

  // The report the task told; end kStopped when none came within `patience`.
  plumet::UploadReport Wait(std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!observer_.reports.empty()) return observer_.reports.front();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    plumet::UploadReport none;
    none.end = plumet::UploadEnd::kStopped;
    return none;
  }

  plumet::UploadReport Run(const plumet::UploadJob& job, std::chrono::seconds patience,
                           const plumet_transport::TransportSettings* transport = nullptr) {
    if (!Start(job, transport)) {
      plumet::UploadReport none;
      none.end = plumet::UploadEnd::kStopped;
      return none;
    }
    return Wait(patience);
  }

  // Destroys the task under the lock, as an owner stops an upload.
  void Stop() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    task_.reset();
  }

  size_t ReportCount() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return observer_.reports.size();
  }

  plumet::CUploadTask* task() const { return task_.get(); }
  std::recursive_mutex& lock() { return lock_; }
  // Body bytes the task sent (0 without a task).
  uint64_t BytesSent() const { return task_ ? task_->bodyBytesSent : 0; }

 private:
  std::recursive_mutex lock_;
  RecordingObserver observer_;
  std::unique_ptr<plumet::CUploadTask> task_;
};

}  // namespace upload_test
