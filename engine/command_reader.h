// Reads the mail server's command lines from a stream.
//
// One input line is one command: a line longer than 999 characters is cut
// at 999 and the rest of that line is discarded, so every line the server
// writes gets exactly one answer. The line end is not part of the command; a
// NUL byte ends the command text as it would end a C string. A last line
// without line end still counts.
//
// Owner: the main thread.
#pragma once

#include <cstdio>
#include <string>

namespace quarn {

class CommandReader {
 public:
  static constexpr std::size_t kMaxCommand = 999;

  explicit CommandReader(std::FILE* in) : in_(in) {}
  // False at end of input.
  bool next(std::string& command);
  // True when the next command line is already whole in the input buffer,
  // so reading it cannot wait on the server. Answers may then stay in the
  // output buffer: a server that writes commands ahead gets them in fewer
  // writes, and one that waits for each answer always finds it flushed.
  bool line_buffered() const;

 private:
  std::FILE* in_;
};

}  // namespace quarn
