#include "message/line_reader.h"

#include <algorithm>
#include <cstring>

#include "support/text.h"

namespace quarn {

int next_line(std::string_view text, std::size_t& position, std::string_view& line,
                    std::size_t size) {
  if (position >= text.size()) return 0;
  const char* start = text.data() + position;
  const std::size_t avail = text.size() - position;
  const auto* newline = static_cast<const char*>(std::memchr(start, '\n', avail));
  if (newline == nullptr) return 0;
  const auto length = static_cast<std::size_t>(newline - start);
  // A NUL before the newline is the end of the text: the line has no newline.
  if (std::memchr(start, '\0', length) != nullptr) return 0;
  position += length + 1;
  std::string_view whole(start, std::min(length, size == 0 ? 0 : size - 1));
  line = whole.substr(0, whole.find('\r'));
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
