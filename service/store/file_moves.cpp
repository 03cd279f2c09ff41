// Changes that keep the content: delete, rename, lock.
#include <utility>
#include <vector>

#include "service/store/file_rows.h"
#include "service/store/file_store.h"
#include "service/store/paths.h"
#include "service/store/space_reserve.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

namespace {

Status DeleteOnce(const Database& db, int64_t user_id, int mount, const std::string& path,
                  int& version) {
  auto lock = db.Lock();
  Transaction tx(db);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  std::vector<FileRecord> victims;
  if (auto f = rows::LoadFile(db, mount, path, false)) {
    victims.push_back(*f);
    version = f->current.version;
  } else {
    victims = rows::LiveFilesUnder(db, mount, path);
    if (victims.empty()) return Fail(404, 40400, "no such file or folder");
    version = 0;
  }
  for (const auto& v : victims)
    if (Status e = rows::CheckUnlocked(v, user_id); !e.ok()) return e;
  for (const auto& v : victims) {
    Statement upd(db.handle(),
                  "UPDATE files SET deleted = 1, cmd = ?, dateline = ?, lock_user = 0, "
                  "publish_key = NULL WHERE id = ?");
    if (!upd.bind(1, static_cast<int>(kCmdDelete)).bind(2, db.Now()).bind(3, v.id).run())
      return Fail(500, 50004, "cannot delete");
  }
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

}  // namespace

Status FileStore::Delete(int64_t user_id, int mount, const std::string& path, int& version) {
  Status done = DeleteOnce(db_, user_id, mount, path, version);
  // On a full disk the write-ahead log cannot grow by the delete's pages; the reserve makes room.
  if (done.http_status() == 500 && ReleaseSpaceReserve(db_.dir()))
    done = DeleteOnce(db_, user_id, mount, path, version);
  return done;
}

Status FileStore::Rename(int64_t user_id, int mount, const std::string& path, const std::string& to,
                         int& version) {
  if (path == "/" || to == "/") return Fail(400, 40007, "the mount root cannot be renamed");
  if (IsInside(to, path)) return Fail(400, 40008, "a folder cannot move into itself");
  auto lock = db_.Lock();
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  std::vector<std::pair<FileRecord, std::string>> moves;
  if (auto f = rows::LoadFile(db_, mount, path, false)) {
    moves.emplace_back(*f, to);
    version = f->current.version;
  } else {
    for (FileRecord& g : rows::LiveFilesUnder(db_, mount, path)) {
      std::string target = to + g.path.substr(path.size());
      moves.emplace_back(std::move(g), std::move(target));
    }
    if (moves.empty()) return Fail(404, 40400, "no such file or folder");
    version = 0;
  }
  if (to == path) return {};
  for (const auto& [file, target] : moves) {
    if (Status e = rows::CheckUnlocked(file, user_id); !e.ok()) return e;
    if (rows::LoadFile(db_, mount, target, false))
      return Fail(409, 40906, "the target exists: " + target);
  }
  // The target must not be a folder in use, nor lie beneath a file.
  if (rows::HasLiveFileUnder(db_, mount, to)) return Fail(409, 40906, "the target exists");
  if (auto above = rows::FileAbove(db_, mount, to))
    return Fail(409, 40904, "a file is in the way: " + *above);
  const int64_t now = db_.Now();
  for (const auto& [file, target] : moves) {
    // A deleted file at the target gives way.
    if (!rows::RemoveDeletedFile(db_, mount, target)) return Fail(500, 50004, "cannot rename");
    Statement upd(db_.handle(), "UPDATE files SET path = ?, cmd = ?, dateline = ? WHERE id = ?");
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

Status FileStore::Lock(int64_t user_id, int mount, const std::string& path, bool lock_it) {
  auto lock = db_.Lock();
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  if (f->lock_user != 0 && f->lock_user != user_id)
    return Fail(423, 42300, "the file is locked by another member");
  Statement upd(db_.handle(), "UPDATE files SET lock_user = ?, dateline = ? WHERE id = ?");
  if (!upd.bind(1, lock_it ? user_id : int64_t{0}).bind(2, db_.Now()).bind(3, f->id).run())
    return Fail(500, 50004, "cannot change the lock");
  return {};
}

}  // namespace zelmic
