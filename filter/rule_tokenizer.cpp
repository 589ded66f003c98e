#include "filter/rule_tokenizer.h"

#include <string>

namespace quarn {
namespace {

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_single(char c) {
  switch (c) {
    case '(': case ')': case '!': case ',': case '<': case '>': case '=': case '+':
      return true;
    default:
      return false;
  }
}

std::string unescape(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\' && i + 1 < body.size()) {
      switch (body[i + 1]) {
        case '"': out.push_back('"'); ++i; continue;
        case 'r': out.push_back('\r'); ++i; continue;
        case 'n': out.push_back('\n'); ++i; continue;
        case '\\': out.push_back('\\'); ++i; continue;
        default: break;
      }
    }
    out.push_back(body[i]);
  }
  return out;
}

bool is_join(const RuleToken& token) { return !token.quoted && token.text == "+"; }

}  // namespace

TokenizeResult rf_token(std::string_view line) {
  TokenizeResult result;
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && is_separator(line[i])) ++i;
    if (i >= line.size()) break;
    if (result.tokens.size() >= kMaxTokens) {
      result.status = TokenizeStatus::kTooManyTokens;
      return result;
    }
    const char c = line[i];
    if (c == '"') {
      std::size_t end = i + 1;
      while (end < line.size() && !(line[end] == '"' && line[end - 1] != '\\')) ++end;
      if (end >= line.size()) {
        result.status = TokenizeStatus::kQuoteMissing;
        return result;
      }
      result.tokens.push_back(RuleToken{unescape(line.substr(i + 1, end - i - 1)), true});
      i = end + 1;
    } else if (is_single(c)) {
      result.tokens.push_back(RuleToken{std::string(1, c), false});
      ++i;
    } else {
      std::size_t end = i;
      while (end < line.size() && !is_separator(line[end]) && !is_single(line[end])) ++end;
      result.tokens.push_back(RuleToken{std::string(line.substr(i, end - i)), false});
      i = end;
    }
  }
  return result;
}

std::vector<RuleToken> rf_concat(std::vector<RuleToken> tokens) {
  std::vector<RuleToken> out;
  out.reserve(tokens.size());
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (is_join(tokens[i]) && !out.empty() && i + 1 < tokens.size()) {
      out.back().text += tokens[i + 1].text;
      ++i;
      continue;
    }
    out.push_back(std::move(tokens[i]));
  }
  return out;
}

}  // namespace quarn
