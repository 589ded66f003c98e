// The rules-file compiler: one object per compile (or several in a row),
// owning the statement being read (its tokens), the variables, the line
// counter and the error text. It reads statements (continuations,
// includes), substitutes variables and compiles if and call statements,
// actions and expressions into a new `RuleFilter`, registering the names
// they use in that filter.
//
// The rules file format (filter.dat and the files it includes), read as text
// (a CR before an LF is dropped), one statement per line:
//
//   - physical lines of at most 9998 characters (a longer line is read in
//     pieces, each counted as a line); a line ending in '\' continues on
//     the next one (joined without a blank) unless its first non-blank
//     character is '#'; a statement may not exceed 9999 characters or 1000
//     tokens (it is logged and dropped);
//   - "#include <path>" at column one reads another file in place (at most
//     10 files suspended); any other line starting with '#' is a comment;
//   - tokens are separated by blanks and tabs; ( ) ! , < > = + are tokens of
//     their own; "..." quotes a token (\" \r \n \\ are escapes);
//   - $name = part + part ...  defines a variable; $name tokens of later
//     lines are replaced by its value; a + b joins two tokens into one;
//   - if (expr [op expr ...]) [and (...)] action  |  call expr [op expr ...]
//     | action  |  else  |  end  |  end recipients; op is < > =; an
//     expression is [!]function(arg, ...) or a number; actions: accept,
//     reject, bounce, drop, print <text>, forward, redirect, redirect_cc
//     <address>, then, recipients, setflag, clearflag, score_one,
//     score_all (name), set, add, sub (name, number).
//
//
// Used by one thread at a time; the loggers it was given must outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "filter/rule_filter.h"
#include "filter/rule_log.h"
#include "filter/rule_tokenizer.h"

namespace quarn {

// Most files one compile may open through "#include" by default (a file
// that includes itself several times would otherwise take exponential time).
inline constexpr int kIncludeLimit = 1000;

class RuleCompiler {
 public:
  // `include_limit` is the most files one compile may open through
  // "#include".
  explicit RuleCompiler(RuleLog& log, int include_limit = kIncludeLimit);
  RuleCompiler(const RuleCompiler&) = delete;
  RuleCompiler& operator=(const RuleCompiler&) = delete;

  // Compiles a rules file; null for an empty path, a file that cannot be
  // opened (error() tells why) or a failed `call` statement. An empty path
  // leaves the error text and line count of the last compile.
  std::unique_ptr<RuleFilter> compile(const std::string& path);
  // "No Error", or "Can't read (%s) (%s)\n" after a file that did not open.
  const std::string& error() const { return error_; }
  // The physical lines read by the compile (across included files), counted
  // as they are read, so a logger called during the compile can tell the
  // line.
  std::int32_t line_counter() const { return line_counter_; }

 private:
  enum class Outcome { kContinue, kFail };

  // Names the statement uses are registered in `filter`, the filter being
  // compiled.
  Outcome statement(RuleFilter& filter, const std::string& joined, const std::string& physical);
  void substitute();
  bool find_action(RuleFilter& filter, std::size_t pos, RuleLine& line);
  bool comp_if(RuleFilter& filter, RuleLine& line);
  bool comp_call(RuleFilter& filter, RuleLine& line);
  // Expressions joined by comparison operators (< > =) from `pos`; false
  // when one of them fails to compile.
  bool comp_comparisons(RuleFilter& filter, std::size_t& pos, RuleLine& rule);
  bool comp_exp(RuleFilter& filter, std::size_t& pos, RuleExpr& expr);
  void comp_assign();

  std::size_t count() const { return tokens_.size(); }
  const std::string& tok(std::size_t index) const {
    return index < tokens_.size() ? tokens_[index].text : null_token_;
  }
  const char* ctok(std::size_t index) const { return tok(index).c_str(); }
  std::int32_t line() const { return line_counter_; }

  RuleLog& log_;
  const int include_limit_;
  const std::string null_token_ = "(NULL_TOKEN)";
  std::string error_ = "No Error";
  std::int32_t line_counter_ = 0;
  // The tokens of the statement being compiled.
  std::vector<RuleToken> tokens_;
  std::unordered_map<std::string, std::string> variables_;
};

}  // namespace quarn
