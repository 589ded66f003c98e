#include "filter/fast_phrases.h"

#include <algorithm>
#include <cstdlib>

#include "filter/filter_run.h"
#include "filter/rule_log.h"
#include "support/text.h"

namespace quarn {
namespace {

int hash_pair(char first, char second) {
  const int c0 = static_cast<signed char>(ascii_lower(first));
  const int c1 = static_cast<signed char>(ascii_lower(second));
  return std::abs(c0 + 256 * c1) % kFastBuckets;
}

}  // namespace

int mf_fast_hash(std::string_view text) {
  const char first = text.empty() ? '\0' : text[0];
  const char second = text.size() < 2 ? '\0' : text[1];
  return hash_pair(first, second);
}

int FastPhraseTable::mf_fast_add(double score, std::string_view pattern, std::string_view name,
                                 std::int32_t flag_index, RuleLog& log) {
  FastPhrase phrase;
  phrase.pattern = std::string(pattern);
  phrase.score = score;
  phrase.flag = flag_index;
  phrase.name = std::string(name);
  RegexError error;
  phrase.regex = Regex::compile(pattern, kRegexCaseless, true, &error);
  const bool compiled = phrase.regex.ok();
  const int bucket = mf_fast_hash(pattern);
  if (buckets_[static_cast<std::size_t>(bucket)].empty()) used_buckets_.push_back(bucket);
  buckets_[static_cast<std::size_t>(bucket)].push_back(std::move(phrase));
  ++count_;
  if (!compiled) {
    const std::string shown(pattern);
    log.imsg("Regular expression failed at %d in (%.40s) (%.40s)\n", error.offset, shown.c_str(),
             error.message.c_str());
    return 0;
  }
  return 1;
}

int FastPhraseTable::mf_fast_scan(std::string_view text, std::size_t length, FilterRun& run) {
  mf_fast_clear();
  length = std::min(length, text.size());
  if (count_ == 0 || length < 2) return 1;
  MatchScratch& scratch = run.engine().scratch();
  RunState& state = run.state();
  std::size_t left = count_;
  for (std::size_t p = 0; p + 1 < length && left > 0; ++p) {
    auto& bucket = buckets_[static_cast<std::size_t>(hash_pair(text[p], text[p + 1]))];
    if (bucket.empty()) continue;
    const std::string_view window = text.substr(p, std::min(kFastWindow, length - p));
    for (auto it = bucket.rbegin(); it != bucket.rend(); ++it) {
      FastPhrase& phrase = *it;
      if (phrase.hit || !phrase.regex.ok()) continue;
      const int matched = phrase.regex.match(window, scratch, MatchReach::kWindow);
      if (state.over_budget()) {
        state.budget_spent_at =
            lprintf(kLineSize, "phrase %.90s (%.90s)", phrase.name.c_str(), phrase.pattern.c_str());
        return 1;
      }
      if (matched == 0) continue;
      run.add_score(static_cast<float>(phrase.score), phrase.name);
      if (phrase.flag >= 0) {
        run.set_flag(phrase.flag, 1);
        const std::string flag_name(run.flag_name(phrase.flag));
        run.log().imsg("setting expression flag %s\n", flag_name.c_str());
      }
      phrase.hit = true;
      --left;
    }
  }
  return 1;
}

void FastPhraseTable::mf_fast_clear() {
  for (int index : used_buckets_) {
    for (FastPhrase& phrase : buckets_[static_cast<std::size_t>(index)]) phrase.hit = false;
  }
}

void FastPhraseTable::mf_fast_free() {
  for (int index : used_buckets_) buckets_[static_cast<std::size_t>(index)].clear();
  used_buckets_.clear();
  count_ = 0;
}

const std::vector<FastPhrase>& FastPhraseTable::bucket(int index) const {
  return buckets_.at(static_cast<std::size_t>(index));
}

}  // namespace quarn
