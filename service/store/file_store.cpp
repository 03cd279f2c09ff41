#include "service/store/file_store.h"

#include "service/store/file_rows.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

// The readers here go through a read connection: they never wait for a writer holding the lock.
std::optional<FileRecord> FileStore::GetFile(int mount, const std::string& path) const {
  auto read = db_.Read();
  return rows::LoadFile(read.handle(), mount, path, false);
}

std::vector<FileRecord> FileStore::FilesOf(int mount) const {
  auto lock = db_.Lock();
  return rows::LiveFilesUnder(db_, mount, "/");
}

std::vector<FileRecord> FileStore::FilesPage(int mount, int offset, int limit, int& total) const {
  auto read = db_.Read();
  Statement count(read.handle(), "SELECT COUNT(*) FROM files WHERE mount = ? AND deleted = 0");
  total = count.bind(1, mount).step() ? count.i32(0) : 0;
  const std::string sql = std::string("SELECT ") + rows::kListedFileColumns +
                          " FROM files f LEFT JOIN versions v ON v.file_id = f.id AND "
                          "v.version = f.version LEFT JOIN users u ON u.id = v.user_id "
                          "WHERE f.mount = ? AND f.deleted = 0 ORDER BY f.path LIMIT ? OFFSET ?";
  Statement q(read.handle(), sql.c_str());
  q.bind(1, mount).bind(2, limit).bind(3, offset);
  std::vector<FileRecord> files;
  while (q.step()) files.push_back(rows::ReadListedFile(q, 0));
  return files;
}

bool FileStore::FolderExists(int mount, const std::string& path) const {
  if (path == "/") return true;
  auto read = db_.Read();
  return rows::HasLiveFileUnder(read.handle(), mount, path);
}

Status FileStore::Versions(int mount, const std::string& path,
                           std::vector<VersionRecord>& out) const {
  auto read = db_.Read();
  auto f = rows::LoadFile(read.handle(), mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  Statement q(read.handle(),
              "SELECT version FROM versions WHERE file_id = ? ORDER BY version DESC");
  q.bind(1, f->id);
  while (q.step()) out.push_back(rows::LoadVersion(read.handle(), f->id, q.i32(0)));
  return {};
}

bool FileStore::CanReadContent(int64_t user_id, const std::string& filehash) const {
  auto read = db_.Read();
  Statement q(read.handle(),
              "SELECT 1 FROM versions v JOIN files f ON f.id = v.file_id JOIN grants g "
              "ON g.mount = f.mount AND g.user_id = ? WHERE v.filehash = ? LIMIT 1");
  q.bind(1, user_id).bind(2, filehash);
  return q.step();
}

}  // namespace zelmic
