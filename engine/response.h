// The response block of one command.
//
// Every command's answer is built here and written to standard output as
// one block. The block never holds more than 999 characters. Two guarantees
// keep the mail server in step with the engine even when the text is cut:
//
//   - a DATA block always ends with its "." line: header lines are added
//     whole or not at all, and room for ".\n" is always kept;
//   - any other answer that has to be cut still ends with its line end.
//
// Owner: the engine's main thread (the header-add callback of the filter
// appends to it during a scan, on the same thread).
#pragma once

#include <string>
#include <string_view>

namespace quarn {

class ResponseBlock {
 public:
  static constexpr std::size_t kLimit = 999;

  void clear() { text_.clear(); }
  // Replaces everything with one answer.
  void set(std::string_view text);
  // Appends text, cut at the limit; a cut answer keeps its final line end.
  void append(std::string_view text);
  // Appends one header line of a DATA block (`line` without its line end)
  // when it fits whole together with the closing ".\n"; else drops it.
  // Returns whether it was added.
  bool add_header(std::string_view line);
  // Ends a DATA block with its "." line.
  void finish_data();

  const std::string& text() const { return text_; }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};

}  // namespace quarn
