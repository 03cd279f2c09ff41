// Files and versions. Folders are implicit: a folder exists while a file lies beneath it.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "common/owned_digest.h"
#include "common/text_forms.h"
#include "service/store/paths.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"
#include "service/store/store.h"

namespace zelmic {

namespace {

// Upper bound of the paths under prefix "/a/" in binary order: "/a0" ('0' follows '/').
std::string UpperBound(const std::string& prefix) {
  return prefix.substr(0, prefix.size() - 1) + "0";
}

std::string Prefix(const std::string& folder) { return folder == "/" ? "/" : folder + "/"; }

bool ValidHash(const std::string& h) {
  if (h.size() != 40) return false;
  return std::all_of(h.begin(), h.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// RAII transaction on the store's connection; rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    ok_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (ok_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool ok() const { return ok_; }
  bool Commit() {
    done_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return done_;
  }

 private:
  sqlite3* db_;
  bool ok_ = false;
  bool done_ = false;
};

}  // namespace

std::optional<FileRecord> Store::LoadFile(int mount, const std::string& path, bool with_deleted) {
  Statement q(db_,
              "SELECT id, uid, version, deleted, cmd, dateline, lock_user, publish_key "
              "FROM files WHERE mount = ? AND path = ?");
  q.bind(1, mount).bind(2, path);
  if (!q.step()) return std::nullopt;
  FileRecord f;
  f.id = q.i64(0);
  f.uid = q.text(1);
  f.mount = mount;
  f.path = path;
  f.deleted = q.i32(3) != 0;
  if (f.deleted && !with_deleted) return std::nullopt;
  f.cmd = q.i32(4);
  f.dateline = q.i64(5);
  f.lock_user = q.i64(6);
  f.published = !q.is_null(7);
  f.current = LoadVersion(f.id, q.i32(2));
  Statement counts(db_,
                   "SELECT (SELECT COUNT(*) FROM versions WHERE file_id = ?1), "
                   "(SELECT COUNT(*) FROM shares WHERE file_id = ?1), "
                   "(SELECT COUNT(*) FROM messages WHERE file_id = ?1)");
  counts.bind(1, f.id);
  if (counts.step()) {
    f.vcount = counts.i32(0);
    f.shares = counts.i32(1);
    f.messages = counts.i32(2);
  }
  return f;
}

VersionRecord Store::LoadVersion(int64_t file_id, int version) {
  VersionRecord v;
  Statement q(db_,
              "SELECT v.version, v.filehash, v.filesize, v.user_id, COALESCE(u.name, ''), "
              "v.machine, v.dateline, v.cmd, v.download_key FROM versions v "
              "LEFT JOIN users u ON u.id = v.user_id WHERE v.file_id = ? AND v.version = ?");
  q.bind(1, file_id).bind(2, version);
  if (!q.step()) return v;
  v.version = q.i32(0);
  v.filehash = q.text(1);
  v.filesize = q.i64(2);
  v.user_id = q.i64(3);
  v.user = q.text(4);
  v.machine = q.text(5);
  v.dateline = q.i64(6);
  v.cmd = q.i32(7);
  v.download_key = q.text(8);
  return v;
}

std::optional<FileRecord> Store::GetFile(int mount, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  return LoadFile(mount, path, false);
}

std::vector<FileRecord> Store::FilesOf(int mount) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FileRecord> out;
  Statement q(db_, "SELECT path FROM files WHERE mount = ? AND deleted = 0 ORDER BY path");
  q.bind(1, mount);
  while (q.step())
    if (auto f = LoadFile(mount, q.text(0), false)) out.push_back(*f);
  return out;
}

bool Store::FolderExists(int mount, const std::string& path) {
  if (path == "/") return true;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string prefix = Prefix(path);
  Statement q(db_,
              "SELECT 1 FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? "
              "LIMIT 1");
  q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
  return q.step();
}

Status Store::List(int mount, const std::string& folder, bool dirs_only, const std::string& order,
                   int start, int size, int& total, std::vector<ListEntry>& entries) {
  std::string key = order.empty() ? "name" : order;
  bool desc = false;
  for (const char* suffix : {" desc", "-desc"}) {
    const std::string s(suffix);
    if (key.size() > s.size() && key.compare(key.size() - s.size(), s.size(), s) == 0) {
      desc = true;
      key.resize(key.size() - s.size());
    }
  }
  if (key != "name" && key != "time" && key != "size")
    return Fail(400, 40003, "order must be name, time or size, optionally followed by \" desc\"");
  if (start < 0) return Fail(400, 40004, "start must not be negative");
  if (size <= 0) size = 100;
  size = std::min(size, 1000);
  if (!FolderExists(mount, folder)) return Fail(404, 40401, "no such folder");

  std::lock_guard<std::mutex> lock(mutex_);
  const std::string prefix = Prefix(folder);
  Statement q(db_,
              "SELECT path FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? "
              "ORDER BY path");
  q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
  std::map<std::string, ListEntry> folders;
  std::vector<ListEntry> files;
  while (q.step()) {
    const std::string path = q.text(0);
    const std::string rest = path.substr(prefix.size());
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
      const std::string sub = prefix + rest.substr(0, slash);
      ListEntry& e = folders[sub];
      e.path = sub;
      e.dir = true;
    } else if (!dirs_only) {
      ListEntry e;
      e.path = path;
      auto f = LoadFile(mount, path, false);
      if (f) e.file = *f;
      files.push_back(e);
    }
  }
  auto less = [&](const ListEntry& a, const ListEntry& b) {
    if (key == "time" && a.file.dateline != b.file.dateline)
      return a.file.dateline < b.file.dateline;
    if (key == "size" && a.file.current.filesize != b.file.current.filesize)
      return a.file.current.filesize < b.file.current.filesize;
    return a.path < b.path;
  };
  std::vector<ListEntry> all;
  all.reserve(folders.size());
  for (auto& [name, e] : folders) all.push_back(e);
  std::stable_sort(all.begin(), all.end(), less);
  std::stable_sort(files.begin(), files.end(), less);
  if (desc) {
    std::reverse(all.begin(), all.end());
    std::reverse(files.begin(), files.end());
  }
  all.insert(all.end(), files.begin(), files.end());
  total = static_cast<int>(all.size());
  for (size_t i = static_cast<size_t>(start);
       i < all.size() && entries.size() < static_cast<size_t>(size); ++i)
    entries.push_back(all[i]);
  return {};
}

std::vector<ListEntry> Store::ChangedSince(int mount, const std::string& path, int64_t since) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ListEntry> out;
  auto file = LoadFile(mount, path, true);
  std::vector<std::string> paths;
  if (file && path != "/") {
    paths.push_back(path);
  } else {
    const std::string prefix = Prefix(path);
    Statement q(db_,
                "SELECT path FROM files WHERE mount = ? AND path > ? AND path < ? ORDER BY path");
    q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
    while (q.step()) paths.push_back(q.text(0));
  }
  for (const auto& p : paths) {
    auto f = LoadFile(mount, p, true);
    if (f && f->dateline > since) out.push_back(ListEntry{p, false, *f});
  }
  return out;
}

Status Store::CheckUnlocked(const FileRecord& file, int64_t user_id) {
  if (file.lock_user != 0 && file.lock_user != user_id)
    return Fail(423, 42300, "the file is locked by another member");
  return {};
}

Status Store::CommitLocked(int64_t user_id, int mount, const std::string& path,
                           const std::string& filehash, uint64_t filesize,
                           const std::string& machine, int cmd, int& version, int expect_version) {
  if (path == "/") return Fail(400, 40005, "the mount root is a folder");
  // A file may not take the place of a folder, nor lie beneath a file.
  {
    const std::string prefix = Prefix(path);
    Statement q(db_,
                "SELECT 1 FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? "
                "LIMIT 1");
    q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
    if (q.step()) return Fail(409, 40903, "a folder has this name");
    for (std::string p = ParentOf(path); p != "/"; p = ParentOf(p)) {
      if (LoadFile(mount, p, false)) return Fail(409, 40904, "a file is in the way: " + p);
    }
  }
  auto file = LoadFile(mount, path, true);
  if (file && !file->deleted) {
    if (Status e = CheckUnlocked(*file, user_id); !e.ok()) return e;
  }
  // Compare and set: the upload was registered against expect_version, and a commit that landed
  // since then must not be overwritten silently.
  const int current = file && !file->deleted ? file->current.version : 0;
  if (expect_version != 0 && expect_version != current)
    return Fail(409, 40902, "the file has changed since version " + std::to_string(expect_version));
  const int64_t now = Now();
  int64_t file_id;
  int next = 1;
  if (file) {
    file_id = file->id;
    Statement max(db_, "SELECT COALESCE(MAX(version), 0) FROM versions WHERE file_id = ?");
    max.bind(1, file_id);
    if (max.step()) next = max.i32(0) + 1;
    Statement upd(db_,
                  "UPDATE files SET version = ?, deleted = 0, cmd = ?, dateline = ? WHERE id = ?");
    if (!upd.bind(1, next).bind(2, cmd).bind(3, now).bind(4, file_id).run())
      return Fail(500, 50004, "cannot update the file");
  } else {
    Statement ins(db_,
                  "INSERT INTO files(uid, mount, path, version, cmd, dateline) "
                  "VALUES(?, ?, ?, 1, ?, ?)");
    if (!ins.bind(1, RandomHex(16)).bind(2, mount).bind(3, path).bind(4, cmd).bind(5, now).run())
      return Fail(500, 50004, "cannot add the file");
    file_id = sqlite3_last_insert_rowid(db_);
  }
  Statement ver(db_,
                "INSERT INTO versions(file_id, version, filehash, filesize, user_id, machine, "
                "dateline, cmd, download_key) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  ver.bind(1, file_id).bind(2, next).bind(3, filehash).bind(4, static_cast<int64_t>(filesize));
  ver.bind(5, user_id).bind(6, machine).bind(7, now).bind(8, cmd).bind(9, RandomHex(20));
  if (!ver.run()) return Fail(500, 50004, "cannot add the version");
  version = next;
  return {};
}

Status Store::CommitContent(int64_t user_id, int mount, const std::string& path,
                            const std::string& staged_path, const std::string& filehash,
                            uint64_t filesize, const std::string& machine, int& version,
                            int expect_version, bool verified) {
  if (!ValidHash(filehash)) return Fail(400, 40002, "filehash must be 40 lowercase hex digits");
  if (Status e = PlaceBlob(staged_path, filehash, verified); !e.ok()) return e;
  struct stat st {};
  if (stat(BlobPath(filehash).c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != filesize)
    return Fail(409, 40905, "the stored content does not have the announced size");
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  if (Status e = CommitLocked(user_id, mount, path, filehash, filesize, machine, kCmdUpload,
                              version, expect_version);
      !e.ok())
    return e;
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

Status Store::PutLocalFile(int64_t user_id, int mount, const std::string& path,
                           const std::string& local_file, const std::string& machine, int& version,
                           const std::function<void(uint64_t, uint64_t)>& progress) {
  std::ifstream in(local_file, std::ios::binary);
  if (!in) return Fail(400, 40006, "cannot read " + local_file);
  struct stat st;
  const uint64_t total = stat(local_file.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  std::string staged = staging_dir() + "/put-XXXXXX";
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

Status Store::Delete(int64_t user_id, int mount, const std::string& path, int& version) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  std::vector<FileRecord> victims;
  if (auto f = LoadFile(mount, path, false)) {
    victims.push_back(*f);
    version = f->current.version;
  } else {
    const std::string prefix = Prefix(path);
    Statement q(db_,
                "SELECT path FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ?");
    q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
    while (q.step())
      if (auto g = LoadFile(mount, q.text(0), false)) victims.push_back(*g);
    if (victims.empty()) return Fail(404, 40400, "no such file or folder");
    version = 0;
  }
  for (const auto& v : victims)
    if (Status e = CheckUnlocked(v, user_id); !e.ok()) return e;
  for (const auto& v : victims) {
    Statement upd(db_,
                  "UPDATE files SET deleted = 1, cmd = ?, dateline = ?, lock_user = 0, "
                  "publish_key = NULL WHERE id = ?");
    if (!upd.bind(1, static_cast<int>(kCmdDelete)).bind(2, Now()).bind(3, v.id).run())
      return Fail(500, 50004, "cannot delete");
  }
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

Status Store::Rename(int64_t user_id, int mount, const std::string& path, const std::string& to,
                     int& version) {
  if (path == "/" || to == "/") return Fail(400, 40007, "the mount root cannot be renamed");
  if (IsInside(to, path)) return Fail(400, 40008, "a folder cannot move into itself");
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  std::vector<std::pair<FileRecord, std::string>> moves;
  if (auto f = LoadFile(mount, path, false)) {
    moves.emplace_back(*f, to);
    version = f->current.version;
  } else {
    const std::string prefix = Prefix(path);
    Statement q(db_,
                "SELECT path FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ?");
    q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
    while (q.step()) {
      const std::string p = q.text(0);
      if (auto g = LoadFile(mount, p, false)) moves.emplace_back(*g, to + p.substr(path.size()));
    }
    if (moves.empty()) return Fail(404, 40400, "no such file or folder");
    version = 0;
  }
  if (to == path) return {};
  for (const auto& [file, target] : moves) {
    if (Status e = CheckUnlocked(file, user_id); !e.ok()) return e;
    if (LoadFile(mount, target, false)) return Fail(409, 40906, "the target exists: " + target);
  }
  // The target must not be a folder in use, nor lie beneath a file.
  {
    const std::string prefix = Prefix(to);
    Statement q(
        db_,
        "SELECT 1 FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? LIMIT 1");
    q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
    if (q.step()) return Fail(409, 40906, "the target exists");
    for (std::string p = ParentOf(to); p != "/"; p = ParentOf(p))
      if (LoadFile(mount, p, false)) return Fail(409, 40904, "a file is in the way: " + p);
  }
  const int64_t now = Now();
  for (const auto& [file, target] : moves) {
    // A deleted file at the target gives way; its content stays in the blob store.
    if (auto old = LoadFile(mount, target, true)) {
      for (const char* sql :
           {"DELETE FROM versions WHERE file_id = ?", "DELETE FROM messages WHERE file_id = ?",
            "DELETE FROM shares WHERE file_id = ?", "DELETE FROM files WHERE id = ?"}) {
        Statement del(db_, sql);
        del.bind(1, old->id).run();
      }
    }
    Statement upd(db_, "UPDATE files SET path = ?, cmd = ?, dateline = ? WHERE id = ?");
    if (!upd.bind(1, target)
             .bind(2, static_cast<int>(kCmdRename))
             .bind(3, now)
             .bind(4, file.id)
             .run())
      return Fail(500, 50004, "cannot rename");
  }
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

Status Store::Versions(int mount, const std::string& path, std::vector<VersionRecord>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto f = LoadFile(mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  Statement q(db_, "SELECT version FROM versions WHERE file_id = ? ORDER BY version DESC");
  q.bind(1, f->id);
  while (q.step()) out.push_back(LoadVersion(f->id, q.i32(0)));
  return {};
}

Status Store::Revert(int64_t user_id, int mount, const std::string& path, int version,
                     int& new_version) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  auto f = LoadFile(mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  VersionRecord v = LoadVersion(f->id, version);
  if (v.version == 0) return Fail(404, 40402, "no such version");
  // Reverting never rewrites history: the old content becomes a new version.
  if (Status e = CommitLocked(user_id, mount, path, v.filehash, static_cast<uint64_t>(v.filesize),
                              v.machine, kCmdRevert, new_version);
      !e.ok())
    return e;
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

Status Store::Lock(int64_t user_id, int mount, const std::string& path, bool lock_it) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto f = LoadFile(mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  if (f->lock_user != 0 && f->lock_user != user_id)
    return Fail(423, 42300, "the file is locked by another member");
  Statement upd(db_, "UPDATE files SET lock_user = ?, dateline = ? WHERE id = ?");
  if (!upd.bind(1, lock_it ? user_id : int64_t{0}).bind(2, Now()).bind(3, f->id).run())
    return Fail(500, 50004, "cannot change the lock");
  return {};
}

}  // namespace zelmic
