#include "filter/regex.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quarn {
namespace {

constexpr std::uint32_t kMatchPairs = 33;
constexpr std::size_t kJitStackStart = 32 * 1024;
constexpr std::size_t kJitStackMax = 1024 * 1024;

}  // namespace

MatchScratch::MatchScratch()
    : data_(pcre2_match_data_create(kMatchPairs, nullptr)),
      context_(pcre2_match_context_create(nullptr)),
      window_context_(pcre2_match_context_create(nullptr)),
      search_context_(pcre2_match_context_create(nullptr)),
      stack_(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
  if (context_ && stack_) pcre2_jit_stack_assign(context_.get(), nullptr, stack_.get());
  if (window_context_) {
    if (stack_) pcre2_jit_stack_assign(window_context_.get(), nullptr, stack_.get());
    pcre2_set_match_limit(window_context_.get(), kWindowMatchLimit);
  }
  if (search_context_) {
    if (stack_) pcre2_jit_stack_assign(search_context_.get(), nullptr, stack_.get());
    pcre2_set_match_limit(search_context_.get(), kSearchMatchLimit);
  }
}

std::size_t MatchScratch::match_start() const {
  return pcre2_get_ovector_pointer(data_.get())[0];
}

std::size_t MatchScratch::match_end() const {
  return pcre2_get_ovector_pointer(data_.get())[1];
}

Regex Regex::compile(std::string_view pattern, std::uint32_t options, bool study,
                     RegexError* error) {
  Regex regex;
  int code = 0;
  PCRE2_SIZE offset = 0;
  regex.code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                  options, &code, &offset, nullptr));
  if (!regex.code_) {
    if (error != nullptr) {
      PCRE2_UCHAR text[256];
      if (pcre2_get_error_message(code, text, sizeof text) < 0) text[0] = 0;
      error->offset = static_cast<int>(offset);
      error->message = reinterpret_cast<const char*>(text);
    }
    return regex;
  }
  if (study) regex.studied_ = pcre2_jit_compile(regex.code_.get(), PCRE2_JIT_COMPLETE) == 0;
  regex.caseless_ = (options & PCRE2_CASELESS) != 0;
  // The reading of the pattern assumes the extended syntax (blanks and '#'
  // make it give up) and no options that change what a literal matches.
  constexpr std::uint32_t kKnown = PCRE2_CASELESS | PCRE2_MULTILINE | PCRE2_EXTENDED;
  if ((options & PCRE2_EXTENDED) != 0 && (options & ~kKnown) == 0) {
    regex.literals_ = analyse_pattern(pattern, regex.caseless_);
    if (!regex.literals_.starts.empty()) regex.prepare_starts(pattern, options, study);
    // Matching reads the clauses as the screen program only.
    regex.literals_.clauses = {};
    regex.literals_.starts = {};
  }
  return regex;
}

void Regex::prepare_starts(std::string_view pattern, std::uint32_t options, bool study) {
  auto compiled = [study](std::string_view text, std::uint32_t with) -> Code {
    int code = 0;
    PCRE2_SIZE offset = 0;
    Code out(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), with, &code,
                           &offset, nullptr));
    if (out && study && pcre2_jit_compile(out.get(), PCRE2_JIT_COMPLETE) != 0) out.reset();
    return out;
  };
  auto search = std::make_unique<StartSearch>();
  search->anchored = compiled(pattern, options | PCRE2_ANCHORED);
  if (!search->anchored) return;
  for (const std::string& literal : literals_.starts) {
    std::string escaped;
    for (char c : literal) {
      if (!std::isalnum(static_cast<unsigned char>(c))) escaped.push_back('\\');
      escaped.push_back(c);
    }
    search->literals.push_back(compiled(escaped, options & PCRE2_CASELESS));
    if (!search->literals.back()) return;
  }
  starts_ = std::move(search);
}

bool Regex::may_match(std::string_view subject, MatchScratch& scratch,
                      std::uint64_t stamp) const {
  if (literals_.screen_program.empty()) return true;
  const SubjectScreen* screen = scratch.screens().find(subject, stamp);
  return screen == nullptr || screen->may_match(literals_);
}

int Regex::exec(const pcre2_code* code, std::string_view subject, std::size_t from,
                MatchScratch& scratch, MatchReach reach) const {
  const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.empty() ? "" : subject.data());
  // Studied patterns go straight to their machine code.
  int rc = studied_ ? pcre2_jit_match(code, text, subject.size(), from, 0, scratch.data(),
                                      scratch.context(reach))
                    : pcre2_match(code, text, subject.size(), from, 0, scratch.data(),
                                  scratch.context(reach));
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code, text, subject.size(), from, PCRE2_NO_JIT, scratch.data(),
                     scratch.context(reach));
  }
  return rc;
}

int Regex::run(std::string_view subject, std::size_t from, MatchScratch& scratch,
               MatchReach reach) const {
  // A window or a short text is searched faster by the library alone.
  constexpr std::size_t kLongText = 256;
  if (starts_ && reach != MatchReach::kWindow && subject.size() >= from + kLongText) {
    std::size_t plain_from = from;
    const int rc = run_from_starts(subject, from, scratch, reach, plain_from);
    if (rc != kWholeSearch) return rc;
    from = plain_from;
  }
  return exec(code_.get(), subject, from, scratch, reach);
}

// Every match starts where one of the literals does, and the library's
// search tries each position in turn: so trying the anchored pattern at each
// place a literal starts, nearest first, finds the same match. (A match
// limit applies to each position the search tries, so the tries hit it
// where the search would.) A try that fails with an error, or literals so
// frequent that trying each costs more than the library's search, hand the
// search back: from the start, or from the first place not yet tried.
int Regex::run_from_starts(std::string_view subject, std::size_t from, MatchScratch& scratch,
                           MatchReach reach, std::size_t& plain_from) const {
  constexpr std::size_t kNone = std::string_view::npos;
  const std::size_t count = starts_->literals.size();
  std::array<std::size_t, kMaxStartLiterals> next{};
  // The next place literal `i` starts at or after `at`; false on an error.
  auto find = [&](std::size_t i, std::size_t at) {
    next[i] = kNone;
    if (at > subject.size()) return true;
    const int rc = exec(starts_->literals[i].get(), subject, at, scratch, MatchReach::kWhole);
    if (rc >= 0) next[i] = scratch.match_start();
    return rc >= 0 || rc == PCRE2_ERROR_NOMATCH;
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (!find(i, from)) return kWholeSearch;
  }
  // A try costs about as much as the library's search of 64 characters.
  std::size_t tries_left = 16 + (subject.size() - from) / 64;
  for (;;) {
    const std::size_t at = *std::min_element(next.begin(), next.begin() + count);
    if (at == kNone) return PCRE2_ERROR_NOMATCH;
    if (tries_left-- == 0) {
      plain_from = at;
      return kWholeSearch;
    }
    const int rc = exec(starts_->anchored.get(), subject, at, scratch, reach);
    if (rc != PCRE2_ERROR_NOMATCH) return rc >= 0 ? rc : kWholeSearch;
    for (std::size_t i = 0; i < count; ++i) {
      if (next[i] == at && !find(i, at + 1)) return kWholeSearch;
    }
  }
}

int Regex::match(std::string_view subject, MatchScratch& scratch, MatchReach reach,
                 Screening screening) const {
  if (!code_ || scratch.data() == nullptr) return 0;
  // Windows of the fast phrase scan are new text every time: not screened.
  if (screening == Screening::kScreen && reach != MatchReach::kWindow &&
      !may_match(subject, scratch)) {
    return 0;
  }
  return run(subject, 0, scratch, reach) >= 0 ? 1 : 0;
}

std::ptrdiff_t Regex::find_from(std::string_view subject, std::size_t from,
                                MatchScratch& scratch, std::uint64_t stamp) const {
  if (!code_ || scratch.data() == nullptr || from > subject.size()) return kFailed;
  if (!may_match(subject, scratch, stamp)) return kNoMatch;
  const int rc = run(subject, from, scratch, MatchReach::kSearch);
  if (rc == PCRE2_ERROR_NOMATCH) return kNoMatch;
  if (rc < 0) return kFailed;
  return static_cast<std::ptrdiff_t>(scratch.match_start());
}

}  // namespace quarn
