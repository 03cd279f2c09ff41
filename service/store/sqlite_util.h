#pragma once
// A prepared SQLite statement that finalizes itself, with binding by position (1-based).

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace zelmic {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& bind(int i, int v) { return bind(i, static_cast<int64_t>(v)); }
  Statement& bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind_null(int i) {
    sqlite3_bind_null(stmt_, i);
    return *this;
  }
  // Makes the statement ready to run again; its bindings stay until bound anew.
  Statement& reset() {
    sqlite3_reset(stmt_);
    return *this;
  }
  // True while a row is available.
  bool step() { return stmt_ && (last_ = sqlite3_step(stmt_)) == SQLITE_ROW; }
  // Runs a statement without rows; true on success.
  bool run() {
    if (!stmt_) return false;
    last_ = sqlite3_step(stmt_);
    return last_ == SQLITE_DONE || last_ == SQLITE_ROW;
  }
  int64_t i64(int col) const { return sqlite3_column_int64(stmt_, col); }
  int i32(int col) const { return sqlite3_column_int(stmt_, col); }
  bool is_null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int last_ = SQLITE_OK;
};

}  // namespace zelmic
