// The feed's store: the published records, the deletions engines still
// have to hear about, the accounts and the rules file, in one SQLite file
// "feed.sqlite" inside the data directory (WAL mode).
//
// Schema (version 1; `PRAGMA user_version` holds the version, and opening
// an older file runs the migrations that follow it, each in a transaction):
//
//   meta(key, value)         "last_stamp": the newest stamp handed out;
//                            "next_id": the id the next new record gets;
//                            "last_rules": the newest rules version
//   records(id, stamp, created, reported, count, other, status, type,
//           signature)       one per published message; `stamp` is the
//                            stamp of its newest SET line, `created` the
//                            stamp it was first published with, `reported`
//                            the time it was last reported (or imported)
//   body_index(value, id)    the distinct body part CRCs of every record
//   deletions(id, stamp, created)
//                            a record deleted at `stamp`; kept for twice
//                            the keep time, then forgotten
//   accounts(email, hash, created)   libsodium crypto_pwhash_str hashes
//   rules(version, text)     the current rules file; its version is a time
//
// Stamps. Every change (a report, a delete, an import, a maintenance pass)
// is one transaction and takes one stamp: the current time, or the last
// stamp plus one when that is not larger. An engine asks for everything
// after the largest stamp it has seen, so every change it has not seen
// carries a larger stamp than that, including deletions. An answer ends
// with "TIME|<last stamp>", which moves the engine's position past every
// deletion in the answer without applying anything; a deletion is sent
// only to engines whose position is at or after the record's first stamp
// (an engine that never had the record needs no DEL).
//
// Threads: a `Store` owns one connection and is used by one thread at a
// time; each thread (or each request of the server) opens or borrows its
// own. SQLite's locks order the writers of every connection and process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "feed/feed_line.h"
#include "feed/sqlite_db.h"
#include "signature/crc.h"

namespace quarn::feed {

// Seconds since 1970.
using Clock = std::function<std::int64_t()>;
std::int64_t wall_clock_now();

struct StoreOptions {
  std::int32_t spam_count = 3;   // a Suspected record becomes Spam at this count
  std::int32_t keep_days = 14;   // a record not reported for this long is deleted
  std::int32_t expire_days = 14; // the engines' EXPIRE_DAYS
  int busy_ms = 10000;           // how long a change waits for another writer
  Clock clock = wall_clock_now;
};

struct ReportOutcome {
  // kNoBody: refused, all five body parts are 0 (an empty body, or one the
  // HTML strip emptied); such a record would fully match every message
  // without a body on its body parts alone.
  enum Kind { kRaised, kMade, kNoMatch, kNoBody } kind = kNoMatch;
  std::int32_t id = 0;
  std::int32_t count = 0;
  std::int32_t other = 0;
  std::int32_t status = 0;
  std::int64_t stamp = 0;
};

struct ImportOutcome {
  std::int64_t sets = 0;
  std::int64_t deletes = 0;
  std::int64_t stamp = 0;
};

struct MaintainOutcome {
  std::int64_t expired = 0;
  std::int64_t restamped = 0;
  std::int64_t forgotten = 0;  // deletions old enough that no engine needs them
};

struct StoreStats {
  std::vector<std::pair<std::int32_t, std::int64_t>> by_status;
  std::vector<std::pair<std::int32_t, std::int64_t>> by_type;
  std::int64_t records = 0;
  std::int64_t oldest_stamp = 0;
  std::int64_t newest_stamp = 0;
  std::int64_t last_stamp = 0;
  std::int64_t deletions = 0;
  std::int64_t rules_version = 0;
  std::int64_t accounts = 0;
};

class Store;

// One update answer read from a consistent snapshot of the store: the
// number of lines and bytes is known before the first byte is read, and
// the lines themselves are produced a block at a time. Borrows its store's
// connection until destroyed.
class Delta {
 public:
  ~Delta();
  Delta(const Delta&) = delete;
  Delta& operator=(const Delta&) = delete;

  std::int64_t lines() const { return lines_; }
  std::int64_t bytes() const { return bytes_; }
  // Copies up to `max` bytes of the answer; 0 at its end, -1 on an error
  // (or when the answer would exceed the announced size).
  long read(char* buffer, std::size_t max);

 private:
  friend class Store;
  explicit Delta(SqliteDb& db);
  bool fill();

  SqliteDb& db_;
  Transaction tx_;
  std::unique_ptr<Statement> rows_;
  std::int64_t lines_ = 0;
  std::int64_t bytes_ = 0;
  std::int64_t sent_ = 0;
  std::int64_t time_stamp_ = 0;  // closes the answer; 0: no TIME line
  bool rows_done_ = false;
  bool time_sent_ = false;
  std::string pending_;
  std::size_t pending_pos_ = 0;
};

class Store {
 public:
  // Opens (creating) DIR/feed.sqlite and brings its schema up to date.
  static std::unique_ptr<Store> open(const std::string& dir, StoreOptions options,
                                     std::string& error);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const StoreOptions& options() const { return options_; }
  std::string error() const { return db_->error(); }

  // A spam report (a ham report with `ham`) of a message with these part
  // CRCs. A record that fully matches it has its count (other count) raised
  // and gets a new stamp; a spam report that matches none makes a record
  // of type `type`. Nothing when the store failed (see error()).
  std::optional<ReportOutcome> report(const PartCrcs& crcs, bool ham, std::int32_t type);

  // Deletes a record; false when there is none (`found` false) or on error.
  bool remove(std::int32_t id, bool& found);

  // Applies SET and DEL lines in one transaction: all of them or, on the
  // first bad line ("line N: reason" in `error`), none.
  std::optional<ImportOutcome> import(const std::function<bool(std::string& line)>& next_line,
                                     std::string& error);

  // Every record as a SET line, oldest stamp first.
  bool export_records(const std::function<void(std::string_view line)>& out);

  // Deletes records not reported for keep_days, re-stamps records whose
  // SET line engines would soon drop as too old, forgets old deletions.
  std::optional<MaintainOutcome> maintain();

  // The answer for an engine whose position is `from` (0 or 1: nothing yet;
  // a position newer than the store's last stamp, left from another store,
  // also gets everything).
  std::unique_ptr<Delta> delta(std::int64_t from);

  std::optional<StoreStats> stats();

  // Accounts. `add_account` replaces the hash of an existing one.
  bool add_account(std::string_view email, std::string_view hash);
  bool remove_account(std::string_view email, bool& found);
  std::optional<std::vector<std::string>> accounts();
  // The stored hash; empty when the account does not exist; nothing on error.
  std::optional<std::string> account_hash(std::string_view email);

  // Installs a rules file and returns its version (a new time, larger than
  // every earlier version).
  std::optional<std::int64_t> set_rules(std::string_view text);
  // The current rules version, 0 when there is none.
  std::optional<std::int64_t> rules_version();
  // The current rules file and its version; version 0 when none.
  std::optional<std::pair<std::int64_t, std::string>> rules();

 private:
  Store(std::unique_ptr<SqliteDb> db, StoreOptions options);
  bool migrate(std::string& error);
  std::optional<std::int64_t> meta(const char* key);
  bool set_meta(const char* key, std::int64_t value);
  std::optional<std::int64_t> next_stamp();
  bool index_body(std::int32_t id, const PartCrcs& crcs, bool add);
  bool delete_record(std::int32_t id, std::int64_t stamp, bool& found);
  bool upsert(const SetLine& line, std::int64_t stamp, std::int64_t reported);

  std::unique_ptr<SqliteDb> db_;
  StoreOptions options_;
};

}  // namespace quarn::feed
