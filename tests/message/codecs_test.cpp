// Base64, quoted-printable, the hexadecimal byte and the line reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/codecs.h"
#include "message/line_reader.h"

namespace quarn {
namespace {

using namespace std::string_literals;

struct Base64Case {
  std::string text;
  int result;
  std::string bytes;  // what stays in the buffer, also after -1
};

TEST(Base64, DecodesGroupsPaddingAndForeignCharacters) {
  const Base64Case cases[] = {
      {"QUJD", 3, "ABC"},
      {"QUJDRA==", 4, "ABCD"},
      {"QUJDREU=", 5, "ABCDE"},
      {"QQ==QUJD", 4, "AABC"},  // decoding goes on after a padded group
      {"QUI", 2, "AB"},         // short final groups are decoded leniently
      {"QQ", 1, "A"},
      {"QUJDR", 3, "ABC"},  // a lone last character is no group
      {"", 0, ""},
      {"AAAA", 3, "\0\0\0"s},
      {"QUJD QUJD", -1, "ABC"},  // a blank ends decoding after the first group
      {"QUJDQ-JD", -1, "ABC"},
      {"Q-JD", -1, ""},
      {"QUJD\0QUJD"s, 3, "ABC"},  // a NUL ends the text
  };
  for (const auto& c : cases) {
    std::vector<char> out(100, 'x');
    const Base64Decoded partial = decode_base64_partial(c.text, out);
    EXPECT_EQ(decode_base64(c.text, out), c.result) << c.text;
    EXPECT_EQ(std::string(out.data(), partial.count), c.bytes) << c.text;
    EXPECT_EQ(out[partial.count], '\0') << c.text;
  }
}

TEST(Base64, StopsBeforeTheCountReachesTheSize) {
  std::vector<char> out(4, 'x');
  EXPECT_EQ(decode_base64("QUJDREVG", out), 3);  // a second group would make 6
  EXPECT_EQ(std::string(out.data(), 4), "ABC\0"s);
  std::vector<char> three(3, 'x');
  EXPECT_EQ(decode_base64("QUJD", three), 0);
  EXPECT_EQ(three[0], '\0');
  EXPECT_EQ(decode_base64("QUJD", std::span<char>()), 0);
}

TEST(QuotedPrintable, DecodesEscapesAndSoftBreaks) {
  const std::pair<std::string, std::string> cases[] = {
      {"a=3Db", "a=b"},
      {"=41=42=43", "ABC"},
      {"=3d=e9", "=\xe9"},
      {"soft=\r\nbreak", "softbreak"},
      {"end=\n", "end"},
      {"x=\ny", "x\0"s},  // "=" and LF inside the text is an escape of "\ny"
      {"cut=4", "cut"},
      {"cut=", "cut"},
      {"=G1", "\x01"},
      {"\xe9=41", "\xe9=41"},  // a high byte takes the next byte with it
      {"ab\xe9", "ab\xe9"},
      {"a\0=41"s, "a"},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<char> out(100, 'x');
    const int n = decode_quoted(text, out);
    EXPECT_EQ(std::string(out.data(), n), expected) << text;
    EXPECT_EQ(out[n], '\0') << text;
  }
}

TEST(QuotedPrintable, WritesFewerThanSizeMinusTwoBeforeEachStep) {
  std::vector<char> out(5, 'x');
  EXPECT_EQ(decode_quoted("abcdefgh", out), 3);
  EXPECT_EQ(std::string(out.data(), 4), "abc\0"s);
  EXPECT_EQ(decode_quoted("ab\xe9\xe9xyz", out), 4);  // the pair still fits
  EXPECT_EQ(out[4], '\0');
  std::vector<char> two(2, 'x');
  EXPECT_EQ(decode_quoted("abc", two), 0);
  EXPECT_EQ(two[0], '\0');
}

TEST(HexByte, MapsTwoDigits) {
  const std::pair<std::string, int> cases[] = {
      {"41", 0x41}, {"ff", 0xFF}, {"Fa", 0xFA}, {"4", 0x40},
      {"", 0},      {"zz", 0},    {"4z", 0x40}, {"\0" "1"s, 0},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(decode_hexbyte(text), value) << text;
}

struct LinesCase {
  std::string text;
  std::vector<std::string> lines;
  std::size_t end_position;
};

TEST(LineReader, ReturnsOnlyLinesEndedByANewline) {
  const LinesCase cases[] = {
      {"a\nb\n", {"a", "b"}, 4},
      {"a\nlast", {"a"}, 2},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}, 8},
      {"x\ry\n", {"x"}, 4},
      {"a\nb\0c\nd\n"s, {"a"}, 2},  // a NUL ends the text
      {"", {}, 0},
  };
  for (const auto& c : cases) {
    std::size_t position = 0;
    std::string line = "unchanged";
    std::vector<std::string> lines;
    while (rf_getline(c.text, position, line)) lines.push_back(line);
    EXPECT_EQ(lines, c.lines) << c.text;
    EXPECT_EQ(position, c.end_position) << c.text;
    EXPECT_EQ(line, c.lines.empty() ? "unchanged" : c.lines.back());
  }
}

TEST(LineReader, CutsLongLinesAndSkipsTheirRest) {
  const std::string text = std::string(10000, 'x') + "\nnext\n";
  std::size_t position = 0;
  std::string line;
  ASSERT_EQ(rf_getline(text, position, line), 1);
  EXPECT_EQ(line.size(), 9899u);
  ASSERT_EQ(rf_getline(text, position, line), 1);
  EXPECT_EQ(line, "next");
  position = 0;
  ASSERT_EQ(rf_getline(text, position, line, 4), 1);
  EXPECT_EQ(line, "xxx");
  position = 0;
  std::string_view view;
  ASSERT_EQ(next_line("ab\r\n", position, view, 1), 1);
  EXPECT_EQ(view, "");
}

TEST(LineReader, CountsNewlines) {
  EXPECT_EQ(count_lines(""), 0);
  EXPECT_EQ(count_lines("a\nb\n"), 2);
  EXPECT_EQ(count_lines("a\r\nb"), 1);
  EXPECT_EQ(count_lines("a\n\0\n"s), 1);
}

}  // namespace
}  // namespace quarn
