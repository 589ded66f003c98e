#include "tests/message/model_fixture.h"

namespace quarn::testing {

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
