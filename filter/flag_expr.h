// Flag expressions: boolean formulas over flag names such as
// "HIGH_CAPS && !FROMEQTO", registered by the `evalflags` built-in while a
// rules file is compiled and evaluated against the run's flag values.
//
// Syntax: names start with "_" or "A"-"Z" and continue over "_", "A"-"Z"
// and "0"-"9" (a name is registered in the flag table lower-cased, so
// HIGH_CAPS reads the flag high_caps); "(" ")" "!" "||" "&&"; blanks and tabs
// between tokens. Operators have equal precedence and apply left to right
// (A || B && C is (A || B) && C); brackets left open close at the end.
//
// Owner: each `RuleFilter` holds its own registry, so a compile that fails
// never touches the registry of the filter in service. Used under the filter
// mutex.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarn {

class RuleLog;

enum class ExprTokenKind : std::int32_t {
  kOpen = 0,
  kClose = 1,
  kOr = 2,
  kAnd = 3,
  kName = 4,
  kNot = 5,
};

struct ExprToken {
  ExprTokenKind kind = ExprTokenKind::kName;
  std::int32_t flag = -1;  // flag index, for a name
};

using ExprTokens = std::vector<ExprToken>;

// Registers a flag name in the filter being compiled and returns its index.
using FlagLookup = std::function<std::int32_t(std::string_view name)>;

// Tokenizes and validates; nothing for an invalid text. Names met before
// the first invalid character are registered through `findadd` either way.
std::optional<ExprTokens> parse_expr(std::string_view text, const FlagLookup& findadd);

// 1 when the token sequence is well formed, else 0.
int check_expr(const ExprTokens& tokens);

// Evaluates a token sequence against the flag values (a flag is true when
// its value is non-zero; an index outside `flags` reads as 0). Never
// recurses, so deeply nested brackets cannot exhaust the stack.
int rf_expr_evalsub(const ExprTokens& tokens, std::span<const std::int32_t> flags);

class FlagExprRegistry {
 public:
  struct Entry {
    std::string text;
    std::int32_t number = 0;
    ExprTokens tokens;
  };

  // The number of the expression `text`, registering it when new; -1 (and
  // "Bad expression: %s\n" on the error logger) when it does not parse.
  std::int32_t findadd(std::string_view text, const FlagLookup& findadd, RuleLog& log);

  // 1 or 0; 0 for a negative or unregistered number.
  int eval(std::int32_t number, std::span<const std::int32_t> flags) const;

  // In registration order (entry i has number i).
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::int32_t> by_text_;
};

}  // namespace quarn
