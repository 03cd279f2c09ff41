// Listing a folder and what changed under it. Both read through a read connection and let SQL do
// the paging, so that the cost of an answer follows its size rather than the folder's.
#include <algorithm>

#include "service/store/file_rows.h"
#include "service/store/file_store.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

namespace {

// A file's current version, and the member who made it, for the listed-file columns.
constexpr const char* kWithVersion =
    "LEFT JOIN versions v ON v.file_id = f.id AND v.version = f.version ";
constexpr const char* kWithMember = "LEFT JOIN users u ON u.id = v.user_id ";
// A live path lying directly in the folder whose prefix is ?2 (and ?3 its upper bound): nothing
// after the prefix holds a separator. Bytes, not characters, as the prefix is counted in bytes.
constexpr const char* kDirectChild =
    "f.mount = ?1 AND f.deleted = 0 AND f.path > ?2 AND f.path < ?3 "
    "AND instr(substr(CAST(f.path AS BLOB), ?4), CAST('/' AS BLOB)) = 0 ";

struct ListOrder {
  std::string key;
  bool desc = false;
};

Status ParseOrder(const std::string& order, ListOrder& out) {
  out.key = order.empty() ? "name" : order;
  for (const char* suffix : {" desc", "-desc"}) {
    const std::string s(suffix);
    std::string& key = out.key;
    if (key.size() > s.size() && key.compare(key.size() - s.size(), s.size(), s) == 0) {
      out.desc = true;
      key.resize(key.size() - s.size());
    }
  }
  if (out.key != "name" && out.key != "time" && out.key != "size")
    return Fail(400, 40003, "order must be name, time or size, optionally followed by \" desc\"");
  return {};
}

// How many files lie directly in the folder, and its sub-folders by path. One pass over the
// folder's index range counts the files and finds the first deeper path; from there one index seek
// per sub-folder jumps over its contents, however many files each holds.
int ScanChildren(sqlite3* db, int mount, const std::string& prefix,
                 std::vector<std::string>& folders) {
  const std::string deeper = "instr(substr(CAST(path AS BLOB), ?4), CAST('/' AS BLOB)) > 0 ";
  const std::string range = "WHERE mount = ?1 AND deleted = 0 AND path >= ?2 AND path < ?3 ";
  Statement scan(db, ("SELECT COUNT(*) - COUNT(CASE WHEN " + deeper +
                      "THEN 1 END), MIN(CASE WHEN " + deeper + "THEN path END) FROM files " + range)
                         .c_str());
  Statement next(
      db, ("SELECT path FROM files " + range + "AND " + deeper + "ORDER BY path LIMIT 1").c_str());
  const std::string upper = rows::UpperBound(prefix);
  const int after_prefix = static_cast<int>(prefix.size()) + 1;
  scan.bind(1, mount).bind(2, prefix).bind(3, upper).bind(4, after_prefix);
  if (!scan.step()) return 0;
  const int files = scan.i32(0);
  for (std::string path = scan.text(1); !path.empty();) {
    const std::string folder = path.substr(0, path.find('/', prefix.size()));
    folders.push_back(folder);
    // '0' follows '/': past everything under the folder.
    next.reset().bind(1, mount).bind(2, folder + "0").bind(3, upper).bind(4, after_prefix);
    path = next.step() ? next.text(0) : std::string();
  }
  // Scanned in path order, "/a-b/x" comes before "/a/x", but the folder "/a" sorts first.
  std::sort(folders.begin(), folders.end());
  return files;
}

// The files of the folder from `offset`, at most `limit`, in the listing's order: the key, then
// the path (both reversed by desc).
void DirectFiles(sqlite3* db, int mount, const std::string& prefix, const ListOrder& order,
                 int offset, int limit, std::vector<ListEntry>& out) {
  const std::string dir = order.desc ? " DESC" : " ASC";
  std::string by = "f.path" + dir;
  if (order.key == "time") by = "f.dateline" + dir + ", " + by;
  if (order.key == "size") by = "COALESCE(v.filesize, 0)" + dir + ", " + by;
  // The page's rows are picked from the index alone; only they are joined with their versions.
  const std::string sql = std::string("WITH page AS (SELECT f.id AS id FROM files f ") +
                          (order.key == "size" ? kWithVersion : "") + "WHERE " + kDirectChild +
                          "ORDER BY " + by + " LIMIT ?5 OFFSET ?6) SELECT " +
                          rows::kListedFileColumns + " FROM page JOIN files f ON f.id = page.id " +
                          kWithVersion + kWithMember + "ORDER BY " + by;
  Statement q(db, sql.c_str());
  q.bind(1, mount).bind(2, prefix).bind(3, rows::UpperBound(prefix));
  q.bind(4, static_cast<int>(prefix.size()) + 1).bind(5, limit).bind(6, offset);
  while (q.step()) {
    FileRecord f = rows::ReadListedFile(q, 0);
    out.push_back(ListEntry{f.path, false, std::move(f)});
  }
}

}  // namespace

// Folders come first, then files, each group in the order asked for (folders have neither time
// nor size, so they go by path).
Status FileStore::List(int mount, const std::string& folder, bool dirs_only,
                       const std::string& order, int start, int size, int& total,
                       std::vector<ListEntry>& entries) const {
  ListOrder by;
  if (Status bad = ParseOrder(order, by); !bad.ok()) return bad;
  if (start < 0) return Fail(400, 40004, "start must not be negative");
  if (size <= 0) size = 100;
  size = std::min(size, 1000);
  auto read = db_.Read();
  if (folder != "/" && !rows::HasLiveFileUnder(read.handle(), mount, folder))
    return Fail(404, 40401, "no such folder");
  const std::string prefix = rows::Prefix(folder);
  std::vector<std::string> folders;
  const int direct = ScanChildren(read.handle(), mount, prefix, folders);
  const int files = dirs_only ? 0 : direct;
  if (by.desc) std::reverse(folders.begin(), folders.end());
  total = static_cast<int>(folders.size()) + files;
  for (size_t i = static_cast<size_t>(start);
       i < folders.size() && entries.size() < static_cast<size_t>(size); ++i)
    entries.push_back(ListEntry{folders[i], true, {}});
  const int room = size - static_cast<int>(entries.size());
  if (!dirs_only && room > 0) {
    const int offset = std::max(0, start - static_cast<int>(folders.size()));
    DirectFiles(read.handle(), mount, prefix, by, offset, room, entries);
  }
  return {};
}

std::vector<ListEntry> FileStore::ChangedSince(int mount, const std::string& path,
                                               int64_t since) const {
  auto read = db_.Read();
  const bool file = path != "/" && rows::LoadFile(read.handle(), mount, path, true).has_value();
  // One query for the whole answer: each row carries its file's current version and counts.
  const std::string where = file ? "WHERE f.mount = ?1 AND f.path = ?2 AND f.dateline > ?4 "
                                 : "WHERE f.mount = ?1 AND f.path > ?2 AND f.path < ?3 "
                                   "AND f.dateline > ?4 ";
  const std::string sql = std::string("SELECT ") + rows::kListedFileColumns + " FROM files f " +
                          kWithVersion + kWithMember + where + "ORDER BY f.path";
  Statement q(read.handle(), sql.c_str());
  const std::string prefix = file ? path : rows::Prefix(path);
  q.bind(1, mount).bind(2, prefix).bind(3, rows::UpperBound(prefix)).bind(4, since);
  std::vector<ListEntry> out;
  while (q.step()) {
    FileRecord f = rows::ReadListedFile(q, 0);
    out.push_back(ListEntry{f.path, false, std::move(f)});
  }
  return out;
}

}  // namespace zelmic
