#include "service/store/file_rows.h"

#include "service/store/paths.h"
#include "service/store/sqlite_util.h"

namespace zelmic::rows {

std::optional<FileRecord> LoadFile(const Database& db, int mount, const std::string& path,
                                   bool with_deleted) {
  return LoadFile(db.handle(), mount, path, with_deleted);
}

std::optional<FileRecord> LoadFile(sqlite3* db, int mount, const std::string& path,
                                   bool with_deleted) {
  Statement q(db,
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
  f.current = LoadVersion(db, f.id, q.i32(2));
  Statement counts(db,
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

VersionRecord LoadVersion(const Database& db, int64_t file_id, int version) {
  return LoadVersion(db.handle(), file_id, version);
}

namespace {

// A version's columns as LoadVersion and kListedFileColumns select them, from column `first` on:
// version, filehash, filesize, user_id, user name, machine, dateline, cmd, download_key.
VersionRecord ReadVersionColumns(const Statement& q, int first) {
  VersionRecord v;
  v.version = q.i32(first);
  v.filehash = q.text(first + 1);
  v.filesize = q.i64(first + 2);
  v.user_id = q.i64(first + 3);
  v.user = q.text(first + 4);
  v.machine = q.text(first + 5);
  v.dateline = q.i64(first + 6);
  v.cmd = q.i32(first + 7);
  v.download_key = q.text(first + 8);
  return v;
}

}  // namespace

VersionRecord LoadVersion(sqlite3* db, int64_t file_id, int version) {
  Statement q(db,
              "SELECT v.version, v.filehash, v.filesize, v.user_id, COALESCE(u.name, ''), "
              "v.machine, v.dateline, v.cmd, v.download_key FROM versions v "
              "LEFT JOIN users u ON u.id = v.user_id WHERE v.file_id = ? AND v.version = ?");
  q.bind(1, file_id).bind(2, version);
  if (!q.step()) return {};
  return ReadVersionColumns(q, 0);
}

const char* const kListedFileColumns =
    "f.path, f.id, f.uid, f.mount, f.cmd, f.dateline, f.lock_user, f.publish_key, f.deleted, "
    "COALESCE(v.version, 0), COALESCE(v.filehash, ''), COALESCE(v.filesize, 0), "
    "COALESCE(v.user_id, 0), COALESCE(u.name, ''), COALESCE(v.machine, ''), "
    "COALESCE(v.dateline, 0), COALESCE(v.cmd, 1), COALESCE(v.download_key, ''), "
    "(SELECT COUNT(*) FROM shares s WHERE s.file_id = f.id)";

FileRecord ReadListedFile(const Statement& q, int first) {
  FileRecord f;
  f.path = q.text(first);
  f.id = q.i64(first + 1);
  f.uid = q.text(first + 2);
  f.mount = q.i32(first + 3);
  f.cmd = q.i32(first + 4);
  f.dateline = q.i64(first + 5);
  f.lock_user = q.i64(first + 6);
  f.published = !q.is_null(first + 7);
  f.deleted = q.i32(first + 8) != 0;
  f.current = ReadVersionColumns(q, first + 9);
  f.shares = q.i32(first + 18);
  return f;
}

std::string Prefix(const std::string& folder) { return folder == "/" ? "/" : folder + "/"; }

// "/a/" -> "/a0": '0' is the character after '/'.
std::string UpperBound(const std::string& prefix) {
  return prefix.substr(0, prefix.size() - 1) + "0";
}

bool HasLiveFileUnder(const Database& db, int mount, const std::string& folder) {
  return HasLiveFileUnder(db.handle(), mount, folder);
}

bool HasLiveFileUnder(sqlite3* db, int mount, const std::string& folder) {
  const std::string prefix = Prefix(folder);
  Statement q(db,
              "SELECT 1 FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? "
              "LIMIT 1");
  q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
  return q.step();
}

std::vector<FileRecord> LiveFilesUnder(const Database& db, int mount, const std::string& folder) {
  const std::string prefix = Prefix(folder);
  Statement q(db.handle(),
              "SELECT path FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? "
              "ORDER BY path");
  q.bind(1, mount).bind(2, prefix).bind(3, UpperBound(prefix));
  std::vector<FileRecord> files;
  while (q.step())
    if (auto f = LoadFile(db, mount, q.text(0), false)) files.push_back(*f);
  return files;
}

std::optional<std::string> FileAbove(const Database& db, int mount, const std::string& path) {
  for (std::string p = ParentOf(path); p != "/"; p = ParentOf(p))
    if (LoadFile(db, mount, p, false)) return p;
  return std::nullopt;
}

bool RemoveDeletedFile(const Database& db, int mount, const std::string& path) {
  auto old = LoadFile(db, mount, path, true);
  if (!old || !old->deleted) return true;
  return RemoveFileRows(db, old->id);
}

bool RemoveFileRows(const Database& db, int64_t file_id) {
  for (const char* sql :
       {"DELETE FROM versions WHERE file_id = ?", "DELETE FROM messages WHERE file_id = ?",
        "DELETE FROM shares WHERE file_id = ?", "DELETE FROM files WHERE id = ?"}) {
    Statement del(db.handle(), sql);
    if (!del.bind(1, file_id).run()) return false;
  }
  return true;
}

Status CheckQuota(const Database& db, int64_t user_id, uint64_t adding) {
  Statement q(db.handle(),
              "SELECT u.quota, (SELECT COALESCE(SUM(filesize), 0) FROM versions WHERE user_id = "
              "u.id) FROM users u WHERE u.id = ? AND u.quota > 0");
  q.bind(1, user_id);
  if (!q.step()) return {};
  const uint64_t quota = static_cast<uint64_t>(q.i64(0));
  const uint64_t used = static_cast<uint64_t>(q.i64(1));
  if (used > quota || adding > quota - used)
    return Fail(507, 50700,
                "the user's quota of " + std::to_string(quota) + " bytes would be exceeded (" +
                    std::to_string(used) + " in use)");
  return {};
}

Status CheckUnlocked(const FileRecord& file, int64_t user_id) {
  if (file.lock_user != 0 && file.lock_user != user_id)
    return Fail(423, 42300, "the file is locked by another member");
  return {};
}

}  // namespace zelmic::rows
