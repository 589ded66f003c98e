// The engine process: start-up, the command interpreter and shutdown.
//
// A mail server starts the engine in a working directory of its own and
// writes one command per line on its standard input; the engine answers each
// with a block of lines on standard output:
//
//   <tag> SCAN <message file> <envelope file>   DATA block ending in "."
//   <tag> FINDCRC <rule-set letter><signature>  one OK or ERROR line
//   QUIT (any case)                             no answer; the engine stops
//   UDCMD <update line> (test mode only)        no answer
//
// SCAN reads only regular files; a FIFO, device, socket or directory is
// answered "Unable to open" at once. One engine writes a working directory
// at a time: it holds the lock on "quarncrc.lock" from before the database
// file is loaded (support/dir_lock.h); a newer engine waits there for the
// older one to notice the pid file and end.
//
// `Engine` owns every subsystem object (log, settings, update state, ...),
// the work buffers, the response block and the counters; tests build a fresh
// one per case. All commands run on the calling (main) thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/response.h"
#include "engine/status.h"
#include "filter/filter_service.h"
#include "signature/signature_db.h"
#include "signature/spam_score.h"
#include "support/dir_lock.h"
#include "support/log.h"
#include "support/settings.h"
#include "update/db_file.h"
#include "update/update_client.h"
#include "update/update_commands.h"
#include "update/update_state.h"
#include "update/update_thread.h"

namespace quarn {

struct EngineOptions {
  bool test_mode = false;
  int pid = 0;
};

class Engine {
 public:
  explicit Engine(EngineOptions options);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Start-up in the fixed order; false when the engine cannot run.
  bool quarncrc_init();
  // Runs one command line (without its line end). Leaves the answer in
  // `response()`; returns -1 for QUIT, 1 on success, 0 after an error.
  int do_command(std::string_view line);
  // Releases everything; returns the number of messages the database held.
  int quarncrc_cleanup();
  // False when the update thread could not be stopped in time (it is still
  // inside an update run): the process must then end without destroying the
  // engine, whose state that thread may still touch.
  bool safe_to_destroy() const { return !update_thread_; }

  const ResponseBlock& response() const { return response_; }
  const Counters& counters() const { return counters_; }
  double crc_generation_ms() const { return crc_generation_ms_; }
  Log& log() { return log_; }
  Settings& settings() { return settings_; }
  FilterService& filter() { return filter_; }

 private:
  // A failed command: the line goes to the error log and the answer
  // becomes the whole response.
  void answer_error(const std::string& log_line, std::string answer);
  int scan(std::string_view tag, std::string_view scan_file, std::string_view envelope_file);
  int findcrc(std::string_view tag, std::string_view signature);
  // Signature line and matching of a scanned message (the message buffer
  // holds `size` bytes, which signature generation only reads).
  void add_signature_lines(std::size_t size);
  void udcmd(std::string_view line);
  // Reads the envelope and runs the rule filter; 0 when the envelope could
  // not be read (the response then holds the error answer).
  int filter_stage(std::string_view tag, std::string_view envelope_file, std::size_t length);
  // The header-add callback of the rule engine: appends a line the filter
  // adds to the SCAN response and counts "X-SpamDetect:" lines with "***".
  void hdrs_add(std::string_view line);
  void update_status_file();
  // Takes the working directory's writer lock, waiting for an older engine
  // there to end; false when this engine is the older one (a newer engine's
  // id is in the pid file) or the lock cannot be had.
  bool lock_directory();
  // One update run of the update thread.
  int do_update();
  // The update thread's recompile of filter.dat after a settings change.
  void recompile_filter();

  const EngineOptions options_;
  const std::string temp_name_;
  Log log_;
  Settings settings_;
  SignatureDb db_;
  FilterService filter_;
  UpdateState update_state_;
  UpdateCommands update_commands_;
  DbFile db_file_;
  UpdateClient update_client_;
  std::unique_ptr<UpdateThread> update_thread_;

  // Held from before the database file is loaded until the process ends.
  DirLock dir_lock_;
  // The three work buffers, MSG_SZ bytes each: the message, the envelope,
  // and the filter's work buffer (copy_), where it decodes the message.
  std::int32_t msg_sz_ = 0;
  std::unique_ptr<char[]> buffers_;
  char* message_ = nullptr;
  char* envelope_ = nullptr;
  char* copy_ = nullptr;

  ResponseBlock response_;
  std::string filter_error_;
  Counters counters_;
  std::int64_t status_written_ = 0;
  double crc_generation_ms_ = 0;
  // The signature-match result of the current scan, handed to the filter.
  SpamScoreList match_scores_;
};

}  // namespace quarn
