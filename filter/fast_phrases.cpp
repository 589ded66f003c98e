#include "filter/fast_phrases.h"

#include <algorithm>
#include <cstdlib>

#include "filter/filter_run.h"
#include "filter/rule_log.h"
#include "message/message_model.h"
#include "support/text.h"

namespace quarn {
namespace {

int hash_pair(char first, char second) {
  const int c0 = static_cast<signed char>(ascii_lower(first));
  const int c1 = static_cast<signed char>(ascii_lower(second));
  return std::abs(c0 + 256 * c1) % kFastBuckets;
}

// Notes where the run's budget ran out. Returns 1, the scan's answer.
int spent(RunState& state, const FastPhrase& phrase) {
  state.budget_spent_at =
      lprintf(kLineSize, "phrase %.90s (%.90s)", phrase.name.c_str(), phrase.pattern.c_str());
  return 1;
}

}  // namespace

int mf_fast_hash(std::string_view text) {
  const char first = text.empty() ? '\0' : text[0];
  const char second = text.size() < 2 ? '\0' : text[1];
  return hash_pair(first, second);
}

int FastPhraseTable::add(double score, std::string_view pattern, std::string_view name,
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
  pairs_.clear();
  if (!compiled) {
    const std::string shown(pattern);
    log.imsg("Regular expression failed at %d in (%.40s) (%.40s)\n", error.offset, shown.c_str(),
             error.message.c_str());
    return 0;
  }
  return 1;
}

int FastPhraseTable::scan(std::string_view text, std::size_t length, FilterRun& run) {
  reset_hits();
  length = std::min(length, text.size());
  if (count_ == 0 || length < 2) return 1;
  std::size_t left = count_;
  const std::string_view whole = text.substr(0, length);
  if (pairs_.empty()) mark_pairs();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  MatchScratch& scratch = run.engine().scratch();
  const std::uint64_t stamp = run.model().values_stamp();
  RunState& state = run.state();

  // Context-free phrases are looked up in the whole text at once. While
  // every phrase still looked for is of that kind, the scan jumps to the
  // first position whose window can reach one's next match; a phrase whose
  // next match has been passed is looked up again from where the scan
  // stands (it could be tried no earlier than at the next position of its
  // bucket, and a lookup from there finds the same match or a later one).
  std::size_t blocking = 0;  // phrases tried at every position of their bucket
  for (int index : used_buckets_) {
    for (FastPhrase& phrase : buckets_[static_cast<std::size_t>(index)]) {
      if (!phrase.regex.ok()) continue;
      if (!phrase.regex.context_free()) {
        ++blocking;
        continue;
      }
      phrase.next_start = phrase.regex.find_from(whole, 0, scratch, stamp);
      if (state.over_budget()) return spent(state, phrase);
      if (phrase.next_start == Regex::kFailed) ++blocking;
    }
  }
  constexpr std::size_t kNowhere = std::string_view::npos;
  bool dirty = true;
  std::size_t nearest = kNowhere;  // the nearest next match of a phrase looked for
  std::size_t resume = 0;          // where the scan may go on
  // Brings `nearest` and `resume` up to date at position p; false when the
  // budget ran out (noted).
  auto plan = [&](std::size_t p) {
    nearest = kNowhere;
    for (int index : used_buckets_) {
      for (FastPhrase& phrase : buckets_[static_cast<std::size_t>(index)]) {
        if (phrase.hit || !phrase.regex.ok() || phrase.next_start < 0) continue;
        if (static_cast<std::size_t>(phrase.next_start) < p) {
          phrase.next_start = phrase.regex.find_from(whole, p, scratch, stamp);
          if (state.over_budget()) {
            spent(state, phrase);
            return false;
          }
          if (phrase.next_start == Regex::kFailed) ++blocking;
          if (phrase.next_start < 0) continue;
        }
        nearest = std::min(nearest, static_cast<std::size_t>(phrase.next_start));
      }
    }
    resume = nearest == kNowhere ? kNowhere : nearest - std::min(nearest, kFastWindow);
    dirty = false;
    return true;
  };

  for (std::size_t p = 0; p + 1 < length && left > 0; ++p) {
    if (blocking == 0) {
      if (dirty || (nearest != kNowhere && p > nearest)) {
        if (!plan(p)) return 1;
      }
      if (blocking == 0) {
        if (resume == kNowhere) break;
        if (resume > p) {
          p = resume;
          if (p + 1 >= length) break;
        }
      }
    }
    const unsigned pair = static_cast<unsigned>(bytes[p]) << 8 | bytes[p + 1];
    if ((pairs_[pair >> 6] >> (pair & 63) & 1) == 0) continue;
    auto& bucket = buckets_[static_cast<std::size_t>(hash_pair(text[p], text[p + 1]))];
    const std::string_view window = text.substr(p, std::min(kFastWindow, length - p));
    for (auto it = bucket.rbegin(); it != bucket.rend(); ++it) {
      FastPhrase& phrase = *it;
      if (phrase.hit || !phrase.regex.ok()) continue;
      if (phrase.regex.context_free()) {
        if (phrase.next_start == FastPhrase::kNotSearched ||
            (phrase.next_start >= 0 && static_cast<std::size_t>(phrase.next_start) < p)) {
          phrase.next_start = phrase.regex.find_from(whole, p, scratch, stamp);
          if (state.over_budget()) return spent(state, phrase);
          if (phrase.next_start == Regex::kFailed) ++blocking;
          dirty = true;
        }
        if (phrase.next_start == Regex::kNoMatch) continue;
        if (phrase.next_start >= 0 &&
            static_cast<std::size_t>(phrase.next_start) > p + window.size()) {
          continue;
        }
      }
      const int matched = phrase.regex.match(window, scratch, MatchReach::kWindow);
      if (state.over_budget()) return spent(state, phrase);
      if (matched == 0) continue;
      run.add_score(static_cast<float>(phrase.score), phrase.name);
      if (phrase.flag >= 0) {
        run.set_flag(phrase.flag, 1);
        const std::string flag_name(run.flag_name(phrase.flag));
        run.log().imsg("setting expression flag %s\n", flag_name.c_str());
      }
      phrase.hit = true;
      dirty = true;
      --left;
    }
  }
  return 1;
}

void FastPhraseTable::reset_hits() {
  for (int index : used_buckets_) {
    for (FastPhrase& phrase : buckets_[static_cast<std::size_t>(index)]) {
      phrase.hit = false;
      phrase.next_start = FastPhrase::kNotSearched;
    }
  }
}

void FastPhraseTable::mark_pairs() {
  pairs_.assign(65536 / 64, 0);
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const int bucket = hash_pair(static_cast<char>(a), static_cast<char>(b));
      if (buckets_[static_cast<std::size_t>(bucket)].empty()) continue;
      const unsigned pair = a << 8 | b;
      pairs_[pair >> 6] |= std::uint64_t{1} << (pair & 63);
    }
  }
}

void FastPhraseTable::clear() {
  for (int index : used_buckets_) buckets_[static_cast<std::size_t>(index)].clear();
  used_buckets_.clear();
  count_ = 0;
  pairs_.clear();
}

const std::vector<FastPhrase>& FastPhraseTable::bucket(int index) const {
  return buckets_.at(static_cast<std::size_t>(index));
}

}  // namespace quarn
