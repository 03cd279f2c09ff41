#include "service/store/store.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "common/owned_digest.h"
#include "common/text_forms.h"
#include "service/store/file_hash.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS users(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL);
CREATE TABLE IF NOT EXISTS grants(user_id INTEGER NOT NULL, mount INTEGER NOT NULL,
  PRIMARY KEY(user_id, mount));
CREATE TABLE IF NOT EXISTS tokens(token TEXT PRIMARY KEY, kind INTEGER NOT NULL,
  user_id INTEGER NOT NULL, mount INTEGER, path TEXT, created INTEGER NOT NULL,
  expires INTEGER NOT NULL, used INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS files(id INTEGER PRIMARY KEY AUTOINCREMENT, uid TEXT NOT NULL,
  mount INTEGER NOT NULL, path TEXT NOT NULL, version INTEGER NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0, cmd INTEGER NOT NULL, dateline INTEGER NOT NULL,
  lock_user INTEGER NOT NULL DEFAULT 0, publish_key TEXT UNIQUE, day_limit INTEGER DEFAULT 0,
  download_limit INTEGER DEFAULT 0, downloads INTEGER DEFAULT 0, publish_expires INTEGER DEFAULT 0,
  UNIQUE(mount, path));
CREATE TABLE IF NOT EXISTS versions(file_id INTEGER NOT NULL, version INTEGER NOT NULL,
  filehash TEXT NOT NULL, filesize INTEGER NOT NULL, user_id INTEGER NOT NULL,
  machine TEXT NOT NULL, dateline INTEGER NOT NULL, cmd INTEGER NOT NULL,
  download_key TEXT UNIQUE NOT NULL, PRIMARY KEY(file_id, version));
CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT, file_id INTEGER NOT NULL,
  user_id INTEGER NOT NULL, text TEXT NOT NULL, emails TEXT NOT NULL, lasttime INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS shares(file_id INTEGER NOT NULL, email TEXT NOT NULL,
  user_id INTEGER NOT NULL, message TEXT NOT NULL, dateline INTEGER NOT NULL,
  PRIMARY KEY(file_id, email));
CREATE TABLE IF NOT EXISTS tickets(pathhash TEXT PRIMARY KEY, user_id INTEGER NOT NULL,
  mount INTEGER NOT NULL, path TEXT NOT NULL, filehash TEXT NOT NULL, filesize INTEGER NOT NULL,
  machine TEXT NOT NULL, expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS passwords(user_id INTEGER PRIMARY KEY, hash TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS versions_by_hash ON versions(filehash);
)SQL";

constexpr const char* kMarkerKey = "zelmicd-data";

bool SyncPath(const std::string& path, bool directory) {
  int fd = open(path.c_str(), directory ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

Status Store::Create(const std::string& dir) {
  std::error_code ec;
  if (fs::exists(dir, ec)) {
    if (!fs::is_directory(dir, ec)) return Status::Error(dir + " exists and is not a directory");
    if (!fs::is_empty(dir, ec)) return Status::Error(dir + " is not empty");
  }
  fs::create_directories(dir + "/blobs", ec);
  if (!ec) fs::create_directories(dir + "/staging", ec);
  if (ec) return Status::Error("cannot create " + dir + ": " + ec.message());
  sqlite3* db = nullptr;
  const std::string db_path = dir + "/zelmic.db";
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    return Status::Error("cannot create " + db_path);
  }
  std::string sql = std::string("PRAGMA journal_mode=WAL;") + kSchema +
                    "INSERT OR REPLACE INTO meta(key, value) VALUES('" + kMarkerKey + "', '1');";
  char* msg = nullptr;
  Status done;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK)
    done = Status::Error(std::string("cannot initialise the database: ") + (msg ? msg : "?"));
  sqlite3_free(msg);
  sqlite3_close(db);
  return done;
}

Status Store::Open(const std::string& dir, std::unique_ptr<Store>& opened) {
  const std::string db_path = dir + "/zelmic.db";
  std::error_code ec;
  if (!fs::is_regular_file(db_path, ec) || !fs::is_directory(dir + "/blobs", ec)) {
    return Status::Error(dir + " is not a zelmicd data directory (run `zelmicd init " + dir + "`)");
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return Status::Error("cannot open " + db_path);
  }
  std::unique_ptr<Store> store(new Store(dir, db));
  sqlite3_busy_timeout(db, 10000);
  if (!store->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") || !store->Exec(kSchema)) {
    return Status::Error("cannot read the database in " + dir);
  }
  Statement marker(db, "SELECT value FROM meta WHERE key = ?");
  marker.bind(1, std::string(kMarkerKey));
  if (!marker.step()) return Status::Error(dir + " is not a zelmicd data directory");
  if (!store->AddColumn("tickets", "expect_version", "INTEGER NOT NULL DEFAULT 0") ||
      !store->LoadLinkSecret()) {
    return Status::Error("cannot upgrade the database in " + dir);
  }
  fs::create_directories(dir + "/staging", ec);
  opened = std::move(store);
  return Status::OK();
}

Store::~Store() { sqlite3_close(db_); }

bool Store::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Store::AddColumn(const char* table, const char* column, const char* declaration) {
  Statement info(db_, ("PRAGMA table_info(" + std::string(table) + ")").c_str());
  while (info.step())
    if (info.text(1) == column) return true;
  return Exec(
      ("ALTER TABLE " + std::string(table) + " ADD COLUMN " + column + " " + declaration).c_str());
}

int64_t Store::Now() const { return static_cast<int64_t>(time(nullptr)); }

std::string Store::BlobPath(const std::string& filehash) const {
  return dir_ + "/blobs/" + filehash.substr(0, 2) + "/" + filehash;
}

std::string Store::staging_dir() { return dir_ + "/staging"; }

bool Store::has_blob(const std::string& filehash) {
  if (filehash.size() != 40) return false;
  struct stat st {};
  return stat(BlobPath(filehash).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Status Store::PlaceBlob(const std::string& staged_path, const std::string& filehash,
                        bool verified) {
  const std::string target = BlobPath(filehash);
  if (staged_path.empty()) {
    if (!has_blob(filehash)) return Fail(409, 40901, "the content is not stored yet");
    return {};
  }
  // A blob is named by its SHA-1, so content that does not hash to its name never enters the
  // store; and it must be durable before anything refers to it. Content its writer hashed and
  // flushed on the way in is not read a second time for that.
  if (!verified) {
    std::string actual;
    if (!Sha1OfFile(staged_path, kWholeFile, actual).ok())
      return Fail(500, 50001, "cannot read the staged content");
    if (actual != filehash) return Fail(409, 40907, "the content does not match its filehash");
    if (!SyncPath(staged_path, false)) return Fail(500, 50001, "cannot sync the staged content");
  }
  if (has_blob(filehash)) {
    unlink(staged_path.c_str());  // identical content is already stored
    return {};
  }
  std::error_code ec;
  const std::string folder = dir_ + "/blobs/" + filehash.substr(0, 2);
  const bool new_folder = fs::create_directories(folder, ec);
  if (rename(staged_path.c_str(), target.c_str()) != 0)
    return Fail(500, 50002, "cannot move the content into the store");
  SyncPath(folder, true);
  // The folder's own entry needs flushing only when it was just made; each flush waits for the
  // device.
  if (new_folder) SyncPath(dir_ + "/blobs", true);
  return {};
}

bool Store::IntegrityOk() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement check(db_, "PRAGMA integrity_check");
  return check.step() && check.text(0) == "ok";
}

}  // namespace zelmic
