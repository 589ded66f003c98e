#include "message/html_strip.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

enum CharClass : unsigned char { kText = 0, kSpace = 1, kOpen = 2, kClose = 3 };

constexpr std::array<unsigned char, 256> make_classes() {
  std::array<unsigned char, 256> classes{};
  classes[' '] = kSpace;
  classes['\r'] = kSpace;
  classes['\n'] = kSpace;
  classes['\t'] = kSpace;
  classes['<'] = kOpen;
  classes['>'] = kClose;
  return classes;
}
constexpr std::array<unsigned char, 256> kClasses = make_classes();

unsigned char class_of(char c) { return kClasses[static_cast<unsigned char>(c)]; }

char lower(int c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

// Position of the first `word` at or after `from`, or kNone. Looks for the
// word's last character with memchr, which skips fast over text where that
// character is rare ("-" of "content-", ">" of "-->", "f" of "href").
std::size_t find_word(std::string_view text, std::string_view word, std::size_t from) {
  const std::size_t m = word.size();
  if (m == 0) return from <= text.size() ? from : kNone;
  const char last = word[m - 1];
  std::size_t next = from + m - 1;
  while (next < text.size()) {
    const void* hit = std::memchr(text.data() + next, last, text.size() - next);
    if (hit == nullptr) return kNone;
    const auto end = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    const std::size_t start = end + 1 - m;
    if (std::memcmp(text.data() + start, word.data(), m - 1) == 0) return start;
    next = end + 1;
  }
  return kNone;
}

// The first occurrence of a fixed word at or after a position that never
// moves backwards between calls; the text is searched once overall.
class ForwardFinder {
 public:
  ForwardFinder(std::string_view text, std::string_view word) : text_(text), word_(word) {}

  std::size_t find(std::size_t from) {
    if (!searched_ || (found_ != kNone && found_ < from)) {
      found_ = find_word(text_, word_, from);
      searched_ = true;
    }
    return found_;
  }

 private:
  std::string_view text_;
  std::string_view word_;
  std::size_t found_ = kNone;
  bool searched_ = false;
};

// The text from a "<" on, as the folding scan leaves it: what the scan has
// already folded (from the "<" up to where it stopped), then the untouched
// rest of the input. Offsets count from the "<".
class Markup {
 public:
  Markup(std::string_view scanned, std::string_view tail) : scanned_(scanned), tail_(tail) {}

  std::size_t scanned_size() const { return scanned_.size(); }

  // The character at `offset`, or -1 past the end of the text.
  int at(std::size_t offset) const {
    if (offset < scanned_.size()) return static_cast<unsigned char>(scanned_[offset]);
    offset -= scanned_.size();
    return offset < tail_.size() ? static_cast<unsigned char>(tail_[offset]) : -1;
  }

  // True when `word` (lower case) follows the "<", ignoring case.
  bool word_follows(std::string_view word) const {
    for (std::size_t i = 0; i < word.size(); ++i) {
      const int c = at(i + 1);
      if (c < 0 || lower(c) != word[i]) return false;
    }
    return true;
  }

  // Offset of the first `word`, which ends in ">", at or after offset
  // `from`, or kNone. The scan stopped at or before the first ">" after the
  // "<", so a match always ends in the part not yet read: only matches that
  // start in the scanned part and end past it, and matches in the rest, need
  // looking at.
  std::size_t find_closing(std::string_view word, std::size_t from) const {
    const std::size_t scanned = scanned_.size();
    const std::size_t straddle = scanned + 1 >= word.size() ? scanned + 1 - word.size() : 0;
    for (std::size_t k = std::max(from, straddle); k < scanned; ++k) {
      if (matches_at(word, k)) return k;
    }
    const std::size_t tail_from = std::max(from, scanned) - scanned;
    if (tail_from >= tail_.size()) return kNone;
    if (word.size() == 1) {
      const void* found = std::memchr(tail_.data() + tail_from, word[0], tail_.size() - tail_from);
      return found == nullptr ? kNone
                              : scanned + static_cast<std::size_t>(
                                              static_cast<const char*>(found) - tail_.data());
    }
    const std::size_t in_tail = find_word(tail_, word, tail_from);
    return in_tail == kNone ? kNone : scanned + in_tail;
  }

 private:
  bool matches_at(std::string_view word, std::size_t offset) const {
    for (std::size_t j = 0; j < word.size(); ++j) {
      if (at(offset + j) != static_cast<unsigned char>(word[j])) return false;
    }
    return true;
  }

  std::string_view scanned_;
  std::string_view tail_;
};

// One strip. The input is read once, front to back; `out` receives the
// visible text. Besides the read index into the input, the stripper keeps the
// position the read character has in the text as folded so far, which is
// where every distance of the markup rules is measured.
class Stripper {
 public:
  Stripper(std::string_view src, char* out, HtmlStats& stats)
      : src_(src), out_(out), stats_(stats), href_(src, "href"), href_upper_(src, "HREF") {}

  std::size_t run(bool html) {
    if (!html) {
      const std::size_t start = find_html_start();
      if (start == kNone) {
        std::memcpy(out_, src_.data(), src_.size());
        return src_.size();
      }
      std::memcpy(out_, src_.data(), start);
      read_ = folded_ = written_ = start;
    }
    while (read_ < src_.size()) {
      if (!scan()) break;
      if (!markup()) break;
    }
    return written_;
  }

 private:
  // Plain mode: the cursor position where a "Content-Type: text/html" header
  // switches to HTML mode, or kNone when none does.
  std::size_t find_html_start() const {
    ForwardFinder lower(src_, "content-");
    ForwardFinder mixed(src_, "Content-");
    ForwardFinder upper(src_, "CONTENT-");
    const std::size_t end = src_.size();
    std::size_t cursor = 0;
    while (cursor < end) {
      std::size_t found = lower.find(cursor);
      if (found == kNone) found = mixed.find(cursor);
      if (found == kNone) found = upper.find(cursor);
      if (found == kNone) return kNone;
      constexpr std::string_view kContentType = "Content-Type:";
      if (!starts_with_nc(src_.substr(found), kContentType)) {
        cursor = std::min(found + 13, end);
        continue;
      }
      std::size_t value = found + kContentType.size();
      while (value < end && (src_[value] == ' ' || src_[value] == '\t')) ++value;
      const bool is_html = starts_with_nc(src_.substr(value), "text/html");
      cursor = std::min(value + 9, end);
      if (is_html) return cursor;
    }
    return kNone;
  }

  // Copies the text from the cursor, folding every run of blanks, tabs and
  // line ends into one blank, up to the first ">" after a "<" or a "<" at
  // least 6 characters after the first one. Returns false at the end of the
  // text (everything copied stays visible). The cursors live in locals while
  // copying: stores through `out_` could alias the members.
  bool scan() {
    const char* const src = src_.data();
    const std::size_t end = src_.size();
    char* const out = out_;
    std::size_t read = read_;
    std::size_t written = written_;
    // Within one scan the folded position moves with the written one.
    const std::size_t folded_offset = folded_ - written_;
    bool stopped = false;
    open_ = false;
    std::size_t block_from = read;  // where sixteen at once may next be tried
    while (read < end) {
      const char c = src[read];
      const unsigned char cls = class_of(c);
      if (cls == kText) {
#if defined(__SSE2__)
        if (read >= block_from && end - read >= 16) {
          if (copy_block(src + read, out + written)) {
            read += 16;
            written += 16;
            continue;
          }
          block_from = read + 16;
        }
#endif
        out[written++] = c;
        ++read;
        continue;
      }
      if (cls == kSpace) {
        out[written++] = ' ';
        ++read;
        while (read < end && class_of(src[read]) == kSpace) ++read;
        continue;
      }
      if (cls == kOpen) {
        if (!open_) {
          open_ = true;
          open_folded_ = written + folded_offset;
          open_written_ = written;
          open_read_ = read;
        } else if (written + folded_offset - open_folded_ >= 6) {
          stopped = true;
          break;
        }
      } else if (open_) {
        stopped = true;
        break;
      }
      out[written++] = c;
      ++read;
    }
    read_ = read;
    written_ = written;
    folded_ = written + folded_offset;
    return stopped;
  }

#if defined(__SSE2__)
  // Copies sixteen characters that start with a text character when the
  // scan would copy them one by one unchanged but for blanks: no "<" or
  // ">", no two blanks in a row and no blank last (which a blank after it
  // would join). Each blank becomes " ". False, copying nothing, otherwise.
  static bool copy_block(const char* from, char* to) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i markup = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')),
                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i blanks =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, blank), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
                     _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    const unsigned at_blank = static_cast<unsigned>(_mm_movemask_epi8(blanks));
    if (_mm_movemask_epi8(markup) != 0 || (at_blank & (at_blank >> 1)) != 0 ||
        (at_blank & 0x8000) != 0) {
      return false;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                     _mm_or_si128(_mm_andnot_si128(blanks, v), _mm_and_si128(blanks, blank)));
    return true;
  }
#endif

  // Handles the comment or tag at the first "<" of the scan. Returns false
  // when it is never closed: the rest of the text is dropped.
  bool markup() {
    const Markup m({out_ + open_written_, written_ - open_written_}, src_.substr(read_));
    written_ = open_written_;
    if (m.at(1) == '!' && m.at(2) == '-' && m.at(3) == '-') {
      stats_.comment_score += 1;
      if (open_folded_ - last_comment_end_ < 10) stats_.comment_score += 2;
      const std::size_t close = m.find_closing("-->", 4);
      if (close == kNone) return false;
      // The scan stopped at or before the comment's ">", so its end lies in
      // the part not yet read.
      const std::size_t end = std::max(close + 3, m.scanned_size());
      read_ += end - m.scanned_size();
      folded_ = open_folded_ + end;
      last_comment_end_ = folded_;
      return true;
    }
    const std::size_t close = m.find_closing(">", 1);
    const std::size_t close_read =
        close == kNone ? src_.size() : read_ + (close - m.scanned_size());
    const int first = m.at(1);
    const char key = first < 0 ? '\0' : lower(first);
    if (key == 't' && m.word_follows("table ")) {
      ++table_depth_;
    } else if (key == '/' && m.word_follows("/table ")) {
      --table_depth_;
    } else if (key == 'a' && m.word_follows("a ")) {
      ++link_count_;
      std::size_t href = href_.find(open_read_);
      if (href == kNone) href = href_upper_.find(open_read_);
      if (href != kNone && href < close_read) in_link_ = true;
    } else if (key == '/' && m.word_follows("/a ")) {
      in_link_ = false;
      --link_count_;
    } else if (key == 'i' && in_link_ && m.word_follows("img ")) {
      stats_.suspicious_images += 1;
      if (table_depth_ != 0) stats_.suspicious_images += 4;
    }
    if (close == kNone) return false;
    read_ = close_read + 1;
    folded_ = open_folded_ + close + 1;
    return true;
  }

  const std::string_view src_;
  char* const out_;
  HtmlStats& stats_;
  ForwardFinder href_;
  ForwardFinder href_upper_;

  std::size_t read_ = 0;     // next input character
  std::size_t folded_ = 0;   // its position in the folded text
  std::size_t written_ = 0;  // visible characters so far
  std::size_t last_comment_end_ = 0;
  int table_depth_ = 0;
  int link_count_ = 0;
  bool in_link_ = false;

  // The first "<" of the current scan.
  bool open_ = false;
  std::size_t open_folded_ = 0;
  std::size_t open_written_ = 0;
  std::size_t open_read_ = 0;
};

}  // namespace

void mf_count_letters(std::string_view text, std::size_t count, HtmlStats& stats) {
  text = cstr_view(text.substr(0, std::min(count, text.size())));
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t letters = 0;
  std::size_t capitals = 0;
  auto count_block = [&](std::size_t from, std::size_t length) {
    unsigned block_letters = 0;
    unsigned block_capitals = 0;
    for (std::size_t k = 0; k < length; ++k) {
      const unsigned char c = bytes[from + k];
      const unsigned upper = static_cast<unsigned char>(c - 'A') < 26;
      const unsigned lower = static_cast<unsigned char>(c - 'a') < 26;
      block_letters += upper | lower;
      block_capitals += upper;
    }
    letters += block_letters;
    capitals += block_capitals;
  };
  // Fixed-size blocks let the compiler use vector instructions.
  constexpr std::size_t kBlock = 64;
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) count_block(i, kBlock);
  count_block(i, n - i);
  stats.letters += static_cast<std::int32_t>(letters);
  stats.capitals += static_cast<std::int32_t>(capitals);
}

std::size_t rf_strip_html(std::span<char> text, std::size_t length, int html,
                          HtmlStats& stats) {
  stats = HtmlStats{};
  if (text.empty()) return 0;
  const std::string_view src =
      cstr_view(std::string_view(text.data(), std::min(length, text.size() - 1)));
  const auto visible = std::make_unique_for_overwrite<char[]>(src.size() + 1);
  Stripper stripper(src, visible.get(), stats);
  const std::size_t visible_length = stripper.run(html != 0);
  // Every piece of visible text is counted once, so counting the whole of it
  // gives the same totals as counting piece by piece.
  mf_count_letters({visible.get(), visible_length}, visible_length, stats);
  std::memcpy(text.data(), visible.get(), visible_length);
  text[visible_length] = '\0';
  return visible_length;
}

}  // namespace quarn
