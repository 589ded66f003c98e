#include "milter/milter_log.h"

#include <cstdio>
#include <syslog.h>

#include "support/text.h"

namespace quarn::milter {

Logger::~Logger() {
  if (syslog_) closelog();
}

void Logger::use_syslog(bool on) {
  std::lock_guard lock(mutex_);
  if (on == syslog_) return;
  if (on) {
    openlog("quarncrc-milter", LOG_PID, LOG_MAIL);
  } else {
    closelog();
  }
  syslog_ = on;
}

void Logger::info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write(LOG_INFO, format, args);
  va_end(args);
}

void Logger::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write(LOG_ERR, format, args);
  va_end(args);
}

void Logger::write(int priority, const char* format, va_list args) {
  char raw[2048];
  std::vsnprintf(raw, sizeof raw, format, args);
  // A control character from an envelope can never end the line.
  const std::string line = log_escaped(raw);
  std::lock_guard lock(mutex_);
  if (syslog_) {
    syslog(priority, "%s", line.c_str());
  } else {
    std::fprintf(stderr, "quarncrc-milter: %s%s\n", priority == LOG_ERR ? "error: " : "",
                 line.c_str());
    std::fflush(stderr);
  }
}

}  // namespace quarn::milter
