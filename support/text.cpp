#include "support/text.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace quarn {

bool vlprintf(std::string& out, std::size_t size, const char* fmt, std::va_list args) {
  out.clear();
  if (size == 0) return true;
  char small[kLineSize];
  std::va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (needed < 0) return false;
  auto full = static_cast<std::size_t>(needed);
  if (full < sizeof small) {
    out.assign(small, full);
  } else {
    out.resize(full + 1);
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(full);
  }
  if (out.size() > size - 1) {
    out.resize(size - 1);
    return true;
  }
  return false;
}

std::string lprintf(std::size_t size, const char* fmt, ...) {
  std::string out;
  std::va_list args;
  va_start(args, fmt);
  vlprintf(out, size, fmt, args);
  va_end(args);
  return out;
}

std::string strprintf(const char* fmt, ...) {
  std::string out;
  std::va_list args;
  va_start(args, fmt);
  vlprintf(out, static_cast<std::size_t>(-1), fmt, args);
  va_end(args);
  return out;
}

void strcatn(std::string& dst, std::string_view text, std::size_t size) {
  if (size == 0 || dst.size() >= size - 1) return;
  dst.append(text.substr(0, size - 1 - dst.size()));
}

std::string_view ncpy(std::string_view text, std::size_t n) { return text.substr(0, n); }

std::string_view cstr_view(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

std::string_view stripcrlf(std::string_view text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

void mystrupr(std::string& text) {
  for (char& c : text) c = ascii_upper(c);
}

std::string ascii_lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}


std::string_view skip_blanks(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  return text.substr(i);
}

int mystrncmpnc(std::string_view a, std::string_view b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    int ca = i < a.size() ? static_cast<unsigned char>(ascii_lower(a[i])) : 0;
    int cb = i < b.size() ? static_cast<unsigned char>(ascii_lower(b[i])) : 0;
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}

int mystrcmpnc(std::string_view a, std::string_view b) {
  return mystrncmpnc(a, b, std::max(a.size(), b.size()) + 1);
}


std::size_t strstrnc(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  if (needle.size() > haystack.size()) return std::string_view::npos;
  const char first_lower = ascii_lower(needle[0]);
  const char first_upper = ascii_upper(needle[0]);
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    char c = haystack[i];
    if (c != first_lower && c != first_upper) continue;
    if (starts_with_nc(haystack.substr(i), needle)) return i;
  }
  return std::string_view::npos;
}

std::int32_t atoi32(std::string_view text) {
  std::size_t i = 0;
  auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && is_ascii_digit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{INT32_MAX} + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::string_view Tokenizer::next(std::string_view separators) {
  // A bit per byte value: string_view's find_first_of searches the
  // separator set once per character, which long texts feel.
  std::uint64_t is_separator[4] = {};
  for (char c : separators) {
    const auto b = static_cast<unsigned char>(c);
    is_separator[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  auto separates = [&](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (is_separator[b >> 6] >> (b & 63) & 1) != 0;
  };
  std::size_t start = 0;
  while (start < rest_.size() && separates(rest_[start])) ++start;
  if (start == rest_.size()) {
    rest_ = {};
    return {};
  }
  std::size_t end = start;
  while (end < rest_.size() && !separates(rest_[end])) ++end;
  const std::string_view token = rest_.substr(start, end - start);
  rest_.remove_prefix(end);
  return token;
}

std::string log_escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out += ch;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0f];
    }
  }
  return out;
}

}  // namespace quarn
