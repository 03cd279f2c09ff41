#pragma once
// What the upload server needs from the rest of the service: the uploads that the REST "PUT"
// registered, the stored content a delta is built on, and the commit of a finished upload.
// The store implements it; the upload server knows nothing else about users, tokens or SQLite.

#include <cstdint>
#include <optional>
#include <string>

#include "service/store/status.h"

namespace zelmic {

// One upload registered by the REST "PUT" (dorvic_add_file), found again by its pathhash.
struct UploadTicket {
  std::string pathhash;  // the "hash" member of the PUT answer, sent back in x-zm-upload-pathhash
  std::string user;
  int64_t user_id = 0;
  int mount = 0;
  std::string path;      // normalised remote path inside the mount
  std::string filehash;  // SHA-1 of the new content, 40 lowercase hex characters
  uint64_t filesize = 0;
};

// A stored version's content on disk.
struct StoredContent {
  std::string blob_path;
  uint64_t size = 0;
  std::string filehash;
};

class UploadBackend {
 public:
  virtual ~UploadBackend() = default;

  // The ticket registered under pathhash, when access_token is a live token allowed to write it.
  virtual std::optional<UploadTicket> ticket_for(const std::string& pathhash,
                                                 const std::string& access_token) = 0;

  // The current content of the ticket's file, the base of a delta; none for a new file.
  virtual std::optional<StoredContent> current_content(const UploadTicket& ticket) = 0;

  // Whether the blob store already holds content with this SHA-1.
  virtual bool has_blob(const std::string& filehash) = 0;

  // Whether the ticket's content may be committed without its bytes: the store holds it and the
  // ticket's user can already read it. Knowing a SHA-1 and a size is no proof of access.
  virtual bool may_skip_content(const UploadTicket& ticket) = 0;

  // A directory on the blob store's file system, so a staged file can be renamed into the store.
  virtual std::string staging_dir() = 0;

  // Commits the ticket's content as the file's new version. staged_path is a complete file whose
  // size and SHA-1 were checked against the ticket; it is moved into the store. An empty
  // staged_path commits content the store already holds. A failure carries the HTTP status of
  // the refusal (4xx: the upload cannot be taken as it is, e.g. the file changed since the version
  // the client edited; 5xx: the store failed) and a message saying why; its error code is not
  // part of the upload server's answer. The previous version is then untouched.
  virtual Status commit(const UploadTicket& ticket, const std::string& staged_path) = 0;
  // The same for content the caller hashed to `sha1` as it wrote it and flushed to the device:
  // the store compares the hashes instead of reading the whole content once more.
  virtual Status commit_hashed(const UploadTicket& ticket, const std::string& staged_path,
                               const std::string& sha1) {
    return sha1 == ticket.filehash ? commit(ticket, staged_path) : Fail(409, 0, std::string());
  }
};

}  // namespace zelmic
