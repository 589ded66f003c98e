#include "message/mime_walk.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "message/codecs.h"
#include "message/line_reader.h"
#include "support/text.h"

namespace quarn {
namespace {

enum class PartKind { kLeaf, kMultipart, kEnclosed };
enum class Encoding { kNone, kBase64, kQuoted };

struct Part {
  PartKind kind = PartKind::kLeaf;
  Encoding encoding = Encoding::kNone;
  bool text = false;
};

// Appends `bytes` (and a newline when asked) to the decoded text. Returns
// false when the calling part must end: either the text did not fit under
// the hard limit (nothing is written) or the soft limit is now exceeded.
bool emit(MimeWalk& walk, std::string_view bytes, bool newline) {
  const std::size_t length = bytes.size() + (newline ? 1 : 0);
  const std::size_t after = walk.decoded_total + length;
  if (after >= kDecodedHardLimit || after >= walk.out.size()) return false;
  char* cursor = walk.out.data() + walk.decoded_total;
  if (!bytes.empty()) std::memcpy(cursor, bytes.data(), bytes.size());
  if (newline) cursor[bytes.size()] = '\n';
  walk.decoded_total = after;
  walk.out[after] = '\0';
  return walk.decoded_total <= kDecodedSoftLimit;
}

// The "\n\n" that ends a quoted-printable part; like every write it keeps
// room for the terminator.
void emit_part_end(MimeWalk& walk) {
  for (int i = 0; i < 2 && walk.decoded_total + 1 < walk.out.size(); ++i) {
    walk.out[walk.decoded_total++] = '\n';
  }
  if (walk.decoded_total < walk.out.size()) walk.out[walk.decoded_total] = '\0';
}

// A closed header of the part's header block.
void examine_header(std::string_view header, int depth, MimeWalk& walk, Part& part) {
  constexpr std::string_view kContentType = "Content-Type:";
  constexpr std::string_view kEncoding = "Content-Transfer-Encoding:";
  if (starts_with_nc(header, kContentType)) {
    part.text = false;
    part.kind = PartKind::kLeaf;
    const std::string_view value = skip_blanks(header.substr(kContentType.size()));
    if (starts_with_nc(value, "multipart/")) {
      const std::size_t key = header.find("boundary=");
      if (key == std::string_view::npos) return;
      const std::size_t quote = header.find('"', key + 9);
      if (quote == std::string_view::npos) return;
      std::string_view boundary = header.substr(quote + 1);
      boundary = ncpy(boundary.substr(0, boundary.find('"')), kBoundaryMax);
      MimeBoundary& slot = walk.boundaries[static_cast<std::size_t>(depth)];
      std::memcpy(slot.text.data(), boundary.data(), boundary.size());
      slot.length = boundary.size();
      part.kind = PartKind::kMultipart;
    } else if (starts_with_nc(value, "message/rfc822")) {
      part.kind = PartKind::kEnclosed;
    } else if (starts_with_nc(value, "text/")) {
      part.text = true;
      if (depth == 0 && starts_with_nc(value.substr(5), "html")) walk.top_html = 1;
    }
  } else if (starts_with_nc(header, kEncoding)) {
    const std::string_view value = skip_blanks(header.substr(kEncoding.size()));
    if (starts_with_nc(value, "base64")) {
      part.encoding = Encoding::kBase64;
    } else if (starts_with_nc(value, "quoted-printable")) {
      part.encoding = Encoding::kQuoted;
    }
  }
}

// Reads the header block up to its empty line. Returns false when the part
// ends inside it (end of text or an output limit).
bool read_header_block(std::string_view message, std::size_t& position, int depth,
                       MimeWalk& walk, Part& part) {
  char* const header = walk.header.data();
  std::size_t header_length = 0;
  bool header_full = false;
  std::string_view line;
  for (;;) {
    if (!next_line(message, position, line)) return false;
    if (depth >= 1 && !emit(walk, line, true)) return false;
    if (!line.empty() && is_blank(line[0])) {
      const std::string_view rest = skip_blanks(line);
      if (rest.empty() || header_length == 0 || header_full) continue;
      if (header_length + rest.size() >= kHeaderLimit) {
        header_full = true;
        continue;
      }
      header[header_length++] = ' ';
      std::memcpy(header + header_length, rest.data(), rest.size());
      header_length += rest.size();
      continue;
    }
    examine_header({header, header_length}, depth, walk, part);
    if (line.empty()) return true;
    // A line is at most kGetlineSize - 1 characters, well inside the buffer.
    std::memcpy(header, line.data(), line.size());
    header_length = line.size();
    header_full = false;
  }
}

// "--" and the boundary of a depth below `depth`, then nothing or "--".
bool is_enclosing_boundary(std::string_view line, int depth, const MimeWalk& walk) {
  if (line.size() < 2 || line[0] != '-' || line[1] != '-') return false;
  const std::string_view rest = line.substr(2);
  for (int d = 0; d < depth; ++d) {
    const std::string_view boundary = walk.boundaries[static_cast<std::size_t>(d)].view();
    if (!starts_with_nc(rest, boundary)) continue;
    const std::string_view after = rest.substr(boundary.size());
    if (after.empty() || after == "--") return true;
  }
  return false;
}

// Zero bytes of a decoded line become blanks, so the decoded text never holds
// a NUL that would end it early.
std::string_view blank_zeros(char* bytes, int count) {
  std::replace(bytes, bytes + count, '\0', ' ');
  return {bytes, static_cast<std::size_t>(count)};
}

// How many bytes from `from` hold whole lines that a part without encoding
// copies exactly as they stand, one by one: lines that end in a newline
// within `room` bytes, hold no carriage return or NUL (which cut or end a
// line), are no longer than a line is kept, and do not start with "--"
// (which may be a boundary to look at).
std::size_t plain_lines(std::string_view text, std::size_t from, std::size_t room) {
  constexpr std::size_t kLongest = kGetlineSize - 1;
  auto opens_boundary = [&](std::size_t at) {
    return at + 1 < text.size() && text[at] == '-' && text[at + 1] == '-';
  };
  if (opens_boundary(from)) return 0;
  const std::size_t limit = std::min(text.size(), from + room);
  std::size_t line = from;  // start of the line being read
  std::size_t taken = from;  // end of the last line taken
  // A newline at `at`: the line ends there; false when no more lines are
  // taken after it.
  auto line_end = [&](std::size_t at) {
    if (at - line > kLongest) return false;
    taken = at + 1;
    line = at + 1;
    return !opens_boundary(line);
  };
  std::size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= limit; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_setzero_si128()))));
    auto newlines =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
    // Only newlines before the first stop end lines that are taken.
    if (stops != 0) newlines &= (stops & (0u - stops)) - 1;
    for (; newlines != 0; newlines &= newlines - 1) {
      if (!line_end(i + static_cast<std::size_t>(std::countr_zero(newlines)))) return taken - from;
    }
    if (stops != 0 || i + 16 - line > kLongest) return taken - from;
  }
#endif
  for (; i < limit; ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\0') break;
    if (c == '\n' && !line_end(i)) break;
  }
  return taken - from;
}

void walk_part(std::string_view message, std::size_t& position, int depth, MimeWalk& walk,
               Part& part) {
  if (!read_header_block(message, position, depth, walk, part)) return;
  if (part.text && walk.first_text_base64 == 0) {
    walk.first_text_base64 = part.encoding == Encoding::kBase64 ? 1 : -1;
  }
  if (part.kind == PartKind::kEnclosed && walk.enclosures < kMimeMaxEnclosures) {
    ++walk.enclosures;
    rf_create_decoded(message, position, depth, walk);
    --walk.enclosures;
    return;
  }

  const std::string_view own_boundary = walk.boundaries[static_cast<std::size_t>(depth)].view();
  std::string_view line;
  for (;;) {
    if (part.encoding == Encoding::kNone) {
      // Lines that go over unchanged are copied together, as long as the
      // text stays within its soft limit (the line that passes it, and
      // every other line, goes the way below).
      const std::size_t ceiling =
          std::min({kDecodedSoftLimit + 1, kDecodedHardLimit, walk.out.size()});
      const std::size_t room = ceiling > walk.decoded_total + 1 ? ceiling - 1 - walk.decoded_total : 0;
      const std::size_t run = plain_lines(message, position, room);
      if (run > 0) {
        std::memcpy(walk.out.data() + walk.decoded_total, message.data() + position, run);
        walk.decoded_total += run;
        walk.out[walk.decoded_total] = '\0';
        position += run;
      }
    }
    const std::size_t line_start = position;
    if (!next_line(message, position, line)) return;
    if (is_enclosing_boundary(line, depth, walk)) {
      position = line_start;
      return;
    }
    std::string_view written = line;
    bool newline = true;
    if (part.encoding == Encoding::kBase64) {
      const Base64Decoded decoded = decode_base64_partial(line, walk.scratch);
      written = blank_zeros(walk.scratch.data(), decoded.count);
      newline = false;
    } else if (part.encoding == Encoding::kQuoted) {
      const bool soft_break = !line.empty() && line.back() == '=';
      if (soft_break) line.remove_suffix(1);
      const int count =
          decode_quoted(line, std::span<char>(walk.scratch.data(), kQuotedLimit));
      written = blank_zeros(walk.scratch.data(), count);
      newline = !soft_break;
    }
    if (!emit(walk, written, newline)) return;

    if (part.kind != PartKind::kMultipart || written.size() < 2 || written[0] != '-' ||
        written[1] != '-') {
      continue;
    }
    const std::string_view rest = written.substr(2);
    if (!starts_with_nc(rest, own_boundary)) continue;
    const std::string_view after = rest.substr(own_boundary.size());
    if (after.empty()) {
      rf_create_decoded(message, position, depth + 1, walk);
    } else if (after == "--") {
      return;
    }
  }
}

}  // namespace

MimeWalk::MimeWalk(std::span<char> out) : out(out) {
  if (!out.empty()) out[0] = '\0';
}

void rf_create_decoded(std::string_view message, std::size_t& position, int depth,
                       MimeWalk& walk) {
  if (depth < 0 || depth > kMimeMaxDepth) return;
  Part part;
  walk_part(message, position, depth, walk, part);
  if (part.encoding == Encoding::kQuoted) emit_part_end(walk);
}

}  // namespace quarn
