#include "engine/response.h"

#include "support/text.h"

namespace quarn {
namespace {

constexpr std::string_view kTerminator = ".\n";

}  // namespace

void ResponseBlock::set(std::string_view text) {
  text_.clear();
  append(text);
}

void ResponseBlock::append(std::string_view text) {
  const bool fits = text_.size() + text.size() <= kLimit;
  strcatn(text_, text, kLimit + 1);
  if (!fits && !text.empty() && text.back() == '\n' && !text_.empty()) text_.back() = '\n';
}

bool ResponseBlock::add_header(std::string_view line) {
  if (text_.size() + line.size() + 1 + kTerminator.size() > kLimit) return false;
  text_.append(line);
  text_.push_back('\n');
  return true;
}

void ResponseBlock::finish_data() {
  if (text_.size() + kTerminator.size() > kLimit) text_.resize(kLimit - kTerminator.size());
  text_.append(kTerminator);
}

}  // namespace quarn
