#include "feed/store.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "feed/full_match.h"
#include "signature/signature_text.h"

namespace quarn::feed {
namespace {

constexpr std::int64_t kDay = 86400;
// Records are re-stamped this long before engines would drop them.
constexpr std::int64_t kRefreshMargin = 2 * kDay;

// Each entry brings the schema from version i to i + 1.
const char* const kMigrations[] = {
    R"(CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
       INSERT INTO meta VALUES('last_stamp', 0), ('next_id', 1), ('last_rules', 0);
       CREATE TABLE records(id INTEGER PRIMARY KEY, stamp INTEGER NOT NULL,
         created INTEGER NOT NULL, reported INTEGER NOT NULL, count INTEGER NOT NULL,
         other INTEGER NOT NULL, status INTEGER NOT NULL, type INTEGER NOT NULL,
         signature TEXT NOT NULL);
       CREATE INDEX records_stamp ON records(stamp);
       CREATE TABLE body_index(value INTEGER NOT NULL, id INTEGER NOT NULL,
         PRIMARY KEY(value, id)) WITHOUT ROWID;
       CREATE TABLE deletions(id INTEGER PRIMARY KEY, stamp INTEGER NOT NULL,
         created INTEGER NOT NULL);
       CREATE INDEX deletions_stamp ON deletions(stamp);
       CREATE TABLE accounts(email TEXT PRIMARY KEY, hash TEXT NOT NULL,
         created INTEGER NOT NULL);
       CREATE TABLE rules(version INTEGER PRIMARY KEY, text BLOB NOT NULL);)",
};
constexpr int kSchemaVersion = sizeof(kMigrations) / sizeof(kMigrations[0]);

PartCrcs crcs_of(std::string_view signature) {
  PartCrcs crcs{};
  if (!signature.empty()) read_crc_pieces(signature.substr(1), crcs);
  return crcs;
}

std::int32_t saturating_add(std::int32_t value) { return value == INT32_MAX ? value : value + 1; }

}  // namespace

std::int64_t wall_clock_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- Opening ---------------------------------------------------------------

Store::Store(std::unique_ptr<SqliteDb> db, StoreOptions options)
    : db_(std::move(db)), options_(std::move(options)) {}

Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string& dir, StoreOptions options,
                                   std::string& error) {
  std::unique_ptr<SqliteDb> db = SqliteDb::open(dir + "/feed.sqlite", options.busy_ms, error);
  if (!db) return nullptr;
  if (!db->exec("PRAGMA journal_mode=WAL") || !db->exec("PRAGMA synchronous=FULL") ||
      !db->exec("PRAGMA foreign_keys=OFF")) {
    error = db->error();
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(std::move(db), std::move(options)));
  if (!store->migrate(error)) return nullptr;
  return store;
}

bool Store::migrate(std::string& error) {
  for (;;) {
    Transaction tx(*db_, true);
    if (!tx.began()) {
      error = db_->error();
      return false;
    }
    Statement version(*db_, "PRAGMA user_version");
    if (version.step() != SQLITE_ROW) {
      error = db_->error();
      return false;
    }
    const std::int64_t current = version.int_at(0);
    version.reset();
    if (current == kSchemaVersion) return true;
    if (current > kSchemaVersion || current < 0) {
      error = "store schema version " + std::to_string(current) + " is newer than this program";
      return false;
    }
    const std::string set_version = "PRAGMA user_version=" + std::to_string(current + 1);
    if (!db_->exec(kMigrations[current]) || !db_->exec(set_version.c_str()) || !tx.commit()) {
      error = db_->error();
      return false;
    }
  }
}

// ---- Stamps and the meta table ---------------------------------------------

std::optional<std::int64_t> Store::meta(const char* key) {
  Statement get(*db_, "SELECT value FROM meta WHERE key = ?1");
  get.bind(1, std::string_view(key));
  if (get.step() != SQLITE_ROW) return std::nullopt;
  return get.int_at(0);
}

bool Store::set_meta(const char* key, std::int64_t value) {
  Statement set(*db_, "UPDATE meta SET value = ?2 WHERE key = ?1");
  set.bind(1, std::string_view(key)).bind(2, value);
  return set.run();
}

std::optional<std::int64_t> Store::next_stamp() {
  const std::optional<std::int64_t> last = meta("last_stamp");
  if (!last) return std::nullopt;
  const std::int64_t stamp = std::max(options_.clock(), *last + 1);
  if (!set_meta("last_stamp", stamp)) return std::nullopt;
  return stamp;
}

bool Store::index_body(std::int32_t id, const PartCrcs& crcs, bool add) {
  Statement change(*db_, add ? "INSERT OR IGNORE INTO body_index(value, id) VALUES(?1, ?2)"
                             : "DELETE FROM body_index WHERE value = ?1 AND id = ?2");
  for (int p = kFirstBodyPart; p < kPartCount; ++p) {
    change.bind(1, std::int64_t{crcs[p]}).bind(2, std::int64_t{id});
    if (!change.run()) return false;
  }
  return true;
}

// ---- Changes -----------------------------------------------------------------

std::optional<ReportOutcome> Store::report(const PartCrcs& crcs, bool ham, std::int32_t type) {
  bool has_body = false;
  for (int p = kFirstBodyPart; p < kPartCount; ++p) has_body = has_body || crcs[p] != 0;
  if (!has_body) return ReportOutcome{ReportOutcome::kNoBody};
  Transaction tx(*db_, true);
  if (!tx.began()) return std::nullopt;
  Statement candidates(*db_,
                       "SELECT id, count, other, status, signature FROM records WHERE id IN "
                       "(SELECT id FROM body_index WHERE value IN (?1, ?2, ?3, ?4, ?5)) "
                       "ORDER BY id");
  for (int i = 0; i < kBodyPartCount; ++i) candidates.bind(i + 1, std::int64_t{crcs[kFirstBodyPart + i]});
  ReportOutcome best;
  int best_score = -1;
  int rc;
  while ((rc = candidates.step()) == SQLITE_ROW) {
    const auto count = static_cast<std::int32_t>(candidates.int_at(1));
    const auto other = static_cast<std::int32_t>(candidates.int_at(2));
    const auto status = static_cast<std::int32_t>(candidates.int_at(3));
    const RecordScore score = score_record(crcs, crcs_of(candidates.text_at(4)), count, other, status);
    if (!score.full || score.score <= best_score) continue;
    best_score = score.score;
    best = {ReportOutcome::kRaised, static_cast<std::int32_t>(candidates.int_at(0)), count, other,
            status, 0};
  }
  if (rc != SQLITE_DONE) return std::nullopt;
  candidates.reset();

  const std::int64_t now = options_.clock();
  if (best_score < 0 && ham) return ReportOutcome{};  // nothing to vouch for
  const std::optional<std::int64_t> stamp = next_stamp();
  if (!stamp) return std::nullopt;
  if (best_score >= 0) {
    if (ham) {
      best.other = saturating_add(best.other);
    } else {
      best.count = saturating_add(best.count);
      if (best.status == kStatusSuspected && best.count >= options_.spam_count) best.status = kStatusSpam;
    }
    Statement raise(*db_,
                    "UPDATE records SET count = ?2, other = ?3, status = ?4, stamp = ?5, "
                    "reported = ?6 WHERE id = ?1");
    raise.bind(1, std::int64_t{best.id}).bind(2, std::int64_t{best.count})
        .bind(3, std::int64_t{best.other}).bind(4, std::int64_t{best.status}).bind(5, *stamp)
        .bind(6, now);
    if (!raise.run()) return std::nullopt;
  } else {
    const std::optional<std::int64_t> next_id = meta("next_id");
    if (!next_id || *next_id > INT32_MAX) return std::nullopt;
    best = {ReportOutcome::kMade, static_cast<std::int32_t>(*next_id), 1, 0,
            options_.spam_count <= 1 ? kStatusSpam : kStatusSuspected, 0};
    SetLine line;
    line.id = best.id;
    line.count = best.count;
    line.status = best.status;
    line.type = type;
    line.crcs = crcs;
    line.signature = "A" + make_signature_text(crcs);
    if (!upsert(line, *stamp, now) || !set_meta("next_id", *next_id + 1)) return std::nullopt;
  }
  best.stamp = *stamp;
  if (!tx.commit()) return std::nullopt;
  return best;
}

bool Store::upsert(const SetLine& line, std::int64_t stamp, std::int64_t reported) {
  Statement old(*db_, "SELECT created, signature FROM records WHERE id = ?1");
  old.bind(1, std::int64_t{line.id});
  std::int64_t created = stamp;
  const int rc = old.step();
  if (rc == SQLITE_ROW) {
    created = old.int_at(0);
    if (!index_body(line.id, crcs_of(old.text_at(1)), false)) return false;
  } else if (rc != SQLITE_DONE) {
    return false;
  }
  old.reset();
  Statement put(*db_,
                "INSERT OR REPLACE INTO records(id, stamp, created, reported, count, other, "
                "status, type, signature) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  put.bind(1, std::int64_t{line.id}).bind(2, stamp).bind(3, created).bind(4, reported)
      .bind(5, std::int64_t{line.count}).bind(6, std::int64_t{line.other})
      .bind(7, std::int64_t{line.status}).bind(8, std::int64_t{line.type})
      .bind(9, std::string_view(line.signature));
  Statement forget(*db_, "DELETE FROM deletions WHERE id = ?1");
  forget.bind(1, std::int64_t{line.id});
  return put.run() && forget.run() && index_body(line.id, line.crcs, true);
}

bool Store::delete_record(std::int32_t id, std::int64_t stamp, bool& found) {
  Statement old(*db_, "SELECT created, signature FROM records WHERE id = ?1");
  old.bind(1, std::int64_t{id});
  const int rc = old.step();
  found = rc == SQLITE_ROW;
  if (!found) return rc == SQLITE_DONE;
  const std::int64_t created = old.int_at(0);
  const PartCrcs crcs = crcs_of(old.text_at(1));
  old.reset();
  Statement tomb(*db_, "INSERT OR REPLACE INTO deletions(id, stamp, created) VALUES(?1, ?2, ?3)");
  tomb.bind(1, std::int64_t{id}).bind(2, stamp).bind(3, created);
  Statement drop(*db_, "DELETE FROM records WHERE id = ?1");
  drop.bind(1, std::int64_t{id});
  return index_body(id, crcs, false) && tomb.run() && drop.run();
}

bool Store::remove(std::int32_t id, bool& found) {
  found = false;
  Transaction tx(*db_, true);
  if (!tx.began()) return false;
  Statement exists(*db_, "SELECT 1 FROM records WHERE id = ?1");
  exists.bind(1, std::int64_t{id});
  const int rc = exists.step();
  exists.reset();
  if (rc == SQLITE_DONE) return false;
  if (rc != SQLITE_ROW) return false;
  const std::optional<std::int64_t> stamp = next_stamp();
  return stamp && delete_record(id, *stamp, found) && tx.commit();
}

std::optional<ImportOutcome> Store::import(const std::function<bool(std::string& line)>& next_line,
                                           std::string& error) {
  Transaction tx(*db_, true);
  if (!tx.began()) {
    error = db_->error();
    return std::nullopt;
  }
  const std::optional<std::int64_t> stamp = next_stamp();
  const std::optional<std::int64_t> next_id = meta("next_id");
  if (!stamp || !next_id) {
    error = db_->error();
    return std::nullopt;
  }
  const std::int64_t now = options_.clock();
  ImportOutcome outcome;
  outcome.stamp = *stamp;
  std::int64_t new_next_id = *next_id;
  std::string line;
  for (std::int64_t number = 1; next_line(line); ++number) {
    const ParsedLine parsed = parse_feed_line(line);
    if (const auto* bad = std::get_if<LineError>(&parsed)) {
      error = "line " + std::to_string(number) + ": " + bad->reason;
      return std::nullopt;
    }
    bool ok = true;
    if (const auto* set = std::get_if<SetLine>(&parsed)) {
      ok = upsert(*set, *stamp, std::min<std::int64_t>(set->stamp, now));
      new_next_id = std::max<std::int64_t>(new_next_id, std::int64_t{set->id} + 1);
      ++outcome.sets;
    } else if (const auto* del = std::get_if<DelLine>(&parsed)) {
      bool found = false;
      ok = delete_record(del->id, *stamp, found);
      ++outcome.deletes;
    }
    if (!ok) {
      error = "line " + std::to_string(number) + ": " + db_->error();
      return std::nullopt;
    }
  }
  if (!set_meta("next_id", new_next_id) || !tx.commit()) {
    error = db_->error();
    return std::nullopt;
  }
  return outcome;
}

std::optional<MaintainOutcome> Store::maintain() {
  Transaction tx(*db_, true);
  if (!tx.began()) return std::nullopt;
  const std::int64_t now = options_.clock();
  const std::int64_t keep_after = now - std::int64_t{options_.keep_days} * kDay;
  const std::int64_t refresh_before =
      now - std::max<std::int64_t>(std::int64_t{options_.expire_days} * kDay - kRefreshMargin, 0);
  MaintainOutcome outcome;

  std::vector<std::int32_t> expired;
  {
    Statement old(*db_, "SELECT id FROM records WHERE reported < ?1");
    old.bind(1, keep_after);
    int rc;
    while ((rc = old.step()) == SQLITE_ROW) expired.push_back(static_cast<std::int32_t>(old.int_at(0)));
    if (rc != SQLITE_DONE) return std::nullopt;
  }
  Statement stale(*db_, "SELECT count(*) FROM records WHERE stamp < ?1 AND reported >= ?2");
  stale.bind(1, refresh_before).bind(2, keep_after);
  if (stale.step() != SQLITE_ROW) return std::nullopt;
  outcome.restamped = stale.int_at(0);
  stale.reset();

  if (!expired.empty() || outcome.restamped > 0) {
    const std::optional<std::int64_t> stamp = next_stamp();
    if (!stamp) return std::nullopt;
    for (std::int32_t id : expired) {
      bool found = false;
      if (!delete_record(id, *stamp, found)) return std::nullopt;
    }
    outcome.expired = static_cast<std::int64_t>(expired.size());
    Statement restamp(*db_, "UPDATE records SET stamp = ?1 WHERE stamp < ?2");
    restamp.bind(1, *stamp).bind(2, refresh_before);
    if (!restamp.run()) return std::nullopt;
  }
  Statement forget(*db_, "DELETE FROM deletions WHERE stamp < ?1");
  forget.bind(1, now - 2 * std::int64_t{options_.keep_days} * kDay);
  if (!forget.run()) return std::nullopt;
  outcome.forgotten = sqlite3_changes(db_->handle());
  if (!tx.commit()) return std::nullopt;
  return outcome;
}

// ---- Reading -----------------------------------------------------------------

bool Store::export_records(const std::function<void(std::string_view line)>& out) {
  Transaction tx(*db_, false);
  Statement all(*db_,
                "SELECT id, stamp, count, other, status, type, signature FROM records "
                "ORDER BY stamp, id");
  int rc;
  SetLine line;
  while ((rc = all.step()) == SQLITE_ROW) {
    line.id = static_cast<std::int32_t>(all.int_at(0));
    line.stamp = static_cast<std::int32_t>(all.int_at(1));
    line.count = static_cast<std::int32_t>(all.int_at(2));
    line.other = static_cast<std::int32_t>(all.int_at(3));
    line.status = static_cast<std::int32_t>(all.int_at(4));
    line.type = static_cast<std::int32_t>(all.int_at(5));
    line.signature = all.text_at(6);
    out(format_set_line(line));
  }
  return rc == SQLITE_DONE;
}

std::optional<StoreStats> Store::stats() {
  Transaction tx(*db_, false);
  StoreStats stats;
  for (const auto& [sql, target] :
       {std::pair{"SELECT status, count(*) FROM records GROUP BY status", &stats.by_status},
        std::pair{"SELECT type, count(*) FROM records GROUP BY type", &stats.by_type}}) {
    Statement group(*db_, sql);
    int rc;
    while ((rc = group.step()) == SQLITE_ROW) {
      target->emplace_back(static_cast<std::int32_t>(group.int_at(0)), group.int_at(1));
    }
    if (rc != SQLITE_DONE) return std::nullopt;
  }
  Statement totals(*db_,
                   "SELECT (SELECT count(*) FROM records), (SELECT coalesce(min(stamp), 0) FROM "
                   "records), (SELECT coalesce(max(stamp), 0) FROM records), (SELECT count(*) "
                   "FROM deletions), (SELECT count(*) FROM accounts), (SELECT coalesce(max(version), "
                   "0) FROM rules), (SELECT value FROM meta WHERE key = 'last_stamp')");
  if (totals.step() != SQLITE_ROW) return std::nullopt;
  stats.records = totals.int_at(0);
  stats.oldest_stamp = totals.int_at(1);
  stats.newest_stamp = totals.int_at(2);
  stats.deletions = totals.int_at(3);
  stats.accounts = totals.int_at(4);
  stats.rules_version = totals.int_at(5);
  stats.last_stamp = totals.int_at(6);
  return stats;
}

bool Store::add_account(std::string_view email, std::string_view hash) {
  Statement put(*db_, "INSERT OR REPLACE INTO accounts(email, hash, created) VALUES(?1, ?2, ?3)");
  put.bind(1, email).bind(2, hash).bind(3, options_.clock());
  return put.run();
}

bool Store::remove_account(std::string_view email, bool& found) {
  Statement drop(*db_, "DELETE FROM accounts WHERE email = ?1");
  drop.bind(1, email);
  const bool ok = drop.run();
  found = ok && sqlite3_changes(db_->handle()) > 0;
  return ok;
}

std::optional<std::vector<std::string>> Store::accounts() {
  Statement all(*db_, "SELECT email FROM accounts ORDER BY email");
  std::vector<std::string> emails;
  int rc;
  while ((rc = all.step()) == SQLITE_ROW) emails.emplace_back(all.text_at(0));
  if (rc != SQLITE_DONE) return std::nullopt;
  return emails;
}

std::optional<std::string> Store::account_hash(std::string_view email) {
  Statement get(*db_, "SELECT hash FROM accounts WHERE email = ?1");
  get.bind(1, email);
  const int rc = get.step();
  if (rc == SQLITE_ROW) return std::string(get.text_at(0));
  if (rc == SQLITE_DONE) return std::string();
  return std::nullopt;
}

std::optional<std::int64_t> Store::set_rules(std::string_view text) {
  Transaction tx(*db_, true);
  if (!tx.began()) return std::nullopt;
  const std::optional<std::int64_t> last = meta("last_rules");
  if (!last) return std::nullopt;
  const std::int64_t version = std::max(options_.clock(), *last + 1);
  Statement clear(*db_, "DELETE FROM rules");
  Statement put(*db_, "INSERT INTO rules(version, text) VALUES(?1, ?2)");
  put.bind(1, version).bind_blob(2, text);
  if (!clear.run() || !put.run() || !set_meta("last_rules", version) || !tx.commit()) {
    return std::nullopt;
  }
  return version;
}

std::optional<std::int64_t> Store::rules_version() {
  Statement get(*db_, "SELECT coalesce(max(version), 0) FROM rules");
  if (get.step() != SQLITE_ROW) return std::nullopt;
  return get.int_at(0);
}

std::optional<std::pair<std::int64_t, std::string>> Store::rules() {
  Statement get(*db_, "SELECT version, text FROM rules ORDER BY version DESC LIMIT 1");
  const int rc = get.step();
  if (rc == SQLITE_DONE) return std::pair<std::int64_t, std::string>{0, {}};
  if (rc != SQLITE_ROW) return std::nullopt;
  return std::pair<std::int64_t, std::string>{get.int_at(0), std::string(get.text_at(1))};
}

// ---- Update answers ----------------------------------------------------------

Delta::Delta(SqliteDb& db) : db_(db), tx_(db, false) {}

Delta::~Delta() = default;

std::unique_ptr<Delta> Store::delta(std::int64_t from) {
  std::unique_ptr<Delta> delta(new Delta(*db_));
  if (!delta->tx_.began()) return nullptr;
  const std::optional<std::int64_t> last = meta("last_stamp");
  if (!last) return nullptr;
  if (from <= 1 || from > *last) from = 0;
  delta->time_stamp_ = *last;

  // Line lengths: "SET|" + seven fields, six "|" between them, "|\n" after.
  Statement sizes(*db_,
                  "SELECT (SELECT count(*) FROM records WHERE stamp > ?1), (SELECT "
                  "coalesce(sum(12 + length(id) + length(stamp) + length(count) + length(other) + "
                  "length(status) + length(type) + length(signature)), 0) FROM records WHERE "
                  "stamp > ?1), (SELECT count(*) FROM deletions WHERE stamp > ?1 AND created <= "
                  "?1), (SELECT coalesce(sum(5 + length(id)), 0) FROM deletions WHERE stamp > ?1 "
                  "AND created <= ?1)");
  sizes.bind(1, from);
  if (sizes.step() != SQLITE_ROW) return nullptr;
  delta->lines_ = sizes.int_at(0) + sizes.int_at(2);
  delta->bytes_ = sizes.int_at(1) + sizes.int_at(3);
  if (delta->time_stamp_ > 0) {
    delta->lines_ += 1;
    delta->bytes_ += static_cast<std::int64_t>(format_time_line(delta->time_stamp_).size());
  }
  delta->rows_ = std::make_unique<Statement>(
      *db_,
      "SELECT stamp, id, 0, count, other, status, type, signature FROM records WHERE stamp > ?1 "
      "UNION ALL SELECT stamp, id, 1, 0, 0, 0, 0, '' FROM deletions WHERE stamp > ?1 AND "
      "created <= ?1 ORDER BY 1, 2");
  if (!delta->rows_->ok()) return nullptr;
  delta->rows_->bind(1, from);
  return delta;
}

bool Delta::fill() {
  pending_.clear();
  pending_pos_ = 0;
  SetLine line;
  while (!rows_done_ && pending_.size() < 16384) {
    const int rc = rows_->step();
    if (rc == SQLITE_DONE) {
      rows_done_ = true;
      break;
    }
    if (rc != SQLITE_ROW) return false;
    if (rows_->int_at(2) == 1) {
      pending_ += format_del_line(static_cast<std::int32_t>(rows_->int_at(1)));
      continue;
    }
    line.stamp = static_cast<std::int32_t>(rows_->int_at(0));
    line.id = static_cast<std::int32_t>(rows_->int_at(1));
    line.count = static_cast<std::int32_t>(rows_->int_at(3));
    line.other = static_cast<std::int32_t>(rows_->int_at(4));
    line.status = static_cast<std::int32_t>(rows_->int_at(5));
    line.type = static_cast<std::int32_t>(rows_->int_at(6));
    line.signature = rows_->text_at(7);
    pending_ += format_set_line(line);
  }
  if (rows_done_ && !time_sent_ && pending_.size() < 16384) {
    time_sent_ = true;
    if (time_stamp_ > 0) pending_ += format_time_line(time_stamp_);
  }
  return true;
}

long Delta::read(char* buffer, std::size_t max) {
  if (pending_pos_ >= pending_.size()) {
    if (rows_done_ && time_sent_) return sent_ == bytes_ ? 0 : -1;
    if (!fill()) return -1;
    if (pending_.empty()) return sent_ == bytes_ ? 0 : -1;
  }
  const std::size_t n = std::min(max, pending_.size() - pending_pos_);
  if (sent_ + static_cast<std::int64_t>(n) > bytes_) return -1;
  std::copy_n(pending_.data() + pending_pos_, n, buffer);
  pending_pos_ += n;
  sent_ += static_cast<std::int64_t>(n);
  return static_cast<long>(n);
}

}  // namespace quarn::feed
