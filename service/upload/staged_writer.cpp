#include "service/upload/staged_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "service/upload/file_io.h"

namespace zelmic {

namespace {
// How long the writer lets parts gather after the first one of a batch arrived.
constexpr std::chrono::milliseconds kBatchDelay(5);
// Upper bound of part data waiting for the disk; a faster sender waits.
constexpr uint64_t kMaxQueuedBytes = 64u << 20;
// Parts are accepted strictly in order, so they reach the writer in order: a whole upload's SHA-1
// follows them here, while the bytes are at hand. A gap (never expected) only ends the hashing,
// and the finish then reads the file instead.
void HashWritten(UploadSession& session, uint64_t offset, const std::string& data) {
  if (offset == 0 && session.hashed == 0 && !session.written_sha1) {
    session.written_sha1 = plumet_common::NewDigest(EVP_sha1());
  }
  if (!session.written_sha1) return;
  if (offset != session.hashed ||
      EVP_DigestUpdate(session.written_sha1.get(), data.data(), data.size()) != 1) {
    session.written_sha1.reset();
    return;
  }
  session.hashed += data.size();
}

}  // namespace

StagedWriter::StagedWriter() : thread_([this] { Run(); }) {}

StagedWriter::~StagedWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void StagedWriter::Submit(const std::shared_ptr<UploadSession>& session, uint64_t offset,
                          std::string data) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [&] { return queued_bytes_ < kMaxQueuedBytes; });
  queued_bytes_ += data.size();
  queue_.push_back(Write{session, offset, std::move(data)});
  // Only the first part of a batch wakes the writer; it then lets the batch gather for
  // kBatchDelay (or until Flush). A wake-up per part would cost a thread switch per part.
  const bool wake = queue_.size() == 1;
  lock.unlock();
  if (wake) wake_.notify_one();
}

void StagedWriter::Flush() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_ = true;
  }
  wake_.notify_one();
}

void StagedWriter::Run() {
  // Background work: a batch being written must not preempt the threads answering requests.
  sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (queue_.empty()) {
      wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    }
    if (!queue_.empty()) wake_.wait_for(lock, kBatchDelay, [&] { return stop_ || flush_; });
    if (queue_.empty()) {
      if (stop_) return;
      continue;
    }
    flush_ = false;
    std::deque<Write> batch;
    batch.swap(queue_);
    lock.unlock();
    uint64_t written = 0;
    // Sessions keep no descriptor while idle; a batch opens each staged file once.
    std::map<UploadSession*, int> open_files;
    for (Write& write : batch) {
      UploadSession& session = *write.session;
      bool skip = false;
      bool delta = false;
      {
        std::lock_guard<std::mutex> session_lock(session.mutex);
        skip = session.write_failed;  // what came before is gone; later parts are moot
        delta = session.delta;
      }
      bool ok = skip;
      if (!skip) {
        auto [it, fresh] = open_files.try_emplace(&session, -1);
        if (fresh) it->second = ::open(session.staged_path.c_str(), O_WRONLY | O_CLOEXEC);
        ok = it->second >= 0 &&
             PwriteAll(it->second, write.data.data(), write.data.size(), write.offset);
        if (ok && !delta) HashWritten(session, write.offset, write.data);
      }
      {
        std::lock_guard<std::mutex> session_lock(session.mutex);
        if (!ok) {
          // A part that did not reach the disk makes the staged bytes useless: drop them, so
          // neither the disk nor "/upload_req" claims more than is really held.
          session.write_failed = true;
          session.held = 0;
          if (::truncate(session.staged_path.c_str(), 0) != 0) {
            // Nothing more to do: the session fails its finish and its file goes with it.
          }
        }
        --session.pending_writes;
      }
      session.writes_done.notify_all();
      written += write.data.size();
    }
    for (auto& [session, fd] : open_files)
      if (fd >= 0) ::close(fd);
    batch.clear();
    lock.lock();
    queued_bytes_ -= written;
    room_.notify_all();
  }
}

}  // namespace zelmic
