#include "update/update_commands.h"

#include <ctime>
#include <string>

#include "signature/signature_text.h"
#include "support/text.h"
#include "support/version.h"

namespace quarn {
namespace {

// The field position at which a line is complete.
constexpr int kComplete = 8;
bool is_field_separator(char c) { return c == '|' || c == '~'; }

// The next field of `rest`: separators before it are skipped and it ends
// at the next one, so no field is empty; empty when none is left.
std::string_view next_field(std::string_view& rest) {
  std::size_t start = 0;
  while (start < rest.size() && is_field_separator(rest[start])) ++start;
  std::size_t end = start;
  while (end < rest.size() && !is_field_separator(rest[end])) ++end;
  const std::string_view field = rest.substr(start, end - start);
  rest.remove_prefix(end);
  return field;
}
constexpr std::int64_t kSecondsPerDay = 86400;

ParsedCommand rejected(ParsedCommand command, Rejection why) {
  command.rejection = why;
  return command;
}

}  // namespace

std::int64_t system_clock_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

ParsedCommand parse_update_command(std::string_view line, const CommandRules& rules) {
  ParsedCommand c;
  std::string_view rest = cstr_view(line);
  int position = 0;
  while (position < kComplete) {
    const std::string_view field = next_field(rest);
    if (field.empty()) break;
    switch (position) {
      case 0:
        if (field == "SET") {
          c.kind = CommandKind::kSet;
          position = 1;
        } else if (field == "DEL") {
          c.kind = CommandKind::kDel;
          position = 1;
        } else if (field == "TIME") {
          c.kind = CommandKind::kTime;
          position = 2;
        } else {
          c.word = field;
          return rejected(c, Rejection::kInvalidCommand);
        }
        break;

      case 1:
        c.id = atoi32(field);
        if (c.id < 1) return rejected(c, Rejection::kInvalidId);
        position = c.kind == CommandKind::kDel ? kComplete : 2;
        break;

      case 2:
        c.timestamp = atoi32(field);
        if (c.timestamp < 1) return rejected(c, Rejection::kInvalidTimestamp);
        if (c.kind == CommandKind::kTime) {
          // "<position> <last update> <filter time>"
          const std::size_t blank = field.find(' ');
          if (blank != std::string_view::npos) {
            c.time_extra = 1;
            c.last_update = atoi32(field.substr(blank + 1));
            const std::size_t second = field.find(' ', blank + 1);
            if (second != std::string_view::npos) {
              c.time_extra = 2;
              c.filter_time = atoi32(field.substr(second + 1));
            }
          }
          position = kComplete;
          break;
        }
        if (!rules.test_mode && std::int64_t{c.timestamp} < rules.expired_before) {
          return rejected(c, Rejection::kOutdated);
        }
        position = 3;
        break;

      case 3:
        c.count = atoi32(field);
        ++position;
        break;
      case 4:
        c.other_count = atoi32(field);
        ++position;
        break;
      case 5:
        c.status = atoi32(field);
        ++position;
        break;
      case 6:
        c.type = atoi32(field);
        ++position;
        break;

      case 7: {
        c.letter = field[0];
        if (static_cast<signed char>(c.letter) > kRuleSet) {
          return rejected(c, Rejection::kVersionMismatch);
        }
        // The case check comes first, then the count of numbers; one walk
        // over the text answers both.
        int valid = 0;
        const int pieces = read_checked_pieces(field.substr(1), c.crcs, valid);
        if (valid == 0) {
          if (!rules.allow_invalid_crcs) return rejected(c, Rejection::kInvalidCrc);
          c.allowed_invalid_crc = true;
        }
        if (pieces != kPartCount) return rejected(c, Rejection::kInvalidCrcList);
        position = kComplete;
        break;
      }
    }
  }
  if (position < kComplete) {
    c.field = position;
    return rejected(c, Rejection::kIncomplete);
  }
  return c;
}

void log_judgement(Log& log, const ParsedCommand& c) {
  if (c.allowed_invalid_crc) log.imsg("do_update_command - Allowing invalid CRC (%d)\n", c.id);
  switch (c.rejection) {
    case Rejection::kNone:
      break;
    case Rejection::kInvalidCommand:
      log.emsg("do_update_command - Invalid command (%s)\n", std::string(c.word).c_str());
      break;
    case Rejection::kInvalidId:
      log.emsg("do_update_command - Invalid ID, skipping (%d)\n", c.id);
      break;
    case Rejection::kInvalidTimestamp:
      log.emsg("do_update_command - Invalid timestamp, skipping (%d)\n", c.id);
      break;
    case Rejection::kOutdated:
      log.imsg("Removing outdated item (%d)\n", c.id);
      break;
    case Rejection::kVersionMismatch:
      log.emsg(
          "do_update_command - Version mismatch, skipping (Requires %c, current %c (%s %s)) "
          "(%d)\n",
          c.letter, kRuleSet, kProductName, kBuildDate, c.id);
      break;
    case Rejection::kInvalidCrc:
      log.imsg("do_update_command - Invalid CRC (%d)\n", c.id);
      break;
    case Rejection::kInvalidCrcList:
      log.emsg("do_update_command - Invalid CRC list, skipping (%d)\n", c.id);
      break;
    case Rejection::kIncomplete:
      log.emsg("do_update_command - Corrupt or incomplete command, up to %d (%d)\n", c.field,
               c.id);
      break;
  }
}

UpdateCommands::UpdateCommands(SignatureDb& db, Settings& settings, Log& log, UpdateState& state,
                               UpdateCommandOptions options)
    : db_(db), settings_(settings), log_(log), state_(state), options_(std::move(options)) {}

CommandRules UpdateCommands::rules() {
  CommandRules rules;
  rules.test_mode = options_.test_mode;
  if (!rules.test_mode) rules.expire_days = settings_.get_int(IniKey::EXPIRE_DAYS);
  rules.allow_invalid_crcs = settings_.is_true(IniKey::ALLOW_INVALID_CRCS);
  restamp(rules);
  return rules;
}

void UpdateCommands::restamp(CommandRules& rules) const {
  if (!rules.test_mode) rules.expired_before = now() - rules.expire_days * kSecondsPerDay;
}

std::int32_t UpdateCommands::do_update_command(std::string_view line, bool check_only,
                                               int* dropped) {
  if (dropped != nullptr) *dropped = 0;
  return run(parse_update_command(line, rules()), check_only, dropped);
}

std::int32_t UpdateCommands::run(const ParsedCommand& command, bool check_only, int* dropped) {
  if (dropped != nullptr) *dropped = 0;
  log_judgement(log_, command);
  if (!command.valid()) return 0;
  return check_only ? check(command, dropped) : apply(command);
}

void UpdateCommands::prefetch(const ParsedCommand& command, bool check_only) const {
  if (!command.valid() || command.kind == CommandKind::kTime) return;
  db_.prefetch_message(command.id);
  if (!check_only && command.kind == CommandKind::kSet && !db_.index_deferred()) {
    for (int p = 0; p < kPartCount; ++p) db_.prefetch_value(p, command.crcs[p]);
  }
}

void UpdateCommands::prefetch_keys(const ParsedCommand& command, bool check_only) const {
  if (!command.valid() || command.kind == CommandKind::kTime) return;
  const bool values = !check_only && command.kind == CommandKind::kSet && !db_.index_deferred();
  db_.prefetch_keys(command.id, values ? &command.crcs : nullptr);
}

std::int32_t UpdateCommands::check(const ParsedCommand& c, int* dropped) const {
  if (c.kind == CommandKind::kTime) return c.timestamp;
  if (c.kind == CommandKind::kDel || db_.find_message(c.id) == nullptr) {
    if (dropped != nullptr) *dropped = 1;
    return 0;
  }
  return c.timestamp;
}

std::int32_t UpdateCommands::apply(const ParsedCommand& c) {
  if (c.kind == CommandKind::kTime) {
    // The position is taken only when a second number follows it.
    if (c.time_extra >= 1) {
      state_.last_update = c.last_update;
      if (c.time_extra == 2) state_.filter_time = c.filter_time;
      state_.position = c.timestamp;
    }
    return c.timestamp;
  }

  MutexHold hold(&db_.mutex(), options_.mutex_wait_ms);
  if (!hold) {
    log_.emsg("do_update_command - Could not obtain mutex for 60 seconds\n");
    return 0;
  }
  if (c.kind == CommandKind::kSet) {
    log_.hook("do_update_command - Adding message %d\n", c.id);
    if (db_.put(c.id, c.count, c.other_count, c.status, c.type, c.crcs) == nullptr) {
      hold.release();
      log_.emsg("do_update_command - Message add failed\n");
      return 0;
    }
    return c.timestamp;
  }

  log_.hook("do_update_command - Deleting message %d\n", c.id);
  if (db_.erase(c.id) == 0) {
    hold.release();
    log_.imsg("do_update_command - Attempted to delete unknown message (%d)\n", c.id);
  }
  return 0;
}

}  // namespace quarn
