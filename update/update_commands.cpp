#include "update/update_commands.h"

#include <ctime>
#include <string>

#include "signature/signature_text.h"
#include "support/text.h"
#include "support/version.h"

namespace quarn {
namespace {

enum class Command { kSet, kDel, kTime };

// The field position at which a line is complete.
constexpr int kComplete = 8;
constexpr std::string_view kFieldSeparators = "|~";
constexpr std::int64_t kSecondsPerDay = 86400;

}  // namespace

std::int64_t system_clock_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

UpdateCommands::UpdateCommands(SignatureDb& db, Settings& settings, Log& log, UpdateState& state,
                               UpdateCommandOptions options)
    : db_(db), settings_(settings), log_(log), state_(state), options_(std::move(options)) {}

std::int32_t UpdateCommands::do_update_command(std::string_view line, bool check_only,
                                               int* dropped) {
  if (dropped != nullptr) *dropped = 0;
  Tokenizer fields(cstr_view(line));
  Command command = Command::kSet;
  int position = 0;
  std::int32_t id = 0;
  std::int32_t timestamp = 0;
  std::int32_t numbers[4] = {};  // count, other count, status, type
  PartCrcs crcs{};

  while (position < kComplete) {
    const std::string_view field = fields.next(kFieldSeparators);
    if (field.empty()) break;
    switch (position) {
      case 0:
        if (field == "SET") {
          command = Command::kSet;
          position = 1;
        } else if (field == "DEL") {
          command = Command::kDel;
          position = 1;
        } else if (field == "TIME") {
          command = Command::kTime;
          position = 2;
        } else {
          log_.emsg("do_update_command - Invalid command (%s)\n", std::string(field).c_str());
          return 0;
        }
        break;

      case 1:
        id = atoi32(field);
        if (id < 1) {
          log_.emsg("do_update_command - Invalid ID, skipping (%d)\n", id);
          return 0;
        }
        position = command == Command::kDel ? kComplete : 2;
        break;

      case 2:
        timestamp = atoi32(field);
        if (timestamp < 1) {
          log_.emsg("do_update_command - Invalid timestamp, skipping (%d)\n", id);
          return 0;
        }
        if (command == Command::kTime) {
          // "<position> <last update> <filter time>": the position is taken
          // only when a second number follows it.
          const std::size_t blank = field.find(' ');
          if (!check_only && blank != std::string_view::npos) {
            state_.last_update = atoi32(field.substr(blank + 1));
            const std::size_t second = field.find(' ', blank + 1);
            if (second != std::string_view::npos) state_.filter_time = atoi32(field.substr(second + 1));
            state_.position = timestamp;
          }
          position = kComplete;
          break;
        }
        if (!options_.test_mode) {
          const std::int64_t days = settings_.ini_getn(IniKey::EXPIRE_DAYS);
          if (std::int64_t{timestamp} < now() - days * kSecondsPerDay) {
            log_.imsg("Removing outdated item (%d)\n", id);
            return 0;
          }
        }
        position = 3;
        break;

      case 3:
      case 4:
      case 5:
      case 6:
        numbers[position - 3] = atoi32(field);
        ++position;
        break;

      case 7: {
        const auto letter = static_cast<signed char>(field[0]);
        if (letter > kRuleSet) {
          log_.emsg(
              "do_update_command - Version mismatch, skipping (Requires %c, current %c (%s %s)) "
              "(%d)\n",
              letter, kRuleSet, kProductName, kBuildDate, id);
          return 0;
        }
        const std::string_view text = field.substr(1);
        if (validatecrc(text) == 0) {
          if (!settings_.ini_true(IniKey::ALLOW_INVALID_CRCS)) {
            log_.imsg("do_update_command - Invalid CRC (%d)\n", id);
            return 0;
          }
          log_.imsg("do_update_command - Allowing invalid CRC (%d)\n", id);
        }
        const int count = read_crc_pieces(text, crcs);
        if (count != kPartCount) {
          log_.emsg("do_update_command - Invalid CRC list, skipping (%d)\n", id);
          return 0;
        }
        position = kComplete;
        break;
      }
    }
  }

  if (position < kComplete) {
    log_.emsg("do_update_command - Corrupt or incomplete command, up to %d (%d)\n", position, id);
    return 0;
  }
  if (command == Command::kTime) return timestamp;

  if (check_only) {
    if (command == Command::kDel || db_.find_message(id) == nullptr) {
      if (dropped != nullptr) *dropped = 1;
      return 0;
    }
    return timestamp;
  }

  MutexHold hold(&db_.mutex(), options_.mutex_wait_ms);
  if (!hold) {
    log_.emsg("do_update_command - Could not obtain mutex for 60 seconds\n");
    return 0;
  }
  if (command == Command::kSet) {
    log_.hook("do_update_command - Adding message %d\n", id);
    db_.prefetch_entries(crcs);
    bool is_new = false;
    MessageRecord* record =
        db_.add_message(id, numbers[0], numbers[1], numbers[2], numbers[3], is_new);
    if (record == nullptr) {
      hold.release();
      log_.emsg("do_update_command - Message add failed\n");
      return 0;
    }
    for (int p = 0; p < kPartCount; ++p) {
      if (!is_new) db_.delcrc(id, record->crc[p], p);
      record->crc[p] = crcs[p];
      db_.addcrc(id, crcs[p], p);
    }
    return timestamp;
  }

  log_.hook("do_update_command - Deleting message %d\n", id);
  const MessageRecord* record = db_.find_message(id);
  if (record == nullptr) {
    hold.release();
    log_.imsg("do_update_command - Attempted to delete unknown message (%d)\n", id);
    return 0;
  }
  for (int p = 0; p < kPartCount; ++p) db_.delcrc(id, record->crc[p], p);
  db_.del_message(id);
  return 0;
}

}  // namespace quarn
