#include "signature/msgcrc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::size_t kLongHeader = 10000;
// The Received part keeps at most this many characters before its cuts.
constexpr std::size_t kReceivedLimit = kLineSize - 1;

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// Finds line ends quickly: remembers where the next CR and the next LF lie,
// so each is searched with memchr once per occurrence.
class LineEndFinder {
 public:
  explicit LineEndFinder(std::string_view text)
      : text_(text), next_cr_(find('\r', 0)), next_lf_(find('\n', 0)) {}

  // Position of the first CR or LF at or after `from`, or npos.
  std::size_t next(std::size_t from) {
    if (next_cr_ < from) next_cr_ = find('\r', from);
    if (next_lf_ < from) next_lf_ = find('\n', from);
    return std::min(next_cr_, next_lf_);
  }

 private:
  std::size_t find(char c, std::size_t from) const {
    if (from >= text_.size()) return std::string_view::npos;
    const void* hit = std::memchr(text_.data() + from, c, text_.size() - from);
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data());
  }

  std::string_view text_;
  std::size_t next_cr_;
  std::size_t next_lf_;
};

// Walks the header block of `text`, calling `take` with each header line
// that takes part, in message order. Returns the body position.
template <class Take>
std::size_t walk_header_lines(std::string_view text, Log& log, Take&& take) {
  const std::size_t n = text.size();
  std::size_t leading = 0;
  while (leading < n && is_line_end(text[leading])) ++leading;
  if (leading >= 2) return leading;
  if (n == 0 || (n == 1 && leading == 1)) {
    log.imsg("getheadlines - No body detected in message, using whole message\n");
    return 0;
  }

  LineEndFinder finder(text);
  std::size_t line_start = 0;
  std::size_t run_start = finder.next(0);
  while (run_start != std::string_view::npos) {
    std::size_t after = run_start;
    int count = 0;
    while (after < n && is_line_end(text[after])) {
      ++after;
      if (++count > 2) return after;  // the blank line: the body follows
    }
    if (after - line_start < kLongHeader) {
      // The line holds no line end: it runs from its start to this run.
      const std::string_view line = text.substr(line_start, run_start - line_start);
      if (line != ".") take(line);
      line_start = after;
    } else {
      // The line start stays, so every later line is measured from it.
      log.imsg("getheadlines - Extremely long header found, ignoring\n");
    }
    run_start = finder.next(after);
  }
  return 0;
}

// The CRC of clean_str(line), computed over the kept letters in place.
std::uint32_t subject_crc(std::string_view line) {
  std::size_t end = line.rfind(' ');
  if (end == std::string_view::npos) end = line.rfind('\t');
  if (end == std::string_view::npos) end = line.size();
  std::uint32_t crc = 0;
  std::size_t i = 0;
  while (i < end) {
    while (i < end && !is_ascii_alpha(line[i])) ++i;
    const std::size_t start = i;
    while (i < end && is_ascii_alpha(line[i])) ++i;
    if (i > start) crc = crc_extend(crc, line.data() + start, i - start);
  }
  return crc;
}

std::string_view cut_received(std::string_view line) {
  line = ncpy(line, kReceivedLimit);
  std::size_t cut = std::min({line.find(';'), strstrnc(line, "with"), strstrnc(line, "id")});
  return line.substr(0, cut);
}

bool holds_html_start(std::string_view text) {
  static constexpr std::string_view kRest = "html>";
  const char* end = text.data() + text.size();
  const char* p = text.data();
  while (true) {
    p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
    if (p == nullptr || static_cast<std::size_t>(end - p) < 1 + kRest.size()) return false;
    if (starts_with_nc(std::string_view(p + 1, kRest.size()), kRest)) return true;
    ++p;
  }
}

// Copies `text` without its HTML tags to `out` (room for all of `text`);
// returns the length copied.
std::size_t copy_without_tags(std::string_view text, char* out) {
  const char* const data = text.data();
  const std::size_t length = text.size();
  std::size_t kept = 0;
  std::size_t i = 0;
  while (i < length) {
    const void* hit = std::memchr(data + i, '<', length - i);
    const std::size_t open = hit == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(hit) - data);
    if (open > i) {  // tags often meet: no call for nothing between them
      std::memcpy(out + kept, data + i, open - i);
      kept += open - i;
      i = open;
    }
    if (i >= length) break;

    std::size_t close = length;  // length: the tag never ends
    if (i + 1 < length && data[i + 1] == '!') {
      int hyphens = 0;
      for (std::size_t j = i; j < length; ++j) {
        if (data[j] == '-' && j + 1 < length && data[j + 1] == '-') {
          hyphens += 2;
          ++j;
        } else if (data[j] == '>' && hyphens % 4 == 0) {
          close = j;
          break;
        }
      }
    } else {
      const void* end = std::memchr(data + i, '>', length - i);
      if (end != nullptr) close = static_cast<std::size_t>(static_cast<const char*>(end) - data);
    }
    if (close == length) break;  // an unfinished tag removes the rest
    i = close + 1;
  }
  return kept;
}

}  // namespace

std::vector<std::string_view> getheadlines(std::string_view text, std::size_t& body, Log& log) {
  std::vector<std::string_view> lines;
  body = walk_header_lines(cstr_view(text), log, [&](std::string_view line) { lines.push_back(line); });
  std::reverse(lines.begin(), lines.end());
  return lines;
}

std::string clean_str(std::string_view line) {
  std::size_t end = line.rfind(' ');
  if (end == std::string_view::npos) end = line.rfind('\t');
  if (end == std::string_view::npos) end = line.size();
  std::string letters;
  for (char c : line.substr(0, end)) {
    if (is_ascii_alpha(c)) letters.push_back(c);
  }
  return letters;
}

std::string remove_html_tags(std::string_view text) {
  std::string out(text.size(), '\0');
  out.resize(copy_without_tags(text, out.data()));
  return out;
}

std::string_view remove_blank_lines(std::string_view text) {
  static constexpr std::string_view kBlank = "\r\n\r\n";
  if (text.ends_with(kBlank)) text.remove_suffix(kBlank.size());
  return text;
}

int msgcrc(std::string_view text, PartCrcs& crcs, Log& log,
           std::array<std::string, kPartCount>* texts) {
  crcs.fill(0);
  if (texts != nullptr) texts->fill(std::string());
  const std::string_view message = cstr_view(text);

  static constexpr std::array<std::string_view, 4> kPrefixes = {"From: ", "Subjec", "Received: ",
                                                                "Message-id: "};
  std::array<std::string_view, 4> last{};
  std::array<bool, 4> found{};
  std::size_t body = walk_header_lines(message, log, [&](std::string_view line) {
    for (std::size_t p = 0; p < kPrefixes.size(); ++p) {
      if (starts_with_nc(line, kPrefixes[p])) {
        last[p] = line;
        found[p] = true;
        break;
      }
    }
  });

  int parts = 0;
  for (std::size_t p = 0; p < kPrefixes.size(); ++p) {
    if (!found[p]) continue;
    ++parts;
    switch (p) {
      case kSubjectPart: crcs[p] = subject_crc(last[p]); break;
      case kReceivedPart: crcs[p] = do_crc(cut_received(last[p])); break;
      default: crcs[p] = do_crc(last[p]); break;
    }
    if (texts != nullptr) {
      (*texts)[p] = p == kSubjectPart    ? clean_str(last[p])
                    : p == kReceivedPart ? std::string(cut_received(last[p]))
                                         : std::string(last[p]);
    }
  }

  while (body < message.size() && is_line_end(message[body])) ++body;
  std::string_view rest = message.substr(body);
  if (rest.empty()) return parts;

  // Only a message with HTML needs a second text: the tags are left out of
  // a new one, and the message itself is never written.
  std::unique_ptr<char[]> stripped;
  if (holds_html_start(rest)) {
    stripped = std::make_unique_for_overwrite<char[]>(rest.size());
    rest = std::string_view(stripped.get(), copy_without_tags(rest, stripped.get()));
  }
  rest = remove_blank_lines(rest);
  const char* const start = rest.data();
  const std::size_t size = rest.size();

  const std::size_t chunk = std::max<std::size_t>(size / 5, 1);
  std::size_t pos = 0;
  int made = 0;
  while (pos < size && made < kBodyPartCount) {
    std::size_t span = chunk;
    if (pos + span < size) {
      // Stretch the chunk to end just before the next LF.
      const void* lf = std::memchr(start + pos + span, '\n', size - pos - span);
      span = lf == nullptr ? size - pos : static_cast<std::size_t>(static_cast<const char*>(lf) - (start + pos));
    }
    if (pos + span > size || made == kBodyPartCount - 1) span = size - pos;
    crcs[kFirstBodyPart + made] = do_crc(start + pos, span);
    if (texts != nullptr) (*texts)[kFirstBodyPart + made].assign(start + pos, span);
    pos += span;
    ++made;
  }
  for (int k = made; made > 0 && k < kBodyPartCount; ++k) {
    crcs[kFirstBodyPart + k] = crcs[kFirstBodyPart];
    if (texts != nullptr) (*texts)[kFirstBodyPart + k] = (*texts)[kFirstBodyPart];
  }
  return parts + made;
}

}  // namespace quarn
