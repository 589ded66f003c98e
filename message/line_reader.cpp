#include "message/line_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/text.h"

namespace quarn {

namespace {

// Offset in `p[0, n)` of the first newline or NUL (n when there is none),
// with `cr` set to the offset of the first carriage return seen on the way
// (n when none). One pass in place of a search for each of the three bytes:
// lines are short, and the start-up of each search cost more than the pass.
std::size_t line_stop(const char* p, std::size_t n, std::size_t& cr) {
  cr = n;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  const __m128i carriage = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto stop = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, newline), _mm_cmpeq_epi8(v, nul))));
    if (cr == n) {
      const auto r = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, carriage)));
      if (r != 0) cr = i + static_cast<std::size_t>(std::countr_zero(r));
    }
    if (stop != 0) return i + static_cast<std::size_t>(std::countr_zero(stop));
  }
#endif
  for (; i < n; ++i) {
    const char c = p[i];
    if (c == '\n' || c == '\0') return i;
    if (c == '\r' && cr == n) cr = i;
  }
  return n;
}

}  // namespace

int next_line(std::string_view text, std::size_t& position, std::string_view& line,
                    std::size_t size) {
  if (position >= text.size()) return 0;
  const char* start = text.data() + position;
  const std::size_t avail = text.size() - position;
  std::size_t cr = 0;
  const std::size_t length = line_stop(start, avail, cr);
  // No newline before the text ends, or a NUL before it (the end of the
  // text): no line.
  if (length == avail || start[length] == '\0') return 0;
  position += length + 1;
  // At most size - 1 characters, cut at the first carriage return (one past
  // the newline, found in the same block, cuts nothing).
  line = std::string_view(start, std::min({length, size == 0 ? 0 : size - 1, cr}));
  return 1;
}

int rf_getline(std::string_view text, std::size_t& position, std::string& line,
               std::size_t size) {
  std::string_view view;
  if (!next_line(text, position, view, size)) return 0;
  line.assign(view);
  return 1;
}

std::int32_t count_lines(std::string_view text) {
  text = cstr_view(text);
  return static_cast<std::int32_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace quarn
