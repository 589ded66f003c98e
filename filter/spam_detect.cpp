#include "filter/spam_detect.h"

#include <algorithm>

#include "filter/filter_run.h"
#include "filter/rule_log.h"
#include "message/message_model.h"
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

SpamTotal spamdetect_total(const SpamScoreList* match, const SpamScoreList& run) {
  SpamTotal result;
  std::size_t name_characters = 0;
  auto add = [&](const SpamScore& entry) {
    if (entry.score == 0) return;
    result.total += entry.score;
    if (name_characters >= kSpamNamesLimit) return;
    if (name_characters > 0) strcatn(result.names, ",", kSpamNamesSize);
    strcatn(result.names, entry.name, kSpamNamesSize);
    name_characters += entry.name.size();
  };
  if (match != nullptr) {
    for (const SpamScore& entry : *match) add(entry);
  }
  for (const SpamScore& entry : run) add(entry);

  if (result.total > 1.0f) {
    const int stars = static_cast<int>(std::min(result.total, static_cast<float>(kSpamMaxStars)));
    result.header = strprintf("X-SpamDetect: %s: %f %.400s", std::string(stars, '*').c_str(),
                              static_cast<double>(result.total), result.names.c_str());
  }
  return result;
}

float rf_spamdetect_do(FilterRun& run, const SpamScoreList* match) {
  const SpamTotal result = spamdetect_total(match, run.state().scores);
  if (!result.header.empty()) {
    constexpr std::size_t kNameLength = 14;  // "X-SpamDetect: "
    run.engine().spamdetect_result() =
        std::string(ncpy(std::string_view(result.header).substr(kNameLength), kSpamResultLimit));
    if (run.sinks().add_header) {
      run.sinks().add_header(result.header);
    } else {
      run.model().add_header(result.header);
    }
  }
  run.log().imsg("spam: %f %s\n", static_cast<double>(result.total), result.names.c_str());
  return result.total;
}

void rf_spamdetect_free(FilterRun& run) { run.state().scores.clear(); }

std::string cleanstr(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (is_ascii_alpha(c) || is_ascii_digit(c) || c == ' ') out.push_back(c);
  }
  return out;
}

}  // namespace quarn
