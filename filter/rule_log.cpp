#include "filter/rule_log.h"

#include "support/log.h"
#include "support/text.h"

namespace quarn {
namespace {

// Texts are formatted whole; the log cuts what it cannot hold (and says so).
constexpr std::size_t kFormatLimit = 1 << 20;

}  // namespace

RuleLogger debug_hook_logger(Log& log) {
  return [&log](const std::string& text) { log.hook("%s", text.c_str()); };
}

void RuleLog::write(const RuleLogger& logger, const char* fmt, std::va_list args) {
  if (!logger) return;
  std::string text;
  vlprintf(text, kFormatLimit, fmt, args);
  logger(text);
}

#define QUARN_RULE_LOG(logger)   \
  std::va_list args;             \
  va_start(args, fmt);           \
  write(logger, fmt, args);      \
  va_end(args)

void RuleLog::emsg(const char* fmt, ...) { QUARN_RULE_LOG(error_); }
void RuleLog::imsg(const char* fmt, ...) { QUARN_RULE_LOG(info_); }
void RuleLog::trace(const char* fmt, ...) {
  if (!trace_) return;
  QUARN_RULE_LOG(error_);
}

#undef QUARN_RULE_LOG

}  // namespace quarn
