#include "engine/engine.h"

#include <sys/stat.h>

#include <array>
#include <ctime>
#include <new>
#include <optional>

#include "filter/mfilter.h"
#include "message/message_model.h"
#include "signature/matcher.h"
#include "signature/msgcrc.h"
#include "signature/signature_text.h"
#include "support/clock.h"
#include "support/file.h"
#include "support/pid_file.h"
#include "support/text.h"
#include "support/version.h"

namespace quarn {
namespace {

constexpr const char* kStatusFile = "quarncrc.status";
constexpr const char* kFilterFile = "filter.dat";
constexpr std::int64_t kStatusInterval = 10;          // seconds between status writes
constexpr std::int64_t kFilterAgeWarning = 2419200;  // 28 days
constexpr int kThreadStopWaitMs = 2000;
constexpr int kLockPollMs = 100;

// Splits a command line into its four tokens T0..T3 (missing ones empty).
std::array<std::string_view, 4> command_tokens(std::string_view line) {
  std::array<std::string_view, 4> tokens;
  Tokenizer tok(line);
  for (auto& t : tokens) t = tok.next(" \t\r\n");
  return tokens;
}

}  // namespace

Engine::Engine(EngineOptions options)
    : options_(options),
      temp_name_(lprintf(kLineSize, "quarncrc_%d.msg", options.pid)),
      settings_(log_, SettingsOptions{"quarncrc.ini", options.test_mode, options.pid}),
      db_(log_),
      filter_(log_),
      update_commands_(db_, settings_, log_, update_state_,
                       UpdateCommandOptions{options.test_mode}),
      db_file_(update_commands_, DbFileOptions{"", [this] { return do_update(); }}),
      update_client_(log_, settings_, update_commands_, db_file_, update_state_, filter_, [&] {
        UpdateClientOptions client;
        client.test_mode = options.test_mode;
        return client;
      }()) {}

Engine::~Engine() = default;

bool Engine::quarncrc_init() {
  settings_.init();

  log_.set_size_limit(settings_.get_int(IniKey::LOG_SIZE));
  log_.open(settings_.get(IniKey::LOG_FILE));
  log_.imsg("Starting %s %s\n", kProductName, kBuildDate);

  msg_sz_ = settings_.get_int(IniKey::MSG_SZ);
  if (msg_sz_ <= 0) {
    log_.emsg("quarncrc_init - Could not allocate work buffers (MSG_SZ %d)\n", msg_sz_);
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(msg_sz_);
  try {
    buffers_ = std::make_unique_for_overwrite<char[]>(3 * size);
  } catch (const std::bad_alloc&) {
    log_.emsg("quarncrc_init - Could not allocate work buffers (MSG_SZ %d)\n", msg_sz_);
    return false;
  }
  message_ = buffers_.get();
  envelope_ = message_ + size;
  copy_ = envelope_ + size;

  if (!lock_directory()) return false;
  db_file_.open_db();

  UpdateThreadHooks hooks;
  hooks.do_update = [this] { return do_update(); };
  hooks.recompile_filter = [this] { recompile_filter(); };
  update_thread_ = std::make_unique<UpdateThread>(log_, settings_, update_state_, hooks,
                                                  UpdateThreadOptions{"", 5000, options_.pid});
  if (!update_thread_->start()) {
    update_thread_.reset();
    log_.emsg("Could not create update thread, terminating\n");
    return false;
  }
  // No filter yet is no failure: scans try again.
  filter_.load_if_missing(kFilterFile);
  return true;
}

bool Engine::lock_directory() {
  // Two engines in one directory would interleave their writes to
  // quarncrc.db and quarncrc.new. The newer one (whose id the pid file
  // holds) waits here until the older one has noticed it and ended; an
  // older one still waiting ends at once.
  bool waiting_logged = false;
  const auto superseded = [&] {
    if (readpid(kPidFile, options_.pid) != options_.pid) return true;
    if (!waiting_logged) {
      log_.imsg("Waiting for the engine already running in this directory to end\n");
      waiting_logged = true;
    }
    return false;
  };
  switch (dir_lock_.acquire(kLockFile, kLockPollMs, superseded)) {
    case DirLock::Result::kHeld:
      return true;
    case DirLock::Result::kGiveUp:
      log_.emsg("Duplicate QuarnCRC running! Terminating\n");
      return false;
    case DirLock::Result::kFailed:
      break;
  }
  log_.emsg("Could not lock the working directory (%s), terminating\n", kLockFile);
  return false;
}

void Engine::recompile_filter() {
  switch (filter_.replace(kFilterFile)) {
    case FilterService::ReplaceResult::kTimedOut:
      log_.imsg("update_thread - Failed to obtain mutex for 10 seconds while applying filter\n");
      break;
    case FilterService::ReplaceResult::kCompileFailed:
      log_.emsg("update_thread - Filter compile failed, using old filter (if one)\n");
      break;
    case FilterService::ReplaceResult::kReplaced:
      break;
  }
}

int Engine::do_update() { return update_client_.do_update(); }

int Engine::quarncrc_cleanup() {
  // The update thread is asked to stop first; shared state is freed only
  // once it has ended.
  if (update_thread_ && !update_thread_->stop(kThreadStopWaitMs)) return 0;
  update_thread_.reset();
  {
    MutexHold hold(&filter_.mutex(), kFilterReplaceWaitMs);
    if (hold) filter_.free_filter();
  }
  const int messages = db_.freemessages();
  db_.freecrcs();
  buffers_.reset();
  message_ = envelope_ = copy_ = nullptr;
  return messages;
}

int Engine::do_command(std::string_view line) {
  log_.imsg("Command - %s\n", std::string(stripcrlf(line)).c_str());
  response_.clear();
  const auto t = command_tokens(line);

  int result;
  if (t[1] == "SCAN") {
    result = scan(t[0], t[2], t[3]);
  } else if (t[1] == "FINDCRC") {
    result = findcrc(t[0], t[2]);
  } else if (mystrcmpnc(t[0], "QUIT") == 0) {
    result = -1;
  } else if (options_.test_mode && t[0] == "UDCMD") {
    udcmd(t[1]);
    result = 1;
  } else {
    const std::string tag(t[0]);
    const char* gap = tag.empty() ? "" : " ";
    answer_error(strprintf("%s%sERROR Invalid command\n", tag.c_str(), gap),
                 strprintf("%s%sERROR Invalid command\n", tag.c_str(), gap));
    result = 0;
  }
  update_status_file();
  return result;
}

void Engine::answer_error(const std::string& log_line, std::string answer) {
  log_.emsg("%s", log_line.c_str());
  response_.set(std::move(answer));
}

int Engine::scan(std::string_view tag_view, std::string_view scan_view,
                 std::string_view envelope_view) {
  const std::string tag(tag_view);
  const std::string scan_file(scan_view);
  if (scan_view.empty() || envelope_view.empty()) {
    answer_error(strprintf("%s ERROR Incorrect number of parameters\n", tag.c_str()),
                 strprintf("%s ERROR Incorrect number of parameters\n\n", tag.c_str()));
    return 1;
  }

  // The file is opened first and measured through its descriptor, which
  // spares a second lookup of its path; only when it cannot be opened does
  // a lookup by name tell a missing file from an unreadable one.
  std::string reason;
  FileStat opened;
  const UniqueFd fd = open_regular(scan_file, reason, &opened);
  const std::optional<FileStat> st = fd ? opened : stat_file(scan_file);
  if (!st) {
    answer_error(strprintf("Unable to access scan file (%s)\n", scan_file.c_str()),
                 strprintf("%s ERROR Unable to access scan file (%s)\n", tag.c_str(),
                           scan_file.c_str()));
    return 0;
  }
  if (st->size >= msg_sz_) {
    log_.imsg("Skipping large file %lld>=%d bytes\n", static_cast<long long>(st->size),
              settings_.get_int(IniKey::MSG_SZ));
    response_.set(strprintf("%s CLEAN\n", tag.c_str()));
    return 1;
  }

  if (!fd) {
    answer_error(strprintf("Unable to open scan file (%s) (read)\n", scan_file.c_str()),
                 strprintf("%s ERROR Unable to open scan file (%s) (%s)\n",
                           tag.c_str(), scan_file.c_str(), reason.c_str()));
    return 0;
  }
  const std::int64_t length = read_fully(fd.get(), message_, st->size);
  if (length < st->size) {
    answer_error(strprintf("Unable to read scan file (%s)\n", scan_file.c_str()),
                 strprintf("%s ERROR Unable to read scan file (%s)\n", tag.c_str(),
                           scan_file.c_str()));
    return 0;
  }
  const auto size = static_cast<std::size_t>(length);
  message_[size] = '\0';

  const bool write_temp = settings_.is_true(IniKey::WRITE_TEMP);
  if (write_temp) {
    if (FilePtr temp = open_file(temp_name_, "wb")) {
      std::fwrite(message_, 1, size, temp.get());
    }
  }

  response_.append(strprintf("%s DATA\n", tag.c_str()));

  if (settings_.is_true(IniKey::LOG_MSG) && settings_.is_true(IniKey::DEBUG)) {
    // One line, control characters escaped: the message cannot write log
    // lines of its own.
    log_.write(LogLevel::kDebug,
                 log_escaped(cstr_view(std::string_view(message_, size))) + "\n");
  }
  add_signature_lines(size);

  if (settings_.is_true(IniKey::SKIP_FILTER)) {
    filter_error_.clear();
  } else if (filter_stage(tag, envelope_view, size) == 0) {
    return 0;
  }

  if (options_.test_mode) {
    response_.add_header(strprintf("X-Files: %s %s", scan_file.c_str(),
                                 std::string(envelope_view).c_str()));
  }
  response_.finish_data();
  log_.imsg("Response - (%s)\n", response_.text().c_str());
  if (write_temp) remove_file(temp_name_);
  ++counters_.scanned;
  return 1;
}

void Engine::add_signature_lines(std::size_t size) {
  PartCrcs crcs{};
  const double start = clock_ms();
  msgcrc(std::string_view(message_, size), crcs, log_);
  crc_generation_ms_ += clock_ms() - start;
  response_.add_header(strprintf("X-Quarn-CRC: %c%s", kRuleSet, make_signature_text(crcs).c_str()));

  match_scores_.clear();
  const MatchResult match =
      findarticlematches_fast(db_, settings_, crcs, counters_.partial, &match_scores_);
  if (match.matched) {
    ++counters_.matched;
    response_.add_header(strprintf("X-Quarn-Match: %d %s %s %d", match.count, match.status,
                                   match.type, match.id));
  }
}

int Engine::filter_stage(std::string_view tag_view, std::string_view envelope_view,
                         std::size_t length) {
  const std::string tag(tag_view);
  const std::string envelope_file(envelope_view);
  std::string reason;
  FileStat opened;
  const UniqueFd fd = open_regular(envelope_file, reason, &opened);
  const std::optional<FileStat> st = fd ? opened : stat_file(envelope_file);
  if (!st) {
    answer_error(strprintf("Unable to access envelope file (%s)\n", envelope_file.c_str()),
                 strprintf("%s ERROR Unable to access envelope file (%s)\n",
                           tag.c_str(), envelope_file.c_str()));
    return 0;
  }
  if (!fd) {
    answer_error(strprintf("Unable to open envelope file (%s) (read)\n", envelope_file.c_str()),
                 strprintf("%s ERROR Unable to open envelope file (%s) (%s)\n",
                           tag.c_str(), envelope_file.c_str(), reason.c_str()));
    return 0;
  }
  // An envelope that would not leave room for its terminator is refused as
  // unreadable instead of being read past the buffer.
  const bool fits = st->size < msg_sz_;
  const std::int64_t got = fits ? read_fully(fd.get(), envelope_, st->size) : -1;
  if (got < st->size) {
    answer_error(strprintf("Unable to read scan envelope (%s)\n", envelope_file.c_str()),
                 strprintf("%s ERROR Unable to read envelope file (%s)\n",
                           tag.c_str(), envelope_file.c_str()));
    return 0;
  }
  envelope_[got] = '\0';

  const auto filter_stat = stat_file(kFilterFile);
  const auto filter_max = static_cast<std::size_t>(settings_.get_int(IniKey::FILTER_MAX));
  const auto buffer = static_cast<std::size_t>(msg_sz_);
  MfilterOptions options;
  options.budget_ms = settings_.get_int(IniKey::FILTER_BUDGET);
  options.spawn_allow = settings_.get(IniKey::SPAWN_ALLOW);
  options.add_header = [this](std::string_view line) { hdrs_add(line); };
  const bool ran =
      do_mfilter(filter_, log_, std::span<char>(message_, buffer), std::span<char>(copy_, buffer),
                 static_cast<std::int32_t>(std::min(length, filter_max)),
                 std::string_view(envelope_, static_cast<std::size_t>(got)), &match_scores_,
                 options) != 0;
  if (!ran) {
    response_.add_header("X-Quarn-Info: Filter did not run");
    filter_error_ = "Warning - Filter failure";
  } else if (filter_stat && std::time(nullptr) - filter_stat->mtime > kFilterAgeWarning) {
    const auto days = static_cast<int>((std::time(nullptr) - filter_stat->mtime) / 86400);
    response_.add_header(strprintf("X-Quarn-Info: Filter is %d days old", days));
    filter_error_ = lprintf(kLineSize, "Warning - Filter is %d days old", days);
  } else {
    filter_error_.clear();
  }
  return 1;
}

void Engine::hdrs_add(std::string_view line) {
  response_.add_header(line);
  if (starts_with_nc(line, "X-SpamDetect:") && line.find("***") != std::string_view::npos) {
    ++counters_.spam;
  }
}

int Engine::findcrc(std::string_view tag_view, std::string_view signature) {
  const std::string tag(tag_view);
  if (signature.empty()) {
    answer_error(strprintf("%s ERROR Missing CRC data\n", tag.c_str()),
                 strprintf("%s ERROR Missing CRC data\n", tag.c_str()));
    return 0;
  }
  const auto letter = static_cast<signed char>(signature[0]);
  if (letter > kRuleSet) {
    const std::string line = strprintf("%s ERROR Unknown rule set (requires %c, current %c)\n",
                                       tag.c_str(), letter, kRuleSet);
    answer_error(line, line);
    return 0;
  }
  const std::string text(signature);
  if (validatecrc(signature.substr(1)) == 0) {
    if (settings_.is_true(IniKey::ALLOW_INVALID_CRCS)) {
      log_.imsg("%s Allowing invalid CRC (%s)", tag.c_str(), text.c_str());
    } else {
      answer_error(strprintf("%s ERROR Invalid CRC (%s)\n", tag.c_str(), text.c_str()),
                   strprintf("%s ERROR Invalid CRC (%s)\n", tag.c_str(), text.c_str()));
      return 0;
    }
  }
  if (signature.size() < 2 || std::string_view("-$#").find(signature[1]) == std::string_view::npos) {
    answer_error(strprintf("%s ERROR Incorrect CRC format\n", tag.c_str()),
                 strprintf("%s ERROR Incorrect CRC format\n", tag.c_str()));
    return 0;
  }
  PartCrcs crcs{};
  if (parse_crc_fields(signature, crcs) < kPartCount) {
    answer_error(strprintf("%s ERROR Incorrect CRC count\n", tag.c_str()),
                 strprintf("%s ERROR Incorrect CRC count\n", tag.c_str()));
    return 0;
  }

  ++counters_.late_checked;
  const MatchResult match =
      findarticlematches_fast(db_, settings_, crcs, counters_.late_partial, nullptr);
  if (match.matched) {
    ++counters_.late_matched;
    const std::string answer = strprintf(
        "%s OK %d %s %s %d - CRC matched (Score: %d/%d matching %d)\n", tag.c_str(), match.count,
        match.status, match.type, match.id, match.score, settings_.get_int(IniKey::SCORE_MIN),
        settings_.get_int(IniKey::MATCH_MIN));
    log_.imsg("Response - %s", answer.c_str());
    response_.set(answer);
    return 1;
  }
  log_.imsg("Response - %s OK 0 None None 0 - Not Found\n", tag.c_str());
  response_.set(strprintf("%s OK 0 None None 0 - Not Found\n", tag.c_str()));
  return 1;
}

void Engine::udcmd(std::string_view line) { update_commands_.do_update_command(line, false); }

void Engine::update_status_file() {
  const std::int64_t now = std::time(nullptr);
  if (now <= status_written_ + kStatusInterval) return;
  status_written_ = now;
  FilePtr file = open_file(kStatusFile, "wb");
  if (!file) {
    log_.emsg("do_command - Could not update status file");
    return;
  }
  const std::string text = format_status(counters_, update_state_.filter_time, filter_error_);
  std::fwrite(text.data(), 1, text.size(), file.get());
}

}  // namespace quarn
