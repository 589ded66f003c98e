// The rule engine's two loggers and its trace switch.
//
// Compile messages, trace lines and the run's error messages go to the error
// logger; "Compiling ..." and the run's informational lines (forward copies,
// recorded scores, flags set by phrases) go to the info logger. A logger
// receives one fully formatted text that carries its own line end. The
// engine installs its debug hook for both (`debug_hook_logger`), so the rule
// engine writes to the log only while DEBUG is on; tests install collectors.
//
// Owner: the `RuleEngine` (one per process, used under the filter mutex).
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace quarn {

class Log;

using RuleLogger = std::function<void(const std::string& text)>;

// A logger that hands every text to `log.hook` (debug level, DEBUG only).
RuleLogger debug_hook_logger(Log& log);

class RuleLog {
 public:
  void set_error_logger(RuleLogger logger) { error_ = std::move(logger); }
  void set_info_logger(RuleLogger logger) { info_ = std::move(logger); }
  void set_trace(bool on) { trace_ = on; }
  bool trace_on() const { return trace_; }

  void emsg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void imsg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The error logger, only while the trace switch is on.
  void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

 private:
  void write(const RuleLogger& logger, const char* fmt, std::va_list args)
      __attribute__((format(printf, 3, 0)));

  RuleLogger error_;
  RuleLogger info_;
  bool trace_ = false;
};

}  // namespace quarn
