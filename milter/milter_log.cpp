#include "milter/milter_log.h"

#include <cstdio>
#include <syslog.h>

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
  std::string line;
  for (const char* p = raw; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      line += hex;
    } else {
      line += static_cast<char>(c);
    }
  }
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
