// Bounded text helpers.
//
// Every cut of the engine's protocol ("at most 999 characters", "cut at the
// first CR or LF", "four tokens") is implemented once here and reused; no
// other module re-derives a bound inline. Texts are bytes: nothing here
// assumes UTF-8, and letter-case operations touch ASCII letters only.
//
// Sizes follow the C buffers the engine's formats were written for: a
// `size` is the capacity of a buffer including its terminator, so a text
// bounded by `size` holds at most size - 1 characters.
//
// All functions are pure and may be called from any thread.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarn {

// The capacity of most of the engine's text buffers (lines, messages,
// responses): at most 999 characters and a terminator.
inline constexpr std::size_t kLineSize = 1000;

// Formats like printf and keeps at most size - 1 characters.
std::string lprintf(std::size_t size, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Formats like printf without a cut (for texts whose parts are already
// bounded and that a later step cuts as a whole).
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Formats like vprintf into `out` (replacing it), keeping at most size - 1
// characters. Returns true when the text had to be cut.
bool vlprintf(std::string& out, std::size_t size, const char* fmt, std::va_list args)
    __attribute__((format(printf, 3, 0)));

// Appends `text` to `dst` so that `dst` never holds more than size - 1
// characters; what does not fit is lost.
void strcatn(std::string& dst, std::string_view text, std::size_t size);

// At most the first n characters of `text`.
std::string_view ncpy(std::string_view text, std::size_t n);

// `text` cut at its first NUL byte (C string semantics over a byte buffer).
std::string_view cstr_view(std::string_view text);

// `text` cut at its first CR or LF.
std::string_view stripcrlf(std::string_view text);

// The text with every control character (below 0x20, and DEL) written as
// an escape: "\r", "\n", "\t", else "\xNN". Text from a message or an
// envelope goes into a log line this way, so it can never end the line
// and forge one of its own.
std::string log_escaped(std::string_view text);

// Upper-cases ASCII letters in place.
void mystrupr(std::string& text);
// A copy with ASCII letters lower-cased.
std::string ascii_lowered(std::string_view text);

// Blank or tab.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }
// `text` without its leading blanks and tabs.
std::string_view skip_blanks(std::string_view text);

// Defined here: they run for every byte of many scans.
inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
inline bool is_ascii_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Compare whole texts or the first n characters ignoring ASCII case; the
// result orders like strcmp (negative, 0 or positive). A text shorter than n
// compares as its own length, as strncmp does at a terminator.
int mystrcmpnc(std::string_view a, std::string_view b);
int mystrncmpnc(std::string_view a, std::string_view b, std::size_t n);

// True when `text` begins with `prefix`, ignoring ASCII case.
inline bool starts_with_nc(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  }
  return true;
}

// Position of the first occurrence of `needle` in `haystack` ignoring ASCII
// case, or npos. An empty needle is found at 0.
std::size_t strstrnc(std::string_view haystack, std::string_view needle);

// Reads a decimal integer the way the C library's atoi does (leading white
// space, optional sign, digits, anything else ends it; no digits give 0). A
// value outside the 32-bit range is clamped instead of being undefined.
std::int32_t atoi32(std::string_view text);

// Re-entrant tokenizer: skips leading separators, then cuts at the next one,
// so runs of separators count as one and no token is ever empty. An empty
// view means there are no more tokens.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : rest_(text) {}

  std::string_view next(std::string_view separators);

  // What has not been tokenized yet (starting at the separator, if any, that
  // ended the last token).
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

}  // namespace quarn
