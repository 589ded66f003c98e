// Screened matching against the library's own answer: a pattern (up to the
// first NUL) and a subject (the rest, repeated to a screened length) must
// match alike, at the same offsets, with and without the literal screen and
// the search by start literals, from the start and from a third of the way;
// and a context-free pattern found in a stretch of the subject must be found
// by a search of the whole subject from that stretch's start. The first
// byte chooses the case rule and whether the pattern gets machine code.
#include <cstdint>
#include <string>
#include <string_view>

#include "filter/regex.h"

namespace {

// The library's answer for the pattern, compiled and matched directly from
// `from`: 1 with the match's offsets, 0 for no match, -1 when the pattern
// does not compile.
struct Answer {
  int rc = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

Answer library_match(std::string_view pattern, std::uint32_t options, std::string_view subject,
                     std::size_t from) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()),
                                       pattern.size(), options, &code, &offset, nullptr);
  if (compiled == nullptr) return {-1};
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(compiled, nullptr);
  const int rc = pcre2_match(compiled, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                             subject.size(), from, 0, data, nullptr);
  Answer answer{rc >= 0 ? 1 : 0};
  if (rc >= 0) {
    answer.start = pcre2_get_ovector_pointer(data)[0];
    answer.end = pcre2_get_ovector_pointer(data)[1];
  }
  pcre2_match_data_free(data);
  pcre2_code_free(compiled);
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t options = (data[0] & 1) != 0 ? quarn::kRegexCaseless : quarn::kRegexCaseSensitive;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t cut = input.find('\0');
  if (cut == std::string_view::npos) return 0;
  const std::string_view pattern = input.substr(0, cut);
  std::string subject(input.substr(cut + 1));
  if (subject.empty()) return 0;
  while (subject.size() < quarn::ScreenCache::kMinSubject) subject += subject;

  const quarn::Regex regex = quarn::Regex::compile(pattern, options, (data[0] & 2) != 0, nullptr);
  if (!regex.ok()) return 0;
  quarn::MatchScratch scratch;
  quarn::MatchScratch plain;
  const Answer expected = library_match(pattern, options, subject, 0);
  // Both looks are screened (a subject of 4 KB or more from the second);
  // a match found through the literals matches start with is the library's.
  for (int look = 0; look < 2; ++look) {
    if (regex.match(subject, scratch) != expected.rc) __builtin_trap();
    if (expected.rc == 1 &&
        (scratch.match_start() != expected.start || scratch.match_end() != expected.end)) {
      __builtin_trap();
    }
  }
  const std::size_t from = subject.size() / 3;
  const Answer later = library_match(pattern, options, subject, from);
  const std::ptrdiff_t found = regex.find_from(subject, from, scratch);
  if (found != quarn::Regex::kFailed &&
      found != (later.rc == 1 ? static_cast<std::ptrdiff_t>(later.start) : quarn::Regex::kNoMatch)) {
    __builtin_trap();
  }
  if (regex.context_free()) {
    const std::string_view stretch = std::string_view(subject).substr(3, 100);
    if (regex.match(stretch, plain, quarn::MatchReach::kWhole) == 1) {
      const std::ptrdiff_t start = regex.find_from(subject, 3, scratch);
      if (start == quarn::Regex::kNoMatch || start > 3 + 100) __builtin_trap();
    }
  }
  return 0;
}
