// The compiled rules file: `RuleFilter` with its lines (`RuleLine`), their
// condition chains (`RuleExpr`) and the two name tables, plus the flag
// expressions and fast phrases its compile registered.
//
// A filter is built by `RuleCompiler::compile` and is read-only afterwards,
// except that header and flag names may be added during runs (a run
// registers the names the model and the phrase scan set in its own filter)
// and the fast phrases' hit marks change during a scan.
//
// Owner: whoever holds the unique_ptr (the filter service for the filter in
// service). Used under the filter mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filter/fast_phrases.h"
#include "filter/flag_expr.h"
#include "filter/regex.h"
#include "message/message_access.h"

namespace quarn {

class RuleLog;

// Action codes of a compiled line.
enum RuleAction : std::int32_t {
  A_NONE = 0,
  A_ACCEPT = 1,
  A_REJECT = 2,
  A_THEN = 3,
  A_ELSE = 4,
  A_ENDIF = 5,
  SETFLAG = 6,
  CLEARFLAG = 7,
  PRINT = 8,
  SET = 9,
  ADD = 10,
  SUB = 11,
  SCORE_ONE = 12,
  SCORE_ALL = 13,
  RECIPIENTS = 14,
  RECIPIENTS_END = 15,
  FORWARD = 16,
  CALL = 17,
  DROP = 18,
  REDIRECT_CC = 19,
};
inline constexpr int kActionCount = 20;

// Operators linking an expression to the next one of its chain.
enum RuleOperator : std::int32_t {
  kOpAnd = 0,
  kOpLessThan = 1,
  kOpGreaterThan = 2,
  kOpEquals = 3,
};
inline constexpr int kOperatorCount = 4;

// Trace names: "A_NONE" ... "REDIRECT_CC"; "and", "lessthan", "greaterthan",
// "equals". Codes outside the tables read as "UNKNOWN".
const char* action_name(std::int32_t action);
const char* operator_name(std::int32_t op);

inline constexpr std::size_t kMaxFlags = 300;
// Room kept free in each name table: at most 91 header and 291 flag names.
inline constexpr std::size_t kNameTableReserve = 10;
inline constexpr std::size_t kMaxNameLength = 100;

// A header or flag name as the tables keep it: cut to 100 characters,
// lower-cased, cut at its first ':'.
std::string normalize_name(std::string_view name);

class NameTable {
 public:
  // `full_message` is logged (without a line end) when a name does not fit.
  NameTable(std::size_t capacity, const char* full_message)
      : capacity_(capacity), full_message_(full_message) {}

  // Index of the name, adding it when new; 0 when the table is full.
  std::int32_t findadd(std::string_view name, RuleLog& log);
  // Index of an already normalised name, or -1.
  std::int32_t find(std::string_view normalized) const;

  std::size_t size() const { return names_.size(); }
  std::size_t capacity() const { return capacity_; }
  const std::string& name(std::size_t index) const { return names_[index]; }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::size_t capacity_;
  const char* full_message_;
  std::vector<std::string> names_;
  std::unordered_map<std::string, std::int32_t> index_;
};

struct RuleExpr {
  std::int32_t func = -1;      // row of the built-in function table
  std::int32_t op = kOpAnd;    // links this expression to the next
  std::int32_t number = 0;     // header, flag or expression index, number, threshold
  std::int32_t negate = 0;     // written with a leading "!"
  std::optional<std::string> text1;  // pattern, text, address, command
  std::optional<std::string> text2;  // replacement, store name, second text
  Regex regex;                 // compiled pattern (with its JIT code), or empty
};

struct RuleLine {
  std::int32_t action = A_NONE;
  std::int32_t line_number = 0;      // physical line counter when the statement was complete
  std::int32_t flag = 0;             // SETFLAG, CLEARFLAG, SET, ADD, SUB, SCORE_ONE, SCORE_ALL
  std::int32_t value = 0;            // SET, ADD, SUB
  std::optional<std::string> argument;  // the token after the action keyword
  std::string line_text;             // first 100 characters of the statement
  std::vector<RuleExpr> exprs;       // the condition, in chain order; empty: unconditional
};

struct RuleFilter {
  RuleFilter()
      : headers(kMaxHeaders, "Too many different headers in rules file"),
        flags(kMaxFlags, "Too many different flags in rules file") {}
  RuleFilter(const RuleFilter&) = delete;
  RuleFilter& operator=(const RuleFilter&) = delete;

  std::vector<RuleLine> lines;  // file order
  NameTable headers;
  NameTable flags;
  FlagExprRegistry expressions;
  FastPhraseTable phrases;
  // Flags queried after a run (skip_filter(), skip_from(), skip_dup()).
  std::int32_t skip_filter_flag = -1;
  std::int32_t skip_from_flag = -1;
  std::int32_t skip_dup_flag = -1;
  // Compiled from a rules file the update server sent: spawn() starts only
  // the programs the settings allow.
  bool downloaded = false;
};

}  // namespace quarn
