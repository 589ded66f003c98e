// The MIME walk: limits, bounds and the structures golden files do not show.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "message/mime_walk.h"
#include "tests/message/message_testing.h"

namespace quarn {
namespace {

using testing::decode_message;

std::string multipart_header(std::string_view boundary) {
  return "Content-Type: multipart/mixed; boundary=\"" + std::string(boundary) + "\"\n\n";
}

// Parts nested `levels` deep, each a multipart holding the next; the
// innermost part gets `inner` (its header block and body).
std::string nested_multiparts(int levels, const std::string& inner) {
  std::string message;
  for (int i = 0; i < levels; ++i) {
    message += multipart_header("b" + std::to_string(i)) + "--b" + std::to_string(i) + "\n";
  }
  return message + inner;
}

TEST(MimeWalk, ReadsPartHeadersAndBoundaries) {
  struct Case {
    const char* name;
    std::string message;
    std::string decoded;
  };
  const Case cases[] = {
      {"plain body, top headers left out", "Subject: x\n\nline 1\nline 2\nno newline",
       "line 1\nline 2\n"},
      {"boundary= in another case is not found",
       "Content-Type: multipart/mixed; Boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nx\n",
       "--b\nContent-Type: text/plain\n\nx\n"},
      {"boundary lines compare ignoring case",
       multipart_header("b") + "--B\nX-Part: 1\n\nx\n--B--\nafter\n",
       "--B\nX-Part: 1\n\nx\n--B--\n"},
      {"a boundary line with a trailing blank is a body line",
       multipart_header("b") + "--b\n\nx\n--b \ny\n--b--\n", "--b\n\nx\n--b \ny\n--b--\n"},
      {"continuation lines join the header with one blank",
       "Content-Type: multipart/mixed;\n  \t boundary=\"b\"\n\n--b\n\nx\n--b--\n",
       "--b\n\nx\n--b--\n"},
      {"a nested boundary ends the inner parts",
       multipart_header("o") + "--o\n" + multipart_header("i") + "--i\n\nin\n--o\n\nnext\n--o--\n",
       "--o\nContent-Type: multipart/mixed; boundary=\"i\"\n\n--i\n\nin\n--o\n\nnext\n--o--\n"},
      {"quoted-printable parts end with an empty line",
       multipart_header("b") +
           "--b\nContent-Transfer-Encoding: quoted-printable\n\na=3Db=\nc\n--b--\n",
       "--b\nContent-Transfer-Encoding: quoted-printable\n\na=bc\n\n\n--b--\n"},
      {"base64 zero bytes become blanks, no line end is added",
       "Content-Transfer-Encoding: base64\n\nQUFBAEFB\nQkI=\n", "AAA AABB"},
      {"a body line keeps 9,899 characters and a carriage return cuts one",
       "Subject: x\n\n" + std::string(9899, 'k') + "\n" + std::string(9900, 'c') + "\nab\rcd\nz\n",
       std::string(9899, 'k') + "\n" + std::string(9899, 'c') + "\nab\nz\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_message(c.message).text, c.decoded) << c.name;
  }
}

TEST(MimeWalk, FirstTextPartDecidesTheBase64Result) {
  const std::pair<std::string, int> cases[] = {
      {"Subject: x\n\nbody\n", 0},
      {"Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n", 1},
      {"Content-Type: TEXT/html\n\n", -1},
      {"Content-Type: image/gif\nContent-Transfer-Encoding: base64\n\n", 0},
      {multipart_header("b") + "--b\nContent-Type: text/plain\n\nx\n--b\n"
                               "Content-Type: text/html\nContent-Transfer-Encoding: base64\n\n",
       -1},
  };
  for (const auto& [message, expected] : cases) {
    EXPECT_EQ(decode_message(message).first_text_base64, expected) << message;
  }
}

TEST(MimeWalk, TopHtmlComesFromDepthZeroOnly) {
  EXPECT_EQ(decode_message("Content-Type: text/HTML; charset=x\n\n<b>x</b>\n").top_html, 1);
  EXPECT_EQ(decode_message("Content-Type: text/htm\n\n").top_html, 0);
  EXPECT_EQ(decode_message(multipart_header("b") + "--b\nContent-Type: text/html\n\nx\n").top_html,
            0);
  EXPECT_EQ(
      decode_message("Content-Type: message/rfc822\n\nContent-Type: text/html\n\nx\n").top_html,
      1);
}

TEST(MimeWalk, BoundaryIsCutAt120Characters) {
  const std::string boundary(130, 'z');
  const std::string full = multipart_header(boundary) + "--" + boundary +
                           "\nContent-Transfer-Encoding: base64\n\nQUJD\n";
  EXPECT_NE(decode_message(full).text.find("QUJD"), std::string::npos);
  const std::string cut = multipart_header(boundary) + "--" + boundary.substr(0, 120) +
                          "\nContent-Transfer-Encoding: base64\n\nQUJD\n";
  EXPECT_NE(decode_message(cut).text.find("\n\nABC"), std::string::npos);
}

TEST(MimeWalk, FoldedHeaderStopsGrowingAt9998Characters) {
  const std::string fits = "Content-Type: multipart/mixed;\n " + std::string(9900, 'x') +
                           "\n boundary=\"b\"\n\n--b\nContent-Transfer-Encoding: base64\n\nQUJD\n";
  EXPECT_NE(decode_message(fits).text.find("ABC"), std::string::npos);
  // The second continuation would reach 9,998 characters: it and every later
  // one are left out, so the boundary is never seen.
  const std::string full = "Content-Type: multipart/mixed;\n " + std::string(9899, 'x') +
                           "\n " + std::string(100, 'y') + "\n boundary=\"b\"\n\n--b\n"
                           "Content-Transfer-Encoding: base64\n\nQUJD\n";
  EXPECT_NE(decode_message(full).text.find("QUJD"), std::string::npos);
}

TEST(MimeWalk, PartsDeeperThanTenAreReadAsLines) {
  const std::string inner = "Content-Transfer-Encoding: base64\n\nSGVsbG8=\n";
  EXPECT_NE(decode_message(nested_multiparts(10, inner)).text.find("Hello"), std::string::npos);
  const std::string deep = decode_message(nested_multiparts(11, inner)).text;
  EXPECT_EQ(deep.find("Hello"), std::string::npos);
  EXPECT_NE(deep.find("--b10\nContent-Transfer-Encoding: base64\n\nSGVsbG8=\n"),
            std::string::npos);
}

TEST(MimeWalk, FollowsAtMostTenNestedEnclosedMessages) {
  const std::string inner = "Content-Transfer-Encoding: base64\n\nSGVsbG8=\n";
  auto enclosed = [&](int levels) {
    std::string message;
    for (int i = 0; i < levels; ++i) message += "Content-Type: message/rfc822\n\n";
    return message + inner;
  };
  EXPECT_EQ(decode_message(enclosed(10)).text, "Hello");
  EXPECT_EQ(decode_message(enclosed(11)).text, inner);
  const std::string many = decode_message(enclosed(1000)).text;
  EXPECT_EQ(many.substr(0, 30), "Content-Type: message/rfc822\n\n");
  EXPECT_NE(many.find("SGVsbG8="), std::string::npos);
}

TEST(MimeWalk, StopsOnceMoreThan50000CharactersAreWritten) {
  std::string message = "Subject: x\n\n";
  for (int i = 0; i < 1000; ++i) message += std::string(99, 'a') + "\n";
  const auto decoded = decode_message(message);
  EXPECT_EQ(decoded.text.size(), 50100u);
  EXPECT_EQ(decoded.position, 12u + 50100u);
}

TEST(MimeWalk, NeverReaches99990Characters) {
  // The innermost part passes 50,000; each enclosing part then writes one
  // more long line while it still fits below 99,990.
  std::string body;
  for (int i = 0; i < 20; ++i) body += std::string(9899, 'a' + i % 26) + "\n";
  const auto decoded = decode_message(nested_multiparts(6, "\n" + body));
  EXPECT_LT(decoded.text.size(), kDecodedHardLimit);
  EXPECT_GT(decoded.text.size(), kDecodedHardLimit - 9900);
}

TEST(MimeWalk, NeverWritesPastASmallBuffer) {
  std::string message = multipart_header("b");
  for (int i = 0; i < 30; ++i) {
    message += "--b\nContent-Transfer-Encoding: quoted-printable\n\nsome text=\n";
  }
  for (std::size_t size : {0, 1, 2, 10, 64, 300}) {
    std::vector<char> buffer(size);
    const auto walk = std::make_unique<MimeWalk>(buffer);
    std::size_t position = 0;
    rf_create_decoded(message, position, 0, *walk);
    if (size == 0) continue;
    EXPECT_LT(walk->decoded_total, size);
    EXPECT_EQ(buffer[walk->decoded_total], '\0');
  }
}

}  // namespace
}  // namespace quarn
