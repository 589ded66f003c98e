// The database file "quarncrc.db": the journal the signature database is
// rebuilt from at every start, and its rewrite after each successful update
// run.
//
// Format: text, one update command per line (update/update_commands.h),
// each ended by a newline; read as a text-mode file (a CR before an LF is
// dropped) in pieces of at most 999 characters, each piece judged as a line
// of its own. The file holds SET lines in the order they were obtained,
// lines appended by update runs since the last rewrite, and normally one
// TIME line written at its end by the last rewrite:
//
//   SET|1234|1062403200|12|0|2|1|A#EQTepu$0#0$0$0$0$0#0#0|
//   TIME|1062403200 1062406800 1061596800
//        update position, time of writing, filter time
//
// Loading (`open_db`) applies every line in order (the last SET of an id
// wins, each TIME line overrides the update state), then, when UPDATE_START
// is true and an update is due (update/update_schedule.h; a failed run's
// retry is spread over 240 seconds), runs one update run at once. It first
// counts the file's lines to size the database once, reads the file in
// large blocks, and parses a few lines ahead of the one it applies
// (parsing is pure; logging and applying keep file order). Loading into an
// empty database holds the database mutex from the first line to the last
// and builds the value index once at the end (SignatureDb::defer_index);
// if the mutex is not free at once, each line takes it as usual.
//
// Rewriting (`rewrite_db`) copies the file to "quarncrc.new" without its
// "TIME|" lines and without the lines check-only mode drops (deleted or
// expired messages, invalid lines), each kept line exactly as read, ends it
// with a fresh TIME line, flushes it to disk and renames it over
// "quarncrc.db", so a database file exists at every moment. A kept line
// that has no line end of its own (the last line of a file without one, a
// piece of an over-long line) is ended with "|\n" ("\n" after a trailing
// separator), so it neither runs into the next line nor carries the line
// end into its last field.
//
// Engine use: `open_db` once in start-up, after the database mutex exists
// and before the update thread starts, with the update run given as
// `DbFileOptions::do_update` (or `set_do_update`); the update run appends
// downloaded lines to `path(kDbFile)` and calls `rewrite_db` at its end (a
// result of 0 fails the run).
//
// Ownership and threads: the engine owns one `DbFile`. `open_db` runs on the
// starting thread before the update thread exists; `rewrite_db` runs inside
// an update run, whose thread is then the database's only writer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <string>

#include "update/update_commands.h"

namespace quarn {

inline constexpr const char* kDbFile = "quarncrc.db";
inline constexpr const char* kDbNewFile = "quarncrc.new";

struct DbFileOptions {
  std::string dir;  // working directory prefix; empty: the current one
  // One update run (1 success, 0 failure); the default always fails.
  std::function<int()> do_update;
  std::uint32_t seed = static_cast<std::uint32_t>(std::time(nullptr));
};

class DbFile {
 public:
  DbFile(UpdateCommands& commands, DbFileOptions options = {});
  DbFile(const DbFile&) = delete;
  DbFile& operator=(const DbFile&) = delete;

  // Loads the database file and runs a due start-up update. Always 1.
  int open_db();

  // Rewrites the database file; 0 when "quarncrc.new" cannot be made or
  // "quarncrc.db" cannot be read (logged), else 1, also when the new file
  // could not be written or renamed (logged; the old file then stays).
  int rewrite_db();

  // Sets the update run that `open_db` uses.
  void set_do_update(std::function<int()> do_update);

  // A file of the working directory.
  std::string path(const char* name) const;

 private:
  // Reads `file` line by line and calls `judged(line, parsed command)` for
  // each, in order (TIME lines left out when `check_only`).
  template <class Judged>
  void for_each_judged(std::FILE* file, bool check_only, Judged&& judged);
  // Sizes the database for the lines of `file` and rewinds it.
  void reserve_for(std::FILE* file);

  UpdateCommands& commands_;
  DbFileOptions options_;
  std::mt19937 random_;
};

}  // namespace quarn
