// Regular expressions of the rules language, over PCRE2 (8-bit, no UTF).
//
// `Regex` owns one compiled pattern and, where JIT compilation succeeded,
// its machine code. `MatchScratch` owns what a match needs besides the
// pattern: match data with room for 33 pairs and a JIT stack of 1 MiB. A
// match that runs out of JIT stack is retried by the interpreter, so a deep
// pattern is never read as "no match" for lack of stack.
//
// A compiled `Regex` is immutable and may be shared; a `MatchScratch` belongs
// to one thread at a time (the rule engine keeps one, used under the filter
// mutex). A match made for a fast-phrase window runs with a far lower
// match limit than the library's default (see kWindowMatchLimit).
//
// A pattern in the simple forms of literal_screen.h knows the literals its
// matches contain; the scratch's screen of a subject (see ScreenCache)
// answers "no match" without running the pattern when they cannot occur in
// it. The answers are the same as without. A pattern whose matches all
// start with one of a few literals is searched by finding those literals and
// trying the pattern only where one starts, which gives the same match as
// the library's search of every position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "filter/literal_screen.h"

namespace quarn {

// Options of `rexp`, `rexpstore` and the fast phrases.
inline constexpr std::uint32_t kRegexCaseless = PCRE2_CASELESS | PCRE2_MULTILINE | PCRE2_EXTENDED;
// Options of `rexp_case`.
inline constexpr std::uint32_t kRegexCaseSensitive = PCRE2_MULTILINE | PCRE2_EXTENDED;

// How far one match may backtrack. A fast-phrase try looks at a window of
// at most 100 characters, so a sound pattern never comes near this limit,
// while a pattern that backtracks without end gives up in microseconds
// instead of running to the library's default limit at every position.
inline constexpr std::uint32_t kWindowMatchLimit = 10000;
// How far a search of a whole text for where a fast phrase can next match
// may backtrack; a search that gives up leaves the phrase to be tried
// window by window.
inline constexpr std::uint32_t kSearchMatchLimit = 100000;

enum class MatchReach {
  kWhole,   // the library's default limit
  kWindow,  // kWindowMatchLimit
  kSearch,  // kSearchMatchLimit
};

struct RegexError {
  int offset = 0;
  std::string message;
};

class MatchScratch {
 public:
  MatchScratch();
  MatchScratch(const MatchScratch&) = delete;
  MatchScratch& operator=(const MatchScratch&) = delete;

  pcre2_match_data* data() const { return data_.get(); }
  pcre2_match_context* context(MatchReach reach = MatchReach::kWhole) const {
    switch (reach) {
      case MatchReach::kWindow:
        return window_context_.get();
      case MatchReach::kSearch:
        return search_context_.get();
      case MatchReach::kWhole:
        break;
    }
    return context_.get();
  }
  ScreenCache& screens() { return screens_; }
  // Offsets of the whole match after a successful match.
  std::size_t match_start() const;
  std::size_t match_end() const;

 private:
  struct DataFree {
    void operator()(pcre2_match_data* p) const noexcept { pcre2_match_data_free(p); }
  };
  struct ContextFree {
    void operator()(pcre2_match_context* p) const noexcept { pcre2_match_context_free(p); }
  };
  struct StackFree {
    void operator()(pcre2_jit_stack* p) const noexcept { pcre2_jit_stack_free(p); }
  };
  std::unique_ptr<pcre2_match_data, DataFree> data_;
  std::unique_ptr<pcre2_match_context, ContextFree> context_;
  std::unique_ptr<pcre2_match_context, ContextFree> window_context_;
  std::unique_ptr<pcre2_match_context, ContextFree> search_context_;
  std::unique_ptr<pcre2_jit_stack, StackFree> stack_;
  ScreenCache screens_;
};

class Regex {
 public:
  Regex() = default;

  // Compiles `pattern`; on failure the result is empty and `error` tells
  // where and why. `study` adds JIT compilation (kept only when it works).
  static Regex compile(std::string_view pattern, std::uint32_t options, bool study,
                       RegexError* error);

  bool ok() const { return code_ != nullptr; }
  bool studied() const { return studied_; }

  // kScreened: the caller has just asked may_match() of this subject, so
  // match() does not ask again.
  enum class Screening { kScreen, kScreened };

  // Matches over the whole subject from offset 0 without options: 1 on a
  // match, 0 for no match or an error (also for an empty Regex, and when
  // the match limit of `reach` was hit). Fast-phrase windows (kWindow) are
  // never screened.
  int match(std::string_view subject, MatchScratch& scratch,
            MatchReach reach = MatchReach::kWhole, Screening screening = Screening::kScreen) const;

  // Where the leftmost match in `subject` that starts at or after `from`
  // starts, within kSearchMatchLimit: kNoMatch when there is none,
  // kFailed when the search gave up (a limit, an empty Regex).
  static constexpr std::ptrdiff_t kNoMatch = -1;
  static constexpr std::ptrdiff_t kFailed = -2;
  // `stamp` as for may_match().
  std::ptrdiff_t find_from(std::string_view subject, std::size_t from, MatchScratch& scratch,
                           std::uint64_t stamp = 0) const;

  // False when the scratch's screen of `subject` shows that the pattern
  // cannot match it (match() then answers 0 without running it). `stamp`:
  // the values stamp of the message `subject` belongs to (see
  // ScreenCache::find), or 0.
  bool may_match(std::string_view subject, MatchScratch& scratch, std::uint64_t stamp = 0) const;

  // Whether a match can be seen in any stretch of text without what lies
  // around it (see PatternLiterals::context_free).
  bool context_free() const { return literals_.context_free; }

 private:
  struct CodeFree {
    void operator()(pcre2_code* p) const noexcept { pcre2_code_free(p); }
  };
  using Code = std::unique_ptr<pcre2_code, CodeFree>;
  // For a pattern whose matches all start with one of a few literals
  // (PatternLiterals::starts): a search for each literal, and the pattern
  // anchored, to be tried where a literal starts.
  struct StartSearch {
    std::vector<Code> literals;
    Code anchored;
  };

  // The library's answer, without the screen.
  int run(std::string_view subject, std::size_t from, MatchScratch& scratch,
          MatchReach reach) const;
  // One match of `code` from `from` (its machine code when studied).
  int exec(const pcre2_code* code, std::string_view subject, std::size_t from,
           MatchScratch& scratch, MatchReach reach) const;
  // The search through `starts_`; kWholeSearch when it leaves the search
  // to the library, from `plain_from`.
  static constexpr int kWholeSearch = 1 << 30;
  int run_from_starts(std::string_view subject, std::size_t from, MatchScratch& scratch,
                      MatchReach reach, std::size_t& plain_from) const;
  void prepare_starts(std::string_view pattern, std::uint32_t options, bool study);

  Code code_;
  bool studied_ = false;
  bool caseless_ = false;
  PatternLiterals literals_;  // the screen program and context_free only
  std::unique_ptr<StartSearch> starts_;
};

}  // namespace quarn
