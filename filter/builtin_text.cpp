// Pure text logic of the built-in functions: pattern lists, wildcard
// replace, similarity and containment tests.
#include <string.h>

#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "filter/builtins.h"
#include "support/text.h"

namespace quarn {
namespace {

constexpr std::size_t kShownLength = 99;
constexpr std::size_t kListTextLength = 990;
constexpr std::size_t kListPatternLength = 100;
constexpr std::size_t kReplaceInput = 999;
constexpr std::size_t kReplacePieces = 13;
constexpr std::size_t kReplaceCapture = 1000;
constexpr std::size_t kReplaceRest = 999;
constexpr std::size_t kReplaceStop = 500;
// The buffer that receives a replacement result.
constexpr std::size_t kReplaceResultSize = kLineSize;

// What `isinc` keeps of each byte: the lower-cased letter, the digit or
// the blank, or 0 for a byte it drops.
constexpr std::array<char, 256> kCleanLower = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    if (c >= 'A' && c <= 'Z') {
      table[static_cast<std::size_t>(c)] = static_cast<char>(c - 'A' + 'a');
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ') {
      table[static_cast<std::size_t>(c)] = static_cast<char>(c);
    }
  }
  return table;
}();

#if defined(__x86_64__)
// For each eight-bit mask, the shuffle that packs the bytes whose bits are
// set to the front of eight (0x80 clears the rest).
constexpr auto kPackShuffles = [] {
  std::array<std::array<std::uint8_t, 8>, 256> table{};
  for (std::size_t mask = 0; mask < 256; ++mask) {
    std::size_t n = 0;
    for (std::uint8_t bit = 0; bit < 8; ++bit) {
      if ((mask >> bit & 1) != 0) table[mask][n++] = bit;
    }
    for (; n < 8; ++n) table[mask][n] = 0x80;
  }
  return table;
}();

// Cleans the text sixteen bytes at a time into `to`: the kept bytes of each
// half, lower-cased, are packed to the front with one shuffle (a store may
// reach eight bytes past what it keeps, never past the sixteen read).
// Returns how many bytes of the text it read; `n` counts those written.
__attribute__((target("ssse3"))) std::size_t clean_blocks(std::string_view text, char* to,
                                                           std::size_t& n) {
  auto within = [](__m128i v, char first, char last) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(first - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(last + 1))));
  };
  std::size_t i = 0;
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const __m128i upper = within(v, 'A', 'Z');
    const __m128i kept =
        _mm_or_si128(_mm_or_si128(upper, within(v, 'a', 'z')),
                     _mm_or_si128(within(v, '0', '9'), _mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
    const __m128i lowered = _mm_or_si128(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(kept));
    const __m128i halves[2] = {lowered, _mm_srli_si128(lowered, 8)};
    for (unsigned half = 0; half < 2; ++half) {
      const unsigned bits = mask >> (8 * half) & 0xFF;
      const __m128i shuffle =
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPackShuffles[bits].data()));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(to + n), _mm_shuffle_epi8(halves[half], shuffle));
      n += static_cast<std::size_t>(std::popcount(bits));
    }
  }
  return i;
}
#endif

// The lower-cased letters, the digits and the blanks of a text, in order
// (what `cleanstr` keeps of the lower-cased text, in one pass).
std::string clean_lower(std::string_view text) {
  std::string out(text.size(), '\0');
  char* const to = out.data();
  std::size_t n = 0;
  std::size_t i = 0;
#if defined(__x86_64__)
  static const bool packs = __builtin_cpu_supports("ssse3");
  if (packs) i = clean_blocks(text, to, n);
#endif
  for (; i < text.size(); ++i) {
    const char c = kCleanLower[static_cast<unsigned char>(text[i])];
    to[n] = c;
    n += c != 0 ? 1 : 0;
  }
  out.resize(n);
  return out;
}

// One element of a wildcard pattern at `pos` tested against `c`: its length
// in the pattern (0 for a set without its closing ']', which matches
// nothing) and whether it matches.
struct Element {
  std::size_t length;
  bool matches;
};

Element pattern_element(std::string_view pattern, std::size_t pos, unsigned char c) {
  const std::size_t n = pattern.size();
  const char p = pattern[pos];
  if (p == '?') return {1, true};
  if (p == '\\') {
    if (pos + 1 < n) return {2, static_cast<unsigned char>(pattern[pos + 1]) == c};
    return {1, c == '\\'};
  }
  if (p != '[') return {1, static_cast<unsigned char>(p) == c};
  std::size_t i = pos + 1;
  bool negate = false;
  if (i < n && pattern[i] == '^') {
    negate = true;
    ++i;
  }
  bool found = false;
  bool first = true;
  for (;;) {
    if (i >= n) return {0, false};
    if (pattern[i] == ']' && !first) {
      ++i;
      break;
    }
    first = false;
    if (pattern[i] == '\\' && i + 1 < n) ++i;
    const auto low = static_cast<unsigned char>(pattern[i]);
    ++i;
    auto high = low;
    if (i + 1 < n && pattern[i] == '-' && pattern[i + 1] != ']') {
      ++i;
      if (pattern[i] == '\\' && i + 1 < n) ++i;
      high = static_cast<unsigned char>(pattern[i]);
      ++i;
    }
    if (c >= low && c <= high) found = true;
  }
  return {i - pos, found != negate};
}

}  // namespace

std::string shown_value(std::string_view value) {
  std::string out(ncpy(value, kShownLength));
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = '.';
  }
  return out;
}

bool wildcard_match(std::string_view text, std::string_view pattern) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t star_p = kNone;
  std::size_t star_t = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    if (p < pattern.size()) {
      const Element e = pattern_element(pattern, p, static_cast<unsigned char>(text[t]));
      if (e.length > 0 && e.matches) {
        p += e.length;
        ++t;
        continue;
      }
    }
    if (star_p == kNone) return false;
    p = star_p;
    t = ++star_t;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

int match_list(std::string_view text, std::string_view list) {
  const std::string subject = ascii_lowered(ncpy(cstr_view(text), kListTextLength));
  int result = 0;
  Tokenizer patterns(cstr_view(list));
  for (std::string_view item = patterns.next(","); !item.empty(); item = patterns.next(",")) {
    std::string pattern = ascii_lowered(ncpy(item, kListPatternLength));
    bool negative = false;
    if (pattern.starts_with('!')) {
      negative = true;
      pattern.erase(0, 1);
    }
    if (pattern.starts_with('@')) {
      negative = true;
      pattern.erase(0, 1);
    }
    if (pattern == "*" || wildcard_match(subject, pattern)) result = negative ? 0 : 1;
  }
  return result;
}

ListMatch match_items(std::string_view value, std::string_view list) {
  value = cstr_view(value);
  if (value.empty()) return ListMatch::kAll;
  std::size_t items = 0;
  std::size_t matched = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = value.find_first_of(",!|", start);
    const std::string_view item = value.substr(start, end == std::string_view::npos ? end : end - start);
    ++items;
    if (match_list(ncpy(item, kListTextLength), list) != 0) ++matched;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (matched == items) return ListMatch::kAll;
  return matched > 0 ? ListMatch::kSome : ListMatch::kNone;
}

std::optional<std::string> wildrep(std::string_view value, std::string_view pattern,
                                   std::string_view replacement) {
  const std::string_view original = ncpy(cstr_view(value), kReplaceInput);
  const std::string subject = ascii_lowered(original);
  const std::string lowered = ascii_lowered(ncpy(cstr_view(pattern), kReplaceInput));
  std::vector<std::string_view> pieces;
  Tokenizer splitter(lowered);
  while (pieces.size() < kReplacePieces) {
    const std::string_view piece = splitter.next("*");
    if (piece.empty()) break;
    pieces.push_back(piece);
  }
  if (pieces.empty()) return std::nullopt;
  const bool leading_star = lowered.starts_with('*');
  const bool trailing_star = lowered.ends_with('*');

  std::vector<std::string_view> captures;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::size_t at = subject.find(pieces[i], pos);
    if (at == std::string::npos) return std::nullopt;
    if (i == 0 && !leading_star && at != 0) return std::nullopt;
    if (at != 0) captures.push_back(ncpy(original.substr(pos, at - pos), kReplaceCapture));
    pos = at + pieces[i].size();
  }
  if (trailing_star) captures.push_back(ncpy(original.substr(pos), kReplaceRest));

  std::string out;
  for (std::size_t i = 0; i < replacement.size() && out.size() <= kReplaceStop; ++i) {
    const char c = replacement[i];
    if (c == '%' && i + 1 < replacement.size() && replacement[i + 1] >= '1' &&
        replacement[i + 1] <= '9') {
      const auto n = static_cast<std::size_t>(replacement[i + 1] - '1');
      if (n < captures.size()) {
        strcatn(out, captures[n], kReplaceResultSize);
        ++i;
        continue;
      }
    }
    strcatn(out, std::string_view(&c, 1), kReplaceResultSize);
  }
  return out;
}

int issimilar_text(std::string_view value, std::string_view count_text) {
  std::int32_t count = atoi32(count_text);
  if (count < 1) count = 5;
  std::int32_t letter_run = 0;
  char letter = '\0';
  std::int32_t domain_run = 0;
  char domain = '\0';
  Tokenizer words(cstr_view(value));
  for (std::string_view word = words.next("\r\n,;<> \t"); !word.empty();
       word = words.next("\r\n,;<> \t")) {
    if (letter_run > 0 && word[0] == letter) {
      ++letter_run;
    } else {
      letter_run = 1;
      letter = word[0];
    }
    if (const std::size_t at = word.find('@'); at != std::string_view::npos) {
      const char next = at + 1 < word.size() ? word[at + 1] : '\0';
      if (domain_run > 0 && next == domain) {
        ++domain_run;
      } else {
        domain_run = 1;
        domain = next;
      }
    }
    if (letter_run == count || domain_run == count) return 1;
  }
  return 0;
}

int isin_text(std::string_view value, std::string_view text) {
  return strstrnc(cstr_view(value), cstr_view(text)) != std::string_view::npos ? 1 : 0;
}

int isinc_text(std::string_view value, std::string_view text) {
  const std::string haystack = clean_lower(cstr_view(value));
  const std::string needle = clean_lower(cstr_view(text));
  if (needle.empty()) return 1;
  // memmem skips through a long body far faster than a search that stops
  // at every occurrence of the needle's first character.
  return memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr ? 1 : 0;
}

}  // namespace quarn
