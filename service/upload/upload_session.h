#pragma once
// One upload in progress and the table that finds it again by its id or by the token and file it
// was opened for. The received content lives in a staged file; the bookkeeping lives in memory
// only, so a part costs one write and no flush or database update. An idle session holds no
// descriptor and no match list in memory (both are files), and the table forgets idle sessions on
// a timer of its own, so abandoned uploads cost neither descriptors nor requests to clean up.

#include <openssl/evp.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/owned_digest.h"
#include "service/store/upload_backend.h"
#include "service/upload/delta_rebuild.h"

namespace zelmic {

struct UploadSession {
  UploadSession() = default;
  ~UploadSession();  // closes and removes the staged files
  UploadSession(const UploadSession&) = delete;
  UploadSession& operator=(const UploadSession&) = delete;

  // Fixed when the session is opened.
  std::string id;
  std::string key;  // token, pathhash, filehash and size: what binds the session
  UploadTicket ticket;
  std::optional<StoredContent> base;  // the stored version a delta builds on
  uint32_t block_size = 0;            // "piecelen"; 0 when no delta is offered
  uint64_t block_count = 0;           // full blocks of the base in the checksum list
  std::string staged_path;            // received content: the file, or its literal bytes
  std::string rebuilt_path;           // where a delta is rebuilt at the finish
  std::string match_path;             // the accepted match list, as it came

  // Guarded by mutex.
  std::mutex mutex;
  uint64_t held = 0;   // bytes of the content received and checked
  uint64_t total = 0;  // bytes the content must reach
  bool delta = false;  // a match list was accepted (at match_path)
  uint64_t match_count = 0;
  bool closed = false;                  // finished or discarded: no request may use it any more
  bool body_arriving = false;           // a part or match list of it is being received
  int pending_writes = 0;               // accepted parts not yet in the staged file
  bool write_failed = false;            // a part could not be written: the staged bytes were
                                        // dropped (held is 0) and the upload cannot finish
  std::condition_variable writes_done;  // pending_writes went down

  // Used by the staged writer only, and read by the finish once no write is pending: the SHA-1
  // of a whole upload's content as it was written, in order, so the finish need not read the
  // staged file again. `hashed` bytes went into it; a delta's literal bytes are not hashed here.
  plumet_common::DigestCtx written_sha1;
  uint64_t hashed = 0;
};

class SessionTable {
 public:
  explicit SessionTable(std::chrono::milliseconds idle_limit);
  ~SessionTable();  // stops the expiry timer
  SessionTable(const SessionTable&) = delete;
  SessionTable& operator=(const SessionTable&) = delete;

  void set_idle_limit(std::chrono::milliseconds limit);

  // The live session opened under key, if any; refreshes its idle time.
  std::shared_ptr<UploadSession> FindByKey(const std::string& key);
  // The live session with this id, if any; refreshes its idle time.
  std::shared_ptr<UploadSession> Find(const std::string& id);
  // Adds a session. Its id must be new. False (and nothing added) when the session's user
  // already has max_per_user live sessions.
  bool Add(const std::shared_ptr<UploadSession>& session, size_t max_per_user);
  // Removes the session; its staged files go once the last request using it is done.
  void Remove(const std::string& id);
  void Clear();
  size_t size() const;

 private:
  struct Entry {
    std::shared_ptr<UploadSession> session;
    std::chrono::steady_clock::time_point last_used;
  };
  // Drops sessions idle for longer than the limit and returns them, so their files are removed
  // after mutex_ is let go. mutex_ must be held.
  std::vector<std::shared_ptr<UploadSession>> ExpireLocked(
      std::chrono::steady_clock::time_point now);
  // The expiry timer: sweeps a few times per idle limit until the table is destroyed.
  void RunTimer();
  void RemoveLocked(const std::string& id);
  // The live session with this id, its idle time refreshed; drops it when it has expired.
  std::shared_ptr<UploadSession> TouchLocked(const std::string& id,
                                             std::chrono::steady_clock::time_point now);

  mutable std::mutex mutex_;
  std::chrono::milliseconds idle_limit_;
  std::map<std::string, Entry> by_id_;
  std::map<std::string, std::string> id_by_key_;
  std::map<std::string, size_t> count_by_user_;
  bool stop_ = false;
  std::condition_variable wake_;  // stop, or a new idle limit
  std::thread timer_;
};

// A fresh unguessable session id: 128 random bits as hex; empty when no random bytes are available.
std::string NewSessionId();

}  // namespace zelmic
