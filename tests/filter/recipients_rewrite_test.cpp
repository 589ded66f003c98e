// The two ends of a run around the message: the recipient list built from
// the envelope, the rewrite of the message file, and the report file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/recipients.h"
#include "filter/report.h"
#include "filter/rewrite.h"
#include "filter/rule_engine.h"
#include "tests/filter/rule_test_util.h"
#include "tests/testing/temp_dir.h"

namespace quarn::testing {
namespace {

std::vector<std::string> addresses(const RecipientList& list) {
  std::vector<std::string> out;
  for (const Recipient& r : list) out.push_back(r.address);
  return out;
}

TEST(Recipients, EnvelopeLinesNewestFirst) {
  struct Case {
    const char* envelope;
    std::vector<std::string> recipients;
  };
  const Case cases[] = {
      {"To: <a@x.com>\r\nTo: b@x.com\r\nCc: \"C\" <c@x.com>\r\n\r\n",
       {"<c@x.com>", "<b@x.com>", "<a@x.com>"}},
      {"to: a@x.com\nBCC: <d@x.com>\nFrom: <s@y.com>\nIp: 1.2.3.4\nX-Other: q@x.com\n",
       {"<d@x.com>", "<a@x.com>"}},
      {"To: Undisclosed recipients\n", {"Novalidemailfound"}},
      {"To: <a@x.com>\n\nTo: <after@x.com>\n", {"<a@x.com>"}},  // an empty line ends it
      {"To: <a@x.com>", {}},                                     // no line end: never read
      {"To:<a@x.com>\nTo:  \n", {"Novalidemailfound"}},  // "To:" needs its blank
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(addresses(makeup_fwd(c.envelope)), c.recipients) << c.envelope;
  }
}

TEST(Recipients, SenderLines) {
  EnvelopeSender sender;
  makeup_fwd("From: <s@y.com>\nIp: 192.0.2.7\r\nFrom: <t@y.com>\nTo: <a@x.com>\n", &sender);
  EXPECT_EQ(sender.return_path, "<t@y.com>");
  EXPECT_EQ(sender.sender_ip, "192.0.2.7");
  EnvelopeSender none;
  makeup_fwd("To: <a@x.com>\n", &none);
  EXPECT_FALSE(none.return_path);
  EXPECT_FALSE(none.sender_ip);
  EnvelopeSender long_ip;
  makeup_fwd("Ip: " + std::string(2000, '9') + "\n", &long_ip);
  EXPECT_EQ(long_ip.sender_ip->size(), 999u);
}

TEST(Recipients, AddressHelpers) {
  EXPECT_EQ(rf_trim_email("Joe <joe@x.com>, other@y.com"), "<joe@x.com>");
  EXPECT_EQ(rf_trim_email("no address here"), "Novalidemailfound");
  EXPECT_EQ(rf_trim_email(std::string(199, ' ') + "a@x.com"), "Novalidemailfound");
  EXPECT_EQ(rf_trim_email(std::string(193, ' ') + "a@x.com"), "<a@x.com>");

  EXPECT_EQ(rf_strip_brackets("<a@x.com>"), "a@x.com");
  EXPECT_EQ(rf_strip_brackets("<a@x.com"), "a@x.com");
  EXPECT_EQ(rf_strip_brackets("a@x.com>"), "a@x.com>");
  EXPECT_EQ(rf_strip_brackets("<" + std::string(300, 'a')), std::string(200, 'a'));
  EXPECT_EQ(rf_strip_brackets(std::string(1200, 'a')), std::string(999, 'a'));

  EXPECT_EQ(bracket_address("a@x.com"), "<a@x.com>");
  EXPECT_EQ(bracket_address("<a@x.com>"), "<a@x.com>");
  EXPECT_EQ(bracket_address(std::string(300, 'a')), "<" + std::string(200, 'a') + ">");

  RecipientList list = makeup_fwd("To: <A@X.com>\nTo: <b@x.com>\n");
  list[0].display = "<Shown@x.com>";
  EXPECT_EQ(rf_original(list[0]), "Shown@x.com");
  EXPECT_EQ(rf_original(list[1]), "A@X.com");
  EXPECT_EQ(rf_already_sending(list, "<a@x.COM>"), 1);
  EXPECT_EQ(rf_already_sending(list, "a@x.com"), 1);
  EXPECT_EQ(rf_already_sending(list, "<b@x.com>"), 0);  // shown as another address
  EXPECT_EQ(rf_already_sending(list, "<shown@X.com>"), 1);

  rf_add_fwd(list, "<new@x.com>");
  EXPECT_EQ(list.front().address, "<new@x.com>");
  EXPECT_FALSE(list.front().bounce);
  EXPECT_FALSE(list.front().display);
  EXPECT_EQ(list.front().bounced, 0);
}

TEST(Recipients, SetBounce) {
  RuleEngine engine;
  LogCollector log(engine);
  Recipient r;
  EXPECT_EQ(rf_set_bounce(&r, std::string(250, 'b'), engine.log()), 1);
  EXPECT_EQ(r.bounced, 1);
  EXPECT_EQ(*r.bounce, std::string(200, 'b'));
  EXPECT_EQ(rf_set_bounce(nullptr, "x", engine.log()), 1);
  EXPECT_TRUE(log.has("Cannot bounce as not in recipients block\n"));
}

class RewriteTest : public ::testing::Test {
 protected:
  int rewrite(const std::string& message, const std::vector<ReplacedHeader>& replaced,
              const std::vector<std::string>& added) {
    dir_.write("m.eml", message);
    return rewrite_file(dir_.file("m.eml"), replaced, added, engine_.log());
  }

  TempDir dir_;
  RuleEngine engine_;
  LogCollector log_{engine_};
};

TEST_F(RewriteTest, ReplacedAndAddedHeaders) {
  struct Case {
    const char* name;
    std::string message;
    std::vector<ReplacedHeader> replaced;
    std::vector<std::string> added;
    std::string expected;
    int header_end;  // the last field of the log line
  };
  const Case cases[] = {
      {"folded replaced header becomes one line",
       "SUBJECT: one\r\n two\r\n\tthree\r\nTo: a\r\n\r\nbody\r\n one\r\n",
       {{"subject", "new"}},
       {},
       "SUBJECT: new\r\nTo: a\r\n\r\nbody\r\n one\r\n",
       0},
      {"added lines go before the empty line",
       "From: a\nSubject: s\n\nbody\n",
       {},
       {"X-One: 1", "X-Two: 2"},
       "From: a\nSubject: s\nX-One: 1\r\nX-Two: 2\r\n\nbody\n",
       0},
      {"CR CR LF ends the headers too", "A: 1\r\n\r\r\nbody\r\n", {}, {"X: y"},
       "A: 1\r\nX: y\r\n\r\r\nbody\r\n", 0},
      {"no empty line: nothing added", "Subject: s\r\nTo: a\r\n", {{"to", "b"}}, {"X: y"},
       "Subject: s\r\nTo: b\r\n", 1},
      {"a value's line breaks become blanks", "Subject: a\r\n b\r\n\r\n", {{"subject", "a\nb"}},
       {}, "Subject: a b\r\n\r\n", 0},
      {"prefix rule as in the header scan", "Topic: t\r\nTo: a\r\n\r\n", {{"to", "z"}}, {},
       "To: z\r\nTo: z\r\n\r\n", 0},
      {"body lines are never touched", "A: 1\n\nSubject: body\n x\n", {{"subject", "n"}}, {"X: y"},
       "A: 1\nX: y\r\n\nSubject: body\n x\n", 0},
      {"long values and lines are cut", "Subject: s\r\n\r\n",
       {{"subject", std::string(900, 'v')}}, {std::string(400, 'h')},
       "Subject: " + std::string(800, 'v') + "\r\n" + std::string(300, 'h') + "\r\n\r\n", 0},
      {"a long header line keeps its pieces together",
       "X-Long: " + std::string(2000, 'l') + "\r\nSubject: old\r\n\r\n", {{"subject", "n"}}, {},
       "X-Long: " + std::string(2000, 'l') + "\r\nSubject: n\r\n\r\n", 0},
      {"a long replaced line is replaced whole",
       "Subject: " + std::string(2000, 's') + "\r\n To: folded\r\nTo: a\r\n\r\n",
       {{"subject", "n"}}, {}, "Subject: n\r\nTo: a\r\n\r\n", 0},
  };
  for (const Case& c : cases) {
    log_.texts.clear();
    EXPECT_EQ(rewrite(c.message, c.replaced, c.added), 1) << c.name;
    EXPECT_EQ(dir_.read("m.eml"), c.expected) << c.name;
    EXPECT_FALSE(dir_.exists("m.eml_new")) << c.name;
    EXPECT_TRUE(log_.has("Rewriting (" + dir_.file("m.eml") + ")\n")) << c.name;
    EXPECT_TRUE(log_.has("File rewritten (" + dir_.file("m.eml") + ") " +
                         std::to_string(c.header_end) + "\n"))
        << c.name;
  }
}

TEST_F(RewriteTest, FailuresLeaveTheMessageAlone) {
  EXPECT_EQ(rewrite_file(dir_.file("missing.eml"), {}, {"X: y"}, engine_.log()), 0);
  EXPECT_TRUE(log_.has("rf_rewrite_failed " + dir_.file("missing.eml") +
                       " No such file or directory\n"));

  // The new file cannot be created: a directory stands in its place.
  std::filesystem::create_directory(dir_.path() / "m.eml_new");
  EXPECT_EQ(rewrite("A: 1\n\n", {}, {"X: y"}), 0);
  EXPECT_EQ(dir_.read("m.eml"), "A: 1\n\n");
  EXPECT_TRUE(log_.has("rf_rewrite_failed " + dir_.file("m.eml_new") + " Is a directory\n"));
}

TEST(Report, FileFormat) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  RuleEngine engine;
  LogCollector log(engine);
  std::string message;
  for (int i = 1; i <= 120; ++i) message += "line " + std::to_string(i) + "\r\n";
  dir.write("m.eml", message);

  ReportResult r = rf_send_report("boss@x.com", std::string(400, 's'), dir.file("m.eml"),
                                  engine.log());
  EXPECT_EQ(r.written, 1);
  EXPECT_FALSE(r.message_is_report);
  std::string head =
      "From: quarncrc@localhost\n"
      "X-MFilter-Report: This is a report generated by mfilter\n"
      "Subject: " + std::string(300, 's') + "\n"
      "To: boss@x.com\n"
      "\n"
      "Top 100 lines of message attached below\n"
      "\n";
  EXPECT_EQ(dir.read("rf_send.tmp"), head + message.substr(0, message.find("line 101")));

  // The engine's runs have no message file.
  r = rf_send_report("a@x.com", "s", "", engine.log());
  EXPECT_EQ(dir.read("rf_send.tmp"),
            "From: quarncrc@localhost\n"
            "X-MFilter-Report: This is a report generated by mfilter\n"
            "Subject: s\nTo: a@x.com\n\nTop 100 lines of message attached below\n\n");

  dir.write("r.eml", "Subject: x\nX-MFilter-Report: yes\n\nbody\n");
  r = rf_send_report("a@x.com", "s", dir.file("r.eml"), engine.log());
  EXPECT_EQ(r.written, 1);
  EXPECT_TRUE(r.message_is_report);
  EXPECT_TRUE(log.has("Not sending report as that message is a report!!\n"));

  std::filesystem::remove(dir.path() / "rf_send.tmp");
  std::filesystem::create_directory(dir.path() / "rf_send.tmp");
  r = rf_send_report("a@x.com", "s", "", engine.log());
  EXPECT_EQ(r.written, 0);
  EXPECT_TRUE(log.has("Could not write temp file Is a directory\n"));
}

}  // namespace
}  // namespace quarn::testing
