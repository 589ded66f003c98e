#include "filter/regex.h"

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
  }
  return regex;
}

bool Regex::may_match(std::string_view subject, MatchScratch& scratch) const {
  if (literals_.clauses.empty()) return true;
  const SubjectScreen* screen = scratch.screens().find(subject, caseless_);
  return screen == nullptr || screen->may_match(literals_);
}

int Regex::run(std::string_view subject, std::size_t from, MatchScratch& scratch,
               MatchReach reach) const {
  const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.empty() ? "" : subject.data());
  // Studied patterns go straight to their machine code.
  int rc = studied_ ? pcre2_jit_match(code_.get(), text, subject.size(), from, 0, scratch.data(),
                                      scratch.context(reach))
                    : pcre2_match(code_.get(), text, subject.size(), from, 0, scratch.data(),
                                  scratch.context(reach));
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code_.get(), text, subject.size(), from, PCRE2_NO_JIT, scratch.data(),
                     scratch.context(reach));
  }
  return rc;
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
                                MatchScratch& scratch) const {
  if (!code_ || scratch.data() == nullptr || from > subject.size()) return kFailed;
  if (!may_match(subject, scratch)) return kNoMatch;
  const int rc = run(subject, from, scratch, MatchReach::kSearch);
  if (rc == PCRE2_ERROR_NOMATCH) return kNoMatch;
  if (rc < 0) return kFailed;
  return static_cast<std::ptrdiff_t>(scratch.match_start());
}

}  // namespace quarn
