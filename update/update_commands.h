// The update-command language: one function parses, checks and applies a
// line of it, whether the line came from the update server, from the
// database file at start, or from the test-mode UDCMD command, and judges
// file lines for the rewrite without applying them (check-only mode).
//
// Command line: fields separated by "|" or "~" (runs count as one, leading
// separators are skipped, so no field is empty); fields after the last one a
// command needs are ignored. Numbers read like the C library's atoi. A line
// read from the database file still carries its line end, which belongs to
// its last field.
//
//   SET|<id>|<timestamp>|<count>|<other count>|<status>|<type>|<signature>
//   DEL|<id>
//   TIME|<position>[ <last update>[ <filter time>]]
//
//   id          1 or more
//   timestamp   seconds since 1970, 1 or more; a SET older than EXPIRE_DAYS
//               days is dropped unless in test mode
//   signature   the rule-set letter (nothing above 'A' is known), then the
//               check-cased signature text (signature/signature_text.h);
//               the text up to the next separator or the end of the line,
//               line end included, must validate unless ALLOW_INVALID_CRCS
//               is true, and must hold exactly nine base-36 numbers split
//               at blanks, "-", "$" and "#"
//
// A SET line stored in a file therefore ends with a separator after its
// signature ("...|A#0$0...#0|\n"): otherwise the line end becomes part of
// the checked text and the line fails the check when read back.
//
// Judging a line is a pure parse (`parse_update_command`): it yields the
// command and its fields, or the rejection with everything its log line
// names, and touches nothing. Applying stores or erases the record through
// the database's put/erase, which keep the record and its index entries
// together.
//
// Engine use: UDCMD (test mode) passes its second token in normal mode and
// ignores the result; the update run applies each downloaded line in normal
// mode and appends the line to the database file when the result is not 0;
// the file's loading and rewrite go through DbFile (update/db_file.h).
//
// Ownership and threads: the engine owns one `UpdateCommands`; it holds
// references to the database, settings, log and update state. Applying
// takes the database mutex (60 s by default). Check-only mode takes no
// mutex and changes nothing, neither records nor the update state; it runs
// only on the thread that is the database's sole writer (the update run).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "signature/signature_db.h"
#include "support/log.h"
#include "support/settings.h"
#include "update/update_state.h"

namespace quarn {

// How long applying a command waits for the database mutex.
inline constexpr int kUpdateWaitMs = 60000;

// Seconds since 1970.
using Clock = std::function<std::int64_t()>;
std::int64_t system_clock_now();

struct UpdateCommandOptions {
  bool test_mode = false;  // no expiry
  int mutex_wait_ms = kUpdateWaitMs;
  Clock clock = system_clock_now;
};

enum class CommandKind { kSet, kDel, kTime };

// Why a line is refused, in the order the checks meet them.
enum class Rejection {
  kNone,
  kInvalidCommand,    // error "Invalid command (<word>)"
  kInvalidId,         // error "Invalid ID, skipping (<id>)"
  kInvalidTimestamp,  // error "Invalid timestamp, skipping (<id>)"
  kOutdated,          // info "Removing outdated item (<id>)"
  kVersionMismatch,   // error "Version mismatch, skipping (Requires <letter>, ...)"
  kInvalidCrc,        // info "Invalid CRC (<id>)"
  kInvalidCrcList,    // error "Invalid CRC list, skipping (<id>)"
  kIncomplete,        // error "Corrupt or incomplete command, up to <field> (<id>)"
};

// What the settings and the clock decide for one line.
struct CommandRules {
  bool test_mode = false;
  // A SET older than this (seconds since 1970) is outdated.
  std::int64_t expired_before = 0;
  bool allow_invalid_crcs = false;
  std::int64_t expire_days = 0;  // EXPIRE_DAYS, for moving the limit on
};

// One judged line. Views point into the parsed line.
struct ParsedCommand {
  CommandKind kind = CommandKind::kSet;
  Rejection rejection = Rejection::kNone;
  std::int32_t id = 0;
  std::int32_t timestamp = 0;  // TIME: the first number
  std::int32_t count = 0;
  std::int32_t other_count = 0;
  std::int32_t status = 0;
  std::int32_t type = 0;
  PartCrcs crcs{};
  // The signature check failed and the line was let through (an info line
  // "Allowing invalid CRC (<id>)" before anything else is reported).
  bool allowed_invalid_crc = false;
  // TIME: how many numbers the field holds beyond the first (0 to 2, more
  // are not read) and their values.
  int time_extra = 0;
  std::int32_t last_update = 0;
  std::int32_t filter_time = 0;
  std::string_view word;  // kInvalidCommand: the word
  char letter = 0;        // kVersionMismatch: the rule-set letter
  int field = 0;          // kIncomplete: the field the line ended before

  bool valid() const { return rejection == Rejection::kNone; }
};

// Parses `line` (a NUL byte ends it) under `rules`. Pure: logs nothing.
ParsedCommand parse_update_command(std::string_view line, const CommandRules& rules);

// Writes the log lines judging the line reports: the "Allowing invalid
// CRC" note, then the rejection, each with its level and text.
void log_judgement(Log& log, const ParsedCommand& command);

class UpdateCommands {
 public:
  UpdateCommands(SignatureDb& db, Settings& settings, Log& log, UpdateState& state,
                 UpdateCommandOptions options = {});
  UpdateCommands(const UpdateCommands&) = delete;
  UpdateCommands& operator=(const UpdateCommands&) = delete;

  // Parses `line` (a NUL byte ends it) and, unless `check_only`, applies it.
  // Returns the command's timestamp when the line is valid and applied (or,
  // checking, kept): a SET's timestamp, a TIME line's first number; DEL
  // yields 0 even when it succeeded, and so does every rejected line (each
  // rejection is logged). `dropped`, when given, is set to 0 and, checking,
  // to 1 for a DEL or for a SET whose id is not in memory.
  std::int32_t do_update_command(std::string_view line, bool check_only, int* dropped = nullptr);

  // Logs what judging `command` reports, then applies it (normal mode) or
  // judges it against memory (check-only): the rest of do_update_command
  // after the parse.
  std::int32_t run(const ParsedCommand& command, bool check_only, int* dropped = nullptr);
  // Cache hints for a coming `run` of `command`: the first well ahead, the
  // second once what the first asked for has arrived.
  void prefetch(const ParsedCommand& command, bool check_only) const;
  void prefetch_keys(const ParsedCommand& command, bool check_only) const;

  // The rules for a line judged now.
  CommandRules rules();
  // Moves the expiry limit of `rules` to now. Within one pass over the
  // database file the settings cannot change (only the thread running the
  // pass reloads them), so a pass reads them once and only the clock moves.
  void restamp(CommandRules& rules) const;
  // Applies a valid command (normal mode): the result of do_update_command.
  std::int32_t apply(const ParsedCommand& command);
  // Judges a valid command against memory (check-only mode).
  std::int32_t check(const ParsedCommand& command, int* dropped) const;

  SignatureDb& db() { return db_; }
  Settings& settings() { return settings_; }
  Log& log() { return log_; }
  UpdateState& state() { return state_; }
  bool test_mode() const { return options_.test_mode; }
  std::int64_t now() const { return options_.clock(); }

 private:
  SignatureDb& db_;
  Settings& settings_;
  Log& log_;
  UpdateState& state_;
  const UpdateCommandOptions options_;
};

}  // namespace quarn
