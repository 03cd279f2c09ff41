#pragma once
// One upload of one file: the task that its owner holds while the content is sent, with its thread,
// its HTTP handle, its open files and the delta state. The owner creates it from an UploadJob
// under its own lock, keeps it, and calls Start; destroying it stops the thread and waits for it.
//
//   auto task = std::make_unique<CUploadTask>(job, ownerLock, &observer);
//   if (!task->Start()) ... the upload did not start; nothing will be told
//
// The worker ends by telling the observer how the upload went (an UploadReport), once, with the
// owner's lock held; a stopped worker tells nothing. The lock is taken only for that call, after
// doneEvent is signalled, and never by a worker that has been asked to stop: an owner may destroy
// the task, and then free whatever the observer points into, while it holds the lock.
//
// The job is copied in: the worker reads and fills the copy (hash, size, path hash) and never
// touches the owner's records. The engine's only process-wide state is the REST library's (see
// upload/service_calls.h); the owner's lock is handed in at construction. The program calls
// curl_global_init once, before its first task is created.

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/transfer_task.h"
#include "common/transport_settings.h"
#include "platform/event.h"
#include "platform/file.h"
#include "upload/block_delta.h"
#include "upload/upload_job.h"

namespace plumet {

// A connection that delivers less than one byte per second for this long ends the request (the
// retry rules then apply): a peer that stops answering must not hold an upload forever.
inline constexpr long kStallSeconds = plumet_transport::kStallSeconds;

class CUploadTask : public TransferTask {
 public:
  // `observer` is told the outcome (not owned; null: nobody is told).
  CUploadTask(const UploadJob& job, std::recursive_mutex& ownerLock, UploadObserver* observer);
  // Stops the worker and waits for it, then releases the handle, the files and the literal file.
  ~CUploadTask() override;
  void RequestStop() override { stopRequested.store(true); }

  // Starts the worker thread on UploadThreadProc. False when the thread could not be created:
  // nothing will be told, and the caller treats the upload as not started.
  bool Start();

  // Step of the delta upload: creates the literal file beside the source file, scans the source
  // against the stored blocks and serialises the match list. True also when the delta is abandoned
  // (blockSize is then 0 and the upload goes whole); false when the attempt failed.
  bool PrepareDelta();

  // Closes and deletes the literal file and forgets the match list.
  void CleanupLiteralFile();

  // The literal file's path for this task's source file (UTF-8), empty when it has none.
  std::string LiteralPath() const;

  // Members in the order of the task record; the free functions of the engine work on them.
  platform::AutoResetEvent doneEvent;  // signalled by the worker on every exit
  CURL* curl = nullptr;                // the only HTTP handle of the task
  std::atomic<bool> stopRequested{false};
  platform::File localFile;  // the source file, once the protocol runs
  platform::File literalFile;
  std::thread thread;

  // The job, as the worker reads and completes it. Only the worker touches these while it runs.
  std::wstring accessToken;
  std::wstring remotePath;
  int32_t mount = 0;
  std::string sourcePath;  // UTF-8
  std::wstring fileHash;   // computed by the worker when the job had none
  uint64_t fileSize = 0;
  std::wstring uploadHash;  // the path hash of the registration
  bool deltaRefused = false;
  std::vector<std::wstring> expectedRemoteHashes;
  // Where the content is registered and sent: remotePath, or a conflict copy beside it.
  std::wstring storedPath;
  bool conflict = false;

  std::wstring uploadServerUrl;
  std::string uploadSession;
  int32_t status = 0;
  // The last answer was a success status without the upload server's identity line.
  bool unidentifiedAnswer = false;
  // Why the last request was not sent at all (common/credential_guard.h); empty when it went.
  std::string refusal;
  int64_t blockSize = 0;
  uint64_t position = 0;
  uint64_t partStart = 0;
  uint64_t lastByte = 0;
  std::unique_ptr<char[]> matchBuffer;
  int32_t matchSendOffset = 0;
  int32_t matchLength = 0;
  // The source file as the early block sums read it while the file is being hashed; declared
  // before `delta`, whose helper reads it, so that it outlives that helper.
  platform::File aheadFile;
  CBlockDelta delta;

  // The current part, read once from the source file: its CRC and its body come from these bytes,
  // so a part costs one read of the file. At most one part size (1 MiB) is held.
  std::vector<char> partData;
  uint64_t partDataStart = 0;
  uint64_t partDataEnd = 0;  // where the part should have ended; beyond partData the file was short

  // Body bytes handed to libcurl by the two read callbacks (parts and match list), for tests
  // and measurements.
  uint64_t bodyBytesSent = 0;

  // progressDone / progressTotal (TransferTask): how far into the content being sent the worker
  // is, and that content's length (the literal file's during a delta upload).
  // What the registration answered: the service already held the content (nothing was sent), and
  // the version number the content gets.
  bool alreadyStored = false;
  int32_t registeredVersion = 0;

  // Proxy and certificates of every request of the task: the environment's unless the owner
  // sets others before Start.
  plumet_transport::TransportSettings transport = plumet_transport::FromEnvironment();
  // Seconds below one byte per second after which a request is abandoned; tests shorten it.
  long stallSeconds = kStallSeconds;

  std::recursive_mutex& ownerLock;
  UploadObserver* const observer;  // not owned
};

}  // namespace plumet
