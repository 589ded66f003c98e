// A signature database loaded from a database file outside any working
// directory, for the tool's match and trace commands.
//
// Lines are read and applied as the engine's start-up does: text mode (a CR
// before an LF dropped), pieces of at most 999 characters each judged as a
// line, every line through the update-command language in normal mode (so
// SET lines older than EXPIRE_DAYS are dropped), TIME lines into an update
// state that is then thrown away. No update run is started and the file is
// never rewritten. Log output goes nowhere unless a stream is given.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "signature/signature_db.h"
#include "support/log.h"
#include "support/settings.h"
#include "update/update_commands.h"
#include "update/update_state.h"

namespace quarn::tool {

// A log whose console is /dev/null (or a given stream) and no file.
class QuietLog {
 public:
  explicit QuietLog(std::FILE* stream = nullptr);
  ~QuietLog();
  QuietLog(const QuietLog&) = delete;
  QuietLog& operator=(const QuietLog&) = delete;
  Log& log() { return *log_; }

 private:
  std::FILE* null_ = nullptr;
  std::unique_ptr<Log> log_;
};

// Calls `line(text, number)` for each line of `file` as the database file
// loader cuts them (number counts from 1; pieces of one long line share it).
template <class Line>
void for_each_db_line(std::FILE* file, Line&& line) {
  char buffer[1000];
  int number = 1;
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    std::string text(buffer);
    const bool ended = !text.empty() && text.back() == '\n';
    if (ended && text.size() >= 2 && text[text.size() - 2] == '\r') text.erase(text.size() - 2, 1);
    line(text, number);
    if (ended) ++number;
  }
}

class LoadedDb {
 public:
  // `ini_path` empty: quarncrc.ini beside the database file when there is
  // one, else the built-in defaults.
  LoadedDb(std::string db_path, std::string ini_path);
  bool load(std::string& error);
  SignatureDb& db() { return db_; }
  Settings& settings() { return settings_; }
  Log& log() { return quiet_.log(); }
  // The record agreeing with `crcs` in the heaviest set of parts (the
  // lowest id of equals), or null when none agrees in anything. A missing
  // header part (0) agrees only under `allow_null_head`, as in matching.
  const MessageRecord* best_record(const PartCrcs& crcs, bool allow_null_head) const;

 private:
  std::string db_path_;
  QuietLog quiet_;
  Settings settings_;
  SignatureDb db_;
  UpdateState state_;
};

// The settings file that goes with a database file or working directory.
std::string settings_beside(const std::string& db_path);

}  // namespace quarn::tool
