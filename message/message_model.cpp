#include "message/message_model.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "message/heuristics.h"
#include "message/line_reader.h"
#include "message/mime_walk.h"
#include "message/url_scan.h"
#include "support/text.h"

namespace quarn {
namespace {

constexpr std::size_t kHeadTextSize = 3200;
// A header line joins `head_text` only when this much room stays free.
constexpr std::size_t kHeadTextMargin = 1000;
// Each piece of a folded header keeps at most this many characters.
constexpr std::size_t kFoldPiece = 400;
// Lines of the body read for the encoding marks.
constexpr int kBodyScanLines = 100;
// The From-equals-To check works on copies of this many characters.
constexpr std::size_t kCompareCopy = 999;
// A body line longer than this without a blank looks base64-encoded.
constexpr std::size_t kBase64LineMin = 40;
// A uuencoded line of a full 45-byte group: "M" and 60 characters.
constexpr std::size_t kUuencodeLineLength = 61;
// A yEnc attachment counts as this many encoded lines at once.
constexpr std::int32_t kYencLines = 30;
// The body scan looks for "<html>" in this many of its first lines.
constexpr int kHtmlProbeLines = 3;

// A view that never has a null data pointer, so a value can always be
// handed to C interfaces.
constexpr std::string_view kEmpty = "";

std::string_view non_null(std::string_view text) { return text.data() == nullptr ? kEmpty : text; }

bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

bool contains_nc(std::string_view text, std::string_view needle) {
  return strstrnc(text, needle) != std::string_view::npos;
}

// What a header name stands for besides a header line of the message.
enum class NameKind : std::uint8_t {
  kOther,
  kBody,
  kRawbody,
  kFull,
  kUrls,
  kRecipient,
  kReturnPath,
  kSenderIp,
  kHead,
  kToAddr,
  kFromAddr,
};

NameKind name_kind(std::string_view name) {
  static constexpr std::pair<std::string_view, NameKind> kNames[] = {
      {"body", NameKind::kBody},           {"rawbody", NameKind::kRawbody},
      {"full", NameKind::kFull},           {"urls", NameKind::kUrls},
      {"recipient", NameKind::kRecipient}, {"return-path", NameKind::kReturnPath},
      {"sender-ip", NameKind::kSenderIp},  {"head", NameKind::kHead},
      {"to-addr", NameKind::kToAddr},      {"from-addr", NameKind::kFromAddr},
  };
  // Names are kept lower-cased, so an exact comparison ignores case.
  for (const auto& [text, kind] : kNames) {
    if (name == text) return kind;
  }
  return NameKind::kOther;
}

// The header names of the current filter as one run sees them (the names
// registered before the run started), with the indexes grouped by their
// first character so that a header line is only compared with the names
// that can match it.
struct RunNames {
  std::size_t count = 0;
  std::array<std::string_view, kMaxHeaders> name{};
  std::array<NameKind, kMaxHeaders> kind{};
  // Indexes of the non-empty names ordered by first character; those
  // starting with character c are order[start[c]] .. order[start[c + 1]].
  std::array<std::uint8_t, kMaxHeaders> order{};
  std::array<std::uint8_t, 257> start{};
  // An empty name matches every line.
  std::array<std::uint8_t, kMaxHeaders> empty{};
  std::size_t empty_count = 0;
  int to_addr = -1;
  int from_addr = -1;

  void build(std::span<const std::string> names) {
    count = std::min(names.size(), kMaxHeaders);
    std::array<std::uint8_t, 256> sizes{};
    for (std::size_t i = 0; i < count; ++i) {
      name[i] = cstr_view(names[i]);
      kind[i] = name_kind(name[i]);
      if (kind[i] == NameKind::kToAddr) to_addr = static_cast<int>(i);
      if (kind[i] == NameKind::kFromAddr) from_addr = static_cast<int>(i);
      if (name[i].empty()) {
        empty[empty_count++] = static_cast<std::uint8_t>(i);
      } else {
        ++sizes[first(i)];
      }
    }
    start[0] = 0;
    for (std::size_t c = 0; c < 256; ++c) {
      start[c + 1] = static_cast<std::uint8_t>(start[c] + sizes[c]);
    }
    std::array<std::uint8_t, 256> fill{};
    for (std::size_t i = 0; i < count; ++i) {
      if (name[i].empty()) continue;
      const std::size_t c = first(i);
      order[start[c] + fill[c]++] = static_cast<std::uint8_t>(i);
    }
  }

  std::size_t first(std::size_t i) const {
    return static_cast<unsigned char>(ascii_lower(name[i][0]));
  }
};

// Position of the first double quote at or after `from` that does not
// follow a backslash, or npos.
std::size_t closing_quote(std::string_view text, std::size_t from) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == '"' && (i == 0 || text[i - 1] != '\\')) return i;
  }
  return std::string_view::npos;
}

// The address part of `text`, as a view into it.
std::string_view addr_view(std::string_view text) {
  text = cstr_view(text);
  std::size_t from = 0;
  if (!text.empty() && text[0] == '"') {
    from = closing_quote(text, 1);
    if (from == std::string_view::npos) return kEmpty;
  }
  const std::size_t open = text.find('<', from);
  if (open == std::string_view::npos) return kEmpty;
  const std::size_t start = open + 1;
  std::size_t end_from = start;
  if (start < text.size() && text[start] == '"') {
    const std::size_t quote = closing_quote(text, start + 1);
    if (quote != std::string_view::npos) end_from = quote;
  }
  const std::size_t close = text.find('>', end_from);
  return text.substr(start, close == std::string_view::npos ? std::string_view::npos
                                                           : close - start);
}

// The text after a matched header name: from two characters after the name
// on (the colon and one more character), leading blanks and tabs skipped
// except for "body".
std::string_view header_value(std::string_view line, std::size_t name_length, bool keep_blanks) {
  if (line.size() < name_length + 2) return kEmpty;
  const std::string_view value = line.substr(name_length + 2);
  return keep_blanks ? value : skip_blanks(value);
}

// The text after `prefix_length` characters of the line (empty when the
// line is shorter).
std::string_view after(std::string_view line, std::size_t prefix_length) {
  return line.size() < prefix_length ? kEmpty : line.substr(prefix_length);
}

// The raw body: the text after the first "\n\n", or else after the first
// "\n\r\n"; none without either.
std::size_t raw_body_length(std::string_view text) {
  std::size_t found = text.find("\n\n");
  if (found != std::string_view::npos) return text.size() - (found + 2);
  found = text.find("\n\r\n");
  if (found != std::string_view::npos) return text.size() - (found + 3);
  return 0;
}

// Number of newline characters (the message is read whole for every run,
// so this is worth the trick): sixteen bytes at a time where the processor
// allows, each byte of a counter block adding up to 255 of its matches.
std::int32_t count_newlines(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t count = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n');
  while (n - i >= 16) {
    const std::size_t blocks = std::min<std::size_t>((n - i) / 16, 255);
    __m128i counts = _mm_setzero_si128();
    for (std::size_t b = 0; b < blocks; ++b, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(v, newline));  // a match is -1
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; i < n; ++i) count += p[i] == '\n' ? 1 : 0;
  return static_cast<std::int32_t>(count);
}

enum class SlotKind : std::uint8_t {
  kNone,
  kOwned,
  kBorrowed,
  // Read through at each access: the envelope texts the filter layer and
  // the interpreter keep current.
  kRecipient,
  kReturnPath,
  kSenderIp,
};

struct Slot {
  SlotKind kind = SlotKind::kNone;
  bool replaced = false;
  std::string owned;          // the value of an owned slot (capacity kept across runs)
  std::string_view borrowed;  // the value of a borrowed slot
};

}  // namespace

struct MessageModel::Impl {
  std::array<Slot, kMaxHeaders> slots;
  MessageMarks marks;
  HeuristicFlags flags;
  HtmlStats stats;
  std::vector<std::string> added;
  // The storages borrowed values point into; none of them changes between
  // `build` and the end of the run.
  std::string message;
  std::string urls;
  std::string head_text;
  std::string_view visible = kEmpty;
  std::size_t decoded_length = 0;
  std::string return_path_text;
  std::string sender_ip_text;
  std::string recipient_text;
  std::uint64_t stamp = next_stamp();

  // Stamps are unique in the process, across models.
  static std::uint64_t next_stamp() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  void values_changed() { stamp = next_stamp(); }

  Impl() {
    head_text.reserve(kHeadTextSize);
    return_path_text.reserve(kEnvelopeTextLimit + 1);
    sender_ip_text.reserve(kEnvelopeTextLimit + 1);
    recipient_text.reserve(kEnvelopeTextLimit + 1);
  }

  Slot* slot(std::int32_t index) {
    return index < 0 || static_cast<std::size_t>(index) >= slots.size()
               ? nullptr
               : &slots[static_cast<std::size_t>(index)];
  }
  const Slot* slot(std::int32_t index) const {
    return const_cast<Impl*>(this)->slot(index);
  }

  std::string_view value(const Slot& s) const {
    switch (s.kind) {
      case SlotKind::kNone: return kEmpty;
      case SlotKind::kOwned: return s.owned;
      case SlotKind::kBorrowed: return s.borrowed;
      case SlotKind::kRecipient: return recipient_text;
      case SlotKind::kReturnPath: return return_path_text;
      case SlotKind::kSenderIp: return sender_ip_text;
    }
    return kEmpty;
  }

  // `text` never overlaps the slot's own value here.
  void set_owned(std::size_t index, std::string_view text) {
    Slot& s = slots[index];
    s.owned.assign(text);
    s.kind = SlotKind::kOwned;
  }
  void set_borrowed(std::size_t index, std::string_view text) {
    Slot& s = slots[index];
    s.owned.clear();
    s.borrowed = non_null(text);
    s.kind = SlotKind::kBorrowed;
  }
  void set_kind(std::size_t index, SlotKind kind) {
    Slot& s = slots[index];
    s.owned.clear();
    s.kind = kind;
  }

  void clear_values() {
    for (Slot& s : slots) {
      s.owned.clear();
      s.borrowed = {};
      s.kind = SlotKind::kNone;
    }
  }

  bool header_scan(const RunNames& names, std::size_t& position);
  void body_scan(const RunNames& names, std::size_t position);
};

// Reads the header lines up to the empty line; true when there was one
// (`position` is then the start of the body).
bool MessageModel::Impl::header_scan(const RunNames& names, std::size_t& position) {
  const std::string_view text = message;
  int current = -1;
  bool header_text = false;
  bool header_html = false;
  std::string_view line;
  while (next_line(text, position, line)) {
    if (current >= 0 && !line.empty() && is_blank(line[0])) {
      std::string& value = slots[static_cast<std::size_t>(current)].owned;
      value.resize(std::min(value.size(), kFoldPiece));
      value.push_back('\n');
      value.append(ncpy(skip_blanks(line), kFoldPiece));
    } else {
      current = -1;
      auto take = [&](std::size_t index) {
        const std::string_view name = names.name[index];
        set_owned(index, header_value(line, name.size(), names.kind[index] == NameKind::kBody));
        current = std::max(current, static_cast<int>(index));
      };
      if (!line.empty()) {
        const auto c = static_cast<unsigned char>(ascii_lower(line[0]));
        for (std::size_t k = names.start[c]; k < names.start[c + 1]; ++k) {
          const std::size_t index = names.order[k];
          if (starts_with_nc(line, names.name[index])) take(index);
        }
      }
      for (std::size_t k = 0; k < names.empty_count; ++k) take(names.empty[k]);
      if (names.to_addr >= 0 && starts_with_nc(line, "to:")) {
        set_owned(static_cast<std::size_t>(names.to_addr), addr_view(after(line, 4)));
      }
      if (names.from_addr >= 0 && starts_with_nc(line, "from:")) {
        set_owned(static_cast<std::size_t>(names.from_addr), addr_view(after(line, 6)));
      }
      if (!line.empty() && ascii_lower(line[0]) == 'c') {
        if (starts_with_nc(line, "Content-Transfer-Encoding: base64")) marks.isbase64 = 1;
        if (starts_with_nc(line, "Content-Type: image")) marks.isimage = 1;
        if (starts_with_nc(line, "Content-Type: text/html")) {
          marks.ishtml = 1;
          header_html = true;
        }
        if (starts_with_nc(line, "Content-Type: text")) header_text = true;
      }
      marks.isencodedtext = marks.isbase64 != 0 && header_text ? 1 : 0;
      marks.isencodedhtml = marks.isbase64 != 0 && header_html ? 1 : 0;
      if (line.empty()) return true;
    }
    if (head_text.size() + line.size() + kHeadTextMargin <= kHeadTextSize) {
      head_text.append(line);
      head_text.push_back('\n');
    }
  }
  return false;
}

// The pseudo-headers, then the encoding marks of the first body lines.
void MessageModel::Impl::body_scan(const RunNames& names, std::size_t position) {
  const std::string_view text = message;
  for (std::size_t i = 0; i < names.count; ++i) {
    switch (names.kind[i]) {
      case NameKind::kBody: set_borrowed(i, visible); break;
      case NameKind::kRawbody: set_borrowed(i, text.substr(position)); break;
      case NameKind::kFull: set_borrowed(i, text); break;
      case NameKind::kUrls: set_borrowed(i, urls); break;
      case NameKind::kRecipient: set_kind(i, SlotKind::kRecipient); break;
      case NameKind::kReturnPath:
        if (slots[i].kind == SlotKind::kNone && !return_path_text.empty()) {
          set_kind(i, SlotKind::kReturnPath);
        }
        break;
      case NameKind::kSenderIp:
        if (slots[i].kind == SlotKind::kNone && !sender_ip_text.empty()) {
          set_kind(i, SlotKind::kSenderIp);
        }
        break;
      default: break;
    }
  }

  bool uuencode = false;
  bool part_base64 = false;
  bool part_text = false;
  bool part_html = false;
  std::string_view line;
  for (int n = 0; n < kBodyScanLines && next_line(text, position, line); ++n) {
    if (starts_with_nc(line, "=ybegin")) {
      marks.isencoded = 1;
      marks.encoded_lines += kYencLines;
    }
    if (starts_with_nc(line, "begin ")) {
      // A vCard sent as "begin 644 card.vcf" is not an attachment to count.
      uuencode = !contains(line, ".vcf");
      if (contains_nc(line, ".jpg") || contains_nc(line, ".jpeg") || contains_nc(line, ".bmp") ||
          contains_nc(line, ".tif") || contains_nc(line, ".gif")) {
        marks.isimage = 1;
      }
      if (contains_nc(line, ".txt") || contains_nc(line, ".text")) marks.isencodedtext = 1;
      if (contains_nc(line, ".htm")) marks.isencodedhtml = 1;
      if (contains_nc(line, ".url")) marks.isencodedurl = 1;
    }
    if (uuencode && line.size() == kUuencodeLineLength && line[0] == 'M') {
      marks.isuuencoded = 1;
      ++marks.encoded_lines;
    }
    if (marks.isbase64 != 0 && line.size() > kBase64LineMin && !contains(line, " ")) {
      ++marks.encoded_lines;
    }
    if (n < kHtmlProbeLines && contains_nc(line, "<html>")) marks.ishtml = 1;
    if (line.empty()) {
      marks.isencodedtext = part_base64 && part_text ? 1 : 0;
      marks.isencodedhtml = part_base64 && part_html ? 1 : 0;
      part_base64 = part_text = part_html = false;
      continue;
    }
    if (ascii_lower(line[0]) != 'c') continue;
    if (starts_with_nc(line, "Content-Transfer-Encoding: base64")) {
      part_base64 = true;
      marks.isbase64 = 1;
    }
    if (starts_with_nc(line, "Content-Type: image")) marks.isimage = 1;
    if (starts_with_nc(line, "Content-Type: text")) part_text = true;
    if (starts_with_nc(line, "Content-Type: text/html")) {
      part_html = true;
      marks.ishtml = 1;
    }
  }
}

MessageModel::MessageModel() : impl_(std::make_unique<Impl>()) {}
MessageModel::~MessageModel() = default;

int MessageModel::build(std::string_view message, std::span<char> decoded,
                                  std::string& urls, std::span<const std::string> header_names) {
  Impl& m = *impl_;
  m.values_changed();
  m.message.assign(cstr_view(message));
  const std::string_view text = m.message;
  m.marks = MessageMarks{};

  // Values of an earlier run that was not ended are dropped with it.
  m.clear_values();
  for (Slot& s : m.slots) s.replaced = false;
  RunNames names;
  names.build(header_names);

  const std::size_t raw_body = raw_body_length(text);

  MimeWalk walk(decoded);
  std::size_t walk_position = 0;
  rf_create_decoded(text, walk_position, 0, walk);
  rf_scan_urls(walk.decoded(), m.urls);
  urls.assign(m.urls);
  m.decoded_length = rf_strip_html(decoded, walk.decoded_total, walk.top_html, m.stats);
  m.visible = decoded.empty() ? kEmpty : std::string_view(decoded.data(), m.decoded_length);

  HeuristicInput heuristics;
  heuristics.stats = m.stats;
  heuristics.raw_body_length = static_cast<std::int64_t>(raw_body);
  heuristics.visible_length = static_cast<std::int64_t>(m.decoded_length);
  heuristics.first_text_base64 = walk.first_text_base64;
  m.flags = find_heuristic_flags(heuristics);

  m.head_text.clear();
  std::size_t position = 0;
  if (m.header_scan(names, position)) m.body_scan(names, position);

  if (m.marks.isuuencoded != 0 || m.marks.isbase64 != 0 || m.marks.isimage != 0) {
    m.marks.isencoded = 1;
  }
  for (std::size_t i = 0; i < names.count; ++i) {
    if (names.kind[i] == NameKind::kHead) m.set_borrowed(i, m.head_text);
  }
  m.marks.line_count = count_newlines(text);
  return 1;
}

int MessageModel::has_header(std::int32_t index) const {
  const Slot* s = impl_->slot(index);
  return s != nullptr && s->kind != SlotKind::kNone ? 1 : 0;
}

std::string_view MessageModel::header(std::int32_t index) const {
  const Slot* s = impl_->slot(index);
  return s == nullptr ? kEmpty : impl_->value(*s);
}

std::int32_t MessageModel::header_length(std::int32_t index) const {
  return static_cast<std::int32_t>(header(index).size());
}

void MessageModel::set_header(std::int32_t index, std::string_view text) {
  Slot* s = impl_->slot(index);
  if (s == nullptr || s->kind == SlotKind::kBorrowed || s->kind == SlotKind::kRecipient ||
      s->kind == SlotKind::kReturnPath || s->kind == SlotKind::kSenderIp) {
    return;
  }
  std::string copy(text);  // `text` may be this slot's own value
  impl_->values_changed();
  s->owned.swap(copy);
  s->kind = SlotKind::kOwned;
  s->replaced = true;
}

const MessageMarks& MessageModel::marks() const { return impl_->marks; }
std::uint64_t MessageModel::values_stamp() const { return impl_->stamp; }
const HeuristicFlags& MessageModel::heuristic_flags() const { return impl_->flags; }

void MessageModel::add_header(std::string_view line) {
  if (impl_->added.size() < static_cast<std::size_t>(kMaxAddedHeaders)) {
    impl_->added.emplace_back(line);
  }
}


void MessageModel::clear() {
  impl_->values_changed();
  impl_->clear_values();
  impl_->added.clear();
}

int MessageModel::from_in_to(std::int32_t to_index, std::int32_t from_index) const {
  const std::string_view to = ncpy(cstr_view(header(to_index)), kCompareCopy);
  const std::string_view from = ncpy(cstr_view(header(from_index)), kCompareCopy);

  Tokenizer pieces(from);
  std::string_view pattern;
  for (std::string_view piece = pieces.next("(<>)"); !piece.empty(); piece = pieces.next("(<>)")) {
    if (contains(piece, "@")) pattern = piece;
  }
  if (pattern.empty()) return 0;
  // Both sides lower-cased: a search ignoring ASCII case.
  return contains_nc(to, pattern) ? 1 : 0;
}

void MessageModel::set_return_path(std::string_view text) {
  impl_->values_changed();
  impl_->return_path_text.assign(ncpy(cstr_view(text), kEnvelopeTextLimit));
}
void MessageModel::set_sender_ip(std::string_view text) {
  impl_->values_changed();
  impl_->sender_ip_text.assign(ncpy(cstr_view(text), kEnvelopeTextLimit));
}
void MessageModel::set_recipient(std::string_view text) {
  impl_->values_changed();
  impl_->recipient_text.assign(ncpy(cstr_view(text), kEnvelopeTextLimit));
}

bool MessageModel::replaced(std::int32_t index) const {
  const Slot* s = impl_->slot(index);
  return s != nullptr && s->replaced;
}

const std::vector<std::string>& MessageModel::added_headers() const { return impl_->added; }
void MessageModel::reset_added_headers() { impl_->added.clear(); }

bool MessageModel::headers_changed() const {
  if (!impl_->added.empty()) return true;
  return std::any_of(impl_->slots.begin(), impl_->slots.end(),
                     [](const Slot& s) { return s.replaced; });
}

std::string_view MessageModel::message() const { return impl_->message; }
std::size_t MessageModel::decoded_length() const { return impl_->decoded_length; }
const HtmlStats& MessageModel::html_stats() const { return impl_->stats; }
std::string_view MessageModel::head_text() const { return impl_->head_text; }

std::string rf_get_addr(std::string_view text) { return std::string(addr_view(text)); }

}  // namespace quarn
