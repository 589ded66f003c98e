// Every message of the shared mail corpus through the message model, with a
// filter naming many headers: the model must keep its bounds and give the
// same result when a message is processed again. The corpus lives beside
// the repository (../shared/corpus, or QUARN_CORPUS_DIR); without it the
// test is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "message/line_reader.h"
#include "message/mime_walk.h"
#include "support/text.h"
#include "tests/message/model_fixture.h"
#include "tests/testing/corpus.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNames[] = {
    "to",         "from",        "subject",   "cc",        "date",     "message-id",
    "received",   "x-mailer",    "content-type", "reply-to", "to-addr", "from-addr",
    "return-path", "sender-ip",  "recipient", "head",      "body",     "rawbody",
    "urls",       "full",        "x-spam-status", "content-transfer-encoding", "mime-version",
    "",  // an empty name matches every header line
};

// All values of a run, joined, with the marks.
std::string snapshot(ModelRun& run) {
  std::string text;
  for (std::size_t i = 0; i < run.headers().size(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    text += std::to_string(run.model().has_header(index));
    text += run.model().header(index);
    text += '\x01';
  }
  return text + marks_text(run.model().marks()) + run.flags_set();
}

void check_bounds(ModelRun& run, std::string_view message) {
  MessageModel& model = run.model();
  const std::string_view text = cstr_view(message);
  for (std::size_t i = 0; i < run.headers().size(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    const std::string_view value = model.header(index);
    ASSERT_NE(value.data(), nullptr);
    ASSERT_EQ(model.header_length(index), static_cast<std::int32_t>(value.size()));
    if (model.has_header(index) == 0) {
      ASSERT_TRUE(value.empty());
      continue;
    }
    const std::string& name = run.headers()[i];
    if (name == "full" || name == "rawbody") {
      ASSERT_TRUE(text.ends_with(value)) << name;
    } else if (name == "body") {
      ASSERT_EQ(value, std::string_view(run.decoded.data(), model.decoded_length()));
    } else if (name == "urls") {
      ASSERT_EQ(value, run.urls);
    } else if (name != "head" && name != "recipient" && name != "return-path" &&
               name != "sender-ip") {
      ASSERT_LT(value.size(), kGetlineSize) << name;
    }
  }
  ASSERT_LE(model.head_text().size(), 2201u);
  ASSERT_LT(model.decoded_length(), kDecodedHardLimit);
  const MessageMarks& m = model.marks();
  for (std::int32_t mark : {m.ishtml, m.isbase64, m.isimage, m.isuuencoded, m.isencodedtext,
                            m.isencodedhtml, m.isencodedurl, m.isencoded}) {
    ASSERT_TRUE(mark == 0 || mark == 1);
  }
  ASSERT_GE(m.encoded_lines, 0);
  ASSERT_LE(m.encoded_lines, 100 * 30);
  ASSERT_EQ(m.line_count, count_lines(text));
}

TEST(ModelCorpus, EveryMessageKeepsItsBoundsAndRepeats) {
  const auto files = corpus_files();
  if (files.empty()) GTEST_SKIP() << "no mail corpus at " << corpus_dir();
  ModelRun run;
  run.names(kNames);
  run.model().set_return_path("<envelope@example.net>");
  run.model().set_sender_ip("192.0.2.7");
  run.model().set_recipient("rcpt@example.org");
  int messages = 0;
  int with_body = 0;
  for (const auto& path : files) {
    SCOPED_TRACE(path.string());
    const std::string message = read_file(path.string());
    ASSERT_EQ(run.process(message), 1);
    ASSERT_NO_FATAL_FAILURE(check_bounds(run, message));
    with_body += run.model().has_header(run.index("full"));
    const std::string first = snapshot(run);
    run.model().clear();
    run.process(message);
    ASSERT_EQ(snapshot(run), first);
    run.model().clear();
    ++messages;
  }
  EXPECT_GT(messages, 1000);
  EXPECT_GT(with_body, 1000);
}

}  // namespace
}  // namespace quarn::testing
