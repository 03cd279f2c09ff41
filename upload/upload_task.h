#pragma once
// One upload of one edited file: the task that a session holds while its copy is sent back, with
// its thread, its HTTP handle, its open files and the delta state. The session tick creates it
// under the session lock, stores it in the session's `task` and calls Start; destroying it stops
// the thread and waits for it.
//
//   auto task = std::make_unique<CUploadTask>(sessionLock);
//   CUploadTask* raw = task.get();
//   session.task = std::move(task);
//   session.state = EditSessionState::Uploading;
//   raw->editSession = &session;
//   raw->Start();
//
// The worker ends by setting the session Uploaded or Failed under the session lock; a stopped
// worker leaves it Uploading. The lock is taken only for that write, after doneEvent is signalled,
// and never by a worker that has been asked to stop: an owner may destroy the task, and then free
// the session, while it holds the lock.
//
// The engine keeps no global state: the session lock is the owner's, handed in at construction.
// The program calls curl_global_init once, before its first task is created.

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/transport_settings.h"
#include "platform/event.h"
#include "platform/file.h"
#include "session/edit_session.h"
#include "upload/block_delta.h"

namespace plumet {

class CUploadTask : public SessionTask {
 public:
  explicit CUploadTask(std::recursive_mutex& sessionLock);
  // Stops the worker and waits for it, then releases the handle, the files and the literal file.
  ~CUploadTask() override;

  // Starts the worker thread on UploadThreadProc. False when the thread could not be created: the
  // session then stays as the caller set it, and the caller treats the upload as failed.
  bool Start();

  // Step of the delta upload: creates the literal file beside the local copy, scans the local file
  // against the stored blocks and serialises the match list. True also when the delta is abandoned
  // (blockSize is then 0 and the upload goes whole); false when the attempt failed.
  bool PrepareDelta();

  // Closes and deletes the literal file and forgets the match list.
  void CleanupLiteralFile();

  // The literal file's path for this task's session (UTF-8), empty when it has none.
  std::string LiteralPath() const;

  // Members in the order of the task record; the free functions of the engine work on them.
  platform::AutoResetEvent doneEvent;  // signalled by the worker on every exit
  CURL* curl = nullptr;                // the only HTTP handle of the task
  std::atomic<bool> stopRequested{false};
  platform::File localFile;
  platform::File literalFile;
  std::thread thread;
  EditSession* editSession = nullptr;  // not owned
  std::wstring uploadServerUrl;
  std::string uploadSession;
  int32_t status = 0;
  int64_t blockSize = 0;
  uint64_t position = 0;
  uint64_t partStart = 0;
  uint64_t lastByte = 0;
  std::unique_ptr<char[]> matchBuffer;
  int32_t matchSendOffset = 0;
  int32_t matchLength = 0;
  // The local file as the early block sums read it while the file is being hashed; declared
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

  // progressDone / progressTotal (SessionTask): how far into the content being sent the worker
  // is, and that content's length (the literal file's during a delta upload).
  // What the registration answered: the service already held the content (nothing was sent), and
  // the version number the content gets.
  bool alreadyStored = false;
  int32_t registeredVersion = 0;

  // Proxy and certificates of every request of the task: the environment's unless the owner
  // sets others before Start.
  plumet_transport::TransportSettings transport = plumet_transport::FromEnvironment();

  std::recursive_mutex& sessionLock;
};

}  // namespace plumet
