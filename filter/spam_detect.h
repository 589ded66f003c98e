// The run's named spam scores: recording a score (`rf_spamdetect`, behind
// the `spamdetect` built-in and the fast phrase scan), totalling them at the
// end of an accepted run into the "X-SpamDetect:" header line
// (`rf_spamdetect_do`), and the text cleaning of the `isinc` built-in
// (`cleanstr`).
//
// A name is recorded once per run: a later score for the same name
// (compared ignoring ASCII case) replaces the earlier one, also with 0; a
// new name with a score of 0 records nothing. New names go to the front of
// the list (newest first).
//
// Owner: the list is the filter run's (`FilterRun`); used under the filter
// mutex.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "signature/spam_score.h"

namespace quarn {

class FilterRun;
class RuleLog;

// Records `score` under `name`; a new entry logs "runspamdetect %f (%s)\n" on
// the info logger. Returns 1.
int rf_spamdetect(SpamScoreList& scores, float score, std::string_view name, RuleLog& log);

// Names listed in the total stop once their lengths reach this many
// characters (the scores still count).
inline constexpr std::size_t kSpamNamesLimit = 100;
// The names text is built in a buffer of this size (so a long name is cut
// at 999 characters); the header shows at most 400 of it.
inline constexpr std::size_t kSpamNamesSize = 1000;
// Most stars the header shows.
inline constexpr int kSpamMaxStars = 30;
// `spamdetect_result` holds at most this many characters.
inline constexpr std::size_t kSpamResultLimit = 199;

// The total of a signature-match list and a run's list.
struct SpamTotal {
  float total = 0;
  // The names of the entries with a non-zero score, newest first, joined by
  // ",", while their lengths add up to less than 100.
  std::string names;
  // "X-SpamDetect: <stars>: <total> <names>" when the total is above 1.0
  // (one "*" per whole point, at most 30), else empty.
  std::string header;
};

// Adds up `match` (may be null), then `run`, head first; entries of score 0
// are passed over. Pure.
SpamTotal spamdetect_total(const SpamScoreList* match, const SpamScoreList& run);

// Totals `match` and the run's own list. Above 1.0 the header line goes to
// the run's add-header sink, or without one is added through the model
// (`add_header`) for the rewrite, and its text after "X-SpamDetect: " (at
// most 199 characters) becomes the engine's `spamdetect_result()`. Logs "spam: %f %s\n" (total, names) on the
// info logger in every case. Returns the total. Called by the interpreter
// when a run ends with the message accepted.
float rf_spamdetect_do(FilterRun& run, const SpamScoreList* match);

// Empties the run's list (at the end of every run).
void rf_spamdetect_free(FilterRun& run);

// The letters "A"-"Z" and "a"-"z", the digits and the blanks of `text`, in
// order.
std::string cleanstr(std::string_view text);

}  // namespace quarn
