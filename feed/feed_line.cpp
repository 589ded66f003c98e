#include "feed/feed_line.h"

#include <cstdlib>
#include <vector>

#include "signature/signature_text.h"

namespace quarn::feed {
namespace {

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < line.size() && fields.size() < 9) {
    while (pos < line.size() && (line[pos] == '|' || line[pos] == '~')) ++pos;
    if (pos >= line.size()) break;
    std::size_t end = pos;
    while (end < line.size() && line[end] != '|' && line[end] != '~') ++end;
    fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

// atoi over a field that is not NUL-terminated, clamped to 32 bits.
std::int32_t read_number(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  std::int64_t value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos++] - '0');
    if (value > INT32_MAX) value = INT32_MAX + std::int64_t{1};
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace

ParsedLine parse_feed_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  const std::vector<std::string_view> fields = split_fields(line);
  if (fields.empty()) return SkipLine{};
  const std::string_view command = fields[0];
  if (command == "TIME") return SkipLine{};
  if (command != "SET" && command != "DEL") return LineError{"unknown command"};
  if (fields.size() < 2) return LineError{"incomplete line"};
  const std::int32_t id = read_number(fields[1]);
  if (id < 1) return LineError{"invalid ID"};
  if (command == "DEL") return DelLine{id};
  if (fields.size() < 8) return LineError{"incomplete SET line"};
  SetLine set;
  set.id = id;
  set.stamp = read_number(fields[2]);
  if (set.stamp < 1) return LineError{"invalid timestamp"};
  set.count = read_number(fields[3]);
  set.other = read_number(fields[4]);
  set.status = read_number(fields[5]);
  set.type = read_number(fields[6]);
  const std::string_view signature = fields[7];
  if (signature.empty() || signature[0] != 'A') return LineError{"unknown rule set"};
  const std::string_view text = signature.substr(1);
  if (text.size() > 999 || !validatecrc(text)) return LineError{"invalid signature check"};
  if (read_crc_pieces(text, set.crcs) != kPartCount) return LineError{"not nine part CRCs"};
  // Stored in the canonical form, so every line the feed sends is one an
  // engine accepts whatever separators the imported text used.
  set.signature = "A" + make_signature_text(set.crcs);
  return set;
}

std::string format_set_line(const SetLine& r) {
  std::string line = "SET|";
  for (std::int64_t v : {std::int64_t{r.id}, std::int64_t{r.stamp}, std::int64_t{r.count},
                         std::int64_t{r.other}, std::int64_t{r.status}, std::int64_t{r.type}}) {
    line += std::to_string(v);
    line += '|';
  }
  line += r.signature;
  line += "|\n";
  return line;
}

std::string format_del_line(std::int32_t id) { return "DEL|" + std::to_string(id) + "\n"; }

std::string format_time_line(std::int64_t stamp) { return "TIME|" + std::to_string(stamp) + "\n"; }

}  // namespace quarn::feed
