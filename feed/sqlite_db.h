// Thin RAII owners of an SQLite connection and its prepared statements.
//
// `SqliteDb` owns one connection; `Statement` owns one prepared statement of
// it and must not outlive it. `Transaction` rolls back on every path that
// did not commit. Errors come back as false plus the connection's message
// (`error()`); nothing throws. A connection is used by one thread at a time.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quarn::feed {

class SqliteDb {
 public:
  // Opens (creating) `path` with a busy timeout of `busy_ms`.
  static std::unique_ptr<SqliteDb> open(const std::string& path, int busy_ms, std::string& error);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  sqlite3* handle() const { return db_; }
  bool exec(const char* sql);
  std::string error() const { return sqlite3_errmsg(db_); }

 private:
  explicit SqliteDb(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

class Statement {
 public:
  Statement(SqliteDb& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);
  Statement& bind_blob(int index, std::string_view bytes);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Runs to completion; true on SQLITE_DONE.
  bool run();
  void reset();
  std::int64_t int_at(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string_view text_at(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class Transaction {
 public:
  // `immediate` takes the write lock at once (every change does).
  Transaction(SqliteDb& db, bool immediate);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool began() const { return began_; }
  bool commit();

 private:
  SqliteDb& db_;
  bool began_ = false;
  bool done_ = false;
};

}  // namespace quarn::feed
