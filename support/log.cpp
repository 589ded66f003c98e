#include "support/log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "support/text.h"
#include "support/thread.h"

namespace quarn {
namespace {

constexpr std::size_t kPathLimit = 300;

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::kError: return "Err";
    case LogLevel::kInfo: return "Info";
    case LogLevel::kDebug: return "dbg";
  }
  return "dbg";
}

}  // namespace

std::string log_stamp(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    return std::string(std::string_view("badtimebadtimebadtime").substr(8, 11));
  }
  return lprintf(16, "%2d %02d:%02d:%02d", local.tm_mday, local.tm_hour, local.tm_min,
                 local.tm_sec);
}

Log::Log(std::FILE* console) : console_(console) {}

int Log::vlog(LogLevel level, const char* fmt, std::va_list args) {
  std::string text;
  if (vlprintf(text, kLineSize, fmt, args)) {
    write(LogLevel::kError, "FATAL, INMSG ERROR TOO LONG\n");
  }
  write(level, text);
  return 0;
}

#define QUARN_LOG_BODY(level)     \
  std::va_list args;              \
  va_start(args, fmt);            \
  vlog(level, fmt, args);         \
  va_end(args);                   \
  return 0

int Log::emsg(const char* fmt, ...) { QUARN_LOG_BODY(LogLevel::kError); }
int Log::imsg(const char* fmt, ...) { QUARN_LOG_BODY(LogLevel::kInfo); }
int Log::dmsg(const char* fmt, ...) { QUARN_LOG_BODY(LogLevel::kDebug); }

int Log::hook(const char* fmt, ...) {
  if (!hook_on_) return 0;
  QUARN_LOG_BODY(LogLevel::kDebug);
}

#undef QUARN_LOG_BODY

void Log::write(LogLevel level, std::string_view text) {
  MutexHold hold(&mutex_, wait_limit_ms_);  // a time-out is not reported: write anyway
  write_locked(level, text);
}

void Log::write_locked(LogLevel level, std::string_view text) {
  if (limit_ != 0 && file_ && size_bound_ > limit_) {
    auto st = stat_file(path_);
    size_bound_ = st ? st->size : 0;
    if (size_bound_ > limit_) reopen();
  }
  const std::time_t now = std::time(nullptr);
  if (now != stamp_time_) {
    stamp_ = log_stamp(now);
    stamp_time_ = now;
  }
  if (!file_) {
    std::fwrite(text.data(), 1, text.size(), console_);
    std::fflush(console_);
    return;
  }
  std::string prefix = show_thread_ ? lprintf(32, "t=%d ", th_id()) : std::string();
  int head = std::fprintf(file_.get(), "%s:%s:%s ", stamp_.c_str(), level_name(level),
                          prefix.c_str());
  std::fwrite(text.data(), 1, text.size(), file_.get());
  size_bound_ += std::max(head, 0) + static_cast<std::int64_t>(text.size());
  if (level == LogLevel::kError || flush_) std::fflush(file_.get());
  if (debug_echo_ || (print_errors_ && level == LogLevel::kError)) {
    std::fwrite(text.data(), 1, text.size(), console_);
  }
}

int Log::set_size_limit(std::int32_t limit) {
  MutexHold hold(&mutex_, wait_limit_ms_);
  limit_ = limit;
  return 1;
}

int Log::open(std::string_view path) {
  MutexHold hold(&mutex_, wait_limit_ms_);
  path_ = std::string(ncpy(path, kPathLimit));
  return open_locked(limit_ != 0 ? "w" : "a");
}

int Log::reopen() {
  MutexHold hold(&mutex_, wait_limit_ms_);
  return open_locked("w");
}

int Log::open_locked(const char* mode) {
  file_.reset();
  file_ = open_file(path_, mode);
  if (!file_) {
    std::fprintf(stderr, "%s: %s\n", path_.c_str(), std::strerror(errno));
    return 0;
  }
  auto st = stat_file(path_);
  size_bound_ = st ? st->size : 0;
  return 1;
}

void Log::close() {
  MutexHold hold(&mutex_, wait_limit_ms_);
  file_.reset();
}

void Log::flush() {
  MutexHold hold(&mutex_, wait_limit_ms_);
  if (file_) std::fflush(file_.get());
}

std::string Log::path() const {
  MutexHold hold(&mutex_, wait_limit_ms_);
  return path_;
}

}  // namespace quarn
