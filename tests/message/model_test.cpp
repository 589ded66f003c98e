// The message model: header scan, body scan, pseudo-headers, accessors,
// addresses and the From-equals-To check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "message/message_model.h"
#include "tests/message/model_fixture.h"

namespace quarn::testing {
namespace {

TEST(RfGetAddr, AddressInsideAngleBrackets) {
  struct Case {
    std::string text;
    std::string address;
  };
  const Case cases[] = {
      {"<a@b.c>", "a@b.c"},
      {"John Doe <john@x.com>", "john@x.com"},
      {"\"John Doe\" <john@x.com>", "john@x.com"},
      {"john@x.com", ""},                                  // no brackets
      {"", ""},
      {"<>", ""},
      {"\"Doe <fake@x.com>\" <real@y.com>", "real@y.com"},  // quoted name skipped
      {"\"say \\\"<no@x.com>\\\" twice\" <yes@y.com>", "yes@y.com"},
      {"\"unterminated <x@y.com>", ""},                    // no closing quote
      {"<open@x.com", "open@x.com"},                       // runs to the end
      {"<a@b.c> <d@e.f>", "a@b.c"},
      {"<\"odd>local\"@x.com>", "\"odd>local\"@x.com"},     // quoted local part
      {"<\"open>local@x.com>", "\"open"},                  // unclosed: first '>'
      {"Name <a@b.c> trailing", "a@b.c"},
  };
  for (const Case& c : cases) EXPECT_EQ(rf_get_addr(c.text), c.address) << c.text;
}

TEST(HeaderScan, NamesArePrefixesAndValuesStartTwoCharactersAfter) {
  struct Case {
    std::string line;
    std::string name;
    bool exists;
    std::string value;
  };
  const Case cases[] = {
      {"Subject: hello", "subject", true, "hello"},
      {"SUBJECT: Upper Case", "subject", true, "Upper Case"},
      {"Subject:hello", "subject", true, "ello"},  // no blank: one more character lost
      {"Subject: \t  spaced", "subject", true, "spaced"},
      {"Subject:", "subject", true, ""},
      {"Subject:x", "subject", true, ""},
      {"Subject", "subject", true, ""},
      {"Subjec: no", "subject", false, ""},
      {"Topic: tea", "to", true, "c: tea"},  // "to" is a prefix of "Topic"
      {"To: a@b.c", "to", true, "a@b.c"},
      {" Subject: indented", "subject", false, ""},
      {"Body:  two blanks", "body", true, " two blanks"},  // "body" keeps its blanks
      {"X-Mailer: m", "x-mailer", true, "m"},
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.names({c.name});
    run.process(c.line + "\nOther: x\n");  // no empty line, so "body" stays a header
    EXPECT_EQ(run.exists(c.name), c.exists) << c.line;
    EXPECT_EQ(run.value(c.name), c.value) << c.line;
  }
}

TEST(HeaderScan, LaterLinesReplaceAndTheLastMatchingNameTakesTheFold) {
  ModelRun run;
  run.names({"x-abc", "x-a", "subject"});
  run.process(
      "Subject: first\n"
      "X-Abc: value\n"
      " folded\n"
      "Subject: second\n"
      "\n");
  EXPECT_EQ(run.value("subject"), "second");
  EXPECT_EQ(run.value("x-abc"), "value");             // matched, but not current
  EXPECT_EQ(run.value("x-a"), ": value\nfolded");     // registered later: current
}

TEST(HeaderScan, FoldedLinesJoinWithNewlinesAndEachPieceKeeps400) {
  const std::string a500(500, 'a');
  const std::string b500(500, 'b');
  struct Case {
    std::string header;
    std::string value;
  };
  const Case cases[] = {
      {"Subject: one\n two\n\t\tthree\n", "one\ntwo\nthree"},
      {"Subject: one\n \n", "one\n"},  // a blank-only fold adds an empty piece
      {"Subject: " + a500 + "\n " + b500 + "\n",
       std::string(400, 'a') + "\n" + std::string(400, 'b')},
      // A second fold cuts the joined text again: only 400 of the earlier text stay.
      {"Subject: " + a500 + "\n " + b500 + "\n c\n", std::string(400, 'a') + "\nc"},
      {"Subject: x\nX-Other: y\n z\n", "x"},  // the fold belongs to X-Other
      {" lead\nSubject: x\n", "x"},           // a fold without a header before it
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.names({"subject"});
    run.process(c.header + "\nbody\n");
    EXPECT_EQ(run.value("subject"), c.value) << c.header.substr(0, 40);
  }
}

TEST(HeaderScan, ToAndFromAddressesComeFromTheirOwnLines) {
  struct Case {
    std::string headers;
    std::string to_addr;
    std::string from_addr;
  };
  const Case cases[] = {
      {"To: Bob <bob@x.com>\nFrom: \"A <b>\" <alice@y.com>\n", "bob@x.com", "alice@y.com"},
      {"To: bob@x.com\nFrom: alice@y.com\n", "", ""},  // bare addresses
      {"TO: <UP@X.COM>\n", "UP@X.COM", ""},
      {"To:<a@b.c>\n", "", ""},  // the address text starts at the fifth character
      {"To:\nFrom:\n", "", ""},  // lines shorter than the cut
      {"To: <first@x>\nTo: <second@x>\n", "second@x", ""},
      {"Topic: <no@x>\n", "", ""},
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.names({"to-addr", "from-addr"});
    run.process(c.headers + "\n");
    EXPECT_EQ(run.value("to-addr"), c.to_addr) << c.headers;
    EXPECT_EQ(run.value("from-addr"), c.from_addr) << c.headers;
  }
}

TEST(HeaderScan, HeadTextKeepsLinesThatLeaveAThousandCharactersFree) {
  ModelRun run;
  run.names({"head"});
  // 2,199 + 1 held after the first line; a line of exactly 1 more fits
  // (2,200 + 1 + 1,000 = 3,201 would not), so test both sides.
  const std::string first(2198, 'f');
  const std::string fits(1, 'x');
  run.process("A: " + first.substr(3) + "\n" + fits + "\n\nbody\n");
  // Held: 2,198 + 1 = 2,199; adding 1 needs 2,199 + 1 + 1,000 = 3,200: fits.
  EXPECT_EQ(run.value("head"), "A: " + first.substr(3) + "\n" + fits + "\n");

  const std::string too_long(2, 'y');
  run.process("A: " + first.substr(3) + "\n" + too_long + "\nZ: short\n\nbody\n");
  // 2,199 + 2 + 1,000 > 3,200: left out; "Z: short" (8): 2,199 + 8 + 1,000 > 3,200.
  EXPECT_EQ(run.value("head"), "A: " + first.substr(3) + "\n");

  const std::string huge(2300, 'h');
  run.process("Subject: s\nX-Big: " + huge + "\n fold\nTo: t\n\nbody\n");
  EXPECT_EQ(run.value("head"), "Subject: s\n fold\nTo: t\n");
  EXPECT_EQ(run.value("head"), run.model().head_text());
}

TEST(HeaderScan, EncodingMarksOfTheTopHeaders) {
  struct Case {
    std::string headers;
    std::string marks;
  };
  const Case cases[] = {
      {"Content-Type: text/html\n", "ishtml"},
      {"content-type: TEXT/HTML; charset=x\n", "ishtml"},
      {"Content-Type:text/html\n", ""},  // the blank is part of the prefix
      {"Content-Type: text/plain\nContent-Transfer-Encoding: base64\n",
       "isbase64 isencodedtext isencoded"},
      {"Content-Transfer-Encoding: base64\nContent-Type: text/html\n",
       "ishtml isbase64 isencodedtext isencodedhtml isencoded"},
      {"Content-Type: image/gif\n", "isimage isencoded"},
      {"Content-Transfer-Encoding: BASE64\n", "isbase64 isencoded"},
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.process(c.headers + "\nshort body\n");
    EXPECT_EQ(marks_text(run.model().marks()), c.marks) << c.headers;
  }
}

TEST(BodyScan, MarksOfTheFirstHundredLines) {
  const std::string m61 = "M" + std::string(60, 'A');
  const std::string b64 = std::string(41, 'Q');
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "filler\n";
  struct Case {
    const char* what;
    std::string headers;
    std::string body;
    std::string marks;
  };
  const Case cases[] = {
      {"uuencoded image", "", "begin 644 photo.JPG\n" + m61 + "\n" + m61 + "\nend\n",
       "isimage isuuencoded isencoded encoded_lines=2"},
      {"vcard is not counted", "", "begin 644 card.vcf\n" + m61 + "\n", ""},
      {".vcf is looked for as written", "", "begin 644 card.VCF\n" + m61 + "\n",
       "isuuencoded isencoded encoded_lines=1"},
      {"61 characters exactly", "",
       "begin 644 a.bin\n" + m61 + "x\n" + m61.substr(1) + "\n" + "N" + m61.substr(1) + "\n", ""},
      {"uuencode needs its begin line", "", m61 + "\n", ""},
      {"text attachment", "", "begin 600 notes.txt\n", "isencodedtext"},
      {"html and url attachments", "", "BEGIN 600 page.HTML\nbegin 600 l.url\n",
       "isencodedhtml isencodedurl"},
      {"an empty line replaces the text mark", "", "begin 600 notes.text\n\nmore\n", ""},
      {"yEnc", "", "=ybegin line=128 size=10 name=x.bin\n", "isencoded encoded_lines=30"},
      {"base64 lines", "Content-Transfer-Encoding: base64\n",
       b64 + "\n" + b64.substr(1) + "\n" + b64 + " x\n" + b64 + "\n",
       "isbase64 isencoded encoded_lines=2"},
      {"long lines only count once base64 is known", "",
       b64 + "\nContent-Transfer-Encoding: base64\n" + b64 + "\n",
       "isbase64 isencoded encoded_lines=1"},
      {"<html> in the third line", "", "\n\n<HTML><body>\n", "ishtml"},
      {"<html> in the fourth line", "", "\n\n\n<html>\n", ""},
      {"base64 text part", "",
       "--b\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\nQUJD\n",
       "isbase64 isencodedtext isencoded"},
      {"base64 html part", "",
       "--b\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\nQUJD\n",
       "ishtml isbase64 isencodedtext isencodedhtml isencoded"},  // text/html is text too
      {"a later part without base64 clears the marks", "",
       "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\nQUJD\n"
       "Content-Type: text/plain\n\n",
       "isbase64 isencoded"},
      {"image part", "", "--b\nContent-Type: image/gif\n\n", "isimage isencoded"},
      {"marks after a hundred lines are not seen", "", hundred + "begin 644 x.gif\n", ""},
      {"a last line without newline is not seen", "", "begin 644 x.gif", ""},
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.process("Subject: s\n" + c.headers + "\n" + c.body);
    EXPECT_EQ(marks_text(run.model().marks()), c.marks) << c.what;
  }
}

TEST(BodyScan, PseudoHeadersBorrowTheRunsTexts) {
  ModelRun run;
  run.names({"body", "rawbody", "full", "urls", "head", "recipient", "return-path", "sender-ip"});
  run.model().set_return_path("<bounce@example.net>");
  run.model().set_sender_ip("10.1.2.3");
  run.model().set_recipient("first@example.org");
  const std::string message =
      "Subject: hi\r\n"
      "Content-Type: text/html\r\n"
      "\r\n"
      "<p>Visit   <a href=\"http://example.com/x%41\">here</a></p>\r\n";
  run.process(message);
  EXPECT_EQ(run.value("full"), message);
  EXPECT_EQ(run.value("rawbody"), "<p>Visit   <a href=\"http://example.com/x%41\">here</a></p>\r\n");
  EXPECT_EQ(run.value("body"), "Visit here ");
  EXPECT_EQ(run.value("body"), std::string(run.decoded.data(), run.model().decoded_length()));
  EXPECT_EQ(run.value("urls"), "http://example.com/xA\r\n");
  EXPECT_EQ(run.urls, "http://example.com/xA\r\n");
  EXPECT_EQ(run.value("head"), "Subject: hi\nContent-Type: text/html\n");
  EXPECT_EQ(run.value("return-path"), "<bounce@example.net>");
  EXPECT_EQ(run.value("sender-ip"), "10.1.2.3");
  EXPECT_EQ(run.value("recipient"), "first@example.org");

  // The recipient follows the interpreter, with its current length.
  run.model().set_recipient("b@x");
  EXPECT_EQ(run.value("recipient"), "b@x");
  EXPECT_EQ(run.model().header_length(run.index("recipient")), 3);
  run.model().set_recipient(std::string(1500, 'r'));
  EXPECT_EQ(run.value("recipient").size(), MessageModel::kEnvelopeTextLimit);

  // Borrowed values cannot be replaced.
  for (const char* name : {"body", "rawbody", "full", "urls", "head", "recipient",
                           "return-path", "sender-ip"}) {
    run.model().set_header(run.index(name), "changed");
    EXPECT_NE(run.value(name), "changed") << name;
    EXPECT_FALSE(run.model().replaced(run.index(name))) << name;
  }
  EXPECT_FALSE(run.model().headers_changed());
}

TEST(BodyScan, EnvelopeTextsOnlyFillEmptySlots) {
  struct Case {
    std::string headers;
    std::string return_path_text;
    std::string sender_ip_text;
    bool return_path_exists;
    std::string return_path;
    bool sender_ip_exists;
    std::string sender_ip;
  };
  const Case cases[] = {
      {"", "<env@x>", "1.2.3.4", true, "<env@x>", true, "1.2.3.4"},
      {"Return-Path: <hdr@x>\nSender-IP: 9.9.9.9\n", "<env@x>", "1.2.3.4", true, "<hdr@x>",
       true, "9.9.9.9"},
      {"Return-Path:\n", "<env@x>", "", true, "", false, ""},  // an empty header still wins
      {"", "", "", false, "", false, ""},                      // empty envelope texts
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.names({"return-path", "sender-ip"});
    run.model().set_return_path(c.return_path_text);
    run.model().set_sender_ip(c.sender_ip_text);
    run.process("Subject: s\n" + c.headers + "\nbody\n");
    EXPECT_EQ(run.exists("return-path"), c.return_path_exists) << c.headers;
    EXPECT_EQ(run.value("return-path"), c.return_path) << c.headers;
    EXPECT_EQ(run.exists("sender-ip"), c.sender_ip_exists) << c.headers;
    EXPECT_EQ(run.value("sender-ip"), c.sender_ip) << c.headers;
  }
}

TEST(BodyScan, MessageWithoutEmptyLineHasNoBodyValuesOrBodyMarks) {
  ModelRun run;
  run.names({"body", "rawbody", "full", "urls", "recipient", "return-path", "sender-ip", "head",
             "subject", "x-last"});
  run.model().set_return_path("<r@x>");
  run.model().set_sender_ip("1.2.3.4");
  run.model().set_recipient("someone");
  run.process("Subject: s\nbegin 644 x.gif\nContent-Type: image/gif\nX-Last: never seen");
  for (const char* name : {"body", "rawbody", "full", "urls", "recipient", "return-path",
                           "sender-ip"}) {
    EXPECT_FALSE(run.exists(name)) << name;
  }
  EXPECT_EQ(run.value("subject"), "s");
  EXPECT_FALSE(run.exists("x-last"));  // the last line has no newline
  EXPECT_EQ(run.value("head"), "Subject: s\nbegin 644 x.gif\nContent-Type: image/gif\n");
  // The header scan's marks still count; the body scan's never ran.
  EXPECT_EQ(marks_text(run.model().marks()), "isimage isencoded");
  EXPECT_EQ(run.model().marks().line_count, 3);
}

TEST(Process, StartsEveryRunAfresh) {
  ModelRun run;
  run.names({"subject", "x-a"});
  run.process("Subject: one\nX-A: a\nContent-Type: text/html\n\n<p>x</p>\n");
  EXPECT_EQ(run.model().marks().ishtml, 1);

  run.model().set_header(run.index("subject"), "changed");
  EXPECT_TRUE(run.model().replaced(run.index("subject")));
  run.process("Subject: two\n\nplain\n");
  EXPECT_EQ(run.value("subject"), "two");
  EXPECT_FALSE(run.exists("x-a"));
  EXPECT_FALSE(run.model().replaced(run.index("subject")));
  EXPECT_EQ(run.model().marks().ishtml, 0);
  EXPECT_EQ(run.model().marks().line_count, 3);
}

TEST(Process, NulEndsTheMessage) {
  ModelRun run;
  run.names({"subject", "full"});
  run.process(std::string("Subject: a\n\nbody\n") + '\0' + "Subject: b\n");
  EXPECT_EQ(run.value("full"), "Subject: a\n\nbody\n");
  EXPECT_EQ(run.model().message(), "Subject: a\n\nbody\n");
  EXPECT_EQ(run.model().marks().line_count, 3);
}

TEST(Accessors, GetNeverFailsAndSetMarksReplaced) {
  ModelRun run;
  run.names({"subject", "x-missing"});
  run.process("Subject: old\n\nbody\n");
  MessageModel& model = run.model();
  for (std::int32_t index : {-1, 99, 100, 5000}) {
    EXPECT_EQ(model.has_header(index), 0) << index;
    EXPECT_EQ(model.header_length(index), 0) << index;
    EXPECT_NE(model.header(index).data(), nullptr) << index;
    EXPECT_TRUE(model.header(index).empty()) << index;
  }
  for (std::int32_t index : {-1, -100, 100, 5000}) model.set_header(index, "x");  // ignored
  EXPECT_NE(model.header(run.index("x-missing")).data(), nullptr);
  EXPECT_FALSE(model.headers_changed());

  const std::int32_t subject = run.index("subject");
  model.set_header(subject, "new value");
  EXPECT_EQ(model.header(subject), "new value");
  EXPECT_EQ(model.header_length(subject), 9);
  EXPECT_TRUE(model.replaced(subject));
  EXPECT_TRUE(model.headers_changed());
  model.set_header(subject, model.header(subject).substr(4));  // its own text
  EXPECT_EQ(model.header(subject), "value");

  const std::int32_t missing = run.index("x-missing");
  model.set_header(missing, "");
  EXPECT_EQ(model.has_header(missing), 1);
  EXPECT_TRUE(model.replaced(missing));
}

// Every change that can move or rewrite a value gives a new stamp, never
// one seen before (in this model or another); reading gives none.
TEST(Accessors, ValuesStampChangesWithEveryChangeOfAValue) {
  ModelRun run;
  ModelRun other;
  run.names({"subject"});
  run.process("Subject: s\n\nbody\n");
  MessageModel& model = run.model();
  std::vector<std::uint64_t> seen{other.model().values_stamp()};
  auto fresh = [&] {
    const std::uint64_t stamp = model.values_stamp();
    const bool is_new = stamp != 0 && std::find(seen.begin(), seen.end(), stamp) == seen.end();
    seen.push_back(stamp);
    return is_new;
  };
  EXPECT_TRUE(fresh());
  (void)model.header(run.index("subject"));
  model.add_header("X-A: 1");
  EXPECT_EQ(model.values_stamp(), seen.back());
  model.set_header(run.index("subject"), "t");
  EXPECT_TRUE(fresh());
  model.set_recipient("a@example.com");
  EXPECT_TRUE(fresh());
  model.set_return_path("b@example.com");
  EXPECT_TRUE(fresh());
  model.set_sender_ip("192.0.2.1");
  EXPECT_TRUE(fresh());
  model.clear();
  EXPECT_TRUE(fresh());
  run.process("Subject: s\n\nbody\n");
  EXPECT_TRUE(fresh());
}

TEST(Accessors, AddedLinesStopAtNinety) {
  ModelRun run;
  run.process("Subject: s\n\nbody\n");
  MessageModel& model = run.model();
  for (int i = 1; i <= 95; ++i) model.add_header("X-Line: " + std::to_string(i));
  ASSERT_EQ(model.added_headers().size(), 90u);
  EXPECT_EQ(model.added_headers().front(), "X-Line: 1");
  EXPECT_EQ(model.added_headers().back(), "X-Line: 90");
  EXPECT_TRUE(model.headers_changed());
  model.reset_added_headers();
  EXPECT_TRUE(model.added_headers().empty());
}

TEST(Accessors, FreeEndsTheRun) {
  ModelRun run;
  run.names({"subject", "body"});
  run.process("Subject: s\n\nbody\n");
  run.model().add_header("X-A: 1");
  run.model().clear();
  EXPECT_FALSE(run.exists("subject"));
  EXPECT_FALSE(run.exists("body"));
  EXPECT_TRUE(run.model().added_headers().empty());
  run.model().clear();  // twice is harmless
}

TEST(CmpFromTo, FromAddressFoundInTo) {
  struct Case {
    std::string from;
    std::string to;
    int result;
  };
  const Case cases[] = {
      {"Bob <Bob@X.com>", "bob@x.COM", 1},
      {"bob@x.com", "Alice <alice@y.com>, BOB@X.COM", 1},
      {"a@b.c <real@y.com>", "real@y.com", 1},  // the last piece with an at sign
      {"a@b.c <real@y.com>", "a@b.c", 0},
      {"bob@x.com (Bob)", "bob@x.com", 0},  // the piece keeps its blank: "bob@x.com "
      {"bob@x.com (Bob)", "bob@x.com and more", 1},
      {"Bob <bob@x.com>", "alice@y.com", 0},
      {"no address here", "no address here", 0},
      {"Bob <bob@x.com>", "", 0},
  };
  for (const Case& c : cases) {
    ModelRun run;
    run.names({"from", "to"});
    run.process("From: " + c.from + "\nTo: " + c.to + "\n\nbody\n");
    EXPECT_EQ(run.cmpfromto(), c.result) << c.from << " / " << c.to;
    EXPECT_EQ(run.flag("fromeqto"), c.result) << c.from << " / " << c.to;
  }
}

TEST(CmpFromTo, NamesAreCapturedFromTheNextRun) {
  ModelRun run;
  const std::string message = "From: <bob@x.com>\nTo: <bob@x.com>\n\nbody\n";
  run.process(message);
  EXPECT_EQ(run.cmpfromto(), 0);  // neither name was known to this run
  EXPECT_GE(run.index("to"), 0);
  EXPECT_GE(run.index("from"), 0);
  run.model().clear();
  run.process(message);
  EXPECT_EQ(run.cmpfromto(), 1);
  EXPECT_EQ(run.flag("fromeqto"), 1);
}

TEST(CmpFromTo, CopiesAreCutAt999Characters) {
  ModelRun run;
  run.names({"from", "to"});
  const std::string padding(990, 'p');
  run.process("From: <bob@x.com>\nTo: " + padding + " bob@x.com\n\nbody\n");
  // The copy of the To value ends in "bob@x.co".
  EXPECT_EQ(run.cmpfromto(), 0);
}

}  // namespace
}  // namespace quarn::testing
