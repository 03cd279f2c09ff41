#pragma once
// Writes accepted parts to their sessions' staged files on a thread of its own, so the answer to a
// part waits neither for the file system nor for a thread switch: parts are queued and written in
// batches. A session's bookkeeping counts a part once its CRC passed; the finish flushes the queue,
// waits until every write of the session is done, and fails the upload if one of them failed.
// Nothing is lost by this that a crash would not lose anyway: sessions live in memory only.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/upload/upload_session.h"

namespace zelmic {

class StagedWriter {
 public:
  StagedWriter();
  ~StagedWriter();  // writes what is queued, then stops
  StagedWriter(const StagedWriter&) = delete;
  StagedWriter& operator=(const StagedWriter&) = delete;

  // Queues data for session's staged file at offset. The caller has counted the write in
  // session->pending_writes and does not hold session->mutex: this blocks while too much is
  // queued, and the writes that make room need that lock.
  void Submit(const std::shared_ptr<UploadSession>& session, uint64_t offset, std::string data);

  // Starts writing what is queued now instead of waiting for a fuller batch.
  void Flush();

 private:
  struct Write {
    std::shared_ptr<UploadSession> session;
    uint64_t offset;
    std::string data;
  };
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;  // a batch is ready, a flush is wanted, or stop
  std::condition_variable room_;  // queued bytes went down
  std::deque<Write> queue_;
  uint64_t queued_bytes_ = 0;  // queued or being written
  bool flush_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace zelmic
