// The rules-file compiler: reading statements (continuations, includes),
// variables, statement dispatch, if and call statements, actions and
// expressions.
#include "filter/rule_compiler.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

#include "filter/builtins.h"
#include "filter/rule_tokenizer.h"
#include "filter/spam_detect.h"
#include "support/file.h"
#include "support/text.h"

namespace quarn {

namespace {

// A physical line is read into 9999 characters, terminator included.
constexpr std::size_t kPhysicalLineSize = 9999;
// The joined statement holds at most 9999 characters.
constexpr std::size_t kJoinedLimit = 10000;
constexpr std::size_t kLineTextLength = 100;
constexpr std::size_t kMaxSuspendedFiles = 10;
constexpr std::size_t kAssignLimit = 9900;

constexpr const char* kStandIn = "if (0) then";

bool starts_comment(std::string_view physical) {
  const std::size_t first = physical.find_first_not_of(" \t");
  return first != std::string_view::npos && physical[first] == '#';
}

bool is_number_token(std::string_view token) {
  if (token.empty()) return false;
  if (is_ascii_digit(token[0])) return true;
  return token.size() > 1 && token[0] == '-' && is_ascii_digit(token[1]);
}

// Opens a rules file for reading as text. Only regular files are read: a
// directory would read as an empty file, and a device or pipe could block
// or never end. On failure `err` holds the reason (an errno value).
FilePtr open_rules_file(const std::string& path, int& err) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    err = errno;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  FilePtr file = open_file(path, "r");
  if (!file) err = errno;
  return file;
}

}  // namespace

RuleCompiler::RuleCompiler(RuleLog& log, int include_limit)
    : log_(log), include_limit_(include_limit) {}

std::unique_ptr<RuleFilter> RuleCompiler::compile(const std::string& path) {
  if (path.empty()) return nullptr;
  log_.imsg("Compiling %s\n", path.c_str());
  error_ = "No Error";
  line_counter_ = 0;
  tokens_.clear();
  variables_.clear();

  int err = 0;
  FilePtr current = open_rules_file(path, err);
  if (!current) {
    error_ = lprintf(kLineSize, "Can't read (%s) (%s)\n", path.c_str(),
                        system_error_text(err).c_str());
    return nullptr;
  }
  auto filter = std::make_unique<RuleFilter>();

  std::vector<FilePtr> suspended;
  int includes_opened = 0;
  std::string joined;
  std::string physical;
  for (;;) {
    // 1. Read one statement: physical lines joined by trailing backslashes.
    joined.clear();
    bool at_end = false;
    for (;;) {
      if (!read_line(current.get(), physical, kPhysicalLineSize, LineMode::kText)) {
        current.reset();
        if (suspended.empty()) {
          at_end = true;
          break;
        }
        current = std::move(suspended.back());
        suspended.pop_back();
        joined.clear();
        continue;
      }
      ++line_counter_;
      physical.resize(cstr_view(physical).size());
      if (!physical.empty() && physical.back() == '\n') physical.pop_back();
      joined += physical;
      if (!starts_comment(physical) && !joined.empty() && joined.size() < kJoinedLimit &&
          !physical.empty() && physical.back() == '\\') {
        joined.pop_back();
        continue;
      }
      break;
    }
    if (at_end) break;
    if (joined.size() >= kJoinedLimit) {
      log_.emsg("rfilter: Statement too long, line %d dropped\n", line());
      continue;
    }

    const std::string line_text(ncpy(joined, kLineTextLength));
    log_.trace("rfilter: Compile %.55s%s\n", line_text.c_str(),
               line_text.size() >= 56 ? "..." : "");

    // 2. Includes.
    if (suspended.size() < kMaxSuspendedFiles && joined.starts_with("#include ")) {
      Tokenizer pieces(joined);
      pieces.next(" \r\n");
      std::string_view target = pieces.next(" \r\n");
      if (!target.empty()) {
        if (target.front() == '"') {
          target.remove_prefix(1);
          target = target.substr(0, target.find('"'));
        }
        const std::string include_path(target);
        log_.trace("rfilter: include %.55s\n", include_path.c_str());
        if (includes_opened >= include_limit_) {
          log_.emsg("rfilter: Too many included files, line %d include %.55s ignored\n", line(),
                    include_path.c_str());
          continue;
        }
        ++includes_opened;
        int err = 0;
        FilePtr included = open_rules_file(include_path, err);
        if (included) {
          suspended.push_back(std::move(current));
          current = std::move(included);
        } else {
          log_.trace("rfilter: include  failed %.55s %s\n", include_path.c_str(),
                     system_error_text(err).c_str());
        }
        continue;
      }
    }

    if (statement(*filter, joined, physical) == Outcome::kFail) {
      variables_.clear();
      return nullptr;
    }
  }

  filter->skip_filter_flag = filter->flags.findadd("skip_filter", log_);
  filter->skip_from_flag = filter->flags.findadd("skip_from", log_);
  filter->skip_dup_flag = filter->flags.findadd("skip_dup", log_);
  variables_.clear();
  return filter;
}

RuleCompiler::Outcome RuleCompiler::statement(RuleFilter& filter, const std::string& joined,
                                              const std::string& physical) {
  const std::string line_text(ncpy(joined, kLineTextLength));
  TokenizeResult tokenized = rf_token(joined);
  if (tokenized.status == TokenizeStatus::kQuoteMissing) {
    log_.emsg("Terminating quote missing, on line %d,  %.40s\n", line(), line_text.c_str());
    return Outcome::kContinue;
  }
  if (tokenized.status == TokenizeStatus::kTooManyTokens) {
    log_.emsg("rfilter: Too many tokens, line %d dropped\n", line());
    return Outcome::kContinue;
  }
  if (tokenized.tokens.empty() || tokenized.tokens[0].text.starts_with('#')) {
    return Outcome::kContinue;
  }
  tokens_ = std::move(tokenized.tokens);
  substitute();
  tokens_ = rf_concat(std::move(tokens_));

  RuleLine rule;
  rule.line_number = line();
  rule.line_text = line_text;
  auto keep = [&] { filter.lines.push_back(std::move(rule)); };

  if (find_action(filter, 0, rule)) {
    keep();
  } else if (tok(0) == "else") {
    rule.action = A_ELSE;
    keep();
  } else if (tok(0) == "call") {
    if (!comp_call(filter, rule)) return Outcome::kFail;
    keep();
  } else if (count() == 1 && tok(0) == "end") {
    // A lone "end" closes its block like any other "end".
    rule.action = A_ENDIF;
    keep();
  } else if (count() < 2) {
    log_.emsg("Invalid statement %.40s\n", ctok(0));
  } else if (tok(1) == "=") {
    comp_assign();
  } else if (tok(0) == "if") {
    if (comp_if(filter, rule)) {
      keep();
    } else if (physical.find("then") != std::string::npos) {
      // The block still opens (and never runs) so its else and end stay paired.
      tokens_ = rf_token(kStandIn).tokens;
      rule = RuleLine{};
      rule.line_number = line();
      rule.line_text = line_text;
      comp_if(filter, rule);
      keep();
    }
  } else if (tok(0) == "end") {
    rule.action = tok(1) == "recipients" ? RECIPIENTS_END : A_ENDIF;
    keep();
  } else {
    log_.emsg("Invalid statement (%.40s)\n", ctok(0));
  }
  return Outcome::kContinue;
}

void RuleCompiler::substitute() {
  for (std::size_t i = 1; i < tokens_.size(); ++i) {
    RuleToken& token = tokens_[i];
    if (token.quoted || !token.text.starts_with('$')) continue;
    auto found = variables_.find(token.text);
    if (found == variables_.end()) {
      log_.emsg("rfilter: Undefined variable, line %d variable %.90s\n", line(),
                token.text.c_str());
    } else {
      token.text = found->second;
    }
  }
}

bool RuleCompiler::find_action(RuleFilter& filter, std::size_t pos, RuleLine& line_out) {
  const std::string& keyword = tok(pos);
  struct Keyword {
    const char* word;
    std::int32_t action;
    enum { kArgument, kNone, kFlag, kFlagValue } operands;
  };
  static constexpr Keyword kKeywords[] = {
      {"accept", A_ACCEPT, Keyword::kArgument},      {"forward", FORWARD, Keyword::kArgument},
      {"redirect", FORWARD, Keyword::kArgument},     {"redirect_cc", REDIRECT_CC, Keyword::kArgument},
      {"then", A_THEN, Keyword::kNone},              {"reject", A_REJECT, Keyword::kArgument},
      {"drop", DROP, Keyword::kArgument},            {"bounce", A_REJECT, Keyword::kArgument},
      {"recipients", RECIPIENTS, Keyword::kNone},    {"print", PRINT, Keyword::kArgument},
      {"setflag", SETFLAG, Keyword::kFlag},          {"set", SET, Keyword::kFlagValue},
      {"add", ADD, Keyword::kFlagValue},             {"sub", SUB, Keyword::kFlagValue},
      {"clearflag", CLEARFLAG, Keyword::kFlag},      {"score_one", SCORE_ONE, Keyword::kFlag},
      {"score_all", SCORE_ALL, Keyword::kFlag},
  };
  for (const Keyword& k : kKeywords) {
    if (keyword != k.word) continue;
    if (k.action == A_THEN && pos + 1 != count()) {
      log_.emsg("'then' must be the last statement on the line\n");
      return false;
    }
    line_out.action = k.action;
    switch (k.operands) {
      case Keyword::kArgument:
        line_out.argument = tok(pos + 1);
        break;
      case Keyword::kNone:
        break;
      case Keyword::kFlag:
        line_out.flag = filter.flags.findadd(tok(pos + 2), log_);
        break;
      case Keyword::kFlagValue:
        line_out.flag = filter.flags.findadd(tok(pos + 2), log_);
        line_out.value = atoi32(tok(pos + 4));
        break;
    }
    return true;
  }
  return false;
}

bool RuleCompiler::comp_if(RuleFilter& filter, RuleLine& rule) {
  std::size_t pos = 1;
  if (tok(pos) != "(") {
    log_.emsg("If must be followed by left bracket not (%.40s)\n", ctok(pos));
    rule.action = A_NONE;
    return true;
  }
  ++pos;
  for (;;) {
    if (!comp_comparisons(filter, pos, rule)) return false;
    const std::string& next = tok(pos);
    if (next != ")") {
      log_.emsg("If exp must be followed by right bracket not (%.40s)\n", next.c_str());
      rule.action = A_NONE;
      return true;
    }
    ++pos;
    if (tok(pos) != "and") break;
    ++pos;
    if (tok(pos) != "(") {
      log_.emsg("If must be followed by left bracket not (%.40s)\n", ctok(pos));
      rule.action = A_NONE;
      return true;
    }
    ++pos;
  }
  if (pos >= count()) log_.emsg("Expecting action, e.g. reject,accept,then..\n");
  if (!find_action(filter, pos, rule)) {
    log_.emsg("Unknown action (%.40s)\n", ctok(pos));
    rule.action = A_NONE;
  }
  return true;
}

bool RuleCompiler::comp_call(RuleFilter& filter, RuleLine& rule) {
  std::size_t pos = 1;
  for (;;) {
    if (!comp_comparisons(filter, pos, rule)) return false;
    if (tok(pos) != ")") break;
    ++pos;
    if (tok(pos) != "and") break;
    ++pos;
    if (tok(pos) != "(") {
      log_.emsg("If must be followed by left bracket not (%.40s)\n", ctok(pos));
      break;
    }
    ++pos;
  }
  rule.action = A_NONE;
  return true;
}

bool RuleCompiler::comp_comparisons(RuleFilter& filter, std::size_t& pos, RuleLine& rule) {
  for (;;) {
    RuleExpr expr;
    if (!comp_exp(filter, pos, expr)) return false;
    rule.exprs.push_back(std::move(expr));
    const std::string& next = tok(pos);
    if (next != "<" && next != ">" && next != "=") return true;
    rule.exprs.back().op = next == "<" ? kOpLessThan : next == ">" ? kOpGreaterThan : kOpEquals;
    ++pos;
  }
}

bool RuleCompiler::comp_exp(RuleFilter& filter, std::size_t& pos, RuleExpr& expr) {
  CompileContext context{filter, log_};
  const std::size_t start = pos;
  if (pos >= count()) {
    log_.emsg("No expression on line %d\n", line());
    return false;
  }
  if (tok(pos) == "!") {
    expr.negate = 1;
    ++pos;
    if (pos >= count()) {
      log_.emsg("Invalid expression on line %d %.90s...\n", line(), ctok(start));
      return false;
    }
  }
  const std::string& name = tok(pos);
  const std::int32_t row = find_function(name);
  if (row >= 0) {
    const FuncEntry& entry = builtin_functions()[static_cast<std::size_t>(row)];
    const auto nargs = static_cast<std::size_t>(entry.args);
    bool braces = tok(pos + 1) == "(";
    if (nargs == 0) {
      braces = braces && tok(pos + 2) == ")";
    } else {
      for (std::size_t i = 0; i < nargs && braces; ++i) {
        braces = tok(pos + 3 + 2 * i) == (i + 1 == nargs ? ")" : ",");
      }
    }
    if (!braces) {
      log_.emsg("Invalid expression braces on line %d %.90s...\n", line(), ctok(start));
      return false;
    }
    std::vector<std::string> args;
    for (std::size_t i = 0; i < nargs; ++i) args.push_back(tok(pos + 2 + 2 * i));
    if (!entry.compile(context, expr, args)) {
      log_.emsg("Cant compile expression on line %d %.90s...\n", line(), ctok(start));
      return false;
    }
    expr.func = row;
    pos += nargs == 0 ? 3 : 2 + 2 * nargs;
    return true;
  }
  if (is_number_token(name)) {
    const std::vector<std::string> args{name};
    builtin_functions()[kFnConstant].compile(context, expr, args);
    expr.func = kFnConstant;
    ++pos;
    return true;
  }
  log_.emsg("No such function (%.40s) on line %d\n", name.c_str(), line());
  log_.emsg("Invalid expression on line %d %.90s...\n", line(), ctok(start));
  return false;
}

void RuleCompiler::comp_assign() {
  substitute();
  std::string value;
  for (std::size_t i = 2; i < count();) {
    const std::string& part = tok(i);
    if (value.size() + part.size() > kAssignLimit) {
      log_.emsg("rfilter: Line too long in assign\n");
      return;
    }
    value += part;
    ++i;
    if (i < count()) {
      const RuleToken& join = tokens_[i];
      if (join.quoted || join.text != "+") {
        log_.emsg("rfilter: Missing '+' in assignment\n");
        return;
      }
      ++i;
    }
  }
  const std::string& name = tok(0);
  if (!name.starts_with('$')) {
    log_.emsg("Variable name must begin with $ (%.90s) line %d\n", name.c_str(), line());
    return;
  }
  auto [slot, added] = variables_.try_emplace(name, value);
  if (!added) {
    log_.emsg("Duplicate definition of variable (%.90s) line %d\n", name.c_str(), line());
    slot->second = value;
  }
}

}  // namespace quarn
