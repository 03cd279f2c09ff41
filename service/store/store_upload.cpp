// Registration of uploads ("PUT") and the upload server's view of the store.
//
// "PUT" semantics: when the file's current version already has the announced content, nothing is
// to be sent: state 1, no pathhash, the current version. Otherwise the upload is registered under
// a fresh random pathhash (an unguessable ticket bound to the user, mount, path, filehash and
// filesize, valid for a day and usable once): state 0 and the number the new version will get if
// no other commit intervenes. A non-zero expected version must match the current one (409
// otherwise), so a client that edited an old version does not silently overwrite a newer one; the
// ticket keeps that expectation and the commit checks it again, since another upload may have
// been committed in between. Version 0 expects nothing.
#include <algorithm>

#include "service/store/paths.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"
#include "service/store/store.h"

namespace zelmic {

namespace {
constexpr uint64_t kMaxFileSize = 64ULL << 30;
constexpr int64_t kTicketTtl = 86400;
}  // namespace

Status Store::RegisterUpload(const AccessInfo& who, int mount, const std::string& path,
                             const std::string& filehash, uint64_t filesize, int expect_version,
                             const std::string& machine, int& state, std::string& pathhash,
                             int& version) {
  const bool hex =
      filehash.size() == 40 && std::all_of(filehash.begin(), filehash.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
      });
  if (!hex) return Fail(400, 40002, "filehash must be 40 lowercase hex digits");
  if (filesize > kMaxFileSize) return Fail(413, 41300, "the file is too large");
  if (path == "/") return Fail(400, 40005, "the mount root is a folder");
  if (FolderExists(mount, path)) return Fail(409, 40903, "a folder has this name");
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::string p = ParentOf(path); p != "/"; p = ParentOf(p))
    if (LoadFile(mount, p, false)) return Fail(409, 40904, "a file is in the way: " + p);
  auto file = LoadFile(mount, path, false);
  if (file) {
    if (Status e = CheckUnlocked(*file, who.user_id); !e.ok()) return e;
  }
  const int current = file ? file->current.version : 0;
  if (expect_version != 0 && expect_version != current)
    return Fail(409, 40902, "the file has changed since version " + std::to_string(expect_version));
  if (file && file->current.filehash == filehash &&
      static_cast<uint64_t>(file->current.filesize) == filesize) {
    state = 1;
    pathhash.clear();
    version = current;
    return {};
  }
  int next = 1;
  if (auto any = LoadFile(mount, path, true)) {
    Statement max(db_, "SELECT COALESCE(MAX(version), 0) FROM versions WHERE file_id = ?");
    max.bind(1, any->id);
    if (max.step()) next = max.i32(0) + 1;
  }
  const int64_t now = Now();
  Statement prune(db_, "DELETE FROM tickets WHERE expires < ?");
  prune.bind(1, now).run();
  pathhash = RandomHex(20);
  Statement ins(db_,
                "INSERT INTO tickets(pathhash, user_id, mount, path, filehash, filesize, machine, "
                "expires, expect_version) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  ins.bind(1, pathhash).bind(2, who.user_id).bind(3, mount).bind(4, path).bind(5, filehash);
  ins.bind(6, static_cast<int64_t>(filesize)).bind(7, machine).bind(8, now + kTicketTtl);
  ins.bind(9, expect_version);
  if (!ins.run()) return Fail(500, 50004, "cannot register the upload");
  state = 0;
  version = next;
  return {};
}

std::optional<UploadTicket> Store::ticket_for(const std::string& pathhash,
                                              const std::string& access_token) {
  auto who = CheckAccess(access_token);
  if (!who) return std::nullopt;
  UploadTicket t;
  int64_t user_id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_,
                "SELECT t.user_id, u.name, t.mount, t.path, t.filehash, t.filesize FROM tickets t "
                "JOIN users u ON u.id = t.user_id WHERE t.pathhash = ? AND t.expires >= ?");
    q.bind(1, pathhash).bind(2, Now());
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
  if (!HasGrant(user_id, t.mount)) return std::nullopt;
  t.user_id = user_id;
  return t;
}

std::optional<StoredContent> Store::current_content(const UploadTicket& ticket) {
  auto f = GetFile(ticket.mount, ticket.path);
  if (!f || f->current.filehash.empty()) return std::nullopt;
  return StoredContent{BlobPath(f->current.filehash), static_cast<uint64_t>(f->current.filesize),
                       f->current.filehash};
}

bool Store::may_skip_content(const UploadTicket& ticket) {
  return has_blob(ticket.filehash) && CanReadContent(ticket.user_id, ticket.filehash);
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
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_,
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
  if (staged_path.empty() && !CanReadContent(user_id, ticket.filehash))
    return Fail(409, 0, "the content must be sent");
  int version = 0;
  if (Status e = CommitContent(user_id, ticket.mount, ticket.path, staged_path, ticket.filehash,
                               ticket.filesize, machine, version, expect_version, sha1 != nullptr);
      !e.ok())
    return e;
  std::lock_guard<std::mutex> lock(mutex_);
  Statement del(db_, "DELETE FROM tickets WHERE pathhash = ?");
  del.bind(1, ticket.pathhash).run();
  return Status::OK();
}

}  // namespace zelmic
