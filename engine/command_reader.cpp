#include "engine/command_reader.h"

#include <cstring>

namespace quarn {

bool CommandReader::next(std::string& command) {
  command.clear();
  bool any = false;
  bool ended = false;  // a NUL byte ended the command text
  int c;
  while ((c = getc_unlocked(in_)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\0') ended = true;
    if (!ended && command.size() < kMaxCommand) command.push_back(static_cast<char>(c));
  }
  return any;
}

bool CommandReader::line_buffered() const {
#ifdef __GLIBC__
  const char* begin = in_->_IO_read_ptr;
  const char* end = in_->_IO_read_end;
  return begin != nullptr && end > begin &&
         std::memchr(begin, '\n', static_cast<std::size_t>(end - begin)) != nullptr;
#else
  return false;  // without a look into the buffer, every answer is flushed
#endif
}

}  // namespace quarn
