// The run's named spam scores: recording a score (`rf_spamdetect`, behind
// the `spamdetect` built-in and the fast phrase scan) and the text cleaning
// of the `isinc` built-in (`cleanstr`).
//
// A name is recorded once per run: a later score for the same name
// (compared ignoring ASCII case) replaces the earlier one, also with 0; a
// new name with a score of 0 records nothing. New names go to the front of
// the list (newest first).
//
// Owner: the list is the rule engine's run state; used under the filter
// mutex.
#pragma once

#include <string>
#include <string_view>

#include "signature/spam_score.h"

namespace quarn {

class RuleLog;

// Records `score` under `name`; a new entry logs "runspamdetect %f (%s)\n" on
// the info logger. Returns 1.
int rf_spamdetect(SpamScoreList& scores, float score, std::string_view name, RuleLog& log);

// The letters "A"-"Z" and "a"-"z", the digits and the blanks of `text`, in
// order.
std::string cleanstr(std::string_view text);

}  // namespace quarn
