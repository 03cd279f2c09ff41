#include "service/store/space_keeper.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "service/store/file_rows.h"
#include "service/store/space_reserve.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

namespace {

struct Doomed {
  std::vector<int64_t> files;                     // deleted files, whole
  std::vector<std::pair<int64_t, int>> versions;  // replaced versions
  std::set<std::string> hashes;                   // what they referred to
};

void FindDoomed(const Database& db, int64_t cutoff, int max_rows, Doomed& out) {
  Statement files(db.handle(), "SELECT id FROM files WHERE deleted = 1 AND dateline < ? LIMIT ?");
  files.bind(1, cutoff).bind(2, max_rows);
  while (files.step()) out.files.push_back(files.i64(0));
  const int left = max_rows - static_cast<int>(out.files.size());
  // A version is replaced when a later one was made; its keeping time runs from then.
  Statement versions(db.handle(),
                     "SELECT v.file_id, v.version FROM versions v JOIN files f ON f.id = v.file_id "
                     "WHERE f.deleted = 0 AND v.version < f.version AND EXISTS(SELECT 1 FROM "
                     "versions n WHERE n.file_id = v.file_id AND n.version > v.version AND "
                     "n.dateline < ?) LIMIT ?");
  versions.bind(1, cutoff).bind(2, left);
  while (left > 0 && versions.step()) out.versions.emplace_back(versions.i64(0), versions.i32(1));
  auto collect = [&](int64_t file_id, int version) {
    Statement q(db.handle(),
                "SELECT filehash FROM versions WHERE file_id = ?1 AND (?2 = 0 OR version = ?2)");
    q.bind(1, file_id).bind(2, version);
    while (q.step()) out.hashes.insert(q.text(0));
  };
  for (int64_t id : out.files) collect(id, 0);
  for (const auto& [id, version] : out.versions) collect(id, version);
}

bool DropRows(const Database& db, const Doomed& doomed) {
  for (int64_t id : doomed.files)
    if (!rows::RemoveFileRows(db, id)) return false;
  for (const auto& [id, version] : doomed.versions) {
    Statement del(db.handle(), "DELETE FROM versions WHERE file_id = ? AND version = ?");
    if (!del.bind(1, id).bind(2, version).run()) return false;
  }
  return true;
}

}  // namespace

Status SpaceKeeper::PurgeRound(int64_t cutoff, int max_rows, int& purged) const {
  purged = 0;
  auto lock = db_.Lock();
  Doomed doomed;
  // Like a delete, a purge must commit on a full disk: it is what gives the space back.
  for (bool retry = true;; retry = false) {
    doomed = Doomed{};
    Transaction tx(db_);
    if (!tx.ok()) return Fail(503, 50300, "the database is busy");
    FindDoomed(db_, cutoff, max_rows, doomed);
    if (DropRows(db_, doomed) && tx.Commit()) break;
    if (!retry || !ReleaseSpaceReserve(db_.dir())) return Status::Error("cannot purge old rows");
  }
  purged = static_cast<int>(doomed.files.size() + doomed.versions.size());
  KeepSpaceReserve(db_.dir());  // given up when a change found the disk full; back when it fits
  if (doomed.hashes.empty()) return Status::OK();
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  for (const std::string& h : doomed.hashes) blobs_.RemoveIfUnused(h);
  tx.Commit();
  return Status::OK();
}

Status SpaceKeeper::SweepOrphans(int64_t older_than, int& removed) const {
  removed = 0;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(db_.dir() + "/blobs", ec)) {
    const std::string name = entry.path().filename().string();
    struct stat st {};
    if (name.size() != 40 || lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_mtime >= older_than)
      continue;
    // A `zelmicd put` holds its content locked until its row is committed.
    const int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      auto lock = db_.Lock();
      Transaction tx(db_);
      if (tx.ok() && blobs_.RemoveIfUnused(name)) ++removed;
      if (tx.ok()) tx.Commit();
    }
    close(fd);
  }
  if (ec) return Status::Error("cannot read " + db_.dir() + "/blobs: " + ec.message());
  return Status::OK();
}

}  // namespace zelmic
