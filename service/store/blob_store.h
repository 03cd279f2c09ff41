#pragma once
// File contents, addressed by SHA-1 (DIR/blobs/ab/abcdef...), the staging folder uploads are
// written to, and the signed download locations that reach a version's content without a login.
//
// Durability: a blob is complete on disk (fsync'd, renamed into place, its folder fsync'd) before
// any version row refers to it, so a crash leaves either the previous version or the new one,
// never a version without its content.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "service/store/database.h"
#include "service/store/status.h"
#include "service/store/store_records.h"

namespace zelmic {

class BlobStore {
 public:
  BlobStore(const Database& db, const TokenPolicy& policy) : db_(db), policy_(policy) {}

  // Reads (or makes, once per data dir) the secret that keys download locations.
  bool LoadLinkSecret();

  std::string BlobPath(const std::string& filehash) const;
  bool HasBlob(const std::string& filehash) const;
  std::string StagingDir() const { return db_.dir() + "/staging"; }
  // Moves a staged file into the blob store, or checks the blob exists when staged_path is empty.
  // `verified`: the writer hashed the content to filehash and flushed it on the way in, so it is
  // not read a second time.
  Status PlaceBlob(const std::string& staged_path, const std::string& filehash,
                   bool verified = false) const;

  // Content a commit in flight is about to refer to is never removed as unused meanwhile.
  void Pin(const std::string& filehash) const;
  void Unpin(const std::string& filehash) const;
  // Removes the blob when no version refers to it and no commit in flight holds it; true when it
  // is gone. The caller holds the database lock inside a write transaction, so that no commit of
  // any process adds a reference between the check and the removal: a commit checks that its
  // blob exists inside its own transaction.
  bool RemoveIfUnused(const std::string& filehash) const;

  // A download location for a version's download key: the key, an expiry time and a MAC over
  // both with the secret of this data dir, so it works without a login, cannot be guessed and
  // ends after download_ttl.
  std::string DownloadLocation(const std::string& download_key) const;
  std::optional<DownloadTarget> ResolveDownload(const std::string& location) const;

 private:
  const Database& db_;
  const TokenPolicy& policy_;
  std::string link_secret_;
  mutable std::mutex pins_mutex_;
  mutable std::map<std::string, int> pins_;  // commits in flight per content
};

// Pins a content for the life of a commit.
class BlobPin {
 public:
  BlobPin(const BlobStore& blobs, std::string filehash)
      : blobs_(blobs), filehash_(std::move(filehash)) {
    blobs_.Pin(filehash_);
  }
  ~BlobPin() { Release(); }
  BlobPin(const BlobPin&) = delete;
  BlobPin& operator=(const BlobPin&) = delete;
  void Release() {
    if (held_) blobs_.Unpin(filehash_);
    held_ = false;
  }

 private:
  const BlobStore& blobs_;
  std::string filehash_;
  bool held_ = true;
};

}  // namespace zelmic
