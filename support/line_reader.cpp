#include "support/line_reader.h"

#include <algorithm>
#include <cstring>

namespace quarn {

LineReader::LineReader(std::FILE* file, std::size_t size, LineMode mode)
    : file_(file), limit_(size < 2 ? 0 : size - 1), mode_(mode), block_(new char[kBlock]) {}

bool LineReader::fill() {
  if (at_ < end_) return true;
  at_ = 0;
  end_ = std::fread(block_.get(), 1, kBlock, file_);
  return end_ > 0;
}

bool LineReader::next(std::string& line) {
  line.clear();
  while (line.size() < limit_ && fill()) {
    const char* const from = block_.get() + at_;
    const std::size_t window = std::min(end_ - at_, limit_ - line.size());
    const auto* lf = static_cast<const char*>(std::memchr(from, '\n', window));
    const std::size_t span = lf != nullptr ? static_cast<std::size_t>(lf - from) + 1 : window;
    const auto* cr = mode_ == LineMode::kText
                         ? static_cast<const char*>(std::memchr(from, '\r', span))
                         : nullptr;
    if (cr == nullptr) {
      line.append(from, span);
      at_ += span;
      if (lf != nullptr) break;
      continue;
    }
    // A CR directly before an LF reads as the LF alone; any other CR stays.
    line.append(from, static_cast<std::size_t>(cr - from));
    at_ += static_cast<std::size_t>(cr - from) + 1;
    if (fill() && block_[at_] == '\n') {
      line.push_back('\n');
      ++at_;
      break;
    }
    line.push_back('\r');
  }
  return !line.empty();
}

}  // namespace quarn
