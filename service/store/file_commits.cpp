#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "common/owned_digest.h"
#include "common/text_forms.h"
#include "service/store/file_rows.h"
#include "service/store/file_store.h"
#include "service/store/paths.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"

// Adding versions: uploads registered and committed, local files put, old versions brought back.
//
// "PUT" semantics: when the file's current version already has the announced content, nothing is
// to be sent: state 1, no pathhash, the current version. Otherwise the upload is registered under
// a fresh random pathhash (an unguessable ticket bound to the user, mount, path, filehash and
// filesize, valid for a day and usable once): state 0 and the number the new version will get if
// no other commit intervenes. A non-zero expected version must match the current one (409
// otherwise), so a client that edited an old version does not silently overwrite a newer one; the
// ticket keeps that expectation and the commit checks it again, since another upload may have
// been committed in between. Version 0 expects nothing.

namespace zelmic {

namespace {

constexpr uint64_t kMaxFileSize = 64ULL << 30;
constexpr int64_t kTicketTtl = 86400;

bool ValidHash(const std::string& h) {
  return h.size() == 40 && std::all_of(h.begin(), h.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

Status FileStore::RegisterUpload(const AccessInfo& who, int mount, const std::string& path,
                                 const std::string& filehash, uint64_t filesize, int expect_version,
                                 const std::string& machine, int& state, std::string& pathhash,
                                 int& version) {
  if (!ValidHash(filehash)) return Fail(400, 40002, "filehash must be 40 lowercase hex digits");
  if (filesize > kMaxFileSize) return Fail(413, 41300, "the file is too large");
  if (path == "/") return Fail(400, 40005, "the mount root is a folder");
  auto lock = db_.Lock();
  if (rows::HasLiveFileUnder(db_, mount, path)) return Fail(409, 40903, "a folder has this name");
  if (auto above = rows::FileAbove(db_, mount, path))
    return Fail(409, 40904, "a file is in the way: " + *above);
  auto file = rows::LoadFile(db_, mount, path, false);
  if (file) {
    if (Status e = rows::CheckUnlocked(*file, who.user_id); !e.ok()) return e;
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
  if (Status e = rows::CheckQuota(db_, who.user_id, filesize); !e.ok()) return e;
  // A deleted file at path is not continued: the commit starts a new file at version 1.
  int next = 1;
  if (file) {
    Statement max(db_.handle(), "SELECT COALESCE(MAX(version), 0) FROM versions WHERE file_id = ?");
    max.bind(1, file->id);
    if (max.step()) next = max.i32(0) + 1;
  }
  const int64_t now = db_.Now();
  Statement prune(db_.handle(), "DELETE FROM tickets WHERE expires < ?");
  prune.bind(1, now).run();
  pathhash = RandomHex(20);
  Statement ins(db_.handle(),
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

Status FileStore::CommitLocked(int64_t user_id, int mount, const std::string& path,
                               const std::string& filehash, uint64_t filesize,
                               const std::string& machine, int cmd, int& version,
                               int expect_version) {
  if (path == "/") return Fail(400, 40005, "the mount root is a folder");
  // A file may not take the place of a folder, nor lie beneath a file.
  if (rows::HasLiveFileUnder(db_, mount, path)) return Fail(409, 40903, "a folder has this name");
  if (auto above = rows::FileAbove(db_, mount, path))
    return Fail(409, 40904, "a file is in the way: " + *above);
  auto file = rows::LoadFile(db_, mount, path, false);
  if (file) {
    if (Status e = rows::CheckUnlocked(*file, user_id); !e.ok()) return e;
  }
  // Compare and set: the upload was registered against expect_version, and a commit that landed
  // since then must not be overwritten silently.
  const int current = file ? file->current.version : 0;
  if (expect_version != 0 && expect_version != current)
    return Fail(409, 40902, "the file has changed since version " + std::to_string(expect_version));
  // Checked again when the content is in: other uploads may have been committed meanwhile.
  if (Status e = rows::CheckQuota(db_, user_id, filesize); !e.ok()) return e;
  // A file stored where a deleted one was is a new file (new uid, version 1): the deleted one's
  // history, download locations, messages and shares belong to whoever had it, not to the newcomer.
  if (!file && !rows::RemoveDeletedFile(db_, mount, path))
    return Fail(500, 50004, "cannot replace the deleted file");
  const int64_t now = db_.Now();
  int64_t file_id;
  int next = 1;
  if (file) {
    file_id = file->id;
    Statement max(db_.handle(), "SELECT COALESCE(MAX(version), 0) FROM versions WHERE file_id = ?");
    max.bind(1, file_id);
    if (max.step()) next = max.i32(0) + 1;
    Statement upd(db_.handle(), "UPDATE files SET version = ?, cmd = ?, dateline = ? WHERE id = ?");
    if (!upd.bind(1, next).bind(2, cmd).bind(3, now).bind(4, file_id).run())
      return Fail(500, 50004, "cannot update the file");
  } else {
    Statement ins(db_.handle(),
                  "INSERT INTO files(uid, mount, path, version, cmd, dateline) "
                  "VALUES(?, ?, ?, 1, ?, ?)");
    if (!ins.bind(1, RandomHex(16)).bind(2, mount).bind(3, path).bind(4, cmd).bind(5, now).run())
      return Fail(500, 50004, "cannot add the file");
    file_id = sqlite3_last_insert_rowid(db_.handle());
  }
  Statement ver(db_.handle(),
                "INSERT INTO versions(file_id, version, filehash, filesize, user_id, machine, "
                "dateline, cmd, download_key) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  ver.bind(1, file_id).bind(2, next).bind(3, filehash).bind(4, static_cast<int64_t>(filesize));
  ver.bind(5, user_id).bind(6, machine).bind(7, now).bind(8, cmd).bind(9, RandomHex(20));
  if (!ver.run()) return Fail(500, 50004, "cannot add the version");
  version = next;
  return {};
}

Status FileStore::CommitContent(int64_t user_id, int mount, const std::string& path,
                                const std::string& staged_path, const std::string& filehash,
                                uint64_t filesize, const std::string& machine, int& version,
                                int expect_version, bool verified) {
  if (!ValidHash(filehash)) return Fail(400, 40002, "filehash must be 40 lowercase hex digits");
  // Pinned from before it is placed until its row is in, so no purge takes it meanwhile.
  BlobPin pin(blobs_, filehash);
  if (Status e = blobs_.PlaceBlob(staged_path, filehash, verified); !e.ok()) return e;
  Status committed;
  {
    auto lock = db_.Lock();
    Transaction tx(db_);
    // Inside the transaction: a purge removes a blob only inside its own.
    struct stat st {};
    if (!tx.ok()) {
      committed = Fail(503, 50300, "the database is busy");
    } else if (stat(blobs_.BlobPath(filehash).c_str(), &st) != 0 ||
               static_cast<uint64_t>(st.st_size) != filesize) {
      committed = Fail(409, 40905, "the stored content does not have the announced size");
    } else {
      committed = CommitLocked(user_id, mount, path, filehash, filesize, machine, kCmdUpload,
                               version, expect_version);
    }
    if (committed.ok() && !tx.Commit()) committed = Fail(500, 50005, "cannot commit");
  }
  // A refused commit leaves no content behind that nothing refers to.
  if (!committed.ok() && !staged_path.empty()) {
    pin.Release();
    auto lock = db_.Lock();
    Transaction tx(db_);
    if (tx.ok() && blobs_.RemoveIfUnused(filehash)) tx.Commit();
  }
  return committed;
}

Status FileStore::PutLocalFile(int64_t user_id, int mount, const std::string& path,
                               const std::string& local_file, const std::string& machine,
                               int& version,
                               const std::function<void(uint64_t, uint64_t)>& progress) {
  std::ifstream in(local_file, std::ios::binary);
  if (!in) return Fail(400, 40006, "cannot read " + local_file);
  struct stat st;
  const uint64_t total = stat(local_file.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  std::string staged = blobs_.StagingDir() + "/put-XXXXXX";
  int fd = mkostemp(staged.data(), O_CLOEXEC);
  if (fd < 0) return Fail(500, 50006, "cannot create a staging file");
  // Locked while this process owns it: a server starting meanwhile sweeps only unowned files.
  flock(fd, LOCK_EX);
  const plumet_common::DigestCtx ctx = plumet_common::NewDigest(EVP_sha1());
  uint64_t size = 0;
  char buf[65536];
  bool ok = ctx != nullptr;
  while (ok && in) {
    in.read(buf, sizeof buf);
    std::streamsize n = in.gcount();
    if (n <= 0) break;
    EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n));
    ok = write(fd, buf, static_cast<size_t>(n)) == n;
    size += static_cast<uint64_t>(n);
    if (progress) progress(size, std::max(size, total));
  }
  if (in.bad()) ok = false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (ok) ok = EVP_DigestFinal_ex(ctx.get(), digest, &len) == 1;
  if (!ok) {
    unlink(staged.c_str());
    close(fd);
    return Fail(500, 50007, "cannot copy " + local_file);
  }
  const std::string filehash = plumet_text::HexLower(digest, len);
  Status e = CommitContent(user_id, mount, path, staged, filehash, size, machine, version);
  unlink(staged.c_str());  // no-op once moved into the store
  close(fd);
  return e;
}

Status FileStore::Revert(int64_t user_id, int mount, const std::string& path, int version,
                         int& new_version) {
  auto lock = db_.Lock();
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  VersionRecord v = rows::LoadVersion(db_, f->id, version);
  if (v.version == 0) return Fail(404, 40402, "no such version");
  // Reverting never rewrites history: the old content becomes a new version.
  if (Status e = CommitLocked(user_id, mount, path, v.filehash, static_cast<uint64_t>(v.filesize),
                              v.machine, kCmdRevert, new_version);
      !e.ok())
    return e;
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

}  // namespace zelmic
