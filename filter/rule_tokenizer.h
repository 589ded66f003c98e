// Splitting one rules-file statement into tokens, and joining tokens with
// '+'.
//
// Blanks, tabs, CRs and LFs separate tokens; each of ( ) ! , < > = + is a
// token of its own and ends the token before it. A token that starts with
// '"' runs to the next '"' not preceded by a backslash; the quotes are
// dropped and \" \r \n \\ inside become '"', CR, LF and '\' (any other
// backslash stays). A statement holds at most 1000 tokens.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

// One token of a statement and whether it was written in double quotes.
struct RuleToken {
  std::string text;
  bool quoted = false;
};

inline constexpr std::size_t kMaxTokens = 1000;

enum class TokenizeStatus { kOk, kQuoteMissing, kTooManyTokens };

struct TokenizeResult {
  TokenizeStatus status = TokenizeStatus::kOk;
  std::vector<RuleToken> tokens;
};

TokenizeResult rf_token(std::string_view line);

// Every run a + b + c ... of tokens joined by unquoted '+' tokens becomes
// one token, the texts joined without separator; the joined token keeps
// the quoted mark of its first part. A '+' with nothing before or after it
// is an ordinary token.
std::vector<RuleToken> rf_concat(std::vector<RuleToken> tokens);

}  // namespace quarn
