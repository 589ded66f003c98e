#include "message/url_scan.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "message/codecs.h"
#include "support/text.h"

namespace quarn {
namespace {

bool ends_url(char c, bool quoted) {
  switch (c) {
    case '>':
    case '"':
    case '\r':
    case '\n':
      return true;
    case ' ':
    case '\t':
      return !quoted;
    default:
      return false;
  }
}

// First "http" (or "http:") at or after `from`. Looks for the "p" first: it
// is rarer in text than the "h".
std::size_t find_http(std::string_view text, std::string_view word, std::size_t from) {
  std::size_t next = from + 3;
  while (next < text.size()) {
    const void* hit = std::memchr(text.data() + next, 'p', text.size() - next);
    if (hit == nullptr) return std::string_view::npos;
    const auto p = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    const std::size_t start = p - 3;
    if (text.compare(start, word.size(), word) == 0) return start;
    next = p + 1;
  }
  return std::string_view::npos;
}

}  // namespace

std::size_t rf_decode_url(std::string_view url, std::span<char> out) {
  if (out.empty()) return 0;
  url = cstr_view(url);
  const std::size_t room = out.size() - 1;
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < url.size() && written <= kUrlDecodeLimit && written < room) {
    if (url[i] == '%') {
      if (url.size() - i < 3) break;
      out[written++] = static_cast<char>(decode_hexbyte(url.substr(i + 1, 2)));
      i += 3;
    } else {
      const std::size_t escape = std::min(url.find('%', i), url.size());
      const std::size_t run =
          std::min({escape - i, room - written, kUrlDecodeLimit + 1 - written});
      std::memcpy(out.data() + written, url.data() + i, run);
      written += run;
      i += run;
    }
  }
  out[written] = '\0';
  return written;
}

void rf_scan_urls(std::string_view text, std::string& urls) {
  urls.clear();
  text = cstr_view(text);
  std::array<char, kUrlMaxLength + 1> decoded;
  std::string_view word = "http";
  std::size_t from = 0;
  while (urls.size() <= kUrlTextLimit) {
    const std::size_t start = find_http(text, word, from);
    if (start == std::string_view::npos) break;
    const std::size_t after = start + 4;
    const bool is_url = (after < text.size() && text[after] == ':') ||
                        (after + 1 < text.size() && text[after] == 's' && text[after + 1] == ':');
    if (!is_url) {
      from = after;
      word = "http:";
      continue;
    }
    const bool quoted = start > 0 && text[start - 1] == '"';
    std::size_t end = start;
    while (end < text.size() && !ends_url(text[end], quoted)) ++end;
    const std::size_t length = std::min(end - start, kUrlMaxLength);
    if (length >= kUrlMinLength) {
      const std::size_t n = rf_decode_url(text.substr(start, length), decoded);
      const std::size_t at = urls.size();
      urls.append(decoded.data(), n);
      std::replace(urls.begin() + static_cast<std::ptrdiff_t>(at), urls.end(), '\0', ' ');
      urls.append("\r\n");
    }
    from = end;
    word = "http";
  }
}

}  // namespace quarn
