#pragma once
// File contents, addressed by SHA-1 (DIR/blobs/ab/abcdef...), the staging folder uploads are
// written to, and the signed download locations that reach a version's content without a login.
//
// Durability: a blob is complete on disk (fsync'd, renamed into place, its folder fsync'd) before
// any version row refers to it, so a crash leaves either the previous version or the new one,
// never a version without its content.

#include <cstdint>
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

  // A download location for a version's download key: the key, an expiry time and a MAC over
  // both with the secret of this data dir, so it works without a login, cannot be guessed and
  // ends after download_ttl.
  std::string DownloadLocation(const std::string& download_key) const;
  std::optional<DownloadTarget> ResolveDownload(const std::string& location) const;

 private:
  const Database& db_;
  const TokenPolicy& policy_;
  std::string link_secret_;
};

}  // namespace zelmic
