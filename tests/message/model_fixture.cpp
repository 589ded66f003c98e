#include "tests/message/model_fixture.h"

#include <algorithm>

#include "support/text.h"

namespace quarn::testing {
namespace {

std::string normalized(std::string_view name) {
  std::string out = ascii_lowered(name);
  if (auto colon = out.find(':'); colon != std::string::npos) out.resize(colon);
  return out;
}

}  // namespace

std::int32_t ModelRun::index(std::string_view name) const {
  const auto found = std::find(headers_.begin(), headers_.end(), normalized(name));
  return found == headers_.end() ? -1 : static_cast<std::int32_t>(found - headers_.begin());
}

std::int32_t ModelRun::header_index(std::string_view name) {
  const std::int32_t found = index(name);
  if (found >= 0) return found;
  headers_.push_back(normalized(name));
  return static_cast<std::int32_t>(headers_.size() - 1);
}

void ModelRun::set_flag(std::string_view name, std::int32_t value) {
  const std::string key = normalized(name);
  const auto found = std::find(flag_names_.begin(), flag_names_.end(), key);
  if (found == flag_names_.end()) {
    flag_names_.push_back(key);
    flag_values_.push_back(value);
  } else {
    flag_values_[static_cast<std::size_t>(found - flag_names_.begin())] = value;
  }
}

int ModelRun::process(std::string_view message) {
  std::fill(flag_values_.begin(), flag_values_.end(), 0);
  set_flag("html_encoded", 0);
  set_flag("__UNUSABLE_MSGID", 0);
  const int result = model_.build(message, decoded, urls, headers_);
  const HeuristicFlags& earned = model_.heuristic_flags();
  for (std::size_t i = 0; i < earned.count; ++i) set_flag(earned.names[i], 1);
  header_index("to");
  return result;
}

int ModelRun::cmpfromto() {
  const std::int32_t to = header_index("to");
  const std::int32_t from = header_index("from");
  if (model_.from_in_to(to, from) == 0) return 0;
  set_flag("FROMEQTO", 1);
  return 1;
}

std::int32_t ModelRun::flag(std::string_view name) const {
  const auto found = std::find(flag_names_.begin(), flag_names_.end(), normalized(name));
  if (found == flag_names_.end()) return 0;
  return flag_values_[static_cast<std::size_t>(found - flag_names_.begin())];
}

std::string ModelRun::flags_set() const {
  std::string text;
  for (std::size_t i = 0; i < flag_names_.size(); ++i) {
    if (flag_values_[i] == 0) continue;
    if (!text.empty()) text += ' ';
    text += flag_names_[i];
  }
  return text;
}

std::string marks_text(const MessageMarks& marks) {
  std::string text;
  auto add = [&text](const char* name, std::int32_t value) {
    if (value == 0) return;
    if (!text.empty()) text += ' ';
    text += name;
    if (value != 1) text += "=" + std::to_string(value);
  };
  add("ishtml", marks.ishtml);
  add("isbase64", marks.isbase64);
  add("isimage", marks.isimage);
  add("isuuencoded", marks.isuuencoded);
  add("isencodedtext", marks.isencodedtext);
  add("isencodedhtml", marks.isencodedhtml);
  add("isencodedurl", marks.isencodedurl);
  add("isencoded", marks.isencoded);
  if (marks.encoded_lines != 0) {
    if (!text.empty()) text += ' ';
    text += "encoded_lines=" + std::to_string(marks.encoded_lines);
  }
  return text;
}

}  // namespace quarn::testing
