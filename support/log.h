// The engine's log: one file written line by line by every thread.
//
// Line format, one per message:
//
//   DD HH:MM:SS:Level:Prefix Text
//
//   DD HH:MM:SS  11 characters: day of the month (padded with a space on the
//                left) and local time of day.
//   Level        "Err", "Info" or "dbg".
//   Prefix       "t=<thread id> " when the show-thread switch is on, else empty.
//   Text         the message as given; it carries its own line end, so a
//                message without "\n" runs into the next line.
//
// A formatted message keeps at most 999 characters; a longer one is cut and
// preceded by the error line "FATAL, INMSG ERROR TOO LONG\n". With a size
// limit (LOG_SIZE, not 0) the file is opened empty and started afresh
// whenever its size on disk exceeds the limit before a line is written;
// without one it is opened for appending and never emptied. While no file is
// open, message texts go to standard error alone: standard output is the
// engine's protocol channel.
//
// The debug hook (`hook`) writes at debug level only while it is switched
// on; the settings switch it to follow DEBUG each time they are loaded.
//
// Owner: the engine, one per process; every subsystem logs through a
// reference. Every write holds the log mutex for the whole line (size check
// and reopen included), so lines of different threads never interleave. A
// writer that cannot get the mutex within its limit writes anyway.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "support/file.h"
#include "support/mutex.h"

namespace quarn {

enum class LogLevel { kError = 0, kInfo = 1, kDebug = 2 };

class Log {
 public:
  // `console` receives texts while no log file is open (standard error
  // unless a test gives another stream).
  explicit Log(std::FILE* console = stderr);
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  int emsg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  int imsg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  int dmsg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The debug hook: dmsg while switched on, nothing otherwise.
  int hook(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  int vlog(LogLevel level, const char* fmt, std::va_list args) __attribute__((format(printf, 3, 0)));

  // Writes an already formatted text at `level`, uncut.
  void write(LogLevel level, std::string_view text);

  // Sets the size limit in bytes (0: none). Returns 1.
  int set_size_limit(std::int32_t limit);
  // Keeps the path (cut at 300 characters) and opens it: emptied when a size
  // limit is set, appended to otherwise. 0 when it cannot be opened (the
  // system's error is printed on standard error).
  int open(std::string_view path);
  // Closes the file and opens the kept path emptied; 0 on failure.
  int reopen();
  void close();
  void flush();
  std::string path() const;

  void set_flush(bool on) { flush_ = on; }
  void set_debug_echo(bool on) { debug_echo_ = on; }
  void set_print_errors(bool on) { print_errors_ = on; }
  void set_show_thread(bool on) { show_thread_ = on; }
  bool debug_echo() const { return debug_echo_; }

  void set_debug_hook(bool on) { hook_on_ = on; }
  bool debug_hook_on() const { return hook_on_; }

  // How long a writer waits for the log mutex (60 seconds by default).
  void set_wait_limit_ms(int ms) { wait_limit_ms_ = ms; }
  MutexRec& mutex() { return mutex_; }

 private:
  int open_locked(const char* mode);
  void write_locked(LogLevel level, std::string_view text);

  mutable MutexRec mutex_{"log"};
  std::FILE* const console_;
  FilePtr file_;
  std::string path_;
  // An upper bound of the file's size on disk: its size when last looked up
  // plus everything written since. While it stays within the limit the size
  // on disk cannot exceed it, and the lookup is skipped.
  std::int64_t size_bound_ = 0;
  // The stamp of the last line written, reused for lines of the same second.
  std::time_t stamp_time_ = -1;
  std::string stamp_;
  std::int32_t limit_ = 0;
  std::atomic<int> wait_limit_ms_{60000};
  std::atomic<bool> flush_{false};
  std::atomic<bool> show_thread_{false};
  std::atomic<bool> debug_echo_{false};
  std::atomic<bool> print_errors_{false};
  std::atomic<bool> hook_on_{false};
};

// The 11-character stamp of a log line for the given time: day of the
// month padded with a space, then HH:MM:SS in local time.
std::string log_stamp(std::time_t when);

}  // namespace quarn
