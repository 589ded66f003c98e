// Reading a long file line by line in large blocks.
//
// `LineReader` yields exactly the lines (and pieces of over-long lines) that
// `read_line` (support/file.h) yields on the same stream with the same size
// and mode, but reads the stream a block at a time and cuts the lines out of
// the block, instead of taking it a byte at a time. Files of a million lines
// (the database file) are read this way.
//
// Ownership: the reader borrows the stream, which must outlive it, and
// reads it from its current position on; once the reader has been used,
// the stream's position lies somewhere ahead of the lines handed out.
// One thread at a time.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "support/file.h"

namespace quarn {

class LineReader {
 public:
  LineReader(std::FILE* file, std::size_t size, LineMode mode);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line or piece into `line`, as read_line gives it; false at the
  // end of the file or on a read error, with `line` empty.
  bool next(std::string& line);

 private:
  // Fills the block when it is used up; false when nothing is left.
  bool fill();

  static constexpr std::size_t kBlock = 1 << 16;
  std::FILE* const file_;
  const std::size_t limit_;  // characters per line
  const LineMode mode_;
  std::unique_ptr<char[]> block_;
  std::size_t at_ = 0;
  std::size_t end_ = 0;
};

}  // namespace quarn
