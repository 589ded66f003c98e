// The nine part CRCs of a message: header selection, the cuts of each part,
// the body filters and chunks, and safety on arbitrary input.
#include "signature/msgcrc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "signature/signature_text.h"
#include "tests/testing/corpus.h"
#include "tests/signature/fixtures.h"

namespace quarn {
namespace {

using testing::Harness;
using Part = std::optional<std::string>;

// Runs msgcrc over a heap copy of exactly the message, framed by guard
// bytes; neither the message nor the guards may change.
PartCrcs sign(std::string_view message, Log& log) {
  constexpr std::size_t kGuard = 16;
  std::vector<char> buffer(kGuard + message.size() + kGuard, '\x5a');
  char* text = buffer.data() + kGuard;
  std::copy(message.begin(), message.end(), text);
  const std::vector<char> before = buffer;
  PartCrcs crcs;
  crcs.fill(0xDEADBEEF);
  msgcrc(std::string_view(text, message.size()), crcs, log);
  EXPECT_TRUE(buffer == before);
  return crcs;
}

std::uint32_t crc_of(const Part& part) { return part ? do_crc(*part) : 0; }

// The expected values from the texts each part is the CRC of.
PartCrcs expected(const Part& from, const Part& subject, const Part& received, const Part& id,
                  std::vector<std::string> chunks) {
  PartCrcs crcs{crc_of(from), crc_of(subject), crc_of(received), crc_of(id)};
  for (std::size_t k = 0; k < 5; ++k) {
    if (!chunks.empty()) crcs[4 + k] = do_crc(k < chunks.size() ? chunks[k] : chunks[0]);
  }
  return crcs;
}

struct MessageCase {
  const char* name;
  std::string message;
  PartCrcs crcs;
};

TEST(Msgcrc, HeaderPartsAndBodyChunks) {
  const std::string hundred = [] {
    std::string s;
    for (int i = 0; i < 10; ++i) s += "123456789\n";
    return s;
  }();
  std::string ab94;
  for (int i = 0; i < 31; ++i) ab94 += "ab\n";
  ab94 += "x";
  const MessageCase cases[] = {
      {"last occurrence of each header wins",
       "From: a@x\r\nSubject: Buy cheap pills now\r\nFrom: b@y\r\nX: 1\r\n\r\nbody\r\n",
       expected("From: b@y", "SubjectBuycheappills", {}, {}, {"body\r", "\n"})},
      {"the line before the blank line never counts",
       "Subject: a b\r\nFrom: x@y\r\n\r\nbody",
       expected({}, "Subjecta", {}, {}, {"body"})},
      {"leading CR LF: no header, body after the line ends",
       "\r\nFrom: x@y\r\nZ: 1\r\n\r\nbody",
       expected({}, {}, {}, {}, {"From: x@y\r", "\nZ: 1\r", "\n\r\nbody"})},
      {"LF LF is no header end: every line is a header, the text is the body",
       "From: a\nSubject: b c\n\nbody line\n",
       expected("From: a", "Subjectb", {}, {}, {"From: a", "\nSubject: b c", "\n\nbody line", "\n"})},
      {"prefixes in any case; Subjec is enough",
       "FROM: A\r\nSUBJECTIVE: x y\r\nmessage-ID: <1@x>\r\nreceived: by x\r\nZ: 1\r\n\r\nb",
       expected("FROM: A", "SUBJECTIVEx", "received: by x", "message-ID: <1@x>", {"b"})},
      {"Message-id needs its blank; From needs its blank",
       "Message-Id:<1@x>\r\nFrom:a@b\r\nZ: 1\r\n\r\nb",
       expected({}, {}, {}, {}, {"b"})},
      {"Received cut at id inside a word",
       "Received: from host (hidden) by mx with SMTP\r\nZ: 1\r\n\r\nb",
       expected({}, {}, "Received: from host (h", {}, {"b"})},
      {"Received cut at the first semicolon",
       "Received: from a.b by c.d; Mon, 1 Jan\r\nZ: 1\r\n\r\nb",
       expected({}, {}, "Received: from a.b by c.d", {}, {"b"})},
      {"Received cut at WITH in capitals",
       "Received: from mail.example WITH esmtp; x\r\nZ: 1\r\n\r\nb",
       expected({}, {}, "Received: from mail.example ", {}, {"b"})},
      {"body of 4 bytes without LF: one chunk copied",
       "X: 1\r\nY: 2\r\n\r\nabcd", expected({}, {}, {}, {}, {"abcd"})},
      {"body of ten 9-character lines",
       "X: 1\r\nY: 2\r\n\r\n" + hundred,
       expected({}, {}, {}, {}, {hundred.substr(0, 29), hundred.substr(29, 20), hundred.substr(49, 20),
                                 hundred.substr(69, 20), hundred.substr(89)})},
      {"chunks end before an LF at their nominal size",
       "X: 1\r\nY: 2\r\n\r\na\nb\nc\nd\ne\nf\ng\nh",
       expected({}, {}, {}, {}, {"a\nb", "\nc\nd", "\ne\nf", "\ng\nh"})},
      {"the fifth chunk takes the rest", "X: 1\r\nY: 2\r\n\r\n" + ab94,
       expected({}, {}, {}, {}, {ab94.substr(0, 20), ab94.substr(20, 18), ab94.substr(38, 18),
                                 ab94.substr(56, 18), ab94.substr(74)})},
      {"empty body", "X: 1\r\nY: 2\r\n\r\n", expected({}, {}, {}, {}, {})},
      {"body of line ends only", "X: 1\r\nY: 2\r\n\r\n\r\n\n\r", expected({}, {}, {}, {}, {})},
      {"one final CR LF CR LF is dropped",
       "X: 1\r\nY: 2\r\n\r\nabc\r\n\r\n", expected({}, {}, {}, {}, {"abc"})},
      {"only one of two final CR LF CR LF is dropped",
       "X: 1\r\nY: 2\r\n\r\nabc\r\n\r\n\r\n\r\n",
       expected({}, {}, {}, {}, {"abc\r", "\n\r", "\n"})},
      {"a NUL byte ends the message", std::string("X: 1\r\nY: 2\r\n\r\nab\0cd", 19),
       expected({}, {}, {}, {}, {"ab"})},
      {"no line end at all: no header lines, whole text is the body",
       "From: a b", expected({}, {}, {}, {}, {"From: a b"})},
  };
  for (const MessageCase& c : cases) {
    Harness h;
    EXPECT_EQ(sign(c.message, h.log), c.crcs) << c.name;
  }
}

TEST(Msgcrc, HtmlBodies) {
  struct Case {
    const char* name;
    std::string body;
    std::string kept;
  };
  const Case cases[] = {
      {"comment holding > removed whole, tags removed, open tag cuts the rest",
       "<html><!-- a > b --><b>bold</b> text<img src=x> more <img src=y", "bold text more "},
      {"attributes but never <html>: tags stay", "<html lang=en><b>x</b>", "<html lang=en><b>x</b>"},
      {"<HTML> in plain text strips the body", "see <HTML> here <b>x</b>", "see  here x"},
      {"hyphen pairs are counted: a > after four ends the comment",
       "<html><!-- x -- > y -->z", " y -->z"},
      {"<! without hyphens ends at its first >", "<html><!DOCTYPE x>a<!>b", "ab"},
      {"a > inside an ordinary tag's quotes ends it", "<html><a title='>'>x", "'>x"},
      {"entities and line ends stay", "<html>a&amp;b\r\n<br>c\r\n\r\n", "a&amp;b\r\nc"},
  };
  for (const Case& c : cases) {
    Harness h;
    const std::string head = "X: 1\r\nY: 2\r\n\r\n";
    PartCrcs crcs;
    std::array<std::string, kPartCount> texts;
    // No header part is found, so the count is that of the body chunks.
    const int chunks = msgcrc(head + c.body, crcs, h.log, &texts);
    std::string kept;
    for (int k = 0; k < chunks; ++k) kept += texts[kFirstBodyPart + k];
    EXPECT_EQ(kept, c.kept) << c.name;
    EXPECT_EQ(crcs, sign(head + c.body, h.log)) << c.name;
    EXPECT_EQ(crcs[4], do_crc(c.kept.substr(0, c.kept.find('\n')))) << c.name;
  }
}

TEST(Msgcrc, SubjectNormalisation) {
  struct Case {
    const char* line;
    const char* letters;
  };
  const Case cases[] = {
      {"Subject: Buy cheap pills now", "SubjectBuycheappills"},
      {"Subject: Hello", "Subject"},
      {"Subject:\tBuy\tcheap", "SubjectBuy"},
      {"Subject: a\tb c", "Subjectab"},
      {"Subject: 50% off \xc3\x84\xc3\x96 now!", "Subjectoff"},
      {"Subject:NoBlank", "SubjectNoBlank"},
      {"Subject: trailing ", "Subjecttrailing"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(clean_str(c.line), c.letters) << c.line;
    Harness h;
    const PartCrcs crcs = sign(std::string(c.line) + "\r\nZ: 1\r\n\r\nb", h.log);
    if (*c.line != '\0') {
      EXPECT_EQ(crcs[1], do_crc(c.letters)) << c.line;
    }
  }
}

TEST(Msgcrc, ReceivedKeepsAtMost999Characters) {
  Harness h;
  const std::string line = "Received: " + std::string(1500, 'x') + ";";
  const PartCrcs crcs = sign(line + "\r\nZ: 1\r\n\r\nb", h.log);
  EXPECT_EQ(crcs[2], do_crc(line.substr(0, 999)));
}

TEST(Getheadlines, LinesLastFirstWithoutDotsAndBodyPosition) {
  Harness h;
  std::size_t body = 99;
  const std::string text = "A: 1\r\n.\r\nB: 2\n\nC: 3\r\nD: 4\r\n\r\nbody";
  const auto lines = getheadlines(text, body, h.log);
  EXPECT_EQ(lines, (std::vector<std::string_view>{"C: 3", "B: 2", "A: 1"}));
  EXPECT_EQ(text.substr(body), "\nbody");  // the body starts after the third line end

  const auto leading = getheadlines("\n\nX: 1\r\n\r\n", body, h.log);
  EXPECT_TRUE(leading.empty());
  EXPECT_EQ(body, 2u);

  const auto one = getheadlines("\nX: 1\r\nY", body, h.log);
  EXPECT_EQ(one, (std::vector<std::string_view>{"X: 1", ""}));
  EXPECT_EQ(body, 0u);
  EXPECT_TRUE(h.log_entries().empty());
}

TEST(Getheadlines, NoBodyIsLogged) {
  for (const char* text : {"", "\n", "\r"}) {
    Harness h;
    std::size_t body = 99;
    EXPECT_TRUE(getheadlines(text, body, h.log).empty());
    EXPECT_EQ(body, 0u);
    EXPECT_EQ(h.log_entries(), std::vector<std::string>{
                                   "Info:getheadlines - No body detected in message, using whole message"});
    PartCrcs crcs = sign(text, h.log);
    EXPECT_EQ(crcs, PartCrcs{});
  }
}

TEST(Getheadlines, LongLinesAreIgnoredWithEveryLaterLine) {
  // A line is measured with its line end from the line start; 10000 bytes
  // or more is too long, and the start then stays where it was.
  Harness h;
  std::size_t body = 0;
  const std::string fits = "X: " + std::string(9995 - 3, 'a');  // 9992 + CR LF + ... < 10000
  const std::string at_limit = "Y: " + std::string(9998 - 3, 'b');  // 9998 + CR LF = 10000
  const std::string text = "From: a\r\n" + fits + "\r\n" + at_limit + "\r\nSubject: x y\r\nZ: 1\r\n\r\nbody";
  const auto lines = getheadlines(text, body, h.log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], fits);
  EXPECT_EQ(lines[1], "From: a");
  EXPECT_EQ(text.substr(body), "\nbody");
  // "Z: 1" ends in the blank line, which is found before its length counts.
  const std::string long_line = "Info:getheadlines - Extremely long header found, ignoring";
  EXPECT_EQ(h.log_entries(), (std::vector<std::string>{long_line, long_line}));

  const PartCrcs crcs = sign(text, h.log);
  EXPECT_EQ(crcs[0], do_crc("From: a"));
  EXPECT_EQ(crcs[1], 0u);
}

TEST(Msgcrc, LeavesTheMessageAsItWas) {
  Harness h;
  const std::string message = "X: 1\r\nY: 2\r\n\r\n<html><b>x</b>\r\n\r\n";
  const std::string kept = message;
  const PartCrcs crcs = sign(message, h.log);
  EXPECT_EQ(crcs[kFirstBodyPart], do_crc("x"));
  EXPECT_EQ(message, kept);
}

TEST(Msgcrc, CountsPartsFoundAndChunksMade) {
  Harness h;
  std::string message = "From: a\r\nSubject: b c\r\nZ: 1\r\n\r\nline one\nline two\nline three\n";
  PartCrcs crcs;
  // The final LF lies outside the given length: the body ends "line three"
  // and makes three chunks.
  EXPECT_EQ(msgcrc(std::string_view(message).substr(0, message.size() - 1), crcs, h.log), 2 + 3);
}

// Random messages built from the pieces that steer the algorithms: every
// run stays inside its buffer and yields a signature text that validates.
TEST(Msgcrc, RandomMessagesStayInBoundsAndSignValidly) {
  const std::vector<std::string> pieces = {
      "\r", "\n", "\r\n", "\r\n\r\n", "From: ", "Subject: ", "Received: ", "Message-id: ",
      " ", "\t", "id", "with", ";", "<html>", "<HTML>", "<", ">", "<!--", "--", "-->", "<!",
      ".", "x", "word", std::string(1, '\0'), "\xff", std::string(300, 'q')};
  std::mt19937 rng(11);
  Harness h;
  for (int round = 0; round < 3000; ++round) {
    std::string message;
    const int count = static_cast<int>(rng() % 60);
    for (int i = 0; i < count; ++i) message += pieces[rng() % pieces.size()];
    if (rng() % 50 == 0) message += std::string(10000 + rng() % 50, 'L');
    const PartCrcs crcs = sign(message, h.log);
    ASSERT_EQ(validatecrc(make_signature_text(crcs)), 1);
    // An allocation of exactly the message, so the address sanitizer sees
    // any read beyond it.
    auto exact = std::make_unique<char[]>(message.size());
    std::memcpy(exact.get(), message.data(), message.size());
    PartCrcs again;
    msgcrc(std::string_view(exact.get(), message.size()), again, h.log);
    ASSERT_EQ(again, crcs);
  }
}

TEST(Msgcrc, EveryCorpusMessageSignsValidly) {
  const auto files = testing::corpus_files();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << testing::corpus_dir();
  Harness h;
  int messages = 0;
  int with_body = 0;
  for (const auto& path : files) {
    const std::string message = testing::read_file(path.string());
    const PartCrcs crcs = sign(message, h.log);
    ASSERT_EQ(validatecrc(make_signature_text(crcs)), 1) << path;
    ++messages;
    if (crcs[4] != 0) ++with_body;
  }
  EXPECT_GT(messages, 100);
  EXPECT_GT(with_body, messages / 2);
}

}  // namespace
}  // namespace quarn
