#include "milter/spool.h"

#include <gtest/gtest.h>

#include "tests/testing/temp_dir.h"

namespace quarn::milter {
namespace {

using quarn::testing::TempDir;
using quarn::testing::read_file;

TEST(SpoolHeader, FoldedValuesAndTheBlankAfterTheColon) {
  struct Case {
    const char* name;
    const char* value;
    bool value_has_blank;
    const char* line;
  } cases[] = {
      // Postfix without the leading-space option: the blank is restored.
      {"Subject", "hello", false, "Subject: hello\r\n"},
      // With it the value is taken as it came, even without a blank.
      {"Subject", " hello", true, "Subject: hello\r\n"},
      {"Subject", "hello", true, "Subject:hello\r\n"},
      // A folded value arrives with bare LF inside; CR LF already there stays.
      {"Received", "from a\n\tby b\n  for c", false, "Received: from a\r\n\tby b\r\n  for c\r\n"},
      {"Received", " from a\r\n\tby b", true, "Received: from a\r\n\tby b\r\n"},
      {"X-Empty", "", false, "X-Empty: \r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(spool_header(c.name, c.value, c.value_has_blank), c.line) << c.value;
  }
}

TEST(SpoolFile, WritesHeadersInOrderThenBodyInCrlfAndRemovesItsFiles) {
  TempDir dir;
  std::string message_path;
  std::string envelope_path;
  {
    SpoolFile spool(dir.path(), "m1");
    ASSERT_TRUE(spool.ok()) << spool.error();
    spool.add_header("Received", "from x\n\tby y", false);
    spool.add_header("subject", "Lower case kept", false);
    spool.add_header("X-Quarn-Match", "1 Spam Porn 2", false);
    spool.add_header("Subject", "second", false);
    spool.end_headers();
    // A CR LF split between two body chunks stays one line end; bare LF is
    // made CR LF.
    spool.body("line one\r");
    spool.body("\nline two\nline three\r\n");
    Envelope envelope{"<sender@example.net>", {"<a@example.com>", "<b@example.com>"}, "192.0.2.1"};
    ASSERT_TRUE(spool.finish(envelope));
    message_path = spool.message_path();
    envelope_path = spool.envelope_path();
    EXPECT_EQ(read_file(message_path),
              "Received: from x\r\n\tby y\r\nsubject: Lower case kept\r\n"
              "X-Quarn-Match: 1 Spam Porn 2\r\nSubject: second\r\n\r\n"
              "line one\r\nline two\r\nline three\r\n");
    EXPECT_EQ(read_file(envelope_path),
              "To: <a@example.com>\nTo: <b@example.com>\nFrom: <sender@example.net>\n"
              "Ip: 192.0.2.1\n\n");
  }
  EXPECT_FALSE(std::filesystem::exists(message_path));
  EXPECT_FALSE(std::filesystem::exists(envelope_path));
}

TEST(SpoolFile, EnvelopeValuesNeverStartNewLines) {
  Envelope envelope{"<a@x>\nTo: <victim@y>", {"<b@x>\r\nIp: 6.6.6.6"}, "10.0.0.1"};
  EXPECT_EQ(envelope_text(envelope), "To: <b@x>\nFrom: <a@x>\nIp: 10.0.0.1\n\n");
}

TEST(SpoolFile, ReportsAFileThatCannotBeCreated) {
  TempDir dir;
  SpoolFile spool(dir.path() / "missing", "m1");
  EXPECT_FALSE(spool.ok());
  EXPECT_NE(spool.error().find("cannot create"), std::string::npos);
  EXPECT_FALSE(spool.finish(Envelope{}));
}

}  // namespace
}  // namespace quarn::milter
