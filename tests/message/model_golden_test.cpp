// Golden files of the message model: tests/data/model/NAME.eml goes through
// `build` and `from_in_to` with the header names below registered
// and fixed envelope texts; NAME.model holds every value, the marks, the
// flags that are set, the HTML counters and the lengths. A CR in a value is
// shown as "<CR>". Set QUARN_UPDATE_GOLDEN=1 to rewrite the expected files
// from the code, then review every change by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/text.h"
#include "tests/message/model_fixture.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNames[] = {
    "to",        "from",      "subject",     "cc",        "date",      "message-id",
    "received",  "x-mailer",  "content-type", "to-addr",  "from-addr", "return-path",
    "sender-ip", "recipient", "head",        "body",      "rawbody",   "urls",
    "full",
};

bool updating() {
  const char* value = std::getenv("QUARN_UPDATE_GOLDEN");
  return value != nullptr && *value != '\0' && *value != '0';
}

std::string shown(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\r') {
      out += "<CR>";
    } else {
      out += c;
    }
  }
  return out;
}

std::string describe(std::string_view message) {
  ModelRun run;
  run.names(kNames);
  run.model().set_return_path("<envelope@example.net>");
  run.model().set_sender_ip("192.0.2.7");
  run.model().set_recipient("rcpt@example.org");
  run.process(message);
  const int fromeqto = run.cmpfromto();

  std::string text;
  for (std::string_view name : kNames) {
    const std::int32_t index = run.index(name);
    if (run.model().has_header(index) == 0) {
      text += lprintf(kLineSize, "[%.*s] none\n", static_cast<int>(name.size()), name.data());
      continue;
    }
    const std::string_view value = run.model().header(index);
    text += lprintf(kLineSize, "[%.*s] %zu\n", static_cast<int>(name.size()), name.data(),
                    value.size());
    if (name == "full") {
      text += value == run.model().message() ? "(the whole message)\n" : "(NOT the message)\n";
    } else {
      text += shown(value) + "\n";
    }
  }
  const MessageMarks& marks = run.model().marks();
  const HtmlStats& stats = run.model().html_stats();
  text += "marks: " + marks_text(marks) + "\n";
  text += lprintf(kLineSize, "line_count: %d\ndecoded_length: %zu\n", marks.line_count,
                  run.model().decoded_length());
  text += lprintf(kLineSize, "comments %d images %d letters %d capitals %d\n",
                  stats.comment_score, stats.suspicious_images, stats.letters, stats.capitals);
  text += lprintf(kLineSize, "rf_cmpfromto: %d\n", fromeqto);
  text += "flags: " + run.flags_set() + "\n";
  return text;
}

TEST(ModelGolden, MessagesGiveTheirRecordedModels) {
  std::vector<fs::path> paths;
  for (const auto& entry :
       fs::directory_iterator(fs::path(QUARN_SOURCE_DIR) / "tests" / "data" / "model")) {
    if (entry.path().extension() == ".eml") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  ASSERT_GE(paths.size(), 7u);
  for (const fs::path& path : paths) {
    SCOPED_TRACE(path.string());
    const std::string actual = describe(read_file(path.string()));
    fs::path expected = path;
    expected.replace_extension(".model");
    if (updating()) {
      write_file(expected.string(), actual);
      continue;
    }
    ASSERT_TRUE(fs::exists(expected)) << expected;
    EXPECT_EQ(actual, read_file(expected.string()));
  }
}

}  // namespace
}  // namespace quarn::testing
