#include <gtest/gtest.h>

#include "filter/rule_tokenizer.h"

namespace quarn {
namespace {

// Tokens shown as text, quoted ones in [brackets].
std::string show(const std::vector<RuleToken>& tokens) {
  std::string out;
  for (const auto& t : tokens) {
    if (!out.empty()) out += "|";
    out += t.quoted ? "[" + t.text + "]" : t.text;
  }
  return out;
}

TEST(RfToken, SplitsStatementsIntoTokens) {
  struct Case {
    std::string line;
    std::string tokens;
  };
  const Case cases[] = {
      {"if(rexp(subject,x))", "if|(|rexp|(|subject|,|x|)|)"},
      {"  a\tb\r\nc  ", "a|b|c"},
      {"a!=b", "a|!|=|b"},
      {"x<>y+z", "x|<|>|y|+|z"},
      {"\"a b\" c", "[a b]|c"},
      {"\"\"", "[]"},
      {"\"say \\\"hi\\\"\"", "[say \"hi\"]"},
      {"\"a\\rb\\nc\\\\d\\qe\"", "[a\rb\nc\\d\\qe]"},
      {"abc\"def\"", "abc\"def\""},
      {"\"a\"b", "[a]|b"},
      {"\"(\"", "[(]"},
      {"", ""},
      {" \t\r\n", ""},
  };
  for (const Case& c : cases) {
    TokenizeResult r = rf_token(c.line);
    EXPECT_EQ(r.status, TokenizeStatus::kOk) << c.line;
    EXPECT_EQ(show(r.tokens), c.tokens) << c.line;
  }
}

TEST(RfToken, QuoteEndsOnlyAtUnescapedQuote) {
  // The closing quote is the first one not preceded by a backslash.
  EXPECT_EQ(show(rf_token("\"a\\\\\" b\"").tokens), "[a\\\" b]");
  EXPECT_EQ(rf_token("\"open").status, TokenizeStatus::kQuoteMissing);
  EXPECT_EQ(rf_token("a \"b\\\"").status, TokenizeStatus::kQuoteMissing);
}

TEST(RfToken, HoldsAtMostAThousandTokens) {
  std::string line;
  for (int i = 0; i < 1000; ++i) line += "( ";
  TokenizeResult fits = rf_token(line);
  EXPECT_EQ(fits.status, TokenizeStatus::kOk);
  EXPECT_EQ(fits.tokens.size(), 1000u);
  EXPECT_EQ(rf_token(line + "x").status, TokenizeStatus::kTooManyTokens);
  EXPECT_EQ(rf_token(line + "   ").status, TokenizeStatus::kOk);
}

TEST(RfConcat, JoinsRunsOfPlusTokens) {
  struct Case {
    std::string line;
    std::string tokens;
  };
  const Case cases[] = {
      {"a + b + c", "abc"},
      {"x a + b y", "x|ab|y"},
      {"+ a", "+|a"},
      {"a +", "a|+"},
      {"a + + b", "a+|b"},
      {"\"$a\" + b", "[$ab]"},
      {"a + \"$b\"", "a$b"},
      {"a \"+\" b", "a|[+]|b"},
      {"rexp(body, a + b)", "rexp|(|body|,|ab|)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(rf_concat(rf_token(c.line).tokens)), c.tokens) << c.line;
  }
}

}  // namespace
}  // namespace quarn
