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
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

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

enum class MatchReach {
  kWhole,   // the library's default limit
  kWindow,  // kWindowMatchLimit
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
    return reach == MatchReach::kWindow ? window_context_.get() : context_.get();
  }
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
  std::unique_ptr<pcre2_jit_stack, StackFree> stack_;
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

  // Matches over the whole subject from offset 0 without options: 1 on a
  // match, 0 for no match or an error (also for an empty Regex, and when
  // the match limit of `reach` was hit).
  int match(std::string_view subject, MatchScratch& scratch,
            MatchReach reach = MatchReach::kWhole) const;

 private:
  struct CodeFree {
    void operator()(pcre2_code* p) const noexcept { pcre2_code_free(p); }
  };
  std::unique_ptr<pcre2_code, CodeFree> code_;
  bool studied_ = false;
};

}  // namespace quarn
