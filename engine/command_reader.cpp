#include "engine/command_reader.h"

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

}  // namespace quarn
