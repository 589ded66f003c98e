// Reads the engine's answers from its standard output and judges them.
//
// The engine answers every command line with one block:
//
//   <tag> DATA\n          a scanned message: header lines follow, one per
//   <header line>\n       line, up to a line holding a single "."
//   ...
//   .\n
//   <tag> CLEAN\n         a message too large for the engine: not scanned
//   <tag> ERROR <why>\n   the command failed (an empty line may follow the
//                         "Incorrect number of parameters" answer)
//
// Lines end in "\n" (a "\r" before it is dropped). A line that starts no block
// (an empty line, stray output) is skipped. Answers come back in the order of
// the commands; the tag tells which command an answer belongs to.
//
// `AnswerReader` is a pure parser: bytes in, complete answers out, in any
// chunking. One reader belongs to one engine's output and to one thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::milter {

struct Answer {
  enum class Kind { kData, kClean, kError };
  std::string tag;
  Kind kind = Kind::kError;
  std::vector<std::string> headers;  // DATA: the header lines, without line ends
  std::string error;                 // ERROR: the text after "ERROR "
};

class AnswerReader {
 public:
  // Adds bytes read from the engine.
  void feed(std::string_view bytes);
  // The next complete answer, if one has arrived.
  std::optional<Answer> next();
  // Bytes held for an answer not yet complete (bounded by the caller).
  std::size_t pending_bytes() const { return buffer_.size() - pos_ + open_bytes_; }
  // Drops everything held (the engine was restarted).
  void reset();

 private:
  std::optional<std::string_view> take_line();

  std::string buffer_;
  std::size_t pos_ = 0;
  std::optional<Answer> open_;  // a DATA block still waiting for its "."
  std::size_t open_bytes_ = 0;  // the size of its lines so far
};

// What the mail server is told to do with one scanned message.
struct Judgement {
  bool match = false;        // an X-Quarn-Match line is present
  double total = 0.0;        // the X-SpamDetect total, 0 without one
};
Judgement judge(const Answer& answer);

// The total of an "X-SpamDetect: ***: 3.200000 names" line (0 when the line
// is not one).
double spam_total(std::string_view header_line);

// True when `name` is one of the headers the engine sets (X-Quarn-* and
// X-SpamDetect, any case): copies a message arrives with are removed.
bool is_verdict_header(std::string_view name);

// Splits "Name: value" into its name and its value without the blanks after
// the colon; nothing for a line without a colon or with an empty name.
std::optional<std::pair<std::string, std::string>> split_header(std::string_view line);

}  // namespace quarn::milter
