#include "service/store/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <filesystem>
#include <vector>

#include "common/owned_digest.h"
#include "service/store/sqlite_util.h"
#include "common/text_forms.h"

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

bool HashFile(const std::string& path, std::string& sha1_hex, uint64_t& size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const plumet_common::DigestCtx ctx = plumet_common::NewDigest(EVP_sha1());
  if (!ctx) {
    close(fd);
    return false;
  }
  std::vector<char> buf(1 << 16);
  size = 0;
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) {
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
    size += static_cast<uint64_t>(n);
  }
  close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (n < 0 || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return false;
  sha1_hex = plumet_text::HexLower(digest, len);
  return true;
}

ApiError Fail(unsigned status, int code, std::string msg) {
  return ApiError{status, code, std::move(msg)};
}

bool Store::Create(const std::string& dir, std::string& error) {
  std::error_code ec;
  if (fs::exists(dir, ec)) {
    if (!fs::is_directory(dir, ec)) {
      error = dir + " exists and is not a directory";
      return false;
    }
    if (!fs::is_empty(dir, ec)) {
      error = dir + " is not empty";
      return false;
    }
  }
  fs::create_directories(dir + "/blobs", ec);
  if (!ec) fs::create_directories(dir + "/staging", ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  sqlite3* db = nullptr;
  const std::string db_path = dir + "/zelmic.db";
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    error = "cannot create " + db_path;
    sqlite3_close(db);
    return false;
  }
  std::string sql = std::string("PRAGMA journal_mode=WAL;") + kSchema +
                    "INSERT OR REPLACE INTO meta(key, value) VALUES('" + kMarkerKey + "', '1');";
  char* msg = nullptr;
  bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) == SQLITE_OK;
  if (!ok) error = std::string("cannot initialise the database: ") + (msg ? msg : "?");
  sqlite3_free(msg);
  sqlite3_close(db);
  return ok;
}

std::unique_ptr<Store> Store::Open(const std::string& dir, std::string& error) {
  const std::string db_path = dir + "/zelmic.db";
  std::error_code ec;
  if (!fs::is_regular_file(db_path, ec) || !fs::is_directory(dir + "/blobs", ec)) {
    error = dir + " is not a zelmicd data directory (run `zelmicd init " + dir + "`)";
    return nullptr;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    error = "cannot open " + db_path;
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(dir, db));
  sqlite3_busy_timeout(db, 10000);
  if (!store->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") || !store->Exec(kSchema)) {
    error = "cannot read the database in " + dir;
    return nullptr;
  }
  Statement marker(db, "SELECT value FROM meta WHERE key = ?");
  marker.bind(1, std::string(kMarkerKey));
  if (!marker.step()) {
    error = dir + " is not a zelmicd data directory";
    return nullptr;
  }
  if (!store->AddColumn("tickets", "expect_version", "INTEGER NOT NULL DEFAULT 0") ||
      !store->LoadLinkSecret()) {
    error = "cannot upgrade the database in " + dir;
    return nullptr;
  }
  fs::create_directories(dir + "/staging", ec);
  return store;
}

Store::~Store() { sqlite3_close(db_); }

bool Store::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Store::AddColumn(const char* table, const char* column, const char* declaration) {
  Statement info(db_, ("PRAGMA table_info(" + std::string(table) + ")").c_str());
  while (info.step())
    if (info.text(1) == column) return true;
  return Exec(("ALTER TABLE " + std::string(table) + " ADD COLUMN " + column + " " + declaration)
                  .c_str());
}

int64_t Store::Now() const { return static_cast<int64_t>(time(nullptr)); }

std::string Store::BlobPath(const std::string& filehash) const {
  return dir_ + "/blobs/" + filehash.substr(0, 2) + "/" + filehash;
}

std::string Store::staging_dir() { return dir_ + "/staging"; }

bool Store::has_blob(const std::string& filehash) {
  if (filehash.size() != 40) return false;
  struct stat st{};
  return stat(BlobPath(filehash).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ApiError Store::PlaceBlob(const std::string& staged_path, const std::string& filehash,
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
    uint64_t size = 0;
    std::string actual;
    if (!HashFile(staged_path, actual, size)) return Fail(500, 50001, "cannot read the staged content");
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
