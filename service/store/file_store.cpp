#include "service/store/file_store.h"

#include <algorithm>
#include <map>

#include "service/store/file_rows.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

std::optional<FileRecord> FileStore::GetFile(int mount, const std::string& path) const {
  auto lock = db_.Lock();
  return rows::LoadFile(db_, mount, path, false);
}

std::vector<FileRecord> FileStore::FilesOf(int mount) const {
  auto lock = db_.Lock();
  return rows::LiveFilesUnder(db_, mount, "/");
}

bool FileStore::FolderExists(int mount, const std::string& path) const {
  if (path == "/") return true;
  auto lock = db_.Lock();
  return rows::HasLiveFileUnder(db_, mount, path);
}

Status FileStore::List(int mount, const std::string& folder, bool dirs_only,
                       const std::string& order, int start, int size, int& total,
                       std::vector<ListEntry>& entries) const {
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

  auto lock = db_.Lock();
  const std::string prefix = rows::Prefix(folder);
  Statement q(db_.handle(),
              "SELECT path FROM files WHERE mount = ? AND deleted = 0 AND path > ? AND path < ? "
              "ORDER BY path");
  q.bind(1, mount).bind(2, prefix).bind(3, rows::UpperBound(prefix));
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
      auto f = rows::LoadFile(db_, mount, path, false);
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

std::vector<ListEntry> FileStore::ChangedSince(int mount, const std::string& path,
                                               int64_t since) const {
  auto lock = db_.Lock();
  std::vector<ListEntry> out;
  auto file = rows::LoadFile(db_, mount, path, true);
  std::vector<std::string> paths;
  if (file && path != "/") {
    paths.push_back(path);
  } else {
    const std::string prefix = rows::Prefix(path);
    Statement q(db_.handle(),
                "SELECT path FROM files WHERE mount = ? AND path > ? AND path < ? ORDER BY path");
    q.bind(1, mount).bind(2, prefix).bind(3, rows::UpperBound(prefix));
    while (q.step()) paths.push_back(q.text(0));
  }
  for (const auto& p : paths) {
    auto f = rows::LoadFile(db_, mount, p, true);
    if (f && f->dateline > since) out.push_back(ListEntry{p, false, *f});
  }
  return out;
}

Status FileStore::Versions(int mount, const std::string& path,
                           std::vector<VersionRecord>& out) const {
  auto lock = db_.Lock();
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  Statement q(db_.handle(), "SELECT version FROM versions WHERE file_id = ? ORDER BY version DESC");
  q.bind(1, f->id);
  while (q.step()) out.push_back(rows::LoadVersion(db_, f->id, q.i32(0)));
  return {};
}

bool FileStore::CanReadContent(int64_t user_id, const std::string& filehash) const {
  auto lock = db_.Lock();
  Statement q(db_.handle(),
              "SELECT 1 FROM versions v JOIN files f ON f.id = v.file_id JOIN grants g "
              "ON g.mount = f.mount AND g.user_id = ? WHERE v.filehash = ? LIMIT 1");
  q.bind(1, user_id).bind(2, filehash);
  return q.step();
}

}  // namespace zelmic
