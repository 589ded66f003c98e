#include "feed/feed_log.h"

#include <cstdarg>
#include <ctime>
#include <string>

#include "support/text.h"

namespace quarn::feed {

void FeedLog::write(const char* fmt, ...) {
  char text[2048];
  std::va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  // A control character from a request can never end the line.
  const std::string line = log_escaped(text);
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::lock_guard<std::mutex> hold(mutex_);
  std::fprintf(out_, "%s quarncrc-feed: %s\n", stamp, line.c_str());
  std::fflush(out_);
}

}  // namespace quarn::feed
