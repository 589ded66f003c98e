#include "support/settings.h"

#include <cerrno>
#include <cstdlib>

#include "support/file.h"
#include "support/text.h"

namespace quarn {
namespace {

constexpr std::array<std::string_view, kIniKeyCount> kKeyNames = {
    "HTTP_HOST",   "HTTP_PORT",       "UPDATE_INT",         "MSG_SZ",        "QUARN_CGI",
    "QUARN_EMAIL", "QUARN_PASS",      "MATCH_MIN",          "SCORE_MIN",     "RATIO_MIN",
    "COUNT_MIN",   "TRUST_ISSPAM",    "NO_DLCOUNT",         "DEBUG",         "UPDATE_START",
    "LOG_SIZE",    "LOG_FILE",        "ALLOW_NULL_HEAD",    "SKIP_FILTER",   "FILTER_UPGRADE",
    "EXPIRE_DAYS", "FILTER_MAX",      "ALLOW_INVALID_CRCS", "PARTIAL_MATCH", "LOG_PID",
    "LOG_MSG",     "WRITE_TEMP",      "AUTO_UPDATE",        "DOWNLOAD_MAX",  "FILTER_FILE_MAX",
    "UPDATE_TIME_MAX", "FILTER_BUDGET", "SPAWN_ALLOW",      "HTTP_TLS",      "HTTP_CA_FILE",
};

// Line pieces of at most 998 characters, as a 999-byte buffer reads them.
constexpr std::size_t kIniLineSize = 999;

// What a numeric key reads as when its text reads as the number 0.
const char* numeric_default(IniKey key) {
  switch (key) {
    case IniKey::HTTP_PORT: return "80";
    case IniKey::UPDATE_INT: return "60";
    case IniKey::MSG_SZ: return "1048576";
    case IniKey::MATCH_MIN: return "5";
    case IniKey::SCORE_MIN: return "8";
    case IniKey::RATIO_MIN: return "0";
    case IniKey::COUNT_MIN: return "0";
    case IniKey::EXPIRE_DAYS: return "14";
    case IniKey::FILTER_MAX: return "10000";
    // Bounds of an update run and of a filter run. The download and run
    // limits sit far above what a full feed of five million records needs
    // (about 400 MB, well under an hour on a slow line).
    case IniKey::DOWNLOAD_MAX: return "1024";     // megabytes of one database download
    case IniKey::FILTER_FILE_MAX: return "64";    // megabytes of a downloaded rules file
    case IniKey::UPDATE_TIME_MAX: return "14400"; // seconds of one update run
    case IniKey::FILTER_BUDGET: return "1000";    // milliseconds of one filter run
    default: return nullptr;
  }
}

bool true_by_default(IniKey key) {
  return key == IniKey::TRUST_ISSPAM || key == IniKey::FILTER_UPGRADE ||
         key == IniKey::PARTIAL_MATCH || key == IniKey::AUTO_UPDATE;
}

constexpr std::string_view kLogSizeDefault = "1048576";

}  // namespace

const std::array<std::string_view, kIniKeyCount>& ini_key_names() { return kKeyNames; }

int SiniStore::init(const std::vector<std::string_view>& keys) {
  keys_.assign(keys.begin(), keys.end());
  values_.assign(keys_.size(), std::nullopt);
  return 1;
}

int SiniStore::load(const std::string& path, std::string& error) {
  FilePtr file = open_file(path, "r");
  if (!file) {
    error = lprintf(kLineSize, "%s %s", path.c_str(), system_error_text(errno).c_str());
    return 0;
  }
  int result = 1;
  std::string piece;
  while (read_line(file.get(), piece, kIniLineSize, LineMode::kText)) {
    std::string_view line = cstr_view(piece);
    std::size_t key_start = line.find_first_not_of(" \t");
    if (key_start == std::string_view::npos) continue;
    std::size_t key_end = line.find_first_of(" \t\r\n", key_start);
    if (key_end == std::string_view::npos) key_end = line.size();
    std::string key(line.substr(key_start, key_end - key_start));
    if (key.empty()) continue;
    mystrupr(key);

    if (key_end >= line.size()) continue;  // nothing after the key
    std::string_view rest = line.substr(key_end + 1);
    std::size_t value_start = rest.find_first_not_of("\r\n\"");
    if (value_start == std::string_view::npos) continue;
    rest.remove_prefix(value_start);
    std::string_view value = rest.substr(0, rest.find_first_of("\r\n\""));
    if (value.empty()) continue;
    std::size_t last = value.find_last_not_of(" \t");
    value = last == std::string_view::npos ? std::string_view() : value.substr(0, last + 1);

    bool known = false;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (mystrcmpnc(keys_[i], key) == 0) {
        values_[i] = std::string(value);
        known = true;
        break;
      }
    }
    if (!known) {
      error = lprintf(kLineSize, "invalid setting %.100s", key.c_str());
      result = 0;
    }
  }
  return result;
}

std::string SiniStore::get(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= values_.size() || !values_[index]) return {};
  return *values_[index];
}

bool SiniStore::has_value(int index) const {
  return index >= 0 && static_cast<std::size_t>(index) < values_.size() && values_[index];
}

int SiniStore::is_true(int index) const {
  if (!has_value(index)) return 0;
  const std::string& v = *values_[index];
  return (v == "true" || v == "True" || v == "TRUE") ? 1 : 0;
}

void SiniStore::clear() {
  keys_.clear();
  values_.clear();
}

Settings::Settings(Log& log, SettingsOptions options) : log_(log), options_(std::move(options)) {}

int Settings::init() {
  {
    MutexHold hold(&mutex_, options_.wait_limit_ms);
    if (!hold) {
      log_.emsg("ini_get - Failed to obtain mutex for 15 seconds\n");
      return 0;
    }
    store_.init({kKeyNames.begin(), kKeyNames.end()});
    std::string error;
    store_.load(options_.path, error);  // a missing file leaves every default
  }
  const bool debug = is_true(IniKey::DEBUG);
  log_.set_debug_hook(debug);
  log_.set_flush(debug);
  return 1;
}

std::string Settings::get(IniKey key) {
  std::string value;
  {
    MutexHold hold(&mutex_, options_.wait_limit_ms);
    if (!hold) {
      log_.emsg("ini_get - Failed to obtain mutex for 15 seconds\n");
      return {};
    }
    value = store_.get(static_cast<int>(key));
  }
  return apply_defaults(key, std::move(value));
}

std::string Settings::apply_defaults(IniKey key, std::string value) {
  switch (key) {
    case IniKey::HTTP_HOST:
      return value.empty() ? "localhost" : value;
    case IniKey::QUARN_CGI:
      return value.empty() ? "/cgi-bin/spamcgi.cgi" : value;
    case IniKey::LOG_FILE:
      if (options_.test_mode || is_true(IniKey::LOG_PID)) {
        return lprintf(kLineSize, "quarncrc_%d.log", options_.pid);
      }
      return value.empty() ? "quarncrc.log" : value;
    case IniKey::LOG_SIZE:
      // 0 is a setting of its own here (no limit, append); only a missing or
      // negative value takes the default.
      if (value.empty() || atoi32(value) < 0) return std::string(kLogSizeDefault);
      return value;
    default:
      break;
  }
  if (const char* fallback = numeric_default(key)) {
    std::int32_t n = atoi32(value);
    if (n == 0) return fallback;
    if (key == IniKey::UPDATE_INT && n < 20) return "20";
    if (key == IniKey::FILTER_MAX && n < 1000) return "1000";
    if (key == IniKey::EXPIRE_DAYS && n < 0) return fallback;
    // A negative bound would refuse every download or every rule.
    if ((key == IniKey::DOWNLOAD_MAX || key == IniKey::FILTER_FILE_MAX ||
         key == IniKey::UPDATE_TIME_MAX || key == IniKey::FILTER_BUDGET) && n < 0) {
      return fallback;
    }
  }
  return value;
}

bool Settings::is_true(IniKey key) {
  std::string value = get(key);
  if (value.empty()) return true_by_default(key);
  return value[0] == 'T' || value[0] == 't';
}

std::int32_t Settings::get_int(IniKey key) {
  if (key == IniKey::UPDATE_INT) {
    std::int32_t server = server_interval_;
    if (server != 0) return server;
  }
  return atoi32(get(key));
}

double Settings::get_double(IniKey key) {
  std::string value = get(key);
  return std::strtod(value.c_str(), nullptr);
}

bool Settings::is_raw_true(IniKey key) {
  MutexHold hold(&mutex_, options_.wait_limit_ms);
  if (!hold) {
    log_.emsg("ini_get - Failed to obtain mutex for 15 seconds\n");
    return false;
  }
  return store_.is_true(static_cast<int>(key)) == 1;
}

int Settings::reload() {
  log_.imsg("Configuration changed, reloading\n");
  {
    MutexHold hold(&mutex_, options_.wait_limit_ms);
    if (!hold) {
      log_.emsg("Failed to obtain mutex for 15 seconds while reloading configuration\n");
      return 0;
    }
    store_.clear();
    init();
  }
  log_.set_size_limit(get_int(IniKey::LOG_SIZE));
  return 1;
}

}  // namespace quarn
