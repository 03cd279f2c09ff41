#pragma once
// The service's state: one SQLite database (WAL) of a data dir, and its parts, each a class over
// that database: users and their tokens, files and their versions, what people do around a file,
// and the contents in a blob store addressed by SHA-1. The store is also the upload server's
// view of it (UploadBackend).
//
// Beside the blobs, DIR/sums/ab/<sha1>-<block size> holds the block checksum list of a content
// (ChecksumKeeper): derived data, checked whenever it is read and safe to delete at any time.

#include <memory>
#include <optional>
#include <string>

#include "service/store/blob_store.h"
#include "service/store/collab_store.h"
#include "service/store/database.h"
#include "service/store/file_store.h"
#include "service/store/login_store.h"
#include "service/store/space_keeper.h"
#include "service/store/status.h"
#include "service/store/store_records.h"
#include "service/store/upload_backend.h"
#include "service/store/user_store.h"

namespace zelmic {

class Store : public UploadBackend {
 public:
  // Opens DIR made by Create into `opened` (untouched on failure); fails with a one-line reason
  // when it is not a data dir.
  static Status Open(const std::string& dir, std::unique_ptr<Store>& opened);
  // Makes DIR (which must be missing or empty) into a data dir.
  static Status Create(const std::string& dir) { return Database::Create(dir); }

  // Set before serving: the parts read it on every call.
  void set_policy(const TokenPolicy& p) { policy_ = p; }
  const TokenPolicy& policy() const { return policy_; }
  const std::string& dir() const { return db_->dir(); }

  UserStore& users() { return users_; }
  FileStore& files() { return files_; }
  CollabStore& collab() { return collab_; }
  LoginStore& logins() { return logins_; }
  const BlobStore& blobs() const { return blobs_; }
  const SpaceKeeper& space() const { return space_; }
  bool IntegrityOk() const { return db_->IntegrityOk(); }

  // UploadBackend.
  std::optional<UploadTicket> ticket_for(const std::string& pathhash,
                                         const std::string& access_token) override;
  std::optional<StoredContent> current_content(const UploadTicket& ticket) override;
  bool has_blob(const std::string& filehash) override { return blobs_.HasBlob(filehash); }
  std::string staging_dir() override { return blobs_.StagingDir(); }
  bool may_skip_content(const UploadTicket& ticket) override;
  Status commit(const UploadTicket& ticket, const std::string& staged_path) override;
  Status commit_hashed(const UploadTicket& ticket, const std::string& staged_path,
                       const std::string& sha1) override;

 private:
  explicit Store(std::unique_ptr<Database> db)
      : db_(std::move(db)),
        users_(*db_, policy_),
        blobs_(*db_, policy_),
        files_(*db_, blobs_),
        collab_(*db_, blobs_),
        space_(*db_, blobs_),
        logins_(*db_) {}
  // commit and commit_hashed; sha1 is null when the content must be hashed here.
  Status Commit(const UploadTicket& ticket, const std::string& staged_path,
                const std::string* sha1);

  // Declared in the order they are made: the parts refer to the database, the policy and blobs.
  TokenPolicy policy_;
  std::unique_ptr<Database> db_;
  UserStore users_;
  BlobStore blobs_;
  FileStore files_;
  CollabStore collab_;
  SpaceKeeper space_;
  LoginStore logins_;
};

}  // namespace zelmic
