#include <gtest/gtest.h>

#include <string>
#include <utility>
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

TEST(AnalysePattern, LiteralsMatchesStartWith) {
  using Starts = std::vector<std::string>;
  const std::pair<std::string, Starts> cases[] = {
      {"(urgent|immediate(ly)?|act\\s+now|Don'?t\\s+delay)", {"urgent", "immediate", "act", "don"}},
      {"\\b(porn|cocks?|teens?)\\b", {"porn", "cock", "teen"}},
      {"^(abuse|postmaster)@", {"abuse", "postmaster"}},
      {"abc+|xyz", {"abc", "xyz"}},
      {"Free|FREE", {}},               // one literal: the library finds it alone
      {"remove|to\\s+be", {}},        // "to" is too short
      {"(abc)?def|xyz", {}},           // an optional group
      {"x{3}abc|xyz", {}},             // a repeated character
      {"(?=abc)abc|xyz", {}},          // a lookahead
      {"\\Gabc|xyz", {}},              // where the search starts matters
  };
  for (const auto& [pattern, starts] : cases) {
    EXPECT_EQ(analyse_pattern(pattern, true).starts, starts) << pattern;
  }
  EXPECT_EQ(analyse_pattern("Viagra|Cialis", false).starts, (Starts{"Viagra", "Cialis"}));
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

  // Under a stamp the buffer is known by its address until the stamp
  // changes; a new stamp brings the content compare back.
  buffer = text;
  EXPECT_FALSE(offer.may_match(buffer, scratch, 7));
  EXPECT_FALSE(offer.may_match(buffer, scratch, 7));
  buffer.replace(100, 11, "free access");
  EXPECT_TRUE(offer.may_match(buffer, scratch, 8));
}

// A pattern searched through the literals its matches start with finds the
// library's own match (start and end) from any offset, also when the
// literals are so frequent that the search is handed back to the library.
TEST(LiteralScreen, StartLiteralSearchFindsTheLibrarysMatch) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += i % 7 == 0 ? "contact us, don't wait; " : "act on facts and acts ";
  text += "ACT  NOW or don't delay, Immediately!";
  const std::string sparse = std::string(3000, '-') + "xx Don't delay, act now; post" + text.substr(0, 40);
  const std::string close = "actact now, acts, ffacts wait, dondon't delay" + std::string(3000, '-');
  const char* patterns[] = {"(urgent|immediate(ly)?|act\\s+now|don'?t\\s+delay)",
                            "\\b(act|fact)s\\b", "(act|don).{0,6}(now|wait|delay)",
                            "^(contact|post)\\b"};
  MatchScratch scratch;
  for (const char* pattern : patterns) {
    for (const std::uint32_t options : {kRegexCaseless, kRegexCaseSensitive}) {
      const Regex regex = Regex::compile(pattern, options, true, nullptr);
      const Regex plain = Regex::compile(pattern, options | PCRE2_DOLLAR_ENDONLY, true, nullptr);
      ASSERT_TRUE(regex.ok() && plain.ok()) << pattern;
      for (const std::string* subject : {&std::as_const(text), &sparse, &close}) {
        for (const std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{3000},
                                       subject->size() - 30, subject->size()}) {
          const std::ptrdiff_t want = plain.find_from(*subject, from, scratch);
          const std::size_t want_end = scratch.match_end();
          EXPECT_EQ(regex.find_from(*subject, from, scratch), want) << pattern << " " << from;
          if (want >= 0) {
            EXPECT_EQ(scratch.match_end(), want_end) << pattern << " " << from;
          }
        }
      }
    }
  }
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
