#include "service/store/name_upgrade.h"

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "service/store/file_rows.h"
#include "service/store/paths.h"
#include "service/store/sqlite_util.h"
#include "service/store/unicode_names.h"

namespace zelmic {

namespace {

// Twins are rare and few; past this many numbered names a file keeps its stored spelling.
constexpr int kMaxTwinNumber = 100;
constexpr size_t kMaxSegment = 255;

struct StoredFile {
  int64_t id;
  int mount;
  std::string path;
  bool live;
};

using StoredPath = std::pair<int, std::string>;  // mount, path as stored

// A path as the service now spells it: composed, without direction controls (which lookups now
// refuse), and no folder or name left empty by their removal. A path that is not valid UTF-8 was
// never stored by the service; it is left as it is.
std::string Composed(const std::string& path) {
  if (!IsValidUtf8(path)) return path;
  if (!HasBidiControl(path)) return ComposedUtf8(path);
  std::string plain = ReplaceBidiControls(path, "");
  for (size_t at = plain.find("//"); at != std::string::npos; at = plain.find("//", at))
    plain.insert(at + 1, "_");
  if (!plain.empty() && plain.back() == '/') plain += '_';
  return ComposedUtf8(plain);
}

// As the upload log does: no control byte reaches the terminal, even from an odd row; nor does a
// direction control that would show the line in another order.
std::string ForLog(const std::string& stored) {
  std::string path = IsValidUtf8(stored) ? ReplaceBidiControls(stored, "?") : stored;
  for (char& c : path)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return path;
}

std::vector<StoredFile> UncomposedFiles(const Database& db) {
  std::vector<StoredFile> found;
  Statement q(db.handle(), "SELECT id, mount, path, deleted FROM files ORDER BY id");
  while (q.step()) {
    std::string path = q.text(2);
    if (Composed(path) != path) found.push_back({q.i64(0), q.i32(1), path, q.i32(3) == 0});
  }
  return found;
}

// A live file neither lies in a file nor turns a folder in use into a file.
bool Fits(const Database& db, int mount, const std::string& path, bool live) {
  return !live || (!rows::HasLiveFileUnder(db, mount, path) && !rows::FileAbove(db, mount, path));
}

bool Free(const Database& db, int mount, const std::string& path, bool live) {
  return !rows::LoadFile(db, mount, path, true) && Fits(db, mount, path, live);
}

// "/a/b.txt", 2 -> "/a/b (2).txt"
std::string Numbered(const std::string& path, int n) {
  const std::string name = NameOf(path);
  const std::string ext = ExtOf(name);
  const std::string stem = ext.empty() ? name : name.substr(0, name.size() - ext.size() - 1);
  return rows::Prefix(ParentOf(path)) + stem + " (" + std::to_string(n) + ")" +
         (ext.empty() ? "" : "." + ext);
}

// Where a file goes: its composed path when free (a deleted file there gives way to a live one,
// as it does to any newcomer), else a free numbered name beside it, else nowhere (`to` is its
// stored path). False when a row could not go.
bool Destination(const Database& db, const StoredFile& file, std::string& to) {
  const std::string composed = Composed(file.path);
  auto holder = rows::LoadFile(db, file.mount, composed, true);
  if (holder && holder->deleted && file.live && Fits(db, file.mount, composed, true)) {
    if (!rows::RemoveDeletedFile(db, file.mount, composed)) return false;
    holder.reset();
  }
  to = file.path;
  if (!holder && Fits(db, file.mount, composed, file.live)) {
    to = composed;
    return true;
  }
  for (int n = 2; n <= kMaxTwinNumber; ++n) {
    std::string twin = Numbered(composed, n);
    if (NameOf(twin).size() > kMaxSegment || !Free(db, file.mount, twin, file.live)) continue;
    to = std::move(twin);
    break;
  }
  return true;
}

bool ComposeFiles(const Database& db, std::map<StoredPath, std::string>& moved,
                  std::vector<std::string>& told) {
  for (const StoredFile& file : UncomposedFiles(db)) {
    std::string to;
    if (!Destination(db, file, to)) return false;
    moved[{file.mount, file.path}] = to;
    const std::string where = ForLog(file.path) + " (mount " + std::to_string(file.mount) + ")";
    if (to == file.path) {
      told.push_back(where + " keeps its stored spelling: its composed name is taken");
      continue;
    }
    Statement upd(db.handle(), "UPDATE files SET path = ? WHERE id = ?");
    if (!upd.bind(1, to).bind(2, file.id).run()) return false;
    if (to != Composed(file.path))
      told.push_back(where + " is now " + ForLog(to) + ": its composed name was taken");
    else if (HasBidiControl(file.path))
      told.push_back(where + " is now " + ForLog(to) + ": names hold no direction controls");
  }
  return true;
}

// The paths of tokens and tickets name files: they follow their file, or are composed.
bool ComposePaths(const Database& db, const std::string& table, const std::string& key,
                  const std::map<StoredPath, std::string>& moved) {
  std::vector<std::pair<std::string, std::string>> changes;  // key, new path
  Statement q(
      db.handle(),
      ("SELECT " + key + ", mount, path FROM " + table + " WHERE path IS NOT NULL").c_str());
  while (q.step()) {
    const std::string path = q.text(2);
    if (Composed(path) == path) continue;
    auto it = moved.find({q.i32(1), path});
    changes.emplace_back(q.text(0), it != moved.end() ? it->second : Composed(path));
  }
  for (const auto& [row, path] : changes) {
    Statement upd(db.handle(), ("UPDATE " + table + " SET path = ? WHERE " + key + " = ?").c_str());
    if (!upd.bind(1, path).bind(2, row).run()) return false;
  }
  return true;
}

bool AlreadyComposed(const Database& db) {
  Statement q(db.handle(), "SELECT 1 FROM meta WHERE key = ?");
  return q.bind(1, std::string(kNamesComposedKey)).step();
}

}  // namespace

Status ComposeStoredNames(const Database& db) {
  auto lock = db.Lock();
  if (AlreadyComposed(db)) return Status::OK();
  Status failed = Status::Error("cannot compose the stored names in " + db.dir());
  Transaction tx(db);
  if (!tx.ok()) return failed;
  std::map<StoredPath, std::string> moved;
  std::vector<std::string> told;
  Statement mark(db.handle(), "INSERT INTO meta(key, value) VALUES(?, '1')");
  if (!ComposeFiles(db, moved, told) || !ComposePaths(db, "tokens", "token", moved) ||
      !ComposePaths(db, "tickets", "pathhash", moved) ||
      !mark.bind(1, std::string(kNamesComposedKey)).run() || !tx.Commit())
    return failed;
  for (const std::string& line : told) std::fprintf(stderr, "zelmicd: %s\n", line.c_str());
  return Status::OK();
}

}  // namespace zelmic
