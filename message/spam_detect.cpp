#include "message/spam_detect.h"

#include "filter/rule_log.h"
#include "support/text.h"

namespace quarn {

int rf_spamdetect(SpamScoreList& scores, float score, std::string_view name, RuleLog& log) {
  for (SpamScore& entry : scores) {
    if (mystrcmpnc(entry.name, name) == 0) {
      entry.score = score;
      return 1;
    }
  }
  if (score == 0) return 1;
  const std::string copy(name);
  log.imsg("runspamdetect %f (%s)\n", static_cast<double>(score), copy.c_str());
  scores.push_front(SpamScore{score, copy});
  return 1;
}

std::string cleanstr(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (is_ascii_alpha(c) || is_ascii_digit(c) || c == ' ') out.push_back(c);
  }
  return out;
}

}  // namespace quarn
