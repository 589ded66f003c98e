// The rules-file compiler: one object per compile, owning the statement
// being read (its tokens), the variables, the line counter and the error
// text. It reads statements (continuations, includes), substitutes
// variables and compiles if and call statements, actions and expressions
// into a new `RuleFilter`. `RuleEngine::rfilter_compile` runs one and keeps
// its error text and line count for the engine's callers.
//
// Used by one thread at a time, with the engine it was given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "filter/rule_engine.h"
#include "filter/rule_filter.h"

namespace quarn {

class RuleCompiler {
 public:
  // Names are registered in the filter being compiled, which is the
  // engine's current filter while the compile runs (and stays current after
  // a successful one). `include_limit` is the most files the compile may
  // open through "#include". `line_counter` counts the physical lines read
  // (across included files) as they are read, so a logger called during the
  // compile can tell the line; it must outlive the compiler.
  RuleCompiler(RuleEngine& engine, int include_limit, std::int32_t& line_counter);
  RuleCompiler(const RuleCompiler&) = delete;
  RuleCompiler& operator=(const RuleCompiler&) = delete;

  // Compiles a rules file; null for an empty path, a file that cannot be
  // opened (error() tells why) or a failed `call` statement.
  std::unique_ptr<RuleFilter> compile(const std::string& path);
  // "No Error", or "Can't read (%s) (%s)\n" after a file that did not open.
  const std::string& error() const { return error_; }

 private:
  enum class Outcome { kContinue, kFail };

  Outcome statement(RuleFilter& filter, const std::string& joined, const std::string& physical);
  void substitute();
  bool find_action(std::size_t pos, RuleLine& line);
  bool comp_if(RuleLine& line);
  bool comp_call(RuleLine& line);
  // Expressions joined by comparison operators (< > =) from `pos`; false
  // when one of them fails to compile.
  bool comp_comparisons(std::size_t& pos, RuleLine& rule);
  bool comp_exp(std::size_t& pos, RuleExpr& expr);
  void comp_assign();

  std::size_t count() const { return tokens_.size(); }
  const std::string& tok(std::size_t index) const {
    return index < tokens_.size() ? tokens_[index].text : null_token_;
  }
  const char* ctok(std::size_t index) const { return tok(index).c_str(); }
  std::int32_t line() const { return line_counter_; }

  RuleEngine& e_;
  RuleLog& log_;
  const int include_limit_;
  const std::string null_token_ = "(NULL_TOKEN)";
  std::string error_ = "No Error";
  std::int32_t& line_counter_;
  // The tokens of the statement being compiled.
  std::vector<RuleToken> tokens_;
  std::unordered_map<std::string, std::string> variables_;
};

}  // namespace quarn
