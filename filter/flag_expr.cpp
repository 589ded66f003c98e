#include "filter/flag_expr.h"

#include "filter/rule_log.h"

namespace quarn {
namespace {

bool is_name_start(char c) { return c == '_' || (c >= 'A' && c <= 'Z'); }
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

bool is_operator(ExprTokenKind k) { return k == ExprTokenKind::kOr || k == ExprTokenKind::kAnd; }

}  // namespace

std::optional<ExprTokens> parse_expr(std::string_view text, const FlagLookup& findadd) {
  ExprTokens tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      ++i;
    } else if (c == '(') {
      tokens.push_back({ExprTokenKind::kOpen, -1});
      ++i;
    } else if (c == ')') {
      tokens.push_back({ExprTokenKind::kClose, -1});
      ++i;
    } else if (c == '!') {
      tokens.push_back({ExprTokenKind::kNot, -1});
      ++i;
    } else if (text.substr(i, 2) == "||") {
      tokens.push_back({ExprTokenKind::kOr, -1});
      i += 2;
    } else if (text.substr(i, 2) == "&&") {
      tokens.push_back({ExprTokenKind::kAnd, -1});
      i += 2;
    } else if (is_name_start(c)) {
      std::size_t end = i + 1;
      while (end < text.size() && is_name_char(text[end])) ++end;
      tokens.push_back({ExprTokenKind::kName, findadd(text.substr(i, end - i))});
      i = end;
    } else {
      return std::nullopt;
    }
  }
  if (check_expr(tokens) == 0) return std::nullopt;
  return tokens;
}

int check_expr(const ExprTokens& tokens) {
  if (tokens.empty()) return 0;
  const ExprTokenKind first = tokens.front().kind;
  if (first == ExprTokenKind::kClose || is_operator(first)) return 0;
  int depth = 0;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const ExprTokenKind kind = tokens[i].kind;
    if (kind == ExprTokenKind::kOpen) ++depth;
    if (kind == ExprTokenKind::kClose && --depth < 0) return 0;
    if (i + 1 == tokens.size()) break;
    const ExprTokenKind next = tokens[i + 1].kind;
    const bool wants_operand =
        kind == ExprTokenKind::kOpen || is_operator(kind) || kind == ExprTokenKind::kNot;
    if (wants_operand && (is_operator(next) || next == ExprTokenKind::kClose)) return 0;
    const bool has_operand = kind == ExprTokenKind::kClose || kind == ExprTokenKind::kName;
    if (has_operand && (next == ExprTokenKind::kOpen || next == ExprTokenKind::kName ||
                        next == ExprTokenKind::kNot)) {
      return 0;
    }
  }
  const ExprTokenKind last = tokens.back().kind;
  return (last == ExprTokenKind::kName || (last == ExprTokenKind::kClose && depth == 0)) ? 1 : 0;
}

int rf_expr_evalsub(const ExprTokens& tokens, std::span<const std::int32_t> flags) {
  // One level per open bracket: its value so far, the operator waiting for
  // the next operand, and whether a "!" stood before the bracket.
  struct Level {
    bool has_value = false;
    int value = 0;
    ExprTokenKind op = ExprTokenKind::kAnd;
    bool negated = false;
  };
  std::vector<Level> levels(1);
  auto combine = [](Level& level, int operand) {
    if (!level.has_value) {
      level.value = operand;
      level.has_value = true;
    } else if (level.op == ExprTokenKind::kOr) {
      level.value = level.value | operand;
    } else {
      level.value = level.value & operand;
    }
  };
  auto close_level = [&]() {
    Level done = levels.back();
    levels.pop_back();
    combine(levels.back(), done.negated ? !done.value : done.value);
  };
  bool negate = false;
  for (const ExprToken& token : tokens) {
    switch (token.kind) {
      case ExprTokenKind::kNot:
        negate = !negate;
        break;
      case ExprTokenKind::kName: {
        const bool known = token.flag >= 0 && static_cast<std::size_t>(token.flag) < flags.size();
        const int value = known && flags[static_cast<std::size_t>(token.flag)] != 0 ? 1 : 0;
        combine(levels.back(), negate ? !value : value);
        negate = false;
        break;
      }
      case ExprTokenKind::kOpen:
        levels.push_back(Level{false, 0, ExprTokenKind::kAnd, negate});
        negate = false;
        break;
      case ExprTokenKind::kClose:
        // A closing bracket at the outer level ends the evaluation there.
        if (levels.size() == 1) return levels.front().value;
        close_level();
        break;
      case ExprTokenKind::kOr:
      case ExprTokenKind::kAnd:
        levels.back().op = token.kind;
        break;
    }
  }
  while (levels.size() > 1) close_level();
  return levels.front().value;
}

std::int32_t FlagExprRegistry::findadd(std::string_view text, const FlagLookup& findadd,
                                               RuleLog& log) {
  const std::string key(text);
  if (auto found = by_text_.find(key); found != by_text_.end()) return found->second;
  auto tokens = parse_expr(text, findadd);
  if (!tokens) {
    log.emsg("Bad expression: %s\n", key.c_str());
    return -1;
  }
  const auto number = static_cast<std::int32_t>(entries_.size());
  entries_.push_back(Entry{key, number, std::move(*tokens)});
  by_text_.emplace(key, number);
  return number;
}

int FlagExprRegistry::eval(std::int32_t number, std::span<const std::int32_t> flags) const {
  if (number < 0 || static_cast<std::size_t>(number) >= entries_.size()) return 0;
  return rf_expr_evalsub(entries_[static_cast<std::size_t>(number)].tokens, flags);
}

}  // namespace quarn
