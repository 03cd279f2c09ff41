#pragma once
// The one SQLite database of a data dir (DIR/zelmic.db, WAL) and the lock every part of the store
// takes around its statements. The parts (users, files, collaboration, blobs) share this one
// connection, so that a change touching several of their tables is one transaction.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "service/store/status.h"

namespace zelmic {

class Database {
 public:
  // Makes DIR (which must be missing or empty) into a data dir: the database with its schema, and
  // the blobs and staging folders.
  static Status Create(const std::string& dir);
  // Opens the database of a data dir made by Create, bringing its schema up to date.
  static Status Open(const std::string& dir, std::unique_ptr<Database>& opened);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& dir() const { return dir_; }
  sqlite3* handle() const { return db_; }
  // Held around every use of the connection; readers are const, hence mutable.
  [[nodiscard]] std::unique_lock<std::mutex> Lock() const {
    return std::unique_lock<std::mutex>(mutex_);
  }
  bool Exec(const char* sql) const;
  int64_t Now() const;
  // Runs PRAGMA integrity_check; true when SQLite reports "ok".
  bool IntegrityOk() const;

 private:
  Database(std::string dir, sqlite3* db) : dir_(std::move(dir)), db_(db) {}
  bool AddColumn(const char* table, const char* column, const char* declaration) const;

  std::string dir_;
  sqlite3* db_;
  mutable std::mutex mutex_;
};

// A write transaction on the connection (the caller holds the lock); rolled back unless
// committed.
class Transaction {
 public:
  explicit Transaction(const Database& db) : db_(db), ok_(db.Exec("BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (ok_ && !done_) db_.Exec("ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool ok() const { return ok_; }
  bool Commit() {
    done_ = db_.Exec("COMMIT");
    return done_;
  }

 private:
  const Database& db_;
  bool ok_ = false;
  bool done_ = false;
};

}  // namespace zelmic
