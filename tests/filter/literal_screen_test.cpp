#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/literal_screen.h"
#include "filter/regex.h"

namespace quarn::testing {
namespace {

using Clauses = std::vector<std::vector<std::string>>;

TEST(AnalysePattern, RequiredLiteralsAndContext) {
  struct Case {
    std::string pattern;
    bool caseless;
    Clauses clauses;
    bool context_free;
  };
  const Case cases[] = {
      {"click\\s+here", true, {{"click"}, {"here"}}, true},
      {"\\bFree\\s+Money\\b", true, {{"free"}, {"money"}}, false},
      {"Viagra", false, {{"Viagra"}}, true},
      {"remove\\s+me|to\\s+be\\s+removed|unsubscribe", true,
       {{"remove", "removed", "unsubscribe"}}, true},
      {"(urgent|act\\s+now)", true, {{"urgent", "act"}}, true},
      {"(abc)?xyz", true, {{"xyz"}}, true},           // an optional group requires nothing
      {"abcd?e", true, {{"abc"}}, true},              // nor does an optional character
      {"ab+cde{2}", true, {}, true},                  // "ab", "cd": too short
      {"x{2,}ab\\.cd", true, {{"ab.cd"}}, true},
      {"_{20,}|X{3}", true, {{"________", "xxx"}}, true},  // a character repeated in a row
      {"(?:abc|de)fgh", true, {{"fgh"}}, true},        // "de" is too short for a clause
      {"(?=abc)def", true, {{"def"}}, false},
      {"^abc$", true, {{"abc"}}, false},
      {"abc++def", true, {{"abc"}, {"def"}}, false},  // possessive
      {"a|bcd", true, {}, true},
      {"abc def", true, {}, false},                   // blanks of the extended syntax
      {"abc#def", true, {}, false},
      {"(?i)abc", true, {}, false},
      {"(abc)\\1", true, {}, false},
      {"\\x41bcd", true, {}, false},
      {"[[:alpha:]]abcd", true, {}, false},
      {"[]abc]def", true, {{"def"}}, true},
  };
  for (const Case& c : cases) {
    const PatternLiterals got = analyse_pattern(c.pattern, c.caseless);
    EXPECT_EQ(got.clauses, c.clauses) << c.pattern;
    EXPECT_EQ(got.context_free, c.context_free) << c.pattern;
  }
}

// Over subjects seen more than once, screened answers are those of
// the library, and a rewritten buffer at the same address is not judged by
// the screen of its old content.
TEST(LiteralScreen, AnswersAsTheLibraryDoes) {
  std::string text;
  while (text.size() < 2000) text += "Nothing to see here, dear reader; move along now. ";
  std::string with_offer = text + "Act NOW for 100% free access!";
  const char* patterns[] = {"act\\s+now", "free\\s+access", "dear\\s+(friend|reader)",
                            "\\bviagra\\b", "(urgent|act\\s+now)", "(abc)?along",
                            "ACT\\s+NOW"};
  MatchScratch scratch;
  for (const char* pattern : patterns) {
    for (const std::uint32_t options : {kRegexCaseless, kRegexCaseSensitive}) {
      const Regex regex = Regex::compile(pattern, options, true, nullptr);
      const Regex unscreened = Regex::compile(pattern, options | PCRE2_DOLLAR_ENDONLY, true, nullptr);
      ASSERT_TRUE(regex.ok() && unscreened.ok()) << pattern;
      for (std::string* subject : {&text, &with_offer, &text, &with_offer}) {
        EXPECT_EQ(regex.match(*subject, scratch), unscreened.match(*subject, scratch))
            << pattern << " " << subject->size();
      }
    }
  }
  const Regex offer = Regex::compile("free\\s+access", kRegexCaseless, true, nullptr);
  std::string buffer = text;
  EXPECT_EQ(offer.match(buffer, scratch), 0);
  EXPECT_EQ(offer.match(buffer, scratch), 0);
  EXPECT_FALSE(offer.may_match(buffer, scratch));
  buffer.replace(100, 11, "free access");
  EXPECT_EQ(offer.match(buffer, scratch), 1);
}

TEST(LiteralScreen, SearchFindsTheLeftmostStart) {
  MatchScratch scratch;
  const Regex regex = Regex::compile("click\\s+here", kRegexCaseless, true, nullptr);
  ASSERT_TRUE(regex.context_free());
  const std::string text = "click here, then CLICK  HERE again";
  EXPECT_EQ(regex.find_from(text, 0, scratch), 0);
  EXPECT_EQ(regex.find_from(text, 1, scratch), 17);
  EXPECT_EQ(regex.find_from(text, 18, scratch), Regex::kNoMatch);
}

}  // namespace
}  // namespace quarn::testing
