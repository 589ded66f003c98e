#include "filter/rule_listing.h"

#include "filter/builtins.h"
#include "support/text.h"

namespace quarn {
namespace {

std::string quote_optional(const std::optional<std::string>& text) {
  return text ? quote_text(*text) : std::string("null");
}

const char* token_name(ExprTokenKind kind) {
  switch (kind) {
    case ExprTokenKind::kOpen: return "(";
    case ExprTokenKind::kClose: return ")";
    case ExprTokenKind::kOr: return "||";
    case ExprTokenKind::kAnd: return "&&";
    case ExprTokenKind::kName: return "name";
    case ExprTokenKind::kNot: return "!";
  }
  return "?";
}

std::string function_name(std::int32_t row) {
  if (row < 0 || static_cast<std::size_t>(row) >= kBuiltinCount) return lprintf(32, "#%d", row);
  return builtin_functions()[static_cast<std::size_t>(row)].name;
}

}  // namespace

std::string quote_text(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u >= 0x7f) {
          out += lprintf(8, "\\x%02x", u);
        } else {
          out.push_back(c);
        }
    }
  }
  out += "\"";
  return out;
}

std::string filter_listing(const RuleFilter& filter) {
  std::string out;
  out += lprintf(64, "headers %zu\n", filter.headers.size());
  for (std::size_t i = 0; i < filter.headers.size(); ++i) {
    out += lprintf(64, "  %zu ", i) + quote_text(filter.headers.name(i)) + "\n";
  }
  out += lprintf(64, "flags %zu\n", filter.flags.size());
  for (std::size_t i = 0; i < filter.flags.size(); ++i) {
    out += lprintf(64, "  %zu ", i) + quote_text(filter.flags.name(i)) + "\n";
  }
  out += lprintf(64, "lines %zu\n", filter.lines.size());
  for (const RuleLine& line : filter.lines) {
    out += lprintf(160, "  line %d %s flag=%d value=%d argument=", line.line_number,
                   action_name(line.action), line.flag, line.value);
    out += quote_optional(line.argument) + " text=" + quote_text(line.line_text) + "\n";
    for (const RuleExpr& expr : line.exprs) {
      out += "    " + function_name(expr.func);
      out += lprintf(160, " op=%s number=%d negate=%d text1=", operator_name(expr.op),
                     expr.number, expr.negate);
      out += quote_optional(expr.text1) + " text2=" + quote_optional(expr.text2);
      out += expr.regex.ok() ? " regex=yes\n" : " regex=no\n";
    }
  }
  const auto& expressions = filter.expressions.entries();
  out += lprintf(64, "expressions %zu\n", expressions.size());
  for (const auto& entry : expressions) {
    out += lprintf(64, "  %d ", entry.number) + quote_text(entry.text) + " :";
    for (const ExprToken& token : entry.tokens) {
      out += " ";
      out += token.kind == ExprTokenKind::kName ? lprintf(32, "%d", token.flag)
                                                : std::string(token_name(token.kind));
    }
    out += "\n";
  }
  out += lprintf(64, "phrases %zu\n", filter.phrases.size());
  for (int b = 0; b < kFastBuckets; ++b) {
    const auto& bucket = filter.phrases.bucket(b);
    for (auto it = bucket.rbegin(); it != bucket.rend(); ++it) {
      out += lprintf(128, "  bucket %d score=%g flag=%d name=", b, it->score, it->flag);
      out += quote_text(it->name) + " pattern=" + quote_text(it->pattern);
      out += it->regex.ok() ? " regex=yes\n" : " regex=no\n";
    }
  }
  out += lprintf(128, "skip skip_filter=%d skip_from=%d skip_dup=%d\n", filter.skip_filter_flag,
                 filter.skip_from_flag, filter.skip_dup_flag);
  return out;
}

}  // namespace quarn
