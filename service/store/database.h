#pragma once
// The one SQLite database of a data dir (DIR/zelmic.db, WAL) and the lock every part of the store
// takes around its writes. The parts (users, files, collaboration, blobs) share this one writing
// connection, so that a change touching several of their tables is one transaction. Reads that
// need no transaction with a write go through read-only connections of their own (Read()), which
// WAL lets run beside the writer.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service/store/status.h"

namespace zelmic {

class Database;

// A read-only connection borrowed from the database's pool for one read. Its statements run in
// one read transaction, so they see the last commit made before the first of them, never a write
// in progress; and they neither take nor wait for Lock(), so readers run beside each other and
// beside a writer. Used by one thread at a time; gives the connection back when destroyed.
class ReadConnection {
 public:
  ReadConnection(const Database& db, sqlite3* handle);
  ~ReadConnection();
  ReadConnection(ReadConnection&& other) noexcept
      : db_(other.db_), handle_(std::exchange(other.handle_, nullptr)) {}
  ReadConnection(const ReadConnection&) = delete;
  ReadConnection& operator=(const ReadConnection&) = delete;
  ReadConnection& operator=(ReadConnection&&) = delete;
  // Null when no connection could be opened: statements on it then fail and find no rows.
  sqlite3* handle() const { return handle_; }

 private:
  const Database& db_;
  sqlite3* handle_;
};

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
  // A connection for reading only, without the writers' lock (see ReadConnection).
  ReadConnection Read() const;
  int64_t Now() const;
  // Runs PRAGMA integrity_check; true when SQLite reports "ok".
  bool IntegrityOk() const;

 private:
  Database(std::string dir, sqlite3* db) : dir_(std::move(dir)), db_(db) {}
  bool AddColumn(const char* table, const char* column, const char* declaration) const;
  friend class ReadConnection;
  void GiveBack(sqlite3* handle) const;

  std::string dir_;
  sqlite3* db_;
  mutable std::mutex mutex_;
  // Idle read connections; a read opens another one when none is idle, so a burst of readers
  // never waits for a free one.
  mutable std::mutex pool_mutex_;
  mutable std::vector<sqlite3*> idle_readers_;
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
