// The fast phrase table: weighted regular-expression phrases registered by
// the `rexp_fast` and `rexp_fast_flag` built-ins while a rules file is
// compiled, and scanned for all at once over the visible text of each
// message before the rules run.
//
// A phrase lives in the bucket of its pattern's first two characters
// (`mf_fast_hash`) and is only tried at text positions whose two characters
// fall in the same bucket, over a window of at most 100 characters from
// there. A phrase found records its score under its name in the run's
// spam-score list (and may set a flag); it is counted once per scan.
//
// A phrase whose pattern matches text regardless of what surrounds it (see
// Regex::context_free) can only match a window that holds the start of a
// match in the whole text, so the scan looks up where its next match in the
// whole text starts and tries only the windows that reach it; while every
// phrase still looked for is of that kind, the scan moves straight to the
// next such window. The phrases found, and the order in which they are
// found, are those of trying every window.
//
// Owner: each `RuleFilter` holds its own table (a compile that fails never
// touches the table of the filter in service). Between compiles only the
// hit marks change, during a scan. Used under the filter mutex.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filter/regex.h"

namespace quarn {

class FilterRun;
class RuleLog;

inline constexpr int kFastBuckets = 1000;
// Characters tried from each candidate position.
inline constexpr std::size_t kFastWindow = 100;

// Bucket 0..999 of a text's first two characters (bytes of 0x80 and above
// count as negative, as signed characters; ASCII letters fold to lower case;
// a missing character counts as 0).
int mf_fast_hash(std::string_view text);

struct FastPhrase {
  std::string pattern;
  double score = 0;
  bool hit = false;
  std::string name;
  std::int32_t flag = -1;  // flag index, or -1 for none
  Regex regex;             // empty when the pattern did not compile
  // During a scan: where the phrase's next match in the whole text starts
  // (Regex::kNoMatch, Regex::kFailed), or kNotSearched.
  static constexpr std::ptrdiff_t kNotSearched = -3;
  std::ptrdiff_t next_start = kNotSearched;
};

class FastPhraseTable {
 public:
  // Adds a phrase. 1, or 0 (and "Regular expression failed at %d in (%.40s)
  // (%.40s)\n" on the info logger) when the pattern does not compile; such a
  // phrase stays in the table and never matches.
  int add(double score, std::string_view pattern, std::string_view name,
                  std::int32_t flag_index, RuleLog& log);

  // Scans text[0, length) once (length is cut to the text's size): records
  // the score of every phrase found in the run's state, sets its
  // flag and logs "setting expression flag %s\n". Returns 1.
  int scan(std::string_view text, std::size_t length, FilterRun& run);

  void reset_hits();
  void clear();

  std::size_t size() const { return count_; }
  // Oldest first within a bucket (the scan tries the newest first).
  const std::vector<FastPhrase>& bucket(int index) const;

 private:
  // Each bucket keeps its entries oldest first; the scan walks it backwards.
  std::array<std::vector<FastPhrase>, kFastBuckets> buckets_;
  // Which character pairs lead to a bucket with phrases (bit a*256+b),
  // worked out at the first scan after a change of phrases.
  void mark_pairs();
  std::vector<std::uint64_t> pairs_;

  std::vector<int> used_buckets_;
  std::size_t count_ = 0;
};

}  // namespace quarn
