// The table of the rules language's 37 built-in functions.
//
// Each row has a name, an argument count and two halves: the compile half
// checks and stores the arguments in the `RuleExpr` being built (header and
// flag names become indexes of the filter being compiled; patterns are
// compiled), and the run half returns the expression's signed 32-bit value
// for the message being filtered (true when non-zero). The row number is
// the function index a `RuleExpr` stores, so the order is fixed.
//
// Run halves read the message through `MessageAccess` (header values by
// header index and the message marks, supplied by the message model) and
// the state of the run (flags, spam scores, forward copies, message length,
// message text and path). `spawn` hands the message to an outside
// program (filter/spawn.h) and `report` writes the report file
// (filter/report.h).
//
// The pure helpers below (pattern lists, wildcard replace, similarity, text
// tests) hold the functions' logic and are tested alone.
//
// The table is constant and may be read from any thread; the halves run
// under the filter mutex.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "message/message_access.h"

namespace quarn {

class FilterRun;
class RuleLog;
struct RuleExpr;
struct RuleFilter;

// What a compile half works with: the filter being compiled (its name
// tables, flag expressions and fast phrases take what the arguments name)
// and the compile's loggers.
struct CompileContext {
  RuleFilter& filter;
  RuleLog& log;
};

// What a run half works with: the run (its filter, state and sinks, and
// through it the engine's loggers, timings, `rexpstore` store and match
// scratch) and the message.
struct RunContext {
  FilterRun& run;
  MessageAccess& message;
};

// args holds exactly the function's arguments, one token each.
using CompileFn = bool (*)(CompileContext& context, RuleExpr& expr,
                           std::span<const std::string> args);
using RunFn = std::int32_t (*)(RunContext& context, const RuleExpr& expr);

struct FuncEntry {
  const char* name;
  std::int32_t args;
  CompileFn compile;
  RunFn run;
};

enum BuiltinRow : std::int32_t {
  kFnConstant = 0,
  kFnRexp,
  kFnRexpCase,
  kFnInpath,
  kFnMatch,
  kFnStrcmp,
  kFnSize,
  kFnSpawn,
  kFnMatchall,
  kFnMatchone,
  kFnIsin,
  kFnIsflag,
  kFnExists,
  kFnIsbinary,
  kFnIsbinaryn,
  kFnIshtml,
  kFnIsencodedtext,
  kFnIsencodedhtml,
  kFnIsencodedurl,
  kFnIsuuencoded,
  kFnIsbase64,
  kFnIsimage,
  kFnIslocal,
  kFnLines,
  kFnAllmod,
  kFnGet,
  kFnForwardCc,
  kFnReplace,
  kFnReport,
  kFnHeadLen,
  kFnSpamdetect,
  kFnIsinc,
  kFnIssimilar,
  kFnRexpstore,
  kFnRexpFast,
  kFnRexpFastFlag,
  kFnEvalflags,
};
inline constexpr std::size_t kBuiltinCount = 37;

const std::array<FuncEntry, kBuiltinCount>& builtin_functions();

// Row of the function named exactly `name` (case-sensitive), or -1.
std::int32_t find_function(std::string_view name);

// Runs an expression's function; 0 for an index outside the table.
std::int32_t run_expr(RunContext& context, const RuleExpr& expr);

// Adds a forward copy to the run's list (`forward_cc` and the `redirect_cc`
// action): the address in angle brackets, logged on the info logger as
// "mfilter: Forwarding to (%s)\n". Returns 1.
int forward_cc_add(FilterRun& run, std::string_view address);

// ---- Pure helpers ------------------------------------------------------

// The first 99 characters of a value with CR and LF shown as '.'.
std::string shown_value(std::string_view value);

// Whole-text wildcard match: '*' any run, '?' any one character, "[...]"
// sets with ranges and '^' negation, '\' quotes the next character. Exact,
// case-sensitive (callers lower-case both sides).
bool wildcard_match(std::string_view text, std::string_view pattern);

// A text against a comma-separated pattern list: the last pattern that
// matches decides (1 for a plain pattern, 0 for one written with a leading
// '!' or '@'); 0 when none matches. Both sides are lower-cased; the text is
// cut to 990 characters and every pattern to 100.
int match_list(std::string_view text, std::string_view list);

enum class ListMatch { kAll, kSome, kNone };
// Splits the value into items at ',', '!' and '|' (empty items count; an
// empty value has none) and classifies how many match the list.
ListMatch match_items(std::string_view value, std::string_view list);

// Wildcard replace: nothing when the pattern does not match the value;
// else the replacement with %1 to %9 filled from the captures.
std::optional<std::string> wildrep(std::string_view value, std::string_view pattern,
                                   std::string_view replacement);

// 1 when the value holds `count` words in a row with the same first
// character, or `count` addresses in a row with the same first domain
// character (count below 1 reads as 5).
int issimilar_text(std::string_view value, std::string_view count_text);

// Case-insensitive containment; `isinc` first keeps only letters, digits
// and blanks of both sides.
int isin_text(std::string_view value, std::string_view text);
int isinc_text(std::string_view value, std::string_view text);

}  // namespace quarn
