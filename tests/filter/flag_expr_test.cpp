#include <gtest/gtest.h>

#include <map>

#include "filter/flag_expr.h"
#include "filter/rule_log.h"

namespace quarn {
namespace {

// A flag table for the tests: names get indexes in order of first use.
struct Flags {
  std::map<std::string, std::int32_t, std::less<>> index;
  std::vector<std::int32_t> values = std::vector<std::int32_t>(300, 0);

  FlagLookup lookup() {
    return [this](std::string_view name) {
      std::string key(name);
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto [it, added] = index.try_emplace(key, static_cast<std::int32_t>(index.size()));
      return it->second;
    };
  }
  void set(const std::string& name, int value) { values[lookup()(name)] = value; }
};

TEST(ParseExpr, AcceptsWellFormedTexts) {
  const char* valid[] = {"A",       "!A",          "A && B",      "A || !B",   "(A)",
                         "!(A||B)", "((A))",       "(A && (B",    "A&&B||C",   " \tA ",
                         "_X9",     "!!A",         "(A) && (B)",  "HIGH_CAPS && !FROMEQTO"};
  for (const char* text : valid) {
    Flags flags;
    EXPECT_TRUE(parse_expr(text, flags.lookup())) << text;
  }
  const char* invalid[] = {"",      "   ",    "a",      "A B",   "A)",    "(A))",
                           ")A",    "&& A",   "A &&",   "A ||",  "A & B", "A | B",
                           "A (B)", "(A) B",  "A !B",   "()",    "!",     "(",
                           "((A)",  "A-B",    "high_caps"};
  for (const char* text : invalid) {
    Flags flags;
    EXPECT_FALSE(parse_expr(text, flags.lookup())) << text;
  }
}

TEST(ParseExpr, NamesAreRegisteredLowerCase) {
  Flags flags;
  auto tokens = parse_expr("HIGH_CAPS && !FROMEQTO", flags.lookup());
  ASSERT_TRUE(tokens);
  ASSERT_EQ(tokens->size(), 4u);
  EXPECT_EQ((*tokens)[0].kind, ExprTokenKind::kName);
  EXPECT_EQ((*tokens)[0].flag, flags.index.at("high_caps"));
  EXPECT_EQ((*tokens)[1].kind, ExprTokenKind::kAnd);
  EXPECT_EQ((*tokens)[2].kind, ExprTokenKind::kNot);
  EXPECT_EQ((*tokens)[3].flag, flags.index.at("fromeqto"));
}

TEST(EvalExpr, EqualPrecedenceLeftToRight) {
  struct Case {
    const char* text;
    int a, b, c;
    int result;
  };
  const Case cases[] = {
      {"A || B && C", 1, 0, 0, 0},   // (A || B) && C
      {"A || (B && C)", 1, 0, 0, 1},
      {"A && B || C", 0, 1, 1, 1},
      {"!A", 0, 0, 0, 1},
      {"!!A", 1, 0, 0, 1},
      {"!(A || B)", 0, 0, 1, 1},
      {"!(A || B) && C", 0, 0, 1, 1},
      {"(A && (B", 1, 1, 0, 1},      // open brackets close at the end
      {"(A && (B || C", 1, 0, 0, 0},
      {"C && !(A && B)", 1, 1, 1, 0},
      {"((((A))))", 1, 0, 0, 1},
  };
  for (const Case& c : cases) {
    Flags flags;
    flags.set("a", c.a);
    flags.set("b", c.b);
    flags.set("c", c.c);
    auto tokens = parse_expr(c.text, flags.lookup());
    ASSERT_TRUE(tokens) << c.text;
    EXPECT_EQ(rf_expr_evalsub(*tokens, flags.values), c.result) << c.text;
  }
}

TEST(EvalExpr, AnyNonZeroValueIsTrue) {
  Flags flags;
  flags.set("level", -4);
  auto tokens = parse_expr("LEVEL", flags.lookup());
  ASSERT_TRUE(tokens);
  EXPECT_EQ(rf_expr_evalsub(*tokens, flags.values), 1);
  // A flag index outside the values reads as 0.
  EXPECT_EQ(rf_expr_evalsub(ExprTokens{{ExprTokenKind::kName, 500}}, flags.values), 0);
}

TEST(EvalExpr, DeepNestingNeedsNoStack) {
  Flags flags;
  flags.set("a", 1);
  const std::string text = std::string(200000, '(') + "A";
  auto tokens = parse_expr(text, flags.lookup());
  ASSERT_TRUE(tokens);
  EXPECT_EQ(rf_expr_evalsub(*tokens, flags.values), 1);
  const std::string negated = std::string(100001, '!') + "A";
  tokens = parse_expr(negated, flags.lookup());
  ASSERT_TRUE(tokens);
  EXPECT_EQ(rf_expr_evalsub(*tokens, flags.values), 0);
}

TEST(FlagExprRegistry, RegistersOnceAndNumbersInOrder) {
  Flags flags;
  RuleLog log;
  std::vector<std::string> errors;
  log.set_error_logger([&](const std::string& t) { errors.push_back(t); });
  FlagExprRegistry registry;
  EXPECT_EQ(registry.findadd("A && B", flags.lookup(), log), 0);
  EXPECT_EQ(registry.findadd("C", flags.lookup(), log), 1);
  EXPECT_EQ(registry.findadd("A && B", flags.lookup(), log), 0);
  EXPECT_EQ(registry.findadd("A &&  B", flags.lookup(), log), 2);  // exact text
  EXPECT_EQ(registry.findadd("a && b", flags.lookup(), log), -1);
  EXPECT_EQ(registry.findadd("", flags.lookup(), log), -1);
  EXPECT_EQ(errors, (std::vector<std::string>{"Bad expression: a && b\n", "Bad expression: \n"}));
  EXPECT_EQ(registry.entries().size(), 3u);

  flags.set("a", 1);
  flags.set("b", 1);
  EXPECT_EQ(registry.eval(0, flags.values), 1);
  EXPECT_EQ(registry.eval(1, flags.values), 0);
  EXPECT_EQ(registry.eval(-1, flags.values), 0);
  EXPECT_EQ(registry.eval(3, flags.values), 0);
}

}  // namespace
}  // namespace quarn
