// The engine's settings, read from "quarncrc.ini" in the working directory.
//
// Two layers. `SiniStore` is the simple reader: a fixed table of key names
// and the value text last read for each. `Settings` guards a store with the
// configuration mutex and applies each key's default and bounds when a value
// is read; every reader asks at the moment it needs a value, so a reload
// takes effect at the next read.
//
// File format, line by line (lines longer than 998 characters are read in
// pieces, each piece a line of its own; the file is read as text, so a CR
// before an LF is dropped):
//
//   KEY<space or tab>VALUE
//
//   - leading blanks are skipped; the key runs to the next blank or tab and
//     is matched against the table ignoring case; an unknown key makes the
//     load report failure but the rest of the file is still read;
//   - the value starts right after the one character that ended the key;
//     CR, LF and double quotes are skipped there (not blanks), then it runs
//     to the next CR, LF or double quote; trailing blanks and tabs are cut;
//   - a line without a value is ignored; the last occurrence of a key wins;
//   - there is no comment syntax.
//
// Owner: the engine. The configuration mutex is recursive: a reload holds it
// while the loader reads values back through `get`.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"
#include "support/mutex.h"

namespace quarn {

// The 35 keys of quarncrc.ini, in table order.
enum class IniKey : int {
  HTTP_HOST,
  HTTP_PORT,
  UPDATE_INT,
  MSG_SZ,
  QUARN_CGI,
  QUARN_EMAIL,
  QUARN_PASS,
  MATCH_MIN,
  SCORE_MIN,
  RATIO_MIN,
  COUNT_MIN,
  TRUST_ISSPAM,
  NO_DLCOUNT,
  DEBUG,
  UPDATE_START,
  LOG_SIZE,
  LOG_FILE,
  ALLOW_NULL_HEAD,
  SKIP_FILTER,
  FILTER_UPGRADE,
  EXPIRE_DAYS,
  FILTER_MAX,
  ALLOW_INVALID_CRCS,
  PARTIAL_MATCH,
  LOG_PID,
  LOG_MSG,
  WRITE_TEMP,
  AUTO_UPDATE,
  DOWNLOAD_MAX,
  FILTER_FILE_MAX,
  UPDATE_TIME_MAX,
  FILTER_BUDGET,
  SPAWN_ALLOW,
  HTTP_TLS,
  HTTP_CA_FILE,
};
inline constexpr int kIniKeyCount = 35;

// The key names in table order.
const std::array<std::string_view, kIniKeyCount>& ini_key_names();

class SiniStore {
 public:
  // Stores the key names. Returns 1.
  int init(const std::vector<std::string_view>& keys);
  // Reads a settings file; 1 when every line was acceptable, 0 when the file
  // could not be opened or a line named an unknown key. `error` receives
  // "%s %s" (path, system error text) or "invalid setting %.100s".
  int load(const std::string& path, std::string& error);
  // The stored value text, or empty when none is stored.
  std::string get(int index) const;
  bool has_value(int index) const;
  // 1 when a value is stored and is exactly "true", "True" or "TRUE".
  int is_true(int index) const;
  void clear();

 private:
  std::vector<std::string> keys_;
  std::vector<std::optional<std::string>> values_;
};

struct SettingsOptions {
  std::string path = "quarncrc.ini";
  bool test_mode = false;  // LOG_FILE becomes the per-process name
  int pid = 0;             // the process id in that name
  int wait_limit_ms = 15000;
};

class Settings {
 public:
  Settings(Log& log, SettingsOptions options);
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // Fills the key table and loads the file, then points the log's debug hook
  // and flush switch at DEBUG. Takes the configuration mutex.
  int init();

  // The value text after defaults and bounds. Empty (without default) when
  // the configuration mutex cannot be had within the wait limit.
  std::string get(IniKey key);
  bool is_true(IniKey key);
  // The decimal number at the start of `get`'s text; for UPDATE_INT the
  // server-supplied interval when that is not 0.
  std::int32_t get_int(IniKey key);
  double get_double(IniKey key);
  // The raw stored value read without defaults: exactly "true", "True" or
  // "TRUE" (NO_DLCOUNT is read this way).
  bool is_raw_true(IniKey key);

  // Discards every value and loads the file again (the update thread's
  // reload). Logs as the reload is specified; 0 when the configuration mutex
  // could not be had (the old values stay), else 1.
  int reload();

  void set_server_interval(std::int32_t minutes) { server_interval_ = minutes; }
  std::int32_t server_interval() const { return server_interval_; }

  const std::string& path() const { return options_.path; }
  MutexRec& mutex() { return mutex_; }

 private:
  std::string apply_defaults(IniKey key, std::string value);

  Log& log_;
  const SettingsOptions options_;
  MutexRec mutex_{"configuration"};
  SiniStore store_;
  std::atomic<std::int32_t> server_interval_{0};
};

}  // namespace quarn
