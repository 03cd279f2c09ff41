#include "service/store/store.h"

#include <filesystem>

#include "service/store/sqlite_util.h"

namespace zelmic {

Status Store::Open(const std::string& dir, std::unique_ptr<Store>& opened) {
  std::unique_ptr<Database> db;
  if (Status e = Database::Open(dir, db); !e.ok()) return e;
  std::unique_ptr<Store> store(new Store(std::move(db)));
  if (!store->blobs_.LoadLinkSecret())
    return Status::Error("cannot upgrade the database in " + dir);
  std::error_code ec;
  std::filesystem::create_directories(dir + "/staging", ec);
  opened = std::move(store);
  return Status::OK();
}

// The upload server's view: a ticket is the registration of an upload (FileStore::RegisterUpload),
// valid only with an access token of the user who registered it.
std::optional<UploadTicket> Store::ticket_for(const std::string& pathhash,
                                              const std::string& access_token) {
  auto who = users_.CheckAccess(access_token);
  if (!who) return std::nullopt;
  UploadTicket t;
  int64_t user_id = 0;
  {
    auto lock = db_->Lock();
    Statement q(db_->handle(),
                "SELECT t.user_id, u.name, t.mount, t.path, t.filehash, t.filesize FROM tickets t "
                "JOIN users u ON u.id = t.user_id WHERE t.pathhash = ? AND t.expires >= ?");
    q.bind(1, pathhash).bind(2, db_->Now());
    if (!q.step()) return std::nullopt;
    user_id = q.i64(0);
    t.pathhash = pathhash;
    t.user = q.text(1);
    t.mount = q.i32(2);
    t.path = q.text(3);
    t.filehash = q.text(4);
    t.filesize = static_cast<uint64_t>(q.i64(5));
  }
  if (user_id != who->user_id || !who->Allows(t.mount, t.path)) return std::nullopt;
  if (!users_.HasGrant(user_id, t.mount)) return std::nullopt;
  t.user_id = user_id;
  return t;
}

std::optional<StoredContent> Store::current_content(const UploadTicket& ticket) {
  auto f = files_.GetFile(ticket.mount, ticket.path);
  if (!f || f->current.filehash.empty()) return std::nullopt;
  return StoredContent{blobs_.BlobPath(f->current.filehash),
                       static_cast<uint64_t>(f->current.filesize), f->current.filehash};
}

bool Store::may_skip_content(const UploadTicket& ticket) {
  return blobs_.HasBlob(ticket.filehash) && files_.CanReadContent(ticket.user_id, ticket.filehash);
}

Status Store::commit(const UploadTicket& ticket, const std::string& staged_path) {
  return Commit(ticket, staged_path, nullptr);
}

Status Store::commit_hashed(const UploadTicket& ticket, const std::string& staged_path,
                            const std::string& sha1) {
  return Commit(ticket, staged_path, &sha1);
}

Status Store::Commit(const UploadTicket& ticket, const std::string& staged_path,
                     const std::string* sha1) {
  if (sha1 != nullptr && *sha1 != ticket.filehash)
    return Fail(409, 0, "the content does not match its filehash");
  int64_t user_id = 0;
  std::string machine;
  int expect_version = 0;
  {
    auto lock = db_->Lock();
    Statement q(db_->handle(),
                "SELECT user_id, machine, filehash, filesize, expect_version FROM tickets "
                "WHERE pathhash = ?");
    q.bind(1, ticket.pathhash);
    if (!q.step() || q.text(2) != ticket.filehash ||
        static_cast<uint64_t>(q.i64(3)) != ticket.filesize) {
      return Fail(409, 0, "unknown or used upload");
    }
    user_id = q.i64(0);
    machine = q.text(1);
    expect_version = q.i32(4);
  }
  if (staged_path.empty() && !files_.CanReadContent(user_id, ticket.filehash))
    return Fail(409, 0, "the content must be sent");
  int version = 0;
  if (Status e =
          files_.CommitContent(user_id, ticket.mount, ticket.path, staged_path, ticket.filehash,
                               ticket.filesize, machine, version, expect_version, sha1 != nullptr);
      !e.ok())
    return e;
  auto lock = db_->Lock();
  Statement del(db_->handle(), "DELETE FROM tickets WHERE pathhash = ?");
  del.bind(1, ticket.pathhash).run();
  return Status::OK();
}

}  // namespace zelmic
