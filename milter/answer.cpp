#include "milter/answer.h"

#include <cstdlib>
#include <strings.h>

namespace quarn::milter {

namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

void AnswerReader::feed(std::string_view bytes) {
  // Drop what was consumed before growing, so a long run of answers never
  // keeps all of them.
  if (pos_ > 0 && pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  } else if (pos_ > 65536) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  buffer_.append(bytes);
}

void AnswerReader::reset() {
  buffer_.clear();
  pos_ = 0;
  open_.reset();
  open_bytes_ = 0;
}

std::optional<std::string_view> AnswerReader::take_line() {
  std::size_t end = buffer_.find('\n', pos_);
  if (end == std::string::npos) return std::nullopt;
  std::string_view line(buffer_.data() + pos_, end - pos_);
  pos_ = end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<Answer> AnswerReader::next() {
  while (auto line = take_line()) {
    if (open_) {
      if (*line == ".") {
        Answer done = std::move(*open_);
        open_.reset();
        open_bytes_ = 0;
        return done;
      }
      open_->headers.emplace_back(*line);
      open_bytes_ += line->size() + 1;
      continue;
    }
    std::size_t blank = line->find(' ');
    if (blank == std::string_view::npos) continue;  // no block starts here
    std::string_view tag = line->substr(0, blank);
    std::string_view rest = line->substr(blank + 1);
    Answer answer;
    answer.tag = std::string(tag);
    if (rest == "DATA") {
      answer.kind = Answer::Kind::kData;
      open_ = std::move(answer);
    } else if (rest == "CLEAN") {
      answer.kind = Answer::Kind::kClean;
      return answer;
    } else if (rest.starts_with("ERROR")) {
      answer.kind = Answer::Kind::kError;
      rest.remove_prefix(5);
      if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
      answer.error = std::string(rest);
      return answer;
    }
    // Anything else (an OK answer of FINDCRC, stray text) is not ours.
  }
  return std::nullopt;
}

double spam_total(std::string_view line) {
  constexpr std::string_view kName = "X-SpamDetect:";
  if (!starts_with_nocase(line, kName)) return 0.0;
  line.remove_prefix(kName.size());
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && line.front() == '*') line.remove_prefix(1);
  if (line.empty() || line.front() != ':') return 0.0;
  line.remove_prefix(1);
  std::string number(line.substr(0, 64));
  char* end = nullptr;
  double total = std::strtod(number.c_str(), &end);
  if (end == number.c_str()) return 0.0;
  return total;
}

Judgement judge(const Answer& answer) {
  Judgement j;
  for (const std::string& line : answer.headers) {
    if (starts_with_nocase(line, "X-Quarn-Match:")) j.match = true;
    double total = spam_total(line);
    if (total > j.total) j.total = total;
  }
  return j;
}

bool is_verdict_header(std::string_view name) {
  return starts_with_nocase(name, "X-Quarn-") ||
         (name.size() == 12 && starts_with_nocase(name, "X-SpamDetect"));
}

std::optional<std::pair<std::string, std::string>> split_header(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view name = line.substr(0, colon);
  if (name.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  return std::pair{std::string(name), std::string(value)};
}

}  // namespace quarn::milter
