#include "service/store/database.h"

#include <ctime>
#include <filesystem>

#include "service/store/name_upgrade.h"
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
CREATE TABLE IF NOT EXISTS web_logins(id INTEGER PRIMARY KEY, key TEXT UNIQUE NOT NULL,
  user_id INTEGER NOT NULL, csrf TEXT NOT NULL, epoch INTEGER NOT NULL, expires INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS versions_by_hash ON versions(filehash);
CREATE INDEX IF NOT EXISTS live_files ON files(mount, deleted, path);
CREATE INDEX IF NOT EXISTS versions_by_user ON versions(user_id);
)SQL";

constexpr const char* kMarkerKey = "zelmicd-data";

}  // namespace

Status Database::Create(const std::string& dir) {
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

Status Database::Open(const std::string& dir, std::unique_ptr<Database>& opened) {
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
  std::unique_ptr<Database> database(new Database(dir, db));
  sqlite3_busy_timeout(db, 10000);
  if (!database->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") ||
      !database->Exec(kSchema)) {
    return Status::Error("cannot read the database in " + dir);
  }
  Statement marker(db, "SELECT value FROM meta WHERE key = ?");
  marker.bind(1, std::string(kMarkerKey));
  if (!marker.step()) return Status::Error(dir + " is not a zelmicd data directory");
  if (!database->AddColumn("tickets", "expect_version", "INTEGER NOT NULL DEFAULT 0") ||
      !database->AddColumn("users", "session_epoch", "INTEGER NOT NULL DEFAULT 0") ||
      !database->AddColumn("users", "quota", "INTEGER NOT NULL DEFAULT 0")) {
    return Status::Error("cannot upgrade the database in " + dir);
  }
  if (Status e = ComposeStoredNames(*database); !e.ok()) return e;
  opened = std::move(database);
  return Status::OK();
}

Database::~Database() {
  for (sqlite3* reader : idle_readers_) sqlite3_close(reader);
  sqlite3_close(db_);
}

namespace {
// The idle connections kept for later reads; more than this are closed when given back.
constexpr size_t kMaxIdleReaders = 8;
}  // namespace

ReadConnection Database::Read() const {
  sqlite3* handle = nullptr;
  {
    std::lock_guard<std::mutex> guard(pool_mutex_);
    if (!idle_readers_.empty()) {
      handle = idle_readers_.back();
      idle_readers_.pop_back();
    }
  }
  if (!handle) {
    const std::string db_path = dir_ + "/zelmic.db";
    if (sqlite3_open_v2(db_path.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(handle, 10000);
    } else {
      sqlite3_close(handle);
      handle = nullptr;
    }
  }
  if (handle && sqlite3_exec(handle, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    handle = nullptr;
  }
  return ReadConnection(*this, handle);
}

void Database::GiveBack(sqlite3* handle) const {
  // Ending the read transaction lets the writer's checkpoints move past this snapshot.
  const bool ended = sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  {
    std::lock_guard<std::mutex> guard(pool_mutex_);
    if (ended && idle_readers_.size() < kMaxIdleReaders) {
      idle_readers_.push_back(handle);
      return;
    }
  }
  sqlite3_close(handle);
}

ReadConnection::ReadConnection(const Database& db, sqlite3* handle) : db_(db), handle_(handle) {}

ReadConnection::~ReadConnection() {
  if (handle_) db_.GiveBack(handle_);
}

bool Database::Exec(const char* sql) const {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Database::AddColumn(const char* table, const char* column, const char* declaration) const {
  Statement info(db_, ("PRAGMA table_info(" + std::string(table) + ")").c_str());
  while (info.step())
    if (info.text(1) == column) return true;
  return Exec(
      ("ALTER TABLE " + std::string(table) + " ADD COLUMN " + column + " " + declaration).c_str());
}

int64_t Database::Now() const { return static_cast<int64_t>(time(nullptr)); }

bool Database::IntegrityOk() const {
  auto lock = Lock();
  Statement check(db_, "PRAGMA integrity_check");
  return check.step() && check.text(0) == "ok";
}

}  // namespace zelmic
