// The milter's log: one line per event, to standard error or to syslog
// (facility mail, ident "quarncrc-milter"). Control characters in a line are
// written as "\xNN", so text from a message or an engine never forges a
// line. Safe from any thread; the destination can be switched at any time
// (a reloaded configuration).
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

namespace quarn::milter {

class Logger {
 public:
  Logger() = default;
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void use_syslog(bool on);
  void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  void write(int priority, const char* format, va_list args);

  std::mutex mutex_;
  bool syslog_ = false;
};

}  // namespace quarn::milter
